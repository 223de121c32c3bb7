#include "keydepot.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ext/stdio_filebuf.h>

#include <cerrno>
#include <cstdint>
#include <istream>
#include <set>
#include <streambuf>
#include <vector>

#include "common/common_routines.h"
#include "common/error_code.h"
#include "common/secure_buffer.h"
#include "common/unique_handles.h"
#include "credentials/credential_store.h"
#include "encryption_wrapper/encryption_wrapper.h"
#include "kms/connector_entry_points.h"
#include "kms/host_report.h"

namespace kms {

namespace {

constexpr const char* kStaticFileName = "kms_static_params.cfg";
constexpr const char* kDynamicFileName = "kms_dynamic_params.cfg";
constexpr const char* kInitOperation = "ProcessKmsPlugin";

// Keys served from the static file; checked at Init in this (sorted) order.
const std::set<std::string>& StaticKeys() {
    static const std::set<std::string> keys = {"actual_master_key", "master_key_value_00000000_000000_000",
                                               "wal_key"};
    return keys;
}

// Derived key and IV, wiped on every way out of Init.
struct DerivedKey {
    std::vector<uint8_t> key;
    std::vector<uint8_t> iv;
    ~DerivedKey() {
        common_routines::SecureWipe(key.data(), key.size());
        common_routines::SecureWipe(iv.data(), iv.size());
    }
};

// Lets the parser read the decrypted text where it lies, so no unwiped copy of
// it is made on the way.
class MemoryStreamBuf : public std::streambuf {
public:
    MemoryStreamBuf(char* data, size_t size) { setg(data, data, data + size); }
};

// Reads the whole static file into `content`. Parameter files are read only
// when they are regular files (common_routines::OpenRegularFile).
int ReadStaticFile(const std::string& path, common_routines::SecureBuffer& content) {
    int code = ERR_NONE;
    struct stat st {};
    const common_routines::UniqueFd fd(common_routines::OpenRegularFile(path, code, st));
    if (fd.get() < 0) return code;
    content.assign(static_cast<size_t>(st.st_size), 0);
    return common_routines::ReadExactly(fd.get(), content.data(), content.size());
}

// Loads the dynamic file into `params` (bound to its path), with the results
// and messages of ConfigUtils::LoadConfigFile.
ErrorResult LoadDynamicFile(common_routines::ConfigUtils& params) {
    const std::string& path = params.Path();
    int code = ERR_NONE;
    struct stat st {};
    const int fd = common_routines::OpenRegularFile(path, code, st);
    if (fd < 0) {
        return code == ERR_FILE_NOT_FOUND
                   ? common_routines::MakeErrorResult(code, "LoadConfigFile", "File '" + path + "' is not found")
                   : common_routines::MakeErrorResult(code, "LoadConfigFile", "Could not open file '" + path + "'");
    }
    // The buffer owns the descriptor from here on and closes it.
    __gnu_cxx::stdio_filebuf<char> buffer(fd, std::ios::in);
    std::istream input(&buffer);
    return params.LoadFromStream(input);
}

bool StatFile(const std::string& path, KeyDepot::FileStamp& stamp) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return false;
    stamp.device = st.st_dev;
    stamp.inode = st.st_ino;
    stamp.size = st.st_size;
    stamp.modified = st.st_mtim;
    return true;
}

}  // namespace

bool KeyDepot::FileStamp::operator==(const FileStamp& other) const {
    return device == other.device && inode == other.inode && size == other.size &&
           modified.tv_sec == other.modified.tv_sec && modified.tv_nsec == other.modified.tv_nsec;
}

ErrorResult KeyDepot::Init(const char* configDir, const char* pluginDir) {
    const std::string dir = configDir != nullptr ? configDir : "";
    const std::string staticPath = common_routines::JoinPath(dir, kStaticFileName);

    common_routines::SecureBuffer content;
    int rc = ReadStaticFile(staticPath, content);
    if (rc != ERR_NONE) return CodeFailure(rc);

    rc = EncryptionInit(pluginDir, nullptr, nullptr, nullptr);
    if (rc != ERR_NONE) return CodeFailure(rc);

    // Bound by name in the loading process, which carries the credential store.
    auto deriveKey = reinterpret_cast<StoreDeriveKeyFunction>(dlsym(RTLD_DEFAULT, kStoreDeriveKeySymbol));
    if (deriveKey == nullptr) {
        return Failure(ERR_LIBRARY_NOT_LOADED, kInitOperation,
                       "The loading process does not provide " + std::string(kStoreDeriveKeySymbol));
    }
    DerivedKey derived;
    rc = deriveKey(KMS, derived.key, derived.iv);
    if (rc != ERR_NONE) return CodeFailure(rc);

    rc = EncryptionDecrypt(content.data(), content.size(), content.data(), derived.key.data(),
                           derived.iv.data(), false);
    if (rc != ERR_NONE) return CodeFailure(rc);

    // Parsed into fresh objects: a failed Init leaves the served values as they were.
    // The zero bytes that pad the text to whole cipher blocks follow the last line
    // end and are skipped by the parser; a last line without a line feed keeps them
    // in its value, as files already in service were read (paramseal ends the text
    // with a line feed so that the files it writes never have one).
    const size_t textEnd = content.size();
    common_routines::ConfigUtils staticParams(staticPath);
    {
        MemoryStreamBuf buffer(content.chars(), textEnd);
        std::istream input(&buffer);
        ErrorResult parsed = staticParams.LoadFromStream(input);
        if (parsed) return parsed;
    }
    content.Wipe();

    for (const std::string& key : StaticKeys()) {
        std::string probe;
        const bool present = !staticParams.GetValue(key, probe);
        common_routines::SecureWipe(probe);
        if (!present) {
            const std::string text = "Parameter " + key + " does not exist in static KMS config file (" +
                                     kStaticFileName + ")";
            KMS_REPORT(kLevelWarning, kInitOperation, text);
            return Failure(ERR_FORMAT, kInitOperation, text);
        }
    }

    const std::string dynamicPath = common_routines::JoinPath(dir, kDynamicFileName);
    common_routines::ConfigUtils dynamicParams(dynamicPath);
    // Stamp taken before the read: a change during the read shows as a new version.
    FileStamp stamp;
    StatFile(dynamicPath, stamp);
    ErrorResult loaded = LoadDynamicFile(dynamicParams);
    if (loaded) return loaded;

    static_params_ = std::move(staticParams);
    dynamic_params_ = std::move(dynamicParams);
    dynamic_stamp_ = stamp;
    plugin_dir_ = pluginDir;
    initialized_ = true;
    KMS_REPORT(kLevelLog, kInitOperation, "The initialization of KMS substitute completed successfully.");
    return nullptr;
}

bool KeyDepot::IsInitialized() { return initialized_; }

ErrorResult KeyDepot::RefreshDynamic() {
    // One stat per lookup. Any other version (time, size or a file put in its
    // place) is loaded, not only a newer time: a file restored from a copy with
    // an older time must not be ignored. A file that cannot be examined keeps the
    // values last loaded. The file is loaded into a fresh object: a reload that
    // fails (a duplicated key, the file gone between the stat and the open)
    // must not leave half a file or nothing to be served once the file can no
    // longer be examined.
    FileStamp current;
    if (!StatFile(dynamic_params_.Path(), current) || current == dynamic_stamp_) return nullptr;
    common_routines::ConfigUtils reloaded(dynamic_params_.Path());
    ErrorResult loaded = LoadDynamicFile(reloaded);
    if (loaded) return loaded;
    dynamic_params_ = std::move(reloaded);
    dynamic_stamp_ = current;
    return nullptr;
}

ErrorResult KeyDepot::GetValue(const std::string& domain, const std::string& clusterId,
                               const std::string& subdomain, const std::string& key, std::string& value) {
    if (!initialized_) {
        return Failure(ERR_KMS_PLUGIN_NOT_INITIALIZED, "GetValue", "KMS substitute is not initialized");
    }
    std::string text = "KeyDepot::GetValue domain: " + domain + " clusterId: " + clusterId +
                       " subdomain: " + subdomain + " key: " + key + " parameter type: ";
    const bool isStatic = StaticKeys().count(key) != 0;
    ErrorResult result;
    if (isStatic) {
        result = static_params_.GetValue(key, value);
        text += "Static";
    } else {
        ErrorResult refreshed = RefreshDynamic();
        if (refreshed) return refreshed;
        result = dynamic_params_.GetValue(key, value);
        text += "Dynamic";
    }
    KMS_REPORT(kLevelLog, "GetValue", text);
    if (result) {
        KMS_REPORT(kLevelLog, "GetValue", "Parameter does not present in KMS params file.");
    } else if (isStatic) {
        KMS_REPORT(kLevelLog, "GetValue", "Parameter value successfully loaded");
    } else {
        KMS_REPORT(kLevelLog, "GetValue", "Parameter value successfully loaded. Value: " + value);
    }
    return result;
}

ErrorResult KeyDepot::SetValue(const std::string& domain, const std::string& clusterId,
                               const std::string& subdomain, const std::string& key, const std::string& value) {
    const std::string text = "KeyDepot::SetValue: operation not supported for KMS substitute. domain: " + domain +
                             " clusterId: " + clusterId + " subdomain: " + subdomain + " key: " + key;
    KMS_REPORT(kLevelWarning, "SetValue", text);
    return Failure(ERR_NOT_IMPLEMENTED, "SetValue", text);
}

ErrorResult KeyDepot::CheckAndSetValue(const std::string& domain, const std::string& clusterId,
                                       const std::string& subdomain, const std::string& key,
                                       const std::string& value) {
    const std::string text = "KeyDepot::CheckAndSetValue: operation not supported for KMS substitute. domain: " +
                             domain + " clusterId: " + clusterId + " subdomain: " + subdomain + " key: " + key +
                             " value: " + value;
    KMS_REPORT(kLevelWarning, "CheckAndSetValue", text);
    return Failure(ERR_NOT_IMPLEMENTED, "CheckAndSetValue", text);
}

}  // namespace kms

KMS_CONNECTOR_ENTRY_POINTS(kms::KeyDepot)
