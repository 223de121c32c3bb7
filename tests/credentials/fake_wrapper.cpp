#include "fake_wrapper.h"

#include <cstring>

#include "common/error_code.h"
#include "common/secure_buffer.h"
#include "credentials/kms_credentials.h"
#include "encryption_wrapper/encryption_wrapper.h"

namespace fake_wrapper {

State& Get() {
    static State state;
    return state;
}

void Reset() { Get() = State{}; }

namespace {

uint8_t Mask(const uint8_t* key, const uint8_t* iv, size_t i) {
    const State& s = Get();
    return static_cast<uint8_t>(key[i % static_cast<size_t>(s.key_size)] * 31 +
                                iv[i % static_cast<size_t>(s.iv_size)] * 7 + i * 13 + 1);
}

int Transform(const uint8_t* input, size_t size, uint8_t* output, const uint8_t* key, const uint8_t* iv,
              bool stream, int failure) {
    if (failure != 0) return failure;
    const State& s = Get();
    // Block mode takes only positive multiples of the block size, as the plug-in does.
    if (!stream && (size == 0 || size % static_cast<size_t>(s.block_size) != 0)) return ERR_FORMAT;
    if (s.plain) {
        if (output != input) std::memmove(output, input, size);
        return ERR_NONE;
    }
    for (size_t i = 0; i < size; ++i) output[i] = input[i] ^ Mask(key, iv, i);
    return ERR_NONE;
}

}  // namespace
}  // namespace fake_wrapper

extern "C" {

int EncryptionInit(const char*, const char*, const char*, const char*) {
    ++fake_wrapper::Get().init_calls;
    return fake_wrapper::Get().fail_init;
}

int EncryptionEncrypt(const uint8_t* input, size_t size, uint8_t* output, const uint8_t* key, const uint8_t* iv,
                      bool stream) {
    return fake_wrapper::Transform(input, size, output, key, iv, stream, fake_wrapper::Get().fail_encrypt);
}

int EncryptionDecrypt(const uint8_t* input, size_t size, uint8_t* output, const uint8_t* key, const uint8_t* iv,
                      bool stream) {
    return fake_wrapper::Transform(input, size, output, key, iv, stream, fake_wrapper::Get().fail_decrypt);
}

int EncryptionGenerateKey(uint8_t* key, int size) {
    std::memset(key, 0x5A, static_cast<size_t>(size));
    return ERR_NONE;
}

int EncryptionGenerateIv(uint8_t* iv, int size) {
    std::memset(iv, 0xA5, static_cast<size_t>(size));
    return ERR_NONE;
}

int EncryptionDerivePasswordKey(uint8_t* key, int keySize, uint8_t* iv, int ivSize, const uint8_t* password,
                                int passwordSize, const uint8_t* salt, int saltSize, int iterations) {
    auto& s = fake_wrapper::Get();
    ++s.derive_calls;
    if (s.fail_derive != 0) return s.fail_derive;
    if (keySize != s.key_size || ivSize != s.iv_size) return ERR_INPUT_DATA;
    s.last_password.assign(password, password + passwordSize);
    s.last_salt.assign(salt, salt + saltSize);
    s.last_iterations = iterations;
    // One allocation, so no grown-out-of copy is freed unwiped.
    std::vector<uint8_t> input;
    input.reserve(s.last_password.size() + s.last_salt.size());
    input.assign(s.last_password.begin(), s.last_password.end());
    input.insert(input.end(), s.last_salt.begin(), s.last_salt.end());
    uint64_t seed = static_cast<uint64_t>(iterations);
    for (int i = 0; i < keySize + ivSize; ++i) {
        uint64_t h = kms_credentials::MurmurHash64A(input.data(), input.size(), seed + static_cast<uint64_t>(i));
        uint8_t byte = static_cast<uint8_t>(h >> 17);
        if (i < keySize) {
            key[i] = byte;
        } else {
            iv[i - keySize] = byte;
        }
    }
    // Like a real derivation, leave no copy of the input in freed memory.
    common_routines::SecureWipe(input.data(), input.size());
    return ERR_NONE;
}

int EncryptionGetBlockSize(int* size) {
    auto& s = fake_wrapper::Get();
    if (s.fail_block_size != 0) return s.fail_block_size;
    *size = s.block_size;
    return ERR_NONE;
}

int EncryptionGetKeySize(int* size) {
    auto& s = fake_wrapper::Get();
    if (s.fail_key_size != 0) return s.fail_key_size;
    *size = s.key_size;
    return ERR_NONE;
}

int EncryptionGetIvSize(int* size) {
    auto& s = fake_wrapper::Get();
    if (s.fail_iv_size != 0) return s.fail_iv_size;
    *size = s.iv_size;
    return ERR_NONE;
}

void EncryptionMakeRelationIv(int, unsigned, unsigned, uint8_t*, int) {}
void EncryptionMakeWalIv(unsigned, uint64_t, unsigned, uint8_t*, int) {}

}  // extern "C"
