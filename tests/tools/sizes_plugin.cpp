// Stand-in for the encryption plug-in that reports the block, key and IV sizes
// named by FAKE_BLOCK_SIZE, FAKE_KEY_SIZE and FAKE_IV_SIZE (16 when unset).
// Encryption copies, key generation and derivation fill zeros.

#include <cstdlib>
#include <cstring>

#include "cipherbox/cipherbox.h"
#include "common/error_code.h"

namespace {

int SizeFromEnvironment(const char* name) {
    const char* text = std::getenv(name);
    return text ? static_cast<int>(std::strtol(text, nullptr, 10)) : 16;
}

}  // namespace

extern "C" {

int PluginInit(void) { return ERR_NONE; }
int PluginEncrypt(const uint8_t* in, size_t size, uint8_t* out, const uint8_t*, const uint8_t*, bool) {
    std::memmove(out, in, size);
    return ERR_NONE;
}
int PluginDecrypt(const uint8_t* in, size_t size, uint8_t* out, const uint8_t* k, const uint8_t* iv, bool s) {
    return PluginEncrypt(in, size, out, k, iv, s);
}
int PluginGenerateKey(uint8_t* key, int size) {
    std::memset(key, 0, static_cast<size_t>(size));
    return ERR_NONE;
}
int PluginGenerateIv(uint8_t* iv, int size) { return PluginGenerateKey(iv, size); }
int PluginGeneratePasswordBasedKey(uint8_t* key, int keySize, uint8_t* iv, int ivSize, const uint8_t*, int,
                                   const uint8_t*, int, int) {
    std::memset(key, 0, static_cast<size_t>(keySize));
    std::memset(iv, 0, static_cast<size_t>(ivSize));
    return ERR_NONE;
}
int PluginGetBlockSize(int* size) {
    *size = SizeFromEnvironment("FAKE_BLOCK_SIZE");
    return ERR_NONE;
}
int PluginGetKeySize(int* size) {
    *size = SizeFromEnvironment("FAKE_KEY_SIZE");
    return ERR_NONE;
}
int PluginGetIvSize(int* size) {
    *size = SizeFromEnvironment("FAKE_IV_SIZE");
    return ERR_NONE;
}

static EncryptionFunctionList table = {
    PluginGetFunctionList, PluginInit,       PluginEncrypt,      PluginDecrypt,    PluginGenerateKey,
    PluginGenerateIv,      PluginGeneratePasswordBasedKey, PluginGetBlockSize, PluginGetKeySize, PluginGetIvSize,
};

int PluginGetFunctionList(EncryptionFunctionList** list) {
    *list = &table;
    return ERR_NONE;
}

}  // extern "C"
