#include "credentials/credential_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/base64.h"
#include "common/common_routines.h"
#include "common/durable_file.h"
#include "common/error_code.h"
#include "common/result_guard.h"
#include "common/secure_buffer.h"
#include "common/unique_handles.h"
#include "encryption_wrapper/encryption_wrapper.h"

namespace {

credential_store::IdentitySourceFactory& Factory() {
    static credential_store::IdentitySourceFactory factory;
    return factory;
}

// Derives into caller buffers of the given sizes (steps common to both
// derivation entry points).
int DeriveInto(int32_t domain, uint8_t* key, int keySize, uint8_t* iv, int ivSize) {
    // Identity pieces are not secret on their own, but together they are the
    // whole input of the key; Bytes wipes them when released.
    host_identity::Bytes password, salt;
    {
        std::unique_ptr<host_identity::IdentitySource> source;
        if (Factory()) {
            source = Factory()();
        } else {
            source = std::make_unique<host_identity::LocalIdentitySource>();
        }
        int rc = host_identity::BuildDerivationInput(*source, domain, password, salt);
        if (rc != ERR_NONE) return rc;
    }
    return EncryptionDerivePasswordKey(key, keySize, iv, ivSize, password.data(),
                                       static_cast<int>(password.size()), salt.data(),
                                       static_cast<int>(salt.size()),
                                       host_identity::kDerivationIterations);
}

// Zero bytes that fill `length` up to whole cipher blocks of `block` bytes
// (none for a block size that is not positive).
size_t PaddingFor(size_t length, int block) {
    if (block <= 0) return 0;
    const size_t rest = length % static_cast<size_t>(block);
    return rest == 0 ? 0 : static_cast<size_t>(block) - rest;
}

}  // namespace

credential_store::KeyMaterial::~KeyMaterial() {
    common_routines::SecureWipe(key.data(), key.size());
    common_routines::SecureWipe(iv.data(), iv.size());
}

const char* KmsCredentialsDomainToStr(KmsCredentialsDomain domain) {
    switch (domain) {
        case KMS: return "KMS";
        case POSTGRESQL: return "POSTGRESQL";
        case AUTH_TOKEN: return "AUTH_TOKEN";
        default: return "Unknown";
    }
}

extern "C" int StoreDeriveKey(int32_t domain, std::vector<uint8_t>& key, std::vector<uint8_t>& iv) {
    return common_routines::CallReturningCode([&]() -> int {
        int keySize = 0, ivSize = 0;
        int rc = EncryptionGetKeySize(&keySize);
        if (rc != ERR_NONE) return rc;
        rc = EncryptionGetIvSize(&ivSize);
        if (rc != ERR_NONE) return rc;
        key.resize(static_cast<size_t>(keySize));
        iv.resize(static_cast<size_t>(ivSize));
        return DeriveInto(domain, key.data(), keySize, iv.data(), ivSize);
    });
}

extern "C" int StoreDeriveKeyRaw(int32_t domain, uint8_t* key, int* keyLength, uint8_t* iv,
                                 int* ivLength) {
    return common_routines::CallReturningCode([&]() -> int {
        if (!keyLength || !ivLength) return ERR_NULL_POINTER;
        if (!key) {
            int rc = EncryptionGetKeySize(keyLength);
            if (rc != ERR_NONE) return rc;
        }
        if (!iv) {
            int rc = EncryptionGetIvSize(ivLength);
            if (rc != ERR_NONE) return rc;
        }
        // A size query derives nothing, whatever size was reported.
        if (!key || !iv) return ERR_NONE;
        return DeriveInto(domain, key, *keyLength, iv, *ivLength);
    });
}

extern "C" int StorePaddingLength(int length) {
    int block = 0;
    if (EncryptionGetBlockSize(&block) != ERR_NONE || length < 0) return 0;
    return static_cast<int>(PaddingFor(static_cast<size_t>(length), block));
}

extern "C" int StoreEncodedLength(int length) { return pg_b64_enc_exact_len(length); }

extern "C" int StoreDecodedLength(int length) { return pg_b64_dec_len(length); }

extern "C" int StoreEncryptPassword(const char* plain, int length, char* out, int* outLength,
                                    const uint8_t* key, const uint8_t* iv) {
    return common_routines::CallReturningCode([&]() -> int {
        if (length < 0) return ERR_INPUT_DATA;
        // Without the block size the text cannot be padded; that failure is reported.
        int block = 0;
        int rc = EncryptionGetBlockSize(&block);
        if (rc != ERR_NONE) return rc;
        // The padded length and its Base64 length must stay within an int.
        const int64_t paddedWide = static_cast<int64_t>(length) + StorePaddingLength(length);
        if ((paddedWide + 2) / 3 * 4 > INT32_MAX) return ERR_INPUT_DATA;
        const int padded = static_cast<int>(paddedWide);
        if (!out) {
            if (!outLength) return ERR_NULL_POINTER;
            *outLength = StoreEncodedLength(padded);
            return ERR_NONE;
        }
        // An empty password has nothing to encrypt and encodes to empty text.
        if (padded == 0) return ERR_NONE;
        if (!plain) return ERR_NULL_POINTER;

        common_routines::SecureBuffer work(static_cast<size_t>(padded), 0);
        std::memcpy(work.data(), plain, static_cast<size_t>(length));
        rc = EncryptionEncrypt(work.data(), work.size(), work.data(), key, iv, false);
        if (rc != ERR_NONE) return rc;
        pg_b64_encode(work.chars(), padded, out);
        return ERR_NONE;
    });
}

extern "C" int StoreDecryptPassword(const char* text, int length, char* out, int* outLength,
                                    const uint8_t* key, const uint8_t* iv) {
    return common_routines::CallReturningCode([&]() -> int {
        if (length < 0) return ERR_INPUT_DATA;
        if (!out) {
            if (!outLength) return ERR_NULL_POINTER;
            *outLength = StoreDecodedLength(length);
            return ERR_NONE;
        }
        if (length == 0) return ERR_NONE;
        if (!text) return ERR_NULL_POINTER;
        int decoded = pg_b64_decode(text, length, out);
        if (decoded < 0) return ERR_FORMAT;
        if (decoded == 0) return ERR_NONE;
        auto* bytes = reinterpret_cast<uint8_t*>(out);
        return EncryptionDecrypt(bytes, static_cast<size_t>(decoded), bytes, key, iv, false);
    });
}

namespace credential_store {

void SetIdentitySourceFactory(IdentitySourceFactory factory) { Factory() = std::move(factory); }

int WriteEncryptedFile(KmsCredentialsDomain domain, const std::string& path, const std::string& text,
                       const common_routines::DurableWriteOptions& options) {
    KeyMaterial material;
    int rc = StoreDeriveKey(domain, material.key, material.iv);
    if (rc != ERR_NONE) return rc;

    int block = 0;
    rc = EncryptionGetBlockSize(&block);
    if (rc != ERR_NONE) return rc;
    const size_t padded = text.size() + PaddingFor(text.size(), block);
    // Allocated once at its final size so that no unwiped copy is left behind.
    common_routines::SecureBuffer data(padded, 0);
    if (!text.empty()) std::memcpy(data.data(), text.data(), text.size());
    if (!data.empty()) {
        rc = EncryptionEncrypt(data.data(), data.size(), data.data(), material.key.data(),
                               material.iv.data(), false);
        if (rc != ERR_NONE) return rc;
    }
    // Every new secret file is for its owner and the directory's group only
    // (the database server's account where /etc/postgres belongs to its group),
    // whatever the umask; a replaced file keeps its permissions.
    common_routines::DurableWriteOptions secret = options;
    secret.create_mode = 0660;
    secret.secret_file = true;
    return common_routines::DurableReplaceFile(path, data.data(), data.size(), secret);
}

}  // namespace credential_store

int StoreWriteFile(KmsCredentialsDomain domain, const std::string& path, const std::string& text) {
    return credential_store::WriteEncryptedFile(domain, path, text, {});
}

namespace {

// Reads a whole secret file. Anything but a regular file (a FIFO that would
// block the open for ever, a link to a device) is refused with ERR_OPEN_FILE.
int ReadSecretFile(const std::string& path, std::string& text) {
    const common_routines::UniqueFd file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    const int fd = file.get();
    if (fd < 0) return errno == ENOENT ? ERR_FILE_NOT_FOUND : ERR_OPEN_FILE;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return ERR_OPEN_FILE;
    text.assign(static_cast<size_t>(st.st_size), '\0');
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::read(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return ERR_READ_FILE;
        done += static_cast<size_t>(n);
    }
    return ERR_NONE;
}

}  // namespace

int StoreReadFile(KmsCredentialsDomain domain, const std::string& path, std::string& text) {
    int rc = ReadSecretFile(path, text);
    if (rc != ERR_NONE) return rc;
    credential_store::KeyMaterial material;
    rc = StoreDeriveKey(domain, material.key, material.iv);
    if (rc != ERR_NONE) return rc;
    auto* bytes = reinterpret_cast<uint8_t*>(text.data());
    return EncryptionDecrypt(bytes, text.size(), bytes, material.key.data(), material.iv.data(), false);
}
