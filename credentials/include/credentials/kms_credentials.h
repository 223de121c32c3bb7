#pragma once

// The KMS credentials file: cluster identifier and the list of KMS endpoints with
// their logins, as one JSON document protected by a 64-bit hash and encrypted
// with the host-bound key of a credential domain (KMS in every caller).
//
// The four plug-in location arguments of the file operations are passed to
// EncryptionInit (plug-in directory, library name, bin and lib directories;
// each may be null), which is called first.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/secure_buffer.h"
#include "credentials/credential_store.h"

// Kind of login stored for a KMS endpoint.
enum KmsCredentialsType : int32_t {
    KMS_CREDENTIALS_TYPE_UNDEFINED = -1,
    KMS_CREDENTIALS_USERPASS = 1,  // login name and password
    KMS_CREDENTIALS_APPROLE = 2,   // role ID and secret ID
};

// "Userpass Auth Method", "AppRole Auth Method", or "Unknown".
const char* KmsCredentialsTypeToStr(KmsCredentialsType type);

// One KMS endpoint and its login.
struct KmsCredentialsItem {
    std::string address;  // IPv4 address, dotted
    int32_t port = 0;
    KmsCredentialsType type = KMS_CREDENTIALS_TYPE_UNDEFINED;
    std::string login;   // login name or role ID
    std::string secret;  // password or secret ID
};

// Wipes the logins and secrets of `items`; for a list that is about to be
// released or whose items were moved elsewhere.
inline void KmsCredentialsWipeItems(std::vector<KmsCredentialsItem>& items) {
    for (auto& item : items) {
        common_routines::SecureWipe(item.login);
        common_routines::SecureWipe(item.secret);
    }
}

// Default file name of the KMS credentials file.
inline constexpr const char* kKmsCredentialsFileName = "enc_connection_settings.cfg";

// Writes the file (replacing any old one) with the cluster identifier and the
// items. ERR_INPUT_DATA for domain -1, an empty path or an invalid item, before
// anything is touched.
int KmsCredentialsSave(const char* pluginDir, const char* libName, const char* binDir, const char* libDir,
                       KmsCredentialsDomain domain, const std::string& path, const std::string& clusterId,
                       const std::vector<KmsCredentialsItem>& items);

// Appends the file's items to `items`. ERR_FORMAT for a document that does not
// parse or holds malformed items, ERR_DECRYPT when the hash does not match.
// On failure `items` may hold part of the list and must be discarded.
int KmsCredentialsLoad(const char* pluginDir, const char* libName, const char* binDir, const char* libDir,
                       KmsCredentialsDomain domain, const std::string& path,
                       std::vector<KmsCredentialsItem>& items);

// The file's cluster identifier ("" when it has none).
int KmsCredentialsGetClusterId(const char* pluginDir, const char* libName, const char* binDir,
                               const char* libDir, KmsCredentialsDomain domain, const std::string& path,
                               std::string& clusterId);

extern "C" {

// Reads the cluster identifier from "enc_connection_settings.cfg" in `dir`
// (domain KMS) and stores a copy, allocated with `allocate` and zero-terminated,
// in *out. ERR_NOT_FOUND for an empty identifier. No exception leaves it.
__attribute__((visibility("default"))) int KmsCredentialsReadClusterId(
    const char* pluginDir, const char* libName, const char* binDir, const char* libDir, const char* dir,
    char** out, void* (*allocate)(size_t));

}  // extern "C"

namespace kms_credentials {

// MurmurHash64A (64-bit MurmurHash2) of `length` bytes.
uint64_t MurmurHash64A(const void* data, size_t length, uint64_t seed);

// Seed of the document hash.
inline constexpr uint64_t kHashSeed = 0xC70F6907;

// True when every item is valid: IPv4 address, port 1..65535, type set, login
// and secret non-empty. The empty list is valid.
bool KmsCredentialsCheck(const std::vector<KmsCredentialsItem>& items);

// The plain document text written to the file (before padding and encryption).
std::string KmsCredentialsToJson(const std::string& clusterId, const std::vector<KmsCredentialsItem>& items);

}  // namespace kms_credentials
