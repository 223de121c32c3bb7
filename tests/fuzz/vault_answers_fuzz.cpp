// Vault answers as libkmsremote reads them: selection (health check, login),
// then a value read, a write and a check-and-set write, each answered from the
// fuzz input (see curl_double.h). Broken, hostile or truncated answers give a
// code, never a crash, and a value read never claims more bytes than it wrote.
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "credentials/kms_credentials.h"
#include "curl_double.h"

extern "C" {
int KmsInit(const char* configDir, const char* pluginDir);
int KmsGetValue(const char* domain, const char* clusterId, const char* subdomain, const char* key, uint8_t* value,
                size_t* valueSize);
int KmsSetValue(const char* domain, const char* clusterId, const char* subdomain, const char* key,
                const char* value);
int KmsCheckAndSetValue(const char* domain, const char* clusterId, const char* subdomain, const char* key,
                        const char* value);

// The database server's reporting functions: the text is formatted (so a
// message built from an answer is exercised) and dropped.
bool errstart(int, const char*, int, const char*, const char*) { return true; }
__attribute__((format(printf, 1, 2))) int errmsg(const char* fmt, ...) {
    char line[512];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(line, sizeof line, fmt, args);
    va_end(args);
    return 0;
}
void errfinish(int, ...) {}
void ExceptionalCondition(const char*, const char*, const char*, int) { std::abort(); }
}

// The credentials file as decrypted: one server per login kind.
int KmsCredentialsLoad(const char*, const char*, const char*, const char*, KmsCredentialsDomain,
                       const std::string&, std::vector<KmsCredentialsItem>& items) {
    items.push_back({"127.0.0.1", 8200, KMS_CREDENTIALS_USERPASS, "dover", "secret"});
    items.push_back({"127.0.0.2", 8200, KMS_CREDENTIALS_APPROLE, "role", "secret-id"});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    curl_double::SetScript(curl_double::ParseScript(std::string(reinterpret_cast<const char*>(data), size)));
    if (KmsInit("/nonexistent", nullptr) == 0) {
        size_t length = 0;
        if (KmsGetValue("d", "c", "s", "k", nullptr, &length) == 0 && length < (1u << 20)) {
            std::vector<uint8_t> value(length);
            size_t got = length;
            if (KmsGetValue("d", "c", "s", "k", value.data(), &got) == 0 && got > length) std::abort();
        }
        KmsSetValue("d", "c", "s", "k", "value");
        KmsCheckAndSetValue("d", "c", "s", "k", "value");
    }
    curl_double::SetScript({});
    return 0;
}
