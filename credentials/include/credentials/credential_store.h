#pragma once

// Host-bound secret store: keys derived anew on every use from the host's
// identity and a credential domain, whole-file encryption for the KMS
// credentials file and the database credentials table, and single-password
// encryption to Base64 text.
//
// Every operation returns an error code (0 on success). The wrapper must have
// been initialised (EncryptionInit) before any of them is called. Operations
// with C linkage take only integers and plain buffers so that callers without
// the library's types can use them; StoreDeriveKey also has C linkage so that
// the local KMS connector can bind it by name from the process that loads it.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "credentials/host_identity.h"

// Credential domain: separates the keys of different kinds of secrets.
enum KmsCredentialsDomain : int32_t {
    KMS_CREDENTIALS_DOMAIN_UNDEFINED = -1,
    KMS = 1,
    POSTGRESQL = 2,
    AUTH_TOKEN = 3,
};

// "KMS", "POSTGRESQL", "AUTH_TOKEN", or "Unknown" for any other value.
const char* KmsCredentialsDomainToStr(KmsCredentialsDomain domain);

// Name under which StoreDeriveKey is exported, and its type, for callers that
// resolve it at run time (dlsym(RTLD_DEFAULT, kStoreDeriveKeySymbol)).
inline constexpr const char* kStoreDeriveKeySymbol = "StoreDeriveKey";
using StoreDeriveKeyFunction = int (*)(int32_t domain, std::vector<uint8_t>& key,
                                       std::vector<uint8_t>& iv);

extern "C" {

// Resizes `key` and `iv` to the cipher's key and IV sizes and fills them with
// the key and IV derived for `domain` on this host. Callers wipe them after use.
__attribute__((visibility("default"))) int StoreDeriveKey(int32_t domain, std::vector<uint8_t>& key,
                                                          std::vector<uint8_t>& iv);

// StoreDeriveKey with caller buffers. A null `key` (or `iv`) asks for the size,
// which is stored in *keyLength (*ivLength) and nothing is derived. Otherwise
// *keyLength and *ivLength give the buffer sizes.
__attribute__((visibility("default"))) int StoreDeriveKeyRaw(int32_t domain, uint8_t* key,
                                                             int* keyLength, uint8_t* iv,
                                                             int* ivLength);

// Encrypts `length` bytes of `plain` (zero-padded to the block size) with a
// derived key and IV and writes the Base64 text to `out` (no terminating zero).
// With a null `out` the text length is stored in *outLength instead.
__attribute__((visibility("default"))) int StoreEncryptPassword(const char* plain, int length,
                                                                char* out, int* outLength,
                                                                const uint8_t* key,
                                                                const uint8_t* iv);

// Decodes `length` characters of Base64 text (strictly: white space is an
// error, ERR_FORMAT) into `out` and decrypts them there. The password ends at
// the first zero byte, so `out` should be zeroed and one byte longer than the
// size answer. With a null `out` the size bound is stored in *outLength.
__attribute__((visibility("default"))) int StoreDecryptPassword(const char* text, int length,
                                                                char* out, int* outLength,
                                                                const uint8_t* key,
                                                                const uint8_t* iv);

// Zero bytes added to `length` bytes to reach a multiple of the block size
// (0 when the block size cannot be obtained, and for a negative length).
__attribute__((visibility("default"))) int StorePaddingLength(int length);
// Exact Base64 length of `length` bytes: (length + 2) / 3 * 4.
__attribute__((visibility("default"))) int StoreEncodedLength(int length);
// Decoded-size bound of `length` Base64 characters: length * 3 / 4.
__attribute__((visibility("default"))) int StoreDecodedLength(int length);

}  // extern "C"

// Pads `text` with zero bytes to the block size, encrypts it with the domain's
// key and replaces the file with the cipher text, crash-safely (see
// common/durable_file.h). The file is not touched unless encryption succeeded.
int StoreWriteFile(KmsCredentialsDomain domain, const std::string& path, const std::string& text);

// Reads and decrypts the whole file. The text keeps the padding zero bytes.
int StoreReadFile(KmsCredentialsDomain domain, const std::string& path, std::string& text);

namespace common_routines {
struct DurableWriteOptions;
}

namespace credential_store {

// A derived key and IV for one operation, wiped when it goes out of scope.
struct KeyMaterial {
    std::vector<uint8_t> key;
    std::vector<uint8_t> iv;
    KeyMaterial() = default;
    KeyMaterial(const KeyMaterial&) = delete;
    KeyMaterial& operator=(const KeyMaterial&) = delete;
    ~KeyMaterial();
};

// StoreWriteFile with control over the file replacement (used by the database
// credentials table to move its lock onto the replacing file).
int WriteEncryptedFile(KmsCredentialsDomain domain, const std::string& path, const std::string& text,
                       const common_routines::DurableWriteOptions& options);

// Where derivations take the host identity from. The default (an empty
// factory) is the running host; tests install a fixed identity.
using IdentitySourceFactory = std::function<std::unique_ptr<host_identity::IdentitySource>()>;
void SetIdentitySourceFactory(IdentitySourceFactory factory);

}  // namespace credential_store
