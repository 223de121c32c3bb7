// Bodies of the connector entry points: argument checks first, then the
// singleton's operation inside the exception guard, then the result as a code.

#include "kms/connector_entry_points.h"

#include <cstring>
#include <string>

#include "common/error_code.h"
#include "common/result_guard.h"
#include "common/secure_buffer.h"
#include "kms/host_report.h"

namespace kms::entry_points {

int GetFunctionList(KmsFunctionList* table, KmsFunctionList** list) noexcept {
    if (list == nullptr) return ERR_NULL_POINTER;
    *list = table;
    return ERR_NONE;
}

int Init(InstanceFunction instance, const char* configDir, const char* pluginDir) noexcept {
    return common_routines::CallReturningCode(
        [&] { return ResultToCode(instance().Init(configDir, pluginDir)); });
}

int IsInitialized(InstanceFunction instance) noexcept {
    return common_routines::CallReturningCode([&]() -> int {
        return instance().IsInitialized() ? ERR_NONE : ERR_KMS_PLUGIN_NOT_INITIALIZED;
    });
}

int GetValue(InstanceFunction instance, const char* domain, const char* clusterId, const char* subdomain,
             const char* key, uint8_t* value, size_t* valueSize) noexcept {
    if (domain == nullptr || clusterId == nullptr || subdomain == nullptr || key == nullptr ||
        valueSize == nullptr) {
        return ERR_NULL_POINTER;
    }
    return common_routines::CallReturningCode([&]() -> int {
        std::string fetched;
        const common_routines::WipeOnExit wipe(fetched);
        const ErrorResult result = instance().GetValue(domain, clusterId, subdomain, key, fetched);
        if (IsFailure(result)) return result->first;
        if (*valueSize < fetched.size()) {
            *valueSize = fetched.size();
            return ERR_NOT_ENOUGH_MEMORY;
        }
        if (fetched.empty()) return ERR_NONE;
        // An empty value needs no buffer: a caller that asks for the length with
        // a null buffer and *valueSize 0 has its answer. Any other value does.
        if (value == nullptr) return ERR_NULL_POINTER;
        std::memcpy(value, fetched.data(), fetched.size());
        return ERR_NONE;
    });
}

namespace {

// The body of both writing entry points; `write` is the connector's SetValue
// or CheckAndSetValue.
using WriteOperation = ErrorResult (IPluginKmsConnector::*)(const std::string&, const std::string&,
                                                            const std::string&, const std::string&,
                                                            const std::string&);

int WriteValue(InstanceFunction instance, WriteOperation write, const char* domain, const char* clusterId,
               const char* subdomain, const char* key, const char* value) noexcept {
    if (domain == nullptr || clusterId == nullptr || subdomain == nullptr || key == nullptr || value == nullptr) {
        return ERR_NULL_POINTER;
    }
    return common_routines::CallReturningCode([&] {
        // The value is key material: its string copy is wiped, not just freed.
        std::string text;
        const common_routines::WipeOnExit wipe(text);
        text = value;
        return ResultToCode((instance().*write)(domain, clusterId, subdomain, key, text));
    });
}

}  // namespace

int SetValue(InstanceFunction instance, const char* domain, const char* clusterId, const char* subdomain,
             const char* key, const char* value) noexcept {
    return WriteValue(instance, &IPluginKmsConnector::SetValue, domain, clusterId, subdomain, key, value);
}

int CheckAndSetValue(InstanceFunction instance, const char* domain, const char* clusterId,
                     const char* subdomain, const char* key, const char* value) noexcept {
    return WriteValue(instance, &IPluginKmsConnector::CheckAndSetValue, domain, clusterId, subdomain, key, value);
}

}  // namespace kms::entry_points
