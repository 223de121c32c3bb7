// Engine selection for the encryption plug-in.
//
// The engine calls used here belong to OpenSSL's 1.0-level interface; OpenSSL 3
// still provides them (several as compatibility macros), so this one file asks
// for that API level and silences the deprecation warnings it brings.
#define OPENSSL_API_COMPAT 0x10000000L

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

#include <openssl/engine.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>

#include <cstring>

#include "common/error_code.h"
#include "encryption_core.h"

namespace encryption {

namespace {

constexpr const char* kBuiltinEngine = "builtin";
constexpr unsigned int kAllEngineMethods = 0xFFFF;

// Loads an engine through the "dynamic" engine, which finds the shared object by
// identifier in OpenSSL's engine directory.
ENGINE* LoadDynamicEngine(const char* engineId) {
    ENGINE* engine = ENGINE_by_id("dynamic");
    if (engine == nullptr) {
        throw static_cast<int>(ERR_ENGINE_NOT_FOUND);
    }
    if (!ENGINE_ctrl_cmd_string(engine, "SO_PATH", engineId, 0) ||
        !ENGINE_ctrl_cmd_string(engine, "LIST_ADD", "1", 0) ||
        !ENGINE_ctrl_cmd_string(engine, "ID", engineId, 0) ||
        !ENGINE_ctrl_cmd_string(engine, "LOAD", nullptr, 0)) {
        ENGINE_free(engine);
        throw static_cast<int>(ERR_ENGINE_NOT_LOADED);
    }
    return engine;
}

}  // namespace

CryptoEngine::CryptoEngine(const char* engineId) : engineId_(engineId != nullptr ? engineId : kBuiltinEngine) {
    ENGINE_load_openssl();
    ENGINE_load_dynamic();
    ENGINE_load_builtin_engines();

    if (engineId_ != kBuiltinEngine) {
        ENGINE* engine = ENGINE_by_id(engineId_.c_str());
        if (engine == nullptr) {
            engine = LoadDynamicEngine(engineId_.c_str());
        }
        const char* loadedId = ENGINE_get_id(engine);
        if (loadedId == nullptr || engineId_ != loadedId) {
            ENGINE_free(engine);
            throw static_cast<int>(ERR_ENGINE_NOT_LOADED);
        }
        if (!ENGINE_init(engine)) {
            ENGINE_free(engine);
            throw static_cast<int>(ERR_ENGINE_NOT_INITIALIZED);
        }
        ENGINE_set_default(engine, kAllEngineMethods);
        engine_ = engine;
    }

    OPENSSL_add_all_algorithms_noconf();
    SSL_library_init();
}

CryptoEngine::~CryptoEngine() {
    if (engine_ != nullptr) {
        ENGINE_finish(engine_);
        ENGINE_free(engine_);
        engine_ = nullptr;
    }
}

}  // namespace encryption

#pragma GCC diagnostic pop
