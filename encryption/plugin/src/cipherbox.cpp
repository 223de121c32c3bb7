// Exported entry points of the encryption plug-in: argument checks, lazy
// initialisation and conversion of anything thrown into a result code.

#include "cipherbox/cipherbox.h"

#include <system_error>

#include "common/error_code.h"
#include "common/result_guard.h"
#include "encryption_core.h"

using encryption::EncryptionCore;

namespace {

// The four constants that make the AES and the GOST build.
constexpr const char* kEngineId = CIPHERBOX_ENGINE_ID;
constexpr const char* kBlockCipher = CIPHERBOX_BLOCK_CIPHER;
constexpr const char* kStreamCipher = CIPHERBOX_STREAM_CIPHER;
constexpr const char* kDigest = CIPHERBOX_DIGEST;

EncryptionFunctionList functionList = {
    PluginGetFunctionList, PluginInit,       PluginEncrypt,      PluginDecrypt,    PluginGenerateKey,
    PluginGenerateIv,      PluginGeneratePasswordBasedKey, PluginGetBlockSize, PluginGetKeySize, PluginGetIvSize,
};

// Runs op on an initialised core; the core is initialised first when needed.
template <typename Op>
int WithCore(Op&& op) noexcept {
    return common_routines::CallReturningCode([&]() -> int {
        EncryptionCore& core = EncryptionCore::Instance();
        if (!core.IsInitialized()) {
            int rc = core.Init(kEngineId, kBlockCipher, kStreamCipher);
            if (rc != ERR_NONE) {
                return rc;
            }
        }
        return op(core);
    });
}

}  // namespace

extern "C" {

int PluginGetFunctionList(EncryptionFunctionList** list) {
    if (list == nullptr) {
        return ERR_NULL_POINTER;
    }
    *list = &functionList;
    return ERR_NONE;
}

int PluginInit(void) {
    return WithCore([](EncryptionCore&) { return static_cast<int>(ERR_NONE); });
}

int PluginEncrypt(const uint8_t* in, size_t size, uint8_t* out, const uint8_t* key, const uint8_t* iv,
                  bool stream) {
    if (in == nullptr || out == nullptr || key == nullptr || iv == nullptr) {
        return ERR_NULL_POINTER;
    }
    return WithCore([&](EncryptionCore& core) { return core.Encrypt(in, size, out, key, iv, stream); });
}

int PluginDecrypt(const uint8_t* in, size_t size, uint8_t* out, const uint8_t* key, const uint8_t* iv,
                  bool stream) {
    if (in == nullptr || out == nullptr || key == nullptr || iv == nullptr) {
        return ERR_NULL_POINTER;
    }
    return WithCore([&](EncryptionCore& core) { return core.Decrypt(in, size, out, key, iv, stream); });
}

int PluginGenerateKey(uint8_t* key, int size) {
    if (key == nullptr) {
        return ERR_NULL_POINTER;
    }
    return WithCore([&](EncryptionCore& core) { return core.GenerateKey(key, size); });
}

int PluginGenerateIv(uint8_t* iv, int size) {
    if (iv == nullptr) {
        return ERR_NULL_POINTER;
    }
    return WithCore([&](EncryptionCore& core) { return core.GenerateIv(iv, size); });
}

int PluginGeneratePasswordBasedKey(uint8_t* key, int keySize, uint8_t* iv, int ivSize, const uint8_t* password,
                                   int passwordSize, const uint8_t* salt, int saltSize, int iterations) {
    if (key == nullptr || iv == nullptr || password == nullptr || salt == nullptr) {
        return ERR_NULL_POINTER;
    }
    return WithCore([&](EncryptionCore& core) {
        return core.GeneratePasswordBasedKey(kDigest, key, keySize, iv, ivSize, password, passwordSize, salt,
                                             saltSize, iterations);
    });
}

int PluginGetBlockSize(int* size) {
    if (size == nullptr) {
        return ERR_NULL_POINTER;
    }
    return WithCore([&](EncryptionCore& core) {
        *size = core.BlockSize();
        return static_cast<int>(ERR_NONE);
    });
}

int PluginGetKeySize(int* size) {
    if (size == nullptr) {
        return ERR_NULL_POINTER;
    }
    return WithCore([&](EncryptionCore& core) {
        *size = core.KeyLength();
        return static_cast<int>(ERR_NONE);
    });
}

int PluginGetIvSize(int* size) {
    if (size == nullptr) {
        return ERR_NULL_POINTER;
    }
    return WithCore([&](EncryptionCore& core) {
        *size = core.IvLength();
        return static_cast<int>(ERR_NONE);
    });
}

}  // extern "C"
