#pragma once

// libkmsremote: the KMS connector that keeps the database server's key material
// in a HashiCorp Vault key/value store (version 2) reached over HTTPS.
//
// The servers and their logins come from the encrypted KMS credentials file in
// the configuration directory. The connector selects the first server that passes
// a health check and accepts the login, keeps one client token and one HTTP
// handle per process, and selects again from the start of the list when a
// request cannot be delivered (at most two re-selections per request).
//
// Environment of the loading process, read at every selection:
//   VAULT_CACERT / VAULT_CAPATH  verify the server's certificate chain and host
//                                name against this PEM file / directory; when
//                                neither is set the certificate is not verified
//                                and each selection logs a WARNING saying so.
//   VAULT_NAMESPACE              sent as "X-Vault-Namespace: <value>" with every
//                                request (Vault Enterprise namespaces); a value
//                                with a control character fails the selection
//                                with -17.

#include <curl/curl.h>
#include <json/json.h>
#include <sys/types.h>

#include <map>
#include <string>
#include <string_view>

#include "common/secure_buffer.h"

#include "common/singleton.h"
#include "kms/plugin_kms_connector.h"

namespace kms {

class KmsRemote final : public IPluginKmsConnector, public common_routines::Singleton<KmsRemote> {
public:
    ~KmsRemote() override;

    // Reads "enc_connection_settings.cfg" in configDir and selects a server.
    // pluginDir (may be null) is where the encryption plug-in is looked up.
    ErrorResult Init(const char* configDir, const char* pluginDir) override;
    // True while a server is selected (address, login kind, login and secret set).
    bool IsInitialized() override;
    // The value under /v1/kv/data/<domain>/<clusterId>/<subdomain>/<key>.
    ErrorResult GetValue(const std::string& domain, const std::string& clusterId, const std::string& subdomain,
                         const std::string& key, std::string& value) override;
    ErrorResult SetValue(const std::string& domain, const std::string& clusterId, const std::string& subdomain,
                         const std::string& key, const std::string& value) override;
    // Writes only when the key has no value yet; -5 when it has one.
    ErrorResult CheckAndSetValue(const std::string& domain, const std::string& clusterId,
                                 const std::string& subdomain, const std::string& key,
                                 const std::string& value) override;

private:
    friend class common_routines::Singleton<KmsRemote>;
    KmsRemote();

    enum class HttpMethod { kPost = 1, kGet = 2 };

    // How an exchange's answer is treated.
    struct RequestKind {
        // The answer may carry a secret (token, value): its text never goes into
        // a message.
        bool secret_answer = false;
        // A 4xx answer whose body is a JSON object with an "errors" array comes
        // from a server that is up; it is handed to the caller instead of
        // counting as an unreachable server.
        bool server_errors_pass = true;
    };

    // One answer: HTTP status and parsed body. The body's strings are wiped
    // when it is dropped, since it may hold a token or a value.
    struct Answer {
        long status = 0;
        Json::Value body;
        Answer() = default;
        Answer(const Answer&) = delete;
        Answer& operator=(const Answer&) = delete;
        ~Answer();
        void Clear();
    };

    ErrorResult InitCurl();
    ErrorResult DoRequest();
    ErrorResult CheckResponseCode(const RequestKind& kind, long& status);
    ErrorResult ParseResponse(const RequestKind& kind, Json::Value& body);
    ErrorResult PerformRequest(HttpMethod method, const std::string& path, std::string_view body,
                               const RequestKind& kind, Answer& answer);
    ErrorResult PerformRequestWithSearchKmsOnFail(HttpMethod method, const std::string& path,
                                                  std::string_view body, const RequestKind& kind,
                                                  Answer& answer);
    ErrorResult PerformRequestWithCheckAuthToken(HttpMethod method, const std::string& path,
                                                 std::string_view body, const RequestKind& kind,
                                                 Answer& answer);
    ErrorResult GetAuthTokenIfNeeded(bool searchOnFail);
    ErrorResult GetCheckPickKmsParams();
    ErrorResult WriteValue(const char* operation, const std::string& domain, const std::string& clusterId,
                           const std::string& subdomain, const std::string& key, std::string_view body,
                           bool checkAndSet);

    // Drops the selected server, its login and the token (wiping the secrets).
    void ResetSelection();
    void DropToken();
    void SetHeader(const std::string& name, std::string_view line);
    // Lets go of a handle inherited through fork without touching the parent's
    // TLS connection, then frees it.
    void ReleaseHandle();

    static size_t WriteCallback(char* data, size_t size, size_t count, void* self) noexcept;

    std::string settings_path_;
    bool have_plugin_dir_ = false;
    std::string plugin_dir_;
    std::string login_;
    std::string secret_;
    std::string address_;
    int credentials_type_ = -1;
    std::string token_;
    std::map<std::string, std::string> header_map_;
    pid_t owner_pid_ = 0;
    CURL* handle_ = nullptr;
    char error_buffer_[CURL_ERROR_SIZE] = {};
    // Raw answer of the running exchange; wiped after each parse, and every
    // block it grows out of is wiped on release.
    common_routines::SecureString response_text_;
    // Set by the write callback when it cut an answer off at the size limit.
    bool response_over_limit_ = false;
    bool curl_global_ready_ = false;
    CURLcode curl_global_code_ = CURLE_OK;
};

}  // namespace kms
