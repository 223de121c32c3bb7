#include "kms_remote.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "common/common_routines.h"
#include "common/error_code.h"
#include "common/json_wipe.h"
#include "common/product_info.h"
#include "common/secure_buffer.h"
#include "credentials/kms_credentials.h"
#include "kms/connector_entry_points.h"
#include "kms/host_report.h"

KMS_CONNECTOR_ENTRY_POINTS(kms::KmsRemote)

namespace kms {

namespace {

constexpr const char* kScheme = "https://";
constexpr const char* kHealthPath = "/v1/sys/health";
constexpr const char* kUserpassLoginPath = "/v1/auth/userpass/login/";
constexpr const char* kAppRoleLoginPath = "/v1/auth/approle/login";
constexpr const char* kValuePathRoot = "/v1/kv/data/";
constexpr const char* kTokenHeader = "X-Vault-Token:";
constexpr const char* kNamespaceHeader = "X-Vault-Namespace:";
constexpr const char* kPermissionDenied = "permission denied";
constexpr const char* kCasMismatch = "check-and-set parameter did not match the current version";
constexpr const char* kWrongFormat =
    "Json body in response has wrong format. Some of parameters has wrong type or empty. Json Body: ";

// Room for a typical answer, so that the response buffer rarely grows (each
// growth leaves a copy behind that has to be wiped).
constexpr size_t kResponseReserve = 16 * 1024;

// Largest answer taken in. Health, login and key answers are a few kilobytes;
// a server that sends more (or sends without end) must not grow the database
// server's memory with it: the transfer fails like an unreachable server.
constexpr size_t kResponseLimit = 4 * 1024 * 1024;

// Percent-encodes every byte outside the URL's unreserved characters.
std::string EscapePathPart(std::string_view text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (std::isalnum(c) != 0 || c == '-' || c == '.' || c == '_' || c == '~') {
            out += ch;
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0xF];
        }
    }
    return out;
}

// Request bodies hold secrets (login secret, value), so they are built here into
// a string that is wiped afterwards instead of going through a JSON writer's
// own buffers. The text equals the compact writer's: members in name order, no
// blanks, a line feed at the end.
void AppendJsonString(common_routines::SecureString& out, std::string_view text) {
    static const char kHex[] = "0123456789abcdef";
    out += '"';
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20) {
                    out += "\\u00";
                    out += kHex[c >> 4];
                    out += kHex[c & 0xF];
                } else {
                    out += ch;
                }
        }
    }
    out += '"';
}

// Room for a JSON body around `secrets` bytes of secret text: each byte takes at
// most six characters ("\u00XX"), plus the fixed members.
size_t BodyCapacity(size_t secrets) { return 6 * secrets + 96; }

// Zeroes the used part of a buffer that is only ever filled by appending and
// emptied through here, so the capacity beyond its size holds nothing of an
// earlier answer; cheaper than wiping the whole reserve on every request.
void WipeUsed(common_routines::SecureString& text) {
    common_routines::SecureWipe(text.data(), text.size());
    text.clear();
}

// The body that writes `value`: {"data":{"value": and the value as a JSON
// string, then `tail`.
common_routines::SecureString ValueBody(std::string_view value, std::string_view tail) {
    common_routines::SecureString body;
    body.reserve(BodyCapacity(value.size()));
    body = "{\"data\":{\"value\":";
    AppendJsonString(body, value);
    body += tail;
    return body;
}

using common_routines::WipeJsonStrings;

std::string Serialise(const Json::Value& value) {
    Json::FastWriter writer;
    return writer.write(value);
}

// Text of an answer for a message; answers that may carry a secret are left out.
std::string BodyForMessage(const Json::Value& body, bool secret) {
    if (secret) return "(withheld)";
    return Serialise(body);
}

// The string entries of an "errors" array, joined with "; ".
std::string ErrorsText(const Json::Value& body) {
    std::string text;
    const Json::Value& errors = body["errors"];
    for (const auto& entry : errors) {
        if (!entry.isString()) continue;
        if (!text.empty()) text += "; ";
        text += entry.asString();
    }
    return text;
}

bool HasErrorsArray(const Json::Value& body) { return body.isObject() && body["errors"].isArray(); }

// Strict parse of an answer into `body`. The reader throws, instead of
// failing, on input nested deeper than its limit; that is a malformed answer
// like any other, so the caller's failover goes on. On failure `body` is
// wiped and null.
bool ParseAnswer(std::string_view text, Json::Value& body) {
    Json::Reader reader(Json::Features::strictMode());
    try {
        if (reader.parse(text.data(), text.data() + text.size(), body, false)) return true;
    } catch (const std::exception&) {
    }
    WipeJsonStrings(body);
    body = Json::Value();
    return false;
}

bool ErrorsContain(const Json::Value& body, const char* text) {
    if (!HasErrorsArray(body)) return false;
    for (const auto& entry : body["errors"]) {
        if (entry.isString() && entry.asString() == text) return true;
    }
    return false;
}

// An answer the server gave on purpose with an error status (see RequestKind).
bool IsServerError(long status) { return status >= 400 && status != 404; }

const char* NonEmptyEnv(const char* name) {
    const char* value = std::getenv(name);
    return (value != nullptr && value[0] != '\0') ? value : nullptr;
}

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

std::string CodeAndMessage(const ErrorResult& result) {
    return std::to_string(result->first) + " (" + result->second + ")";
}

// Frees a header list after wiping its lines (one of them carries the token).
struct HeaderList {
    curl_slist* list = nullptr;
    ~HeaderList() {
        for (curl_slist* node = list; node != nullptr; node = node->next) {
            common_routines::SecureWipe(node->data, std::strlen(node->data));
        }
        curl_slist_free_all(list);
    }
};

}  // namespace

KmsRemote::Answer::~Answer() { Clear(); }

void KmsRemote::Answer::Clear() {
    WipeJsonStrings(body);
    body = Json::Value();
    status = 0;
}

namespace {

// libcurl keeps each request (headers with the token, the login body) and each
// answer in buffers of its own, which it frees unwiped. Its memory functions
// are taken over for the whole process when this connector is the first to
// set libcurl up (otherwise the earlier set-up's stay): every block is zeroed
// before it is freed.
void WipingFree(void* block) {
    if (block == nullptr) return;
    common_routines::SecureWipe(block, malloc_usable_size(block));
    std::free(block);
}

void* WipingRealloc(void* block, size_t size) {
    if (block == nullptr) return std::malloc(size);
    if (size == 0) {
        WipingFree(block);
        return nullptr;
    }
    void* bigger = std::malloc(size);
    if (bigger == nullptr) return nullptr;
    const size_t old = malloc_usable_size(block);
    std::memcpy(bigger, block, old < size ? old : size);
    WipingFree(block);
    return bigger;
}

char* WipingStrdup(const char* text) { return strdup(text); }

// The TLS library keeps the last decrypted answer (with the token or a value)
// in its read buffer and frees that unwiped; from OpenSSL 3.0 on a context
// option cleanses it. libcurl's OpenSSL is reached by name, without linking it:
// only an already loaded library is used.
CURLcode CleansePlaintext(CURL*, void* ssl_ctx, void*) {
    using SetOptions = uint64_t (*)(void*, uint64_t);
    using VersionNumber = unsigned long (*)();
    static const auto functions = [] {
        std::pair<SetOptions, VersionNumber> found{nullptr, nullptr};
        if (void* ssl = dlopen("libssl.so.3", RTLD_NOW | RTLD_NOLOAD)) {
            found.first = reinterpret_cast<SetOptions>(dlsym(ssl, "SSL_CTX_set_options"));
            found.second = reinterpret_cast<VersionNumber>(dlsym(ssl, "OpenSSL_version_num"));
            // The library stays loaded by libcurl; this reference is dropped.
            dlclose(ssl);
        }
        return found;
    }();
    constexpr uint64_t kCleansePlaintext = uint64_t{1} << 1;  // SSL_OP_CLEANSE_PLAINTEXT
    if (functions.first != nullptr && functions.second != nullptr && functions.second() >= 0x30000000UL) {
        functions.first(ssl_ctx, kCleansePlaintext);
    }
    return CURLE_OK;
}

CURLcode GlobalInit() {
    return curl_global_init_mem(CURL_GLOBAL_SSL, &std::malloc, &WipingFree, &WipingRealloc, &WipingStrdup,
                                &std::calloc);
}

}  // namespace

KmsRemote::KmsRemote() {
    // libcurl's global set-up is reference-counted and initialises OpenSSL. It is
    // taken once here, before this object's own exit-time destruction is
    // registered, so that at exit the handle is freed while OpenSSL still works.
    curl_global_code_ = GlobalInit();
    curl_global_ready_ = curl_global_code_ == CURLE_OK;
    response_text_.reserve(kResponseReserve);
}

KmsRemote::~KmsRemote() {
    ReleaseHandle();
    ResetSelection();
    response_text_.Wipe();
    if (curl_global_ready_) curl_global_cleanup();
}

void KmsRemote::ReleaseHandle() {
    if (handle_ == nullptr) return;
    if (owner_pid_ != getpid()) {
        // The handle came from the parent through fork and its cached TLS
        // connection shares the parent's socket. Freeing it would read from that
        // socket and send a TLS close alert, breaking the parent's session, so
        // the descriptor is pointed at /dev/null first.
        curl_socket_t socket = CURL_SOCKET_BAD;
        if (curl_easy_getinfo(handle_, CURLINFO_ACTIVESOCKET, &socket) == CURLE_OK && socket != CURL_SOCKET_BAD) {
            const int null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
            if (null_fd >= 0) {
                dup3(null_fd, socket, O_CLOEXEC);
                close(null_fd);
            }
        }
    }
    curl_easy_cleanup(handle_);
    handle_ = nullptr;
}

void KmsRemote::SetHeader(const std::string& name, std::string_view line) {
    auto it = header_map_.find(name);
    if (it != header_map_.end()) {
        common_routines::SecureWipe(it->second);
        it->second = line;
    } else {
        header_map_.emplace(name, line);
    }
}

void KmsRemote::DropToken() {
    common_routines::SecureWipe(token_);
    // libcurl sends no header for a line that ends at the colon, so a dropped
    // token is never offered to the next server.
    SetHeader(kTokenHeader, kTokenHeader);
}

void KmsRemote::ResetSelection() {
    DropToken();
    common_routines::SecureWipe(secret_);
    common_routines::SecureWipe(login_);
    address_.clear();
    credentials_type_ = -1;
}

size_t KmsRemote::WriteCallback(char* data, size_t size, size_t count, void* self) noexcept {
    auto* remote = static_cast<KmsRemote*>(self);
    const size_t length = size * count;
    // Called from libcurl's C code: no exception may leave. A short count makes
    // libcurl fail the transfer.
    if (length > kResponseLimit - remote->response_text_.size()) {
        remote->response_over_limit_ = true;
        return 0;
    }
    try {
        remote->response_text_.append(data, length);
    } catch (...) {
        return 0;
    }
    return length;
}

ErrorResult KmsRemote::InitCurl() {
    ReleaseHandle();
    if (!curl_global_ready_) {
        curl_global_code_ = GlobalInit();
        curl_global_ready_ = curl_global_code_ == CURLE_OK;
        if (!curl_global_ready_) {
            return Failure(ERR_COMMON, "InitCurl",
                           std::string("Could not setup libcurl. Error: ") + curl_easy_strerror(curl_global_code_));
        }
    }
    handle_ = curl_easy_init();
    if (handle_ == nullptr) return Failure(ERR_COMMON, "InitCurl", "CURL is NULL");
    owner_pid_ = getpid();

    curl_easy_setopt(handle_, CURLOPT_CONNECTTIMEOUT, 10L);
    curl_easy_setopt(handle_, CURLOPT_TIMEOUT, 30L);
    // Time-outs without SIGALRM: the connector runs inside the database server
    // and must not touch its signal handling.
    curl_easy_setopt(handle_, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle_, CURLOPT_PROTOCOLS_STR, "https");
    const char* ca_file = NonEmptyEnv("VAULT_CACERT");
    const char* ca_dir = NonEmptyEnv("VAULT_CAPATH");
    if (ca_file != nullptr || ca_dir != nullptr) {
        // Only the named certificates are trusted, not the system's store.
        curl_easy_setopt(handle_, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(handle_, CURLOPT_SSL_VERIFYHOST, 2L);
        curl_easy_setopt(handle_, CURLOPT_CAINFO, ca_file);
        curl_easy_setopt(handle_, CURLOPT_CAPATH, ca_dir);
    } else {
        curl_easy_setopt(handle_, CURLOPT_SSL_VERIFYPEER, 0L);
        curl_easy_setopt(handle_, CURLOPT_SSL_VERIFYHOST, 0L);
    }
    curl_easy_setopt(handle_, CURLOPT_SSL_CTX_FUNCTION, &CleansePlaintext);
    curl_easy_setopt(handle_, CURLOPT_WRITEFUNCTION, &KmsRemote::WriteCallback);
    curl_easy_setopt(handle_, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(handle_, CURLOPT_TCP_KEEPALIVE, 1L);
    curl_easy_setopt(handle_, CURLOPT_TCP_KEEPIDLE, 30L);
    curl_easy_setopt(handle_, CURLOPT_TCP_KEEPINTVL, 30L);
    curl_easy_setopt(handle_, CURLOPT_ERRORBUFFER, error_buffer_);
    // One connection per handle, so that a forked child can let go of exactly
    // the one it inherited.
    curl_easy_setopt(handle_, CURLOPT_MAXCONNECTS, 1L);
    return nullptr;
}

ErrorResult KmsRemote::DoRequest() {
    error_buffer_[0] = '\0';
    response_over_limit_ = false;
    const CURLcode code = curl_easy_perform(handle_);
    if (code != CURLE_OK) {
        const std::string text = response_over_limit_ ? "The answer is longer than " +
                                                            std::to_string(kResponseLimit) + " bytes"
                                 : error_buffer_[0] != '\0' ? error_buffer_
                                                            : curl_easy_strerror(code);
        return Failure(ERR_HTTP, "DoRequest", "CURL request failed. Error: " + text);
    }
    return nullptr;
}

ErrorResult KmsRemote::CheckResponseCode(const RequestKind& kind, long& status) {
    status = 0;
    const CURLcode code = curl_easy_getinfo(handle_, CURLINFO_RESPONSE_CODE, &status);
    if (code != CURLE_OK) {
        return Failure(ERR_COMMON, "CheckResponseCode",
                       std::string("Could not get response code. Error: ") + curl_easy_strerror(code));
    }
    if (status < 300 || status == 404) return nullptr;
    // A redirect is no answer: a standby sends one (307) to point at the active
    // node after a change of leader, with a body that is not the server's JSON.
    // The libcurl handle does not follow it (the token would go along), so it
    // counts as an unavailable server and the next selection finds the active
    // one.
    if (status < 400) return Failure(ERR_HTTP, "CheckResponseCode", "Response code: " + std::to_string(status));
    // A 4xx answer that is a JSON object with an "errors" array is the server's
    // own refusal (conflict, expired token, bad request): it is up, so selecting
    // another server would not help. 429 (standby, rate limit) and 5xx are
    // treated as an unavailable server.
    if (kind.server_errors_pass && status < 500 && status != 429) {
        Json::Value body;
        const bool refusal = ParseAnswer(response_text_.view(), body) && HasErrorsArray(body);
        WipeJsonStrings(body);
        if (refusal) return nullptr;
    }
    return Failure(ERR_HTTP, "CheckResponseCode", "Response code: " + std::to_string(status));
}

ErrorResult KmsRemote::ParseResponse(const RequestKind& kind, Json::Value& body) {
    if (!ParseAnswer(response_text_.view(), body)) {
        const std::string text = kind.secret_answer ? "(withheld)" : std::string(response_text_.view());
        return Failure(ERR_FORMAT, "ParseResponse", "Json body in response parsing error. Json Body: " + text);
    }
    return nullptr;
}

ErrorResult KmsRemote::PerformRequest(HttpMethod method, const std::string& path, std::string_view body,
                                      const RequestKind& kind, Answer& answer) {
    answer.Clear();
    // First use, or first use in a child created by fork: a handle of our own.
    if (handle_ == nullptr || owner_pid_ != getpid()) {
        if (ErrorResult result = InitCurl(); IsFailure(result)) return result;
    }

    HeaderList headers;
    for (const auto& [name, line] : header_map_) {
        curl_slist* appended = curl_slist_append(headers.list, line.c_str());
        if (appended == nullptr) return Failure(ERR_ALLOCATION, "PerformRequest", "Could not build the headers");
        headers.list = appended;
    }
    curl_easy_setopt(handle_, CURLOPT_HTTPHEADER, headers.list);
    const std::string url = kScheme + address_ + path;
    curl_easy_setopt(handle_, CURLOPT_URL, url.c_str());
    if (method == HttpMethod::kGet) {
        curl_easy_setopt(handle_, CURLOPT_HTTPGET, 1L);
    } else {
        curl_easy_setopt(handle_, CURLOPT_POSTFIELDS, body.data());
        curl_easy_setopt(handle_, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    }
    WipeUsed(response_text_);
    if (response_text_.capacity() < kResponseReserve) response_text_.reserve(kResponseReserve);

    ErrorResult result = DoRequest();
    curl_easy_setopt(handle_, CURLOPT_HTTPHEADER, nullptr);
    if (method == HttpMethod::kPost) curl_easy_setopt(handle_, CURLOPT_POSTFIELDS, nullptr);
    if (!IsFailure(result)) result = CheckResponseCode(kind, answer.status);
    if (!IsFailure(result)) result = ParseResponse(kind, answer.body);
    WipeUsed(response_text_);
    return result;
}

ErrorResult KmsRemote::PerformRequestWithSearchKmsOnFail(HttpMethod method, const std::string& path,
                                                         std::string_view body, const RequestKind& kind,
                                                         Answer& answer) {
    constexpr int kAttempts = 3;
    for (int attempt = 1;; ++attempt) {
        {
            common_routines::SecureString line;
            line.reserve(std::strlen(kTokenHeader) + token_.size() + 1);
            line = kTokenHeader;
            line += token_;
            SetHeader(kTokenHeader, line.view());
        }
        ErrorResult result = PerformRequest(method, path, body, kind, answer);
        if (!IsFailure(result) || result->first != ERR_HTTP) return result;
        KMS_REPORT(kLevelWarning, "PerformRequestWithSearchKmsOnFail",
                   "KMS WEB address " + Quoted(address_) + ": KMS is unavailable. Error: " + CodeAndMessage(result));
        if (attempt == kAttempts) {
            return Failure(ERR_KMS_UNAVAILABLE, "PerformRequestWithSearchKmsOnFail",
                           "Attempts to select new KMS are exhausted");
        }
        if (ErrorResult selected = GetCheckPickKmsParams(); IsFailure(selected)) return selected;
    }
}

ErrorResult KmsRemote::GetAuthTokenIfNeeded(bool searchOnFail) {
    if (!token_.empty()) return nullptr;
    std::string path;
    common_routines::SecureString body;
    body.reserve(BodyCapacity(login_.size() + secret_.size()));
    if (credentials_type_ == KMS_CREDENTIALS_USERPASS) {
        path = kUserpassLoginPath + EscapePathPart(login_);
        body = "{\"password\":";
        AppendJsonString(body, secret_);
        body += "}\n";
    } else if (credentials_type_ == KMS_CREDENTIALS_APPROLE) {
        path = kAppRoleLoginPath;
        body = "{\"role_id\":";
        AppendJsonString(body, login_);
        body += ",\"secret_id\":";
        AppendJsonString(body, secret_);
        body += "}\n";
    } else {
        return Failure(ERR_COMMON, "GetAuthTokenIfNeeded", "Unknown credentials type");
    }

    const RequestKind kind{.secret_answer = true, .server_errors_pass = true};
    Answer answer;
    ErrorResult result = searchOnFail
                             ? PerformRequestWithSearchKmsOnFail(HttpMethod::kPost, path, body, kind, answer)
                             : PerformRequest(HttpMethod::kPost, path, body, kind, answer);
    if (IsFailure(result)) return result;
    if (IsServerError(answer.status)) {
        return Failure(ERR_HTTP, "GetAuthTokenIfNeeded",
                       "Login is refused. Response code: " + std::to_string(answer.status) +
                           ". Errors: " + ErrorsText(answer.body));
    }
    const Json::Value& token = answer.body.isObject() && answer.body["auth"].isObject()
                                   ? answer.body["auth"]["client_token"]
                                   : Json::Value::nullSingleton();
    const char* begin = nullptr;
    const char* end = nullptr;
    // The token goes into a header line of every later request: an empty one
    // would send none, a line break would start headers of the server's choosing.
    if (!token.isString() || !token.getString(&begin, &end) || begin == end ||
        std::any_of(begin, end, [](char c) { return std::iscntrl(static_cast<unsigned char>(c)) != 0; })) {
        return Failure(ERR_FORMAT, "GetAuthTokenIfNeeded", kWrongFormat + BodyForMessage(answer.body, true));
    }
    common_routines::SecureWipe(token_);
    token_.assign(begin, end);
    return nullptr;
}

ErrorResult KmsRemote::PerformRequestWithCheckAuthToken(HttpMethod method, const std::string& path,
                                                        std::string_view body, const RequestKind& kind,
                                                        Answer& answer) {
    // A selection that failed earlier (all servers down for a while) left no
    // server selected; select again instead of failing until the next Init,
    // which a running database server never calls.
    if (!IsInitialized()) {
        if (settings_path_.empty()) {
            return Failure(ERR_KMS_PLUGIN_NOT_INITIALIZED, "PerformRequestWithCheckAuthToken", "Init was not called");
        }
        if (ErrorResult result = GetCheckPickKmsParams(); IsFailure(result)) return result;
    }
    constexpr int kPasses = 2;
    for (int pass = 1;; ++pass) {
        if (ErrorResult result = GetAuthTokenIfNeeded(true); IsFailure(result)) return result;
        if (ErrorResult result = PerformRequestWithSearchKmsOnFail(method, path, body, kind, answer);
            IsFailure(result)) {
            return result;
        }
        // A refused or expired token (status 200 with the text, or Vault's 403):
        // log in once more, then give up.
        if (!ErrorsContain(answer.body, kPermissionDenied)) return nullptr;
        DropToken();
        if (pass == kPasses) {
            return Failure(ERR_KMS_PERMISSION_DENIED, "PerformRequestWithCheckAuthToken", "Client token is not valid");
        }
    }
}

ErrorResult KmsRemote::GetCheckPickKmsParams() {
    constexpr const char* kOperation = "GetCheckPickKmsParams";
    // A selection that does not end in success leaves nothing selected, so the
    // connector does not claim to be initialised with a server that failed.
    ResetSelection();
    bool selected = false;
    struct ResetUnlessSelected {
        KmsRemote& remote;
        bool& selected;
        ~ResetUnlessSelected() {
            if (!selected) remote.ResetSelection();
        }
    } reset_guard{*this, selected};

    std::vector<KmsCredentialsItem> items;
    struct WipeItems {
        std::vector<KmsCredentialsItem>& items;
        ~WipeItems() { KmsCredentialsWipeItems(items); }
    } wipe_items{items};
    const int load = KmsCredentialsLoad(have_plugin_dir_ ? plugin_dir_.c_str() : nullptr, "libcipherbox.so",
                                        product_info::kBinDir, product_info::kLibDir, KMS, settings_path_, items);
    if (load != ERR_NONE) return Failure(load, kOperation, "Could not get KMS connection settings");
    if (items.empty()) return Failure(ERR_KMS_UNAVAILABLE, kOperation, "List of KMS connection settings is empty");

    KMS_REPORT(kLevelLog, kOperation, "Selection of KMS is started.");
    if (owner_pid_ == 0) owner_pid_ = getpid();
    if (NonEmptyEnv("VAULT_CACERT") == nullptr && NonEmptyEnv("VAULT_CAPATH") == nullptr) {
        KMS_REPORT(kLevelWarning, kOperation,
                   "The KMS server certificate is not verified: set VAULT_CACERT or VAULT_CAPATH to verify it.");
    }
    if (const char* name_space = NonEmptyEnv("VAULT_NAMESPACE"); name_space != nullptr) {
        // The value goes into a header line as it stands: a line break would end
        // the header and start others of the sender's choosing (a token of its
        // own, say). Requests without the namespace would reach keys elsewhere,
        // so the selection fails instead.
        for (const char* c = name_space; *c != '\0'; ++c) {
            if (std::iscntrl(static_cast<unsigned char>(*c)) != 0) {
                return Failure(ERR_INPUT_DATA, kOperation,
                               "VAULT_NAMESPACE holds a line break or another control character");
            }
        }
        SetHeader(kNamespaceHeader, std::string(kNamespaceHeader) + " " + name_space);
    } else {
        header_map_.erase(kNamespaceHeader);
    }

    for (auto& item : items) {
        if (ErrorResult result = InitCurl(); IsFailure(result)) return result;
        DropToken();
        address_ = item.address + ":" + std::to_string(item.port);
        credentials_type_ = item.type;
        common_routines::SecureWipe(login_);
        login_ = item.login;
        common_routines::SecureWipe(secret_);
        secret_ = item.secret;
        KMS_REPORT(kLevelLog, kOperation, "Connecting to KMS WEB address " + Quoted(address_) + " ...");

        Answer health;
        const RequestKind health_kind{.secret_answer = false, .server_errors_pass = false};
        if (ErrorResult result = PerformRequest(HttpMethod::kGet, kHealthPath, "", health_kind, health);
            IsFailure(result)) {
            KMS_REPORT(kLevelWarning, kOperation,
                       "KMS WEB address " + Quoted(address_) + ": KMS is unavailable. Error: " + CodeAndMessage(result));
            continue;
        }
        if (ErrorResult result = GetAuthTokenIfNeeded(false); IsFailure(result)) {
            KMS_REPORT(kLevelWarning, kOperation,
                       "KMS WEB address " + Quoted(address_) + ": authentification is failed. Error: " +
                           CodeAndMessage(result));
            continue;
        }
        KMS_REPORT(kLevelLog, kOperation,
                   "Selection of KMS is completed successfully. KMS WEB address: " + Quoted(address_));
        selected = true;
        return nullptr;
    }
    return Failure(ERR_KMS_UNAVAILABLE, kOperation, "Could not select any KMS");
}

ErrorResult KmsRemote::Init(const char* configDir, const char* pluginDir) {
    if (configDir == nullptr) return Failure(ERR_NULL_POINTER, "Init", "Configuration directory is not given");
    settings_path_ = common_routines::JoinPath(configDir, kKmsCredentialsFileName);
    // A copy: the caller's string need not outlive this call.
    have_plugin_dir_ = pluginDir != nullptr;
    plugin_dir_ = have_plugin_dir_ ? pluginDir : "";
    return GetCheckPickKmsParams();
}

bool KmsRemote::IsInitialized() {
    return !login_.empty() && !secret_.empty() && !address_.empty() && credentials_type_ != -1;
}

namespace {

// Builds the value path from the caller's names. Characters outside the URL's
// unreserved set are percent-encoded, so a '?', '#', '%' or blank in a name
// stays part of the path (the server decodes it); '/' keeps nesting the path.
// A "." or ".." part is refused: the URL library would resolve it and the
// request would leave the key-value store for another endpoint of the server.
ErrorResult ValuePath(const char* operation, const std::string& domain, const std::string& clusterId,
                      const std::string& subdomain, const std::string& key, std::string& path) {
    using common_routines::JoinPath;
    const std::string joined = JoinPath(JoinPath(JoinPath(domain, clusterId), subdomain), key);
    path = kValuePathRoot;
    // As JoinPath would join it to the root: one leading '/' merges with the root's.
    for (size_t begin = joined.starts_with('/') ? 1 : 0; begin <= joined.size();) {
        size_t end = joined.find('/', begin);
        if (end == std::string::npos) end = joined.size();
        const std::string_view part(joined.data() + begin, end - begin);
        if (part == "." || part == "..") {
            return Failure(ERR_INPUT_DATA, operation, "The value path may not have a \".\" or \"..\" part: " + joined);
        }
        path += EscapePathPart(part);
        if (end < joined.size()) path += '/';
        begin = end + 1;
    }
    return nullptr;
}

}  // namespace

ErrorResult KmsRemote::GetValue(const std::string& domain, const std::string& clusterId,
                                const std::string& subdomain, const std::string& key, std::string& value) {
    std::string path;
    if (ErrorResult result = ValuePath("GetValue", domain, clusterId, subdomain, key, path); IsFailure(result)) {
        return result;
    }
    Answer answer;
    const RequestKind kind{.secret_answer = true, .server_errors_pass = true};
    if (ErrorResult result = PerformRequestWithCheckAuthToken(HttpMethod::kGet, path, "", kind, answer);
        IsFailure(result)) {
        return result;
    }
    if (IsServerError(answer.status)) {
        return Failure(ERR_HTTP, "GetValue",
                       "KMS refused the request. Response code: " + std::to_string(answer.status) +
                           ". Errors: " + ErrorsText(answer.body));
    }
    const Json::Value* found = &Json::Value::nullSingleton();
    if (answer.body.isObject() && answer.body["data"].isObject() && answer.body["data"]["data"].isObject()) {
        found = &answer.body["data"]["data"]["value"];
    }
    if (found->isNull()) return Failure(ERR_NOT_FOUND, "GetValue", "Could not find value by key: " + key);
    if (!found->isString()) return Failure(ERR_FORMAT, "GetValue", kWrongFormat + BodyForMessage(answer.body, true));
    const char* begin = nullptr;
    const char* end = nullptr;
    found->getString(&begin, &end);
    common_routines::SecureWipe(value);
    value.assign(begin, end);
    return nullptr;
}

ErrorResult KmsRemote::WriteValue(const char* operation, const std::string& domain, const std::string& clusterId,
                                  const std::string& subdomain, const std::string& key, std::string_view body,
                                  bool checkAndSet) {
    std::string path;
    if (ErrorResult result = ValuePath(operation, domain, clusterId, subdomain, key, path); IsFailure(result)) {
        return result;
    }
    Answer answer;
    const RequestKind kind{.secret_answer = false, .server_errors_pass = true};
    if (ErrorResult result = PerformRequestWithCheckAuthToken(HttpMethod::kPost, path, body, kind, answer);
        IsFailure(result)) {
        return result;
    }
    const Json::Value& body_json = answer.body;
    if (!IsServerError(answer.status) && body_json.isObject() && body_json["data"].isObject() &&
        body_json["data"]["created_time"].isString()) {
        return nullptr;
    }
    if (checkAndSet && HasErrorsArray(body_json) && body_json["errors"][0].isString() &&
        body_json["errors"][0].asString() == kCasMismatch) {
        return Failure(ERR_ALREADY_EXISTS, operation, "Key already exists. Json Body: " + Serialise(body_json));
    }
    if (IsServerError(answer.status)) {
        return Failure(ERR_HTTP, operation,
                       "KMS refused the request. Response code: " + std::to_string(answer.status) +
                           ". Errors: " + ErrorsText(body_json));
    }
    return Failure(ERR_FORMAT, "CheckCreatedTime", kWrongFormat + Serialise(body_json));
}

ErrorResult KmsRemote::SetValue(const std::string& domain, const std::string& clusterId,
                                const std::string& subdomain, const std::string& key, const std::string& value) {
    return WriteValue("SetValue", domain, clusterId, subdomain, key, ValueBody(value, "}}\n"), false);
}

ErrorResult KmsRemote::CheckAndSetValue(const std::string& domain, const std::string& clusterId,
                                        const std::string& subdomain, const std::string& key,
                                        const std::string& value) {
    return WriteValue("CheckAndSetValue", domain, clusterId, subdomain, key,
                      ValueBody(value, "},\"options\":{\"cas\":\"0\"}}\n"), true);
}

}  // namespace kms
