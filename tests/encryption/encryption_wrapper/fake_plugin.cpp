// Stand-ins for the encryption plug-in that export all ten entry points but
// misbehave in one way each, selected at build time:
//   FAKE_TABLE_GAP     the function table has a null entry;
//   FAKE_INIT_FAILS    every call fails with "engine is not loaded";
//   FAKE_THROWS        the size queries throw instead of returning a code.

#include <stdexcept>
#include <system_error>

#include "cipherbox/cipherbox.h"
#include "common/error_code.h"

extern "C" {

#if defined(FAKE_INIT_FAILS)
#define FAKE_RESULT ERR_ENGINE_NOT_LOADED
#else
#define FAKE_RESULT ERR_NONE
#endif

int PluginInit(void) { return FAKE_RESULT; }
int PluginEncrypt(const uint8_t*, size_t, uint8_t*, const uint8_t*, const uint8_t*, bool) { return FAKE_RESULT; }
int PluginDecrypt(const uint8_t*, size_t, uint8_t*, const uint8_t*, const uint8_t*, bool) { return FAKE_RESULT; }
int PluginGenerateKey(uint8_t*, int) { return FAKE_RESULT; }
int PluginGenerateIv(uint8_t*, int) { return FAKE_RESULT; }
int PluginGeneratePasswordBasedKey(uint8_t*, int, uint8_t*, int, const uint8_t*, int, const uint8_t*, int, int) {
    return FAKE_RESULT;
}

#if defined(FAKE_THROWS)
int PluginGetBlockSize(int*) { throw static_cast<int>(ERR_CIPHER_SETUP); }
int PluginGetKeySize(int*) { throw std::system_error(EACCES, std::generic_category()); }
int PluginGetIvSize(int*) { throw std::runtime_error("unexpected"); }
#else
int PluginGetBlockSize(int* size) { *size = 1; return FAKE_RESULT; }
int PluginGetKeySize(int* size) { *size = 1; return FAKE_RESULT; }
int PluginGetIvSize(int* size) { *size = 1; return FAKE_RESULT; }
#endif

static EncryptionFunctionList table = {
    PluginGetFunctionList, PluginInit,       PluginEncrypt,      PluginDecrypt,    PluginGenerateKey,
    PluginGenerateIv,      PluginGeneratePasswordBasedKey, PluginGetBlockSize, PluginGetKeySize, PluginGetIvSize,
};

int PluginGetFunctionList(EncryptionFunctionList** list) {
#if defined(FAKE_TABLE_GAP)
    table.PluginDecrypt = nullptr;
#endif
    *list = &table;
    return ERR_NONE;
}

}  // extern "C"
