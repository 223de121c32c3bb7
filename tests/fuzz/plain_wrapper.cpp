// Stand-in for the encryption wrapper in the credential fuzzers: "decryption"
// copies the bytes, so the fuzz input is the plain document the store parses
// after a real decryption. Block mode keeps the plug-in's rule (a positive
// multiple of the block size), so the store's padding handling is exercised.
#include <cstring>

#include "common/error_code.h"
#include "encryption_wrapper/encryption_wrapper.h"

namespace {
constexpr int kBlock = 16;

int Copy(const uint8_t* input, size_t size, uint8_t* output, bool stream) {
    if (!stream && (size == 0 || size % kBlock != 0)) return ERR_FORMAT;
    if (output != input) std::memmove(output, input, size);
    return ERR_NONE;
}
}  // namespace

extern "C" {
int EncryptionInit(const char*, const char*, const char*, const char*) { return ERR_NONE; }
int EncryptionEncrypt(const uint8_t* in, size_t size, uint8_t* out, const uint8_t*, const uint8_t*, bool stream) {
    return Copy(in, size, out, stream);
}
int EncryptionDecrypt(const uint8_t* in, size_t size, uint8_t* out, const uint8_t*, const uint8_t*, bool stream) {
    return Copy(in, size, out, stream);
}
int EncryptionGenerateKey(uint8_t* key, int size) {
    std::memset(key, 0x5A, static_cast<size_t>(size));
    return ERR_NONE;
}
int EncryptionGenerateIv(uint8_t* iv, int size) {
    std::memset(iv, 0xA5, static_cast<size_t>(size));
    return ERR_NONE;
}
int EncryptionDerivePasswordKey(uint8_t* key, int keySize, uint8_t* iv, int ivSize, const uint8_t*, int,
                                const uint8_t*, int, int) {
    std::memset(key, 1, static_cast<size_t>(keySize));
    std::memset(iv, 2, static_cast<size_t>(ivSize));
    return ERR_NONE;
}
int EncryptionGetBlockSize(int* size) {
    *size = kBlock;
    return ERR_NONE;
}
int EncryptionGetKeySize(int* size) {
    *size = 32;
    return ERR_NONE;
}
int EncryptionGetIvSize(int* size) {
    *size = 16;
    return ERR_NONE;
}
void EncryptionMakeRelationIv(int, unsigned, unsigned, uint8_t*, int) {}
void EncryptionMakeWalIv(unsigned, uint64_t, unsigned, uint8_t*, int) {}
}
