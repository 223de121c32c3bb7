#pragma once

// The six exported entry points and the static function table of a connector,
// defined once for both connectors. A connector's source file says
//
//     KMS_CONNECTOR_ENTRY_POINTS(kms::KeyDepot)
//
// at namespace scope; the class derives from kms::IPluginKmsConnector and
// common_routines::Singleton<itself>. The helpers behind the entry points (null
// checks, the KmsGetValue size protocol, result and exception conversion) live
// in kms_connector_common (kms/common/entry_points.cpp).

#include <stddef.h>
#include <stdint.h>

#include "kms/kms_function_list.h"
#include "kms/plugin_kms_connector.h"

namespace kms::entry_points {

// Returns the connector singleton; called inside the exception guard so that a
// failing construction becomes a result code.
using InstanceFunction = IPluginKmsConnector& (*)();

int GetFunctionList(KmsFunctionList* table, KmsFunctionList** list) noexcept;
int Init(InstanceFunction instance, const char* configDir, const char* pluginDir) noexcept;
int IsInitialized(InstanceFunction instance) noexcept;
int GetValue(InstanceFunction instance, const char* domain, const char* clusterId, const char* subdomain,
             const char* key, uint8_t* value, size_t* valueSize) noexcept;
int SetValue(InstanceFunction instance, const char* domain, const char* clusterId, const char* subdomain,
             const char* key, const char* value) noexcept;
int CheckAndSetValue(InstanceFunction instance, const char* domain, const char* clusterId,
                     const char* subdomain, const char* key, const char* value) noexcept;

}  // namespace kms::entry_points

#define KMS_CONNECTOR_ENTRY_POINTS(ClassName)                                                                 \
    namespace {                                                                                               \
    ::kms::IPluginKmsConnector& KmsConnectorInstance() { return ClassName::Instance(); }                      \
    KmsFunctionList kmsConnectorFunctionList = {KmsGetFunctionList, KmsInit,     KmsIsInitialized,            \
                                                KmsGetValue,        KmsSetValue, KmsCheckAndSetValue};        \
    }                                                                                                         \
    extern "C" {                                                                                              \
    int KmsGetFunctionList(KmsFunctionList** list) {                                                          \
        return ::kms::entry_points::GetFunctionList(&kmsConnectorFunctionList, list);                         \
    }                                                                                                         \
    int KmsInit(const char* configDir, const char* pluginDir) {                                               \
        return ::kms::entry_points::Init(&KmsConnectorInstance, configDir, pluginDir);                        \
    }                                                                                                         \
    int KmsIsInitialized(void) { return ::kms::entry_points::IsInitialized(&KmsConnectorInstance); }          \
    int KmsGetValue(const char* domain, const char* clusterId, const char* subdomain, const char* key,       \
                    uint8_t* value, size_t* valueSize) {                                                      \
        return ::kms::entry_points::GetValue(&KmsConnectorInstance, domain, clusterId, subdomain, key, value, \
                                             valueSize);                                                      \
    }                                                                                                         \
    int KmsSetValue(const char* domain, const char* clusterId, const char* subdomain, const char* key,       \
                    const char* value) {                                                                      \
        return ::kms::entry_points::SetValue(&KmsConnectorInstance, domain, clusterId, subdomain, key, value); \
    }                                                                                                         \
    int KmsCheckAndSetValue(const char* domain, const char* clusterId, const char* subdomain,                \
                            const char* key, const char* value) {                                             \
        return ::kms::entry_points::CheckAndSetValue(&KmsConnectorInstance, domain, clusterId, subdomain,     \
                                                     key, value);                                             \
    }                                                                                                         \
    }
