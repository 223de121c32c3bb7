// Encryption client wrapper: loads libcipherbox once and forwards every call to
// its function table; builds relation and WAL IVs.

#include "encryption_wrapper/encryption_wrapper.h"

#include <cstring>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "cipherbox/cipherbox.h"
#include "clilog/clilog.h"
#include "common/dynamic_module.h"
#include "common/error_code.h"
#include "common/result_guard.h"
#include "common/singleton.h"

namespace {

// Name given to ExceptionalCondition in assertion traps.
constexpr const char* kSourceFile = "encryption_wrapper.cpp";

// Traps with the exact condition text when a programming contract is broken.
#define WRAPPER_ASSERT(cond, text)                                                   \
    do {                                                                             \
        if (!(cond)) {                                                               \
            ExceptionalCondition("!(" text ")", "FailedAssertion", kSourceFile, __LINE__); \
        }                                                                            \
    } while (0)

// The loaded plug-in of this copy of the wrapper.
struct WrapperState : common_routines::Singleton<WrapperState> {
    std::unique_ptr<dynamic_module::DynamicModule> dynamicModulePtr;
    EncryptionFunctionList* fList = nullptr;
};

const std::vector<std::string>& RequiredEntryPoints() {
    static const std::vector<std::string> names = {
        "PluginGetFunctionList", "PluginInit",       "PluginEncrypt",     "PluginDecrypt",
        "PluginGenerateKey",     "PluginGenerateIv", "PluginGeneratePasswordBasedKey",
        "PluginGetBlockSize",    "PluginGetKeySize", "PluginGetIvSize"};
    return names;
}

bool TableIsComplete(const EncryptionFunctionList* t) {
    return t != nullptr && t->PluginGetFunctionList != nullptr && t->PluginInit != nullptr &&
           t->PluginEncrypt != nullptr && t->PluginDecrypt != nullptr && t->PluginGenerateKey != nullptr &&
           t->PluginGenerateIv != nullptr && t->PluginGeneratePasswordBasedKey != nullptr &&
           t->PluginGetBlockSize != nullptr && t->PluginGetKeySize != nullptr && t->PluginGetIvSize != nullptr;
}

// Checks that the plug-in is loaded and returns its table.
const EncryptionFunctionList& LoadedTable() {
    WrapperState& s = WrapperState::Instance();
    WRAPPER_ASSERT(s.dynamicModulePtr, "dynamicModulePtr");
    WRAPPER_ASSERT(s.fList, "fList");
    return *s.fList;
}

// Largest block, key or IV size taken from a plug-in (bytes). Real ciphers use
// at most a few dozen; the bound keeps the callers' length arithmetic far from
// overflow.
constexpr int kMaxReportedSize = 1024;

// A size the plug-in reported is used to size buffers and pad lengths: a size
// of 0 would hand a null buffer to the next call, a huge one would overflow the
// arithmetic. Such a size is refused with ERR_SIZE_MISMATCH (and not passed on).
int CheckedSize(int rc, int* size) {
    if (rc != ERR_NONE) return rc;
    if (*size < 1 || *size > kMaxReportedSize) {
        *size = 0;
        return ERR_SIZE_MISMATCH;
    }
    return ERR_NONE;
}

}  // namespace

extern "C" {

int EncryptionInit(const char* pluginDir, const char* libName, const char* binDir, const char* libDir) {
    WrapperState& state = WrapperState::Instance();
    if (state.dynamicModulePtr) {
        return ERR_NONE;
    }
    return common_routines::CallReturningCode([&]() -> int {
        auto module = std::make_unique<dynamic_module::DynamicModule>(pluginDir, libName, binDir, libDir, nullptr,
                                                                      RequiredEntryPoints());
        auto getList = module->GetSymbol<PluginGetFunctionListFunc>("PluginGetFunctionList");
        EncryptionFunctionList* list = nullptr;
        int rc = getList(&list);
        if (rc != ERR_NONE) {
            return rc;
        }
        // A library whose table is missing or has a gap is not kept: keeping it
        // would let a later EncryptionInit report success and the next call jump
        // through a null entry.
        if (!TableIsComplete(list)) {
            return ERR_NULL_POINTER;
        }
        state.dynamicModulePtr = std::move(module);
        state.fList = list;
        // A failed plug-in initialisation keeps the module; the plug-in retries
        // lazily on its next call.
        return state.fList->PluginInit();
    });
}

int EncryptionEncrypt(const uint8_t* input, size_t size, uint8_t* output, const uint8_t* key, const uint8_t* iv,
                      bool stream) {
    WRAPPER_ASSERT(input, "input");
    WRAPPER_ASSERT(output, "output");
    WRAPPER_ASSERT(key, "key");
    WRAPPER_ASSERT(iv, "iv");
    const EncryptionFunctionList& f = LoadedTable();
    return common_routines::CallReturningCode([&] { return f.PluginEncrypt(input, size, output, key, iv, stream); });
}

int EncryptionDecrypt(const uint8_t* input, size_t size, uint8_t* output, const uint8_t* key, const uint8_t* iv,
                      bool stream) {
    WRAPPER_ASSERT(input, "input");
    WRAPPER_ASSERT(output, "output");
    WRAPPER_ASSERT(key, "key");
    WRAPPER_ASSERT(iv, "iv");
    const EncryptionFunctionList& f = LoadedTable();
    return common_routines::CallReturningCode([&] { return f.PluginDecrypt(input, size, output, key, iv, stream); });
}

int EncryptionGenerateKey(uint8_t* key, int size) {
    WRAPPER_ASSERT(key, "key");
    const EncryptionFunctionList& f = LoadedTable();
    return common_routines::CallReturningCode([&] { return f.PluginGenerateKey(key, size); });
}

int EncryptionGenerateIv(uint8_t* iv, int size) {
    WRAPPER_ASSERT(iv, "iv");
    const EncryptionFunctionList& f = LoadedTable();
    return common_routines::CallReturningCode([&] { return f.PluginGenerateIv(iv, size); });
}

int EncryptionDerivePasswordKey(uint8_t* key, int keySize, uint8_t* iv, int ivSize, const uint8_t* password,
                                int passwordSize, const uint8_t* salt, int saltSize, int iterations) {
    WRAPPER_ASSERT(key, "key");
    WRAPPER_ASSERT(iv, "iv");
    WRAPPER_ASSERT(password, "password");
    WRAPPER_ASSERT(salt, "salt");
    const EncryptionFunctionList& f = LoadedTable();
    return common_routines::CallReturningCode([&] {
        return f.PluginGeneratePasswordBasedKey(key, keySize, iv, ivSize, password, passwordSize, salt, saltSize,
                                                iterations);
    });
}

int EncryptionGetBlockSize(int* size) {
    WRAPPER_ASSERT(size, "size");
    const EncryptionFunctionList& f = LoadedTable();
    return CheckedSize(common_routines::CallReturningCode([&] { return f.PluginGetBlockSize(size); }), size);
}

int EncryptionGetKeySize(int* size) {
    WRAPPER_ASSERT(size, "size");
    const EncryptionFunctionList& f = LoadedTable();
    return CheckedSize(common_routines::CallReturningCode([&] { return f.PluginGetKeySize(size); }), size);
}

int EncryptionGetIvSize(int* size) {
    WRAPPER_ASSERT(size, "size");
    const EncryptionFunctionList& f = LoadedTable();
    return CheckedSize(common_routines::CallReturningCode([&] { return f.PluginGetIvSize(size); }), size);
}

void EncryptionMakeRelationIv(int objType, unsigned objOid, unsigned dataBaseOid, uint8_t* iv, int ivSize) {
    WRAPPER_ASSERT(iv, "iv");
    // A negative size would pass the comparison as a huge unsigned value.
    WRAPPER_ASSERT(ivSize >= 0 &&
                       sizeof(objOid) + sizeof(dataBaseOid) + sizeof(objType) <= static_cast<size_t>(ivSize),
                   "sizeof( objOid ) + sizeof( dataBaseOid ) + sizeof( objType ) <= static_cast<size_t>( ivSize )");
    std::memset(iv, 0, static_cast<size_t>(ivSize));
    std::memcpy(iv, &objOid, sizeof(objOid));
    std::memcpy(iv + 4, &dataBaseOid, sizeof(dataBaseOid));
    std::memcpy(iv + 8, &objType, sizeof(objType));
}

void EncryptionMakeWalIv(unsigned timeline, uint64_t segment, unsigned offset, uint8_t* iv, int ivSize) {
    WRAPPER_ASSERT(iv, "iv");
    WRAPPER_ASSERT(ivSize >= 0 &&
                       sizeof(timeline) + sizeof(segment) + sizeof(offset) <= static_cast<size_t>(ivSize),
                   "sizeof( timeline ) + sizeof( segment ) + sizeof( offset ) <= static_cast<size_t>( ivSize )");
    std::memset(iv, 0, static_cast<size_t>(ivSize));
    std::memcpy(iv, &timeline, sizeof(timeline));
    std::memcpy(iv + 4, &segment, sizeof(segment));
    std::memcpy(iv + 12, &offset, sizeof(offset));
}

}  // extern "C"
