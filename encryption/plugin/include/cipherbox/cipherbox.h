#pragma once

// Entry points of the encryption plug-in libcipherbox.so.
//
// Nothing links the plug-in: a loader opens it at run time, resolves every name
// below with dlsym and calls it directly or through the table that
// PluginGetFunctionList hands out. Every entry point returns a result code
// (common/error_code.h); no exception ever leaves the library.
//
// Calls into one process's plug-in must not overlap: the cipher contexts are
// shared and re-keyed on every call without a lock.
//
// All-zero rule and its limit: an all-zero buffer is never encrypted or
// decrypted but passed through as zeros, so that pages the database server has
// not yet written read back as zeros. The rule cannot tell such a page from
// cipher text that happens to be all zero: a non-zero plain text of n bytes
// whose cipher text is all zero (a chance of one in 2^(8n)) decrypts to zeros.
// For 8 bytes or more (one in 2^64 or less; server pages are whole blocks of
// 8192) this is negligible; for shorter stream-mode calls it is not: one in 256
// for a single byte, one in 65536 for two. Callers that need every short value
// back must not rely on one short call, e.g. encrypt at least 8 bytes.

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(CIPHERBOX_BUILDING)
#define CIPHERBOX_EXPORT __attribute__((visibility("default")))
#else
#define CIPHERBOX_EXPORT
#endif

struct EncryptionFunctionList;

typedef int (*PluginGetFunctionListFunc)(struct EncryptionFunctionList** list);
typedef int (*PluginInitFunc)(void);
typedef int (*PluginEncryptFunc)(const uint8_t* in, size_t size, uint8_t* out, const uint8_t* key,
                                 const uint8_t* iv, bool stream);
typedef int (*PluginDecryptFunc)(const uint8_t* in, size_t size, uint8_t* out, const uint8_t* key,
                                 const uint8_t* iv, bool stream);
typedef int (*PluginGenerateKeyFunc)(uint8_t* key, int size);
typedef int (*PluginGenerateIvFunc)(uint8_t* iv, int size);
typedef int (*PluginGeneratePasswordBasedKeyFunc)(uint8_t* key, int keySize, uint8_t* iv, int ivSize,
                                                  const uint8_t* password, int passwordSize,
                                                  const uint8_t* salt, int saltSize, int iterations);
typedef int (*PluginGetBlockSizeFunc)(int* size);
typedef int (*PluginGetKeySizeFunc)(int* size);
typedef int (*PluginGetIvSizeFunc)(int* size);

// The plug-in's table of entry points, in export order. The library holds one
// static instance with every entry set.
struct EncryptionFunctionList {
    PluginGetFunctionListFunc PluginGetFunctionList;
    PluginInitFunc PluginInit;
    PluginEncryptFunc PluginEncrypt;
    PluginDecryptFunc PluginDecrypt;
    PluginGenerateKeyFunc PluginGenerateKey;
    PluginGenerateIvFunc PluginGenerateIv;
    PluginGeneratePasswordBasedKeyFunc PluginGeneratePasswordBasedKey;
    PluginGetBlockSizeFunc PluginGetBlockSize;
    PluginGetKeySizeFunc PluginGetKeySize;
    PluginGetIvSizeFunc PluginGetIvSize;
};

// Stores the address of the static table in *list.
CIPHERBOX_EXPORT int PluginGetFunctionList(struct EncryptionFunctionList** list);
// Selects the engine and creates the cipher contexts; 0 at once when done before.
// Every other entry point initialises lazily, so calling this is optional.
CIPHERBOX_EXPORT int PluginInit(void);
// Encrypts size bytes of in into out (may be the same buffer) with a fresh
// cipher state keyed by key/iv. Block mode needs a positive multiple of the
// block size; stream mode takes any length. An all-zero input is passed through
// unchanged without any cryptography (see the all-zero rule's limit above).
CIPHERBOX_EXPORT int PluginEncrypt(const uint8_t* in, size_t size, uint8_t* out, const uint8_t* key,
                                   const uint8_t* iv, bool stream);
// Mirror of PluginEncrypt.
CIPHERBOX_EXPORT int PluginDecrypt(const uint8_t* in, size_t size, uint8_t* out, const uint8_t* key,
                                   const uint8_t* iv, bool stream);
// Fills a random key; size must equal the cipher's key length.
CIPHERBOX_EXPORT int PluginGenerateKey(uint8_t* key, int size);
// Fills a random IV; size must equal the cipher's IV length.
CIPHERBOX_EXPORT int PluginGenerateIv(uint8_t* iv, int size);
// Derives key and IV (in that order, one PBKDF2-HMAC output) from a password.
CIPHERBOX_EXPORT int PluginGeneratePasswordBasedKey(uint8_t* key, int keySize, uint8_t* iv, int ivSize,
                                                    const uint8_t* password, int passwordSize,
                                                    const uint8_t* salt, int saltSize, int iterations);
CIPHERBOX_EXPORT int PluginGetBlockSize(int* size);
CIPHERBOX_EXPORT int PluginGetKeySize(int* size);
CIPHERBOX_EXPORT int PluginGetIvSize(int* size);

#ifdef __cplusplus
}
#endif
