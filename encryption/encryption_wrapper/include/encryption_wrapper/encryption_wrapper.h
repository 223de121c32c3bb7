#pragma once

// Encryption client wrapper: the one way a program reaches the encryption
// plug-in libcipherbox.so.
//
// EncryptionInit loads the plug-in once per process; every other operation
// forwards to the plug-in's function table and returns its result code
// unchanged (common/error_code.h). Null buffers and calls before a successful
// EncryptionInit are programming errors: they stop the process through
// ExceptionalCondition with a TRAP line.
//
// The operations have C linkage and default visibility. A program that carries
// this library exports them (its targets use ENABLE_EXPORTS), so a plug-in
// loaded into that process binds to the program's copy and shares its state.

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define ENCRYPTION_WRAPPER_EXPORT __attribute__((visibility("default")))

// Loads the plug-in and initialises it. Where it looks:
//   pluginDir set:           the shared libraries in that directory, in name order;
//   else PG_PLUGINS_PATH set: the shared libraries in the directory it names;
//   else libDir/libName, where libDir comes from the running program's path with
//     everything from binDir on replaced by libDir (the file must be a symlink).
// The first library exporting all ten entry points is kept. Once a module is
// loaded, later calls return 0 at once and ignore their arguments.
ENCRYPTION_WRAPPER_EXPORT int EncryptionInit(const char* pluginDir, const char* libName, const char* binDir,
                                             const char* libDir);

// Encrypts/decrypts size bytes of input into output (may be the same buffer).
// stream false: block mode (size a positive multiple of the block size);
// stream true: stream mode (any size). An all-zero input stays all zero.
ENCRYPTION_WRAPPER_EXPORT int EncryptionEncrypt(const uint8_t* input, size_t size, uint8_t* output,
                                                const uint8_t* key, const uint8_t* iv, bool stream);
ENCRYPTION_WRAPPER_EXPORT int EncryptionDecrypt(const uint8_t* input, size_t size, uint8_t* output,
                                                const uint8_t* key, const uint8_t* iv, bool stream);

// Random key / IV; size must equal EncryptionGetKeySize / EncryptionGetIvSize.
ENCRYPTION_WRAPPER_EXPORT int EncryptionGenerateKey(uint8_t* key, int size);
ENCRYPTION_WRAPPER_EXPORT int EncryptionGenerateIv(uint8_t* iv, int size);

// PBKDF2-HMAC with the plug-in's digest; the output's first keySize bytes are
// the key, the next ivSize bytes the IV.
ENCRYPTION_WRAPPER_EXPORT int EncryptionDerivePasswordKey(uint8_t* key, int keySize, uint8_t* iv, int ivSize,
                                                          const uint8_t* password, int passwordSize,
                                                          const uint8_t* salt, int saltSize, int iterations);

// The plug-in's sizes in bytes. A size outside 1 ... 1024 (which no cipher has,
// and which would break the callers' buffer and length arithmetic) is refused
// with ERR_SIZE_MISMATCH and *size set to 0.
ENCRYPTION_WRAPPER_EXPORT int EncryptionGetBlockSize(int* size);
ENCRYPTION_WRAPPER_EXPORT int EncryptionGetKeySize(int* size);
ENCRYPTION_WRAPPER_EXPORT int EncryptionGetIvSize(int* size);

// IV of a relation file: bytes 0-3 objOid, 4-7 dataBaseOid, 8-11 objType (host
// byte order), the rest of ivSize zero. ivSize must be at least 12.
ENCRYPTION_WRAPPER_EXPORT void EncryptionMakeRelationIv(int objType, unsigned objOid, unsigned dataBaseOid,
                                                        uint8_t* iv, int ivSize);
// IV of a write-ahead log position: bytes 0-3 timeline, 4-11 segment, 12-15
// offset (host byte order), the rest of ivSize zero. ivSize must be at least 16.
ENCRYPTION_WRAPPER_EXPORT void EncryptionMakeWalIv(unsigned timeline, uint64_t segment, unsigned offset,
                                                   uint8_t* iv, int ivSize);

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
#include "common/product_info.h"

// Loads the plug-in the way the installed programs find it: from the directory
// named by PG_PLUGINS_PATH when set, else lib/libcipherbox.so beside the program's
// own bin directory of the installation.
inline int EncryptionInitInstalled() {
    return EncryptionInit(nullptr, "libcipherbox.so", product_info::kBinDir, product_info::kLibDir);
}
#endif
