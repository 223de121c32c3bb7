#include "credentials/kms_credentials.h"

#include <json/json.h>

#include <cstdio>
#include <cstring>
#include <system_error>
#include <utility>

#include "common/common_routines.h"
#include "common/error_code.h"
#include "common/json_wipe.h"
#include "common/result_guard.h"
#include "common/secure_buffer.h"
#include "encryption_wrapper/encryption_wrapper.h"

namespace kms_credentials {

uint64_t MurmurHash64A(const void* data, size_t length, uint64_t seed) {
    constexpr uint64_t m = 0xC6A4A7935BD1E995ULL;
    constexpr int r = 47;
    const auto* bytes = static_cast<const uint8_t*>(data);
    uint64_t h = seed ^ (static_cast<uint64_t>(length) * m);

    size_t blocks = length / 8;
    for (size_t i = 0; i < blocks; ++i) {
        uint64_t k = 0;
        for (int b = 7; b >= 0; --b) k = (k << 8) | bytes[i * 8 + static_cast<size_t>(b)];
        k *= m;
        k ^= k >> r;
        k *= m;
        h ^= k;
        h *= m;
    }
    const uint8_t* tail = bytes + blocks * 8;
    size_t rest = length & 7;
    if (rest > 0) {
        for (size_t b = rest; b-- > 0;) h ^= static_cast<uint64_t>(tail[b]) << (8 * b);
        h *= m;
    }
    h ^= h >> r;
    h *= m;
    h ^= h >> r;
    return h;
}

bool KmsCredentialsCheck(const std::vector<KmsCredentialsItem>& items) {
    for (const auto& item : items) {
        if (!common_routines::IsIpAddressValid(item.address.c_str())) return false;
        if (!common_routines::IsPortValid(item.port)) return false;
        if (item.type == KMS_CREDENTIALS_TYPE_UNDEFINED) return false;
        if (item.login.empty() || item.secret.empty()) return false;
    }
    return true;
}

namespace {

std::string Compact(const Json::Value& value) {
    Json::FastWriter writer;
    return writer.write(value);
}

uint64_t HashOf(const std::string& text) { return MurmurHash64A(text.data(), text.size(), kHashSeed); }

// Parses the document, checks its hash and yields its "data" member.
int KmsCredentialsVerify(const std::string& text, Json::Value& data) {
    Json::Value root;
    const common_routines::WipeJsonOnExit wipeRoot(root);
    Json::Reader reader;
    // The decrypted text ends with the zero bytes of the block padding.
    size_t end = text.find('\0');
    if (end == std::string::npos) end = text.size();
    if (!reader.parse(text.data(), text.data() + end, root, false)) return ERR_FORMAT;
    data = root["data"];
    std::string dataText = Compact(data);
    uint64_t stored = root["hash"].asUInt64();
    uint64_t actual = HashOf(dataText);
    common_routines::SecureWipe(dataText);
    if (stored != actual) return ERR_DECRYPT;
    return ERR_NONE;
}

int ReadItem(const Json::Value& element, KmsCredentialsItem& item) {
    if (!element.isObject()) return ERR_FORMAT;
    const Json::Value& ipPort = element["ip_port"];
    const Json::Value& type = element["type"];
    const Json::Value& id = element["id"];
    const Json::Value& secret = element["secret"];
    if (!ipPort.isString() || !type.isInt() || !id.isString() || !secret.isString()) return ERR_FORMAT;

    auto parts = common_routines::SplitString(ipPort.asString(), ":");
    if (parts.size() != 2) return ERR_FORMAT;
    item.address = parts[0];
    if (!common_routines::ParsePortText(parts[1], item.port)) return ERR_FORMAT;
    item.type = static_cast<KmsCredentialsType>(type.asInt());
    item.login = id.asString();
    item.secret = secret.asString();
    return ERR_NONE;
}

// Steps shared by the load and cluster-identifier reads: initialise, read,
// decrypt and verify.
int ReadDocument(const char* pluginDir, const char* libName, const char* binDir, const char* libDir,
                 KmsCredentialsDomain domain, const std::string& path, Json::Value& data) {
    if (domain == KMS_CREDENTIALS_DOMAIN_UNDEFINED || path.empty()) return ERR_INPUT_DATA;
    int rc = EncryptionInit(pluginDir, libName, binDir, libDir);
    if (rc != ERR_NONE) return rc;
    std::string text;
    rc = StoreReadFile(domain, path, text);
    if (rc == ERR_NONE) rc = KmsCredentialsVerify(text, data);
    common_routines::SecureWipe(text);
    return rc;
}

}  // namespace

std::string KmsCredentialsToJson(const std::string& clusterId, const std::vector<KmsCredentialsItem>& items) {
    Json::Value data(Json::objectValue);
    const common_routines::WipeJsonOnExit wipeData(data);
    data["cluster_id"] = clusterId;
    Json::Value& list = data["kms_connection_settings"] = Json::Value(Json::arrayValue);
    for (const auto& item : items) {
        char port[16];
        std::snprintf(port, sizeof(port), "%d", item.port);
        Json::Value element(Json::objectValue);
        element["ip_port"] = item.address + ":" + port;
        element["type"] = static_cast<Json::Int>(item.type);
        element["id"] = item.login;
        element["secret"] = item.secret;
        list.append(std::move(element));
    }
    std::string dataText = Compact(data);
    Json::Value root(Json::objectValue);
    const common_routines::WipeJsonOnExit wipeRoot(root);
    root["data"] = data;
    root["hash"] = static_cast<Json::UInt64>(HashOf(dataText));
    common_routines::SecureWipe(dataText);
    return Compact(root);
}

}  // namespace kms_credentials

const char* KmsCredentialsTypeToStr(KmsCredentialsType type) {
    switch (type) {
        case KMS_CREDENTIALS_USERPASS: return "Userpass Auth Method";
        case KMS_CREDENTIALS_APPROLE: return "AppRole Auth Method";
        default: return "Unknown";
    }
}

int KmsCredentialsSave(const char* pluginDir, const char* libName, const char* binDir, const char* libDir,
                       KmsCredentialsDomain domain, const std::string& path, const std::string& clusterId,
                       const std::vector<KmsCredentialsItem>& items) {
    if (domain == KMS_CREDENTIALS_DOMAIN_UNDEFINED || path.empty() ||
        !kms_credentials::KmsCredentialsCheck(items))
        return ERR_INPUT_DATA;
    int rc = EncryptionInit(pluginDir, libName, binDir, libDir);
    if (rc != ERR_NONE) return rc;
    std::string document = kms_credentials::KmsCredentialsToJson(clusterId, items);
    rc = StoreWriteFile(domain, path, document);
    common_routines::SecureWipe(document);
    return rc;
}

int KmsCredentialsLoad(const char* pluginDir, const char* libName, const char* binDir, const char* libDir,
                       KmsCredentialsDomain domain, const std::string& path,
                       std::vector<KmsCredentialsItem>& items) {
    Json::Value data;
    const common_routines::WipeJsonOnExit wipeData(data);
    int rc = kms_credentials::ReadDocument(pluginDir, libName, binDir, libDir, domain, path, data);
    if (rc != ERR_NONE) return rc;

    std::vector<KmsCredentialsItem> loaded;
    const Json::Value& list = data["kms_connection_settings"];
    if (!list.isNull() && !list.isArray()) return ERR_FORMAT;
    for (const auto& element : list) {
        KmsCredentialsItem item;
        rc = kms_credentials::ReadItem(element, item);
        if (rc != ERR_NONE) return rc;
        loaded.push_back(std::move(item));
    }
    if (!kms_credentials::KmsCredentialsCheck(loaded)) return ERR_FORMAT;
    // Only a fully valid list reaches the caller.
    items.insert(items.end(), std::make_move_iterator(loaded.begin()), std::make_move_iterator(loaded.end()));
    return ERR_NONE;
}

int KmsCredentialsGetClusterId(const char* pluginDir, const char* libName, const char* binDir,
                               const char* libDir, KmsCredentialsDomain domain, const std::string& path,
                               std::string& clusterId) {
    Json::Value data;
    const common_routines::WipeJsonOnExit wipeData(data);
    int rc = kms_credentials::ReadDocument(pluginDir, libName, binDir, libDir, domain, path, data);
    if (rc != ERR_NONE) return rc;
    clusterId = data["cluster_id"].asString();
    return ERR_NONE;
}

extern "C" int KmsCredentialsReadClusterId(const char* pluginDir, const char* libName, const char* binDir,
                                           const char* libDir, const char* dir, char** out,
                                           void* (*allocate)(size_t)) {
    return common_routines::CallReturningCode([&]() -> int {
        if (!dir || !out || !allocate) return ERR_NULL_POINTER;
        std::string clusterId;
        int rc = KmsCredentialsGetClusterId(pluginDir, libName, binDir, libDir, KMS,
                                            common_routines::JoinPath(dir, kKmsCredentialsFileName),
                                            clusterId);
        if (rc != ERR_NONE) return rc;
        if (clusterId.empty()) return ERR_NOT_FOUND;
        auto* copy = static_cast<char*>(allocate(clusterId.size() + 1));
        if (!copy) return ERR_ALLOCATION;
        std::memcpy(copy, clusterId.c_str(), clusterId.size() + 1);
        *out = copy;
        return ERR_NONE;
    });
}
