#pragma once

// Abstract base of every KMS connector (libkmsremote, libkeydepot). A concrete
// connector also derives from common_routines::Singleton<itself> and gets its
// six C entry points from KMS_CONNECTOR_ENTRY_POINTS (connector_entry_points.h).
//
// Results are common_routines::ErrorResult: empty on success; a result whose
// code is negative is a failure, one with a code >= 0 counts as success.

#include <string>

#include "common/config_utils.h"

namespace kms {

using ErrorResult = common_routines::ErrorResult;

class IPluginKmsConnector {
public:
    virtual ~IPluginKmsConnector() = default;

    // Reads the connector's configuration from configDir; pluginDir is where the
    // encryption plug-in is looked up (null: its default places).
    virtual ErrorResult Init(const char* configDir, const char* pluginDir) = 0;
    virtual bool IsInitialized() = 0;
    // domain, clusterId, subdomain and key name a value from the outermost level
    // to the innermost; each connector maps them onto its own store.
    virtual ErrorResult GetValue(const std::string& domain, const std::string& clusterId,
                                 const std::string& subdomain, const std::string& key, std::string& value) = 0;
    virtual ErrorResult SetValue(const std::string& domain, const std::string& clusterId,
                                 const std::string& subdomain, const std::string& key,
                                 const std::string& value) = 0;
    // Stores the value only when the key does not exist yet.
    virtual ErrorResult CheckAndSetValue(const std::string& domain, const std::string& clusterId,
                                         const std::string& subdomain, const std::string& key,
                                         const std::string& value) = 0;
};

}  // namespace kms
