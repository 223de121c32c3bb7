#pragma once

// libkeydepot: the KMS connector for installations without a key management
// server. Values come from two key=value files in the configuration directory:
// "kms_static_params.cfg", encrypted with the host's KMS key (paramseal writes
// it) and read once per Init, holds the master key and the WAL key;
// "kms_dynamic_params.cfg", plain text, holds everything else and is read again
// whenever it changes on disk. Writes are refused.
//
// The host's key derivation StoreDeriveKey is taken from the loading process,
// which carries the credential store; this library does not contain it.

#include <sys/types.h>

#include <ctime>
#include <string>

#include "common/config_utils.h"
#include "common/singleton.h"
#include "kms/plugin_kms_connector.h"

namespace kms {

class KeyDepot : public IPluginKmsConnector, public common_routines::Singleton<KeyDepot> {
    friend class common_routines::Singleton<KeyDepot>;

public:
    // Reads and decrypts the static file, checks that it holds every static key,
    // and loads the dynamic file. A failure keeps the previous state.
    ErrorResult Init(const char* configDir, const char* pluginDir) override;
    bool IsInitialized() override;
    // Looks up `key` alone; the other names only appear in the log line.
    ErrorResult GetValue(const std::string& domain, const std::string& clusterId, const std::string& subdomain,
                         const std::string& key, std::string& value) override;
    // Always refused with ERR_NOT_IMPLEMENTED and a WARNING.
    ErrorResult SetValue(const std::string& domain, const std::string& clusterId, const std::string& subdomain,
                         const std::string& key, const std::string& value) override;
    ErrorResult CheckAndSetValue(const std::string& domain, const std::string& clusterId,
                                 const std::string& subdomain, const std::string& key,
                                 const std::string& value) override;

    // What identifies one version of the dynamic file on disk.
    struct FileStamp {
        dev_t device = 0;
        ino_t inode = 0;
        off_t size = -1;
        timespec modified{0, 0};
        bool operator==(const FileStamp& other) const;
    };

private:
    KeyDepot() = default;
    ~KeyDepot() override = default;

    // Reloads the dynamic file when it differs from the version last loaded.
    ErrorResult RefreshDynamic();

    bool initialized_ = false;
    common_routines::ConfigUtils static_params_{""};
    common_routines::ConfigUtils dynamic_params_{""};
    FileStamp dynamic_stamp_;
    const char* plugin_dir_ = nullptr;
};

}  // namespace kms
