// The encryption core: cipher contexts bound once, fresh-keyed per call.

#include "encryption_core.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>
#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <array>
#include <climits>
#include <cstring>

#include "common/error_code.h"
#include "common/result_guard.h"

namespace encryption {

namespace {

// Number of leading 64-byte steps of p that are all zero (stops at the first
// step with a set bit). p need not be aligned.
#if defined(__x86_64__)
__attribute__((target("avx2"))) size_t ZeroStepsAvx2(const uint8_t* p, size_t steps) {
    for (size_t i = 0; i < steps; ++i, p += 64) {
        const __m256i lo = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        const __m256i hi = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
        const __m256i any = _mm256_or_si256(lo, hi);
        if (!_mm256_testz_si256(any, any)) {
            return i;
        }
    }
    return steps;
}

size_t ZeroStepsSse2(const uint8_t* p, size_t steps) {
    const __m128i zero = _mm_setzero_si128();
    for (size_t i = 0; i < steps; ++i, p += 64) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32));
        const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48));
        const __m128i any = _mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d));
        if (_mm_movemask_epi8(_mm_cmpeq_epi8(any, zero)) != 0xFFFF) {
            return i;
        }
    }
    return steps;
}

size_t ZeroSteps(const uint8_t* p, size_t steps) {
    static const bool hasAvx2 = __builtin_cpu_supports("avx2");
    return hasAvx2 ? ZeroStepsAvx2(p, steps) : ZeroStepsSse2(p, steps);
}
#else
size_t ZeroSteps(const uint8_t* p, size_t steps) {
    for (size_t i = 0; i < steps; ++i, p += 64) {
        uint64_t words[8];
        std::memcpy(words, p, sizeof(words));
        if ((words[0] | words[1] | words[2] | words[3] | words[4] | words[5] | words[6] | words[7]) != 0) {
            return i;
        }
    }
    return steps;
}
#endif

}  // namespace

bool IsAllZero(const uint8_t* buf, size_t size) {
    size_t pos = 0;
    while (pos < size && (reinterpret_cast<uintptr_t>(buf + pos) & 7U) != 0) {
        if (buf[pos] != 0) {
            return false;
        }
        ++pos;
    }
    // Whole 64-byte steps with vector loads: a data page is rejected at its
    // first step, an all-zero page is read at memory speed.
    const size_t steps = (size - pos) / 64;
    if (ZeroSteps(buf + pos, steps) != steps) {
        return false;
    }
    pos += steps * 64;
    while (pos < size) {
        if (buf[pos] != 0) {
            return false;
        }
        ++pos;
    }
    return true;
}

EncryptionCore& EncryptionCore::Instance() {
    // Exit handlers run in reverse order of registration. OpenSSL registers its
    // own cleanup when first initialised; doing that before the core exists
    // makes the core's teardown (which finishes the engine through OpenSSL's
    // locks) run while OpenSSL is still alive, also in a process where the
    // plug-in is OpenSSL's first user. (A call without options returns at once
    // and registers nothing.)
    static const bool openSslReady =
        OPENSSL_init_crypto(OPENSSL_INIT_ADD_ALL_CIPHERS | OPENSSL_INIT_ADD_ALL_DIGESTS, nullptr) == 1;
    (void)openSslReady;
    // Created on first use (thread-safe), destroyed at exit or library unload.
    static EncryptionCore core;
    return core;
}

int EncryptionCore::Init(const char* engineId, const char* blockCipherName, const char* streamCipherName) {
    return common_routines::CallReturningCode([&]() -> int {
        // Only a successfully selected engine replaces the current one.
        engine_ = std::make_unique<CryptoEngine>(engineId);
        try {
            blockEncryptCtx_ = CreateCipherCtx(blockCipherName, CIPHER_CTX_ENCRYPT);
            blockDecryptCtx_ = CreateCipherCtx(blockCipherName, CIPHER_CTX_DECRYPT);
            streamEncryptCtx_ = CreateCipherCtx(streamCipherName, CIPHER_CTX_ENCRYPT);
            streamDecryptCtx_ = CreateCipherCtx(streamCipherName, CIPHER_CTX_DECRYPT);
        } catch (...) {
            // Leave the core uninitialised so the next call tries again.
            engine_.reset();
            throw;
        }
        blockCipher_ = EVP_CIPHER_CTX_get0_cipher(blockEncryptCtx_.get());
        streamCipher_ = EVP_CIPHER_CTX_get0_cipher(streamEncryptCtx_.get());
        blockRekeyIsFresh_ = EVP_CIPHER_get0_provider(blockCipher_) != nullptr;
        streamRekeyIsFresh_ = EVP_CIPHER_get0_provider(streamCipher_) != nullptr;
        blockSize_ = EVP_CIPHER_CTX_get_block_size(blockEncryptCtx_.get());
        keyLength_ = EVP_CIPHER_CTX_get_key_length(blockEncryptCtx_.get());
        ivLength_ = EVP_CIPHER_CTX_get_iv_length(blockEncryptCtx_.get());
        return ERR_NONE;
    });
}

CipherCtxPtr EncryptionCore::CreateCipherCtx(const char* cipherName, CipherCtxType type) {
    if (!engine_) {
        throw static_cast<int>(ERR_ENGINE_NOT_INITIALIZED);
    }
    const EVP_CIPHER* cipher = cipherName != nullptr ? EVP_get_cipherbyname(cipherName) : nullptr;
    if (cipher == nullptr) {
        throw static_cast<int>(ERR_CIPHER_NOT_FOUND);
    }
    CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    if (!ctx) {
        throw static_cast<int>(ERR_ALLOCATION);
    }
    int enc = type == CIPHER_CTX_ENCRYPT ? 1 : 0;
    if (EVP_CipherInit_ex(ctx.get(), cipher, engine_->Handle(), nullptr, nullptr, enc) != 1) {
        throw static_cast<int>(ERR_CIPHER_SETUP);
    }
    EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
    return ctx;
}

bool EncryptionCore::ResetAndKey(EVP_CIPHER_CTX* ctx, const EVP_CIPHER* cipher, bool rekeyIsFresh,
                                 CipherCtxType type, const uint8_t* key, const uint8_t* iv) {
    int enc = type == CIPHER_CTX_ENCRYPT ? 1 : 0;
    if (rekeyIsFresh) {
        return EVP_CipherInit_ex(ctx, nullptr, nullptr, key, iv, enc) == 1;
    }
    // An engine cipher keeps its position inside a partial block and its
    // key-meshing counter across a keyed init, so the same page would encrypt
    // differently on every call. Rebuilding the context from its cipher starts
    // each call from the state of a new context.
    EVP_CIPHER_CTX_reset(ctx);
    if (EVP_CipherInit_ex(ctx, cipher, engine_->Handle(), key, iv, enc) != 1) {
        return false;
    }
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    return true;
}

int EncryptionCore::Crypt(const uint8_t* in, size_t size, uint8_t* out, const uint8_t* key, const uint8_t* iv,
                          bool stream, CipherCtxType type) {
    if (!engine_) {
        return ERR_ENGINE_NOT_INITIALIZED;
    }
    if (!stream && (size < static_cast<size_t>(blockSize_) || size % static_cast<size_t>(blockSize_) != 0)) {
        return ERR_FORMAT;
    }
    // Unwritten pages and WAL tails are zero; they stay zero in both directions.
    if (IsAllZero(in, size)) {
        if (out != in) {
            std::memset(out, 0, size);
        }
        return ERR_NONE;
    }
    const int updateError = type == CIPHER_CTX_ENCRYPT ? ERR_ENCRYPT : ERR_DECRYPT;
    // The update call counts in int; a longer buffer cannot be done in one call
    // and is refused before any byte is written.
    if (size > static_cast<size_t>(INT_MAX)) {
        return updateError;
    }

    EVP_CIPHER_CTX* ctx = nullptr;
    if (stream) {
        ctx = type == CIPHER_CTX_ENCRYPT ? streamEncryptCtx_.get() : streamDecryptCtx_.get();
    } else {
        ctx = type == CIPHER_CTX_ENCRYPT ? blockEncryptCtx_.get() : blockDecryptCtx_.get();
    }
    const EVP_CIPHER* cipher = stream ? streamCipher_ : blockCipher_;
    const bool rekeyIsFresh = stream ? streamRekeyIsFresh_ : blockRekeyIsFresh_;
    if (!ResetAndKey(ctx, cipher, rekeyIsFresh, type, key, iv)) {
        return ERR_CIPHER_SETUP;
    }

    int outLength = 0;
    const int inLength = static_cast<int>(size);
    int ok = type == CIPHER_CTX_ENCRYPT ? EVP_EncryptUpdate(ctx, out, &outLength, in, inLength)
                                        : EVP_DecryptUpdate(ctx, out, &outLength, in, inLength);
    if (ok != 1 || outLength != inLength) {
        return updateError;
    }
    return ERR_NONE;
}

int EncryptionCore::Encrypt(const uint8_t* in, size_t size, uint8_t* out, const uint8_t* key,
                            const uint8_t* iv, bool stream) {
    return Crypt(in, size, out, key, iv, stream, CIPHER_CTX_ENCRYPT);
}

int EncryptionCore::Decrypt(const uint8_t* in, size_t size, uint8_t* out, const uint8_t* key,
                            const uint8_t* iv, bool stream) {
    return Crypt(in, size, out, key, iv, stream, CIPHER_CTX_DECRYPT);
}

int EncryptionCore::GenerateKey(uint8_t* key, int size) {
    if (!engine_) {
        return ERR_ENGINE_NOT_INITIALIZED;
    }
    if (size != keyLength_) {
        return ERR_INPUT_DATA;
    }
    // A rebuild that failed half-way (engine ciphers) leaves the context without
    // a cipher, and OpenSSL's key generator dereferences the cipher: bind it
    // again first.
    EVP_CIPHER_CTX* ctx = blockEncryptCtx_.get();
    if (EVP_CIPHER_CTX_get0_cipher(ctx) == nullptr) {
        if (EVP_CipherInit_ex(ctx, blockCipher_, engine_->Handle(), nullptr, nullptr, 1) != 1) {
            EVP_CIPHER_CTX_reset(ctx);
            return ERR_KEY_GENERATION;
        }
        EVP_CIPHER_CTX_set_padding(ctx, 0);
    }
    if (EVP_CIPHER_CTX_rand_key(ctx, key) <= 0) {
        return ERR_KEY_GENERATION;
    }
    return ERR_NONE;
}

int EncryptionCore::GenerateIv(uint8_t* iv, int size) {
    if (!engine_) {
        return ERR_ENGINE_NOT_INITIALIZED;
    }
    if (size != ivLength_) {
        return ERR_INPUT_DATA;
    }
    if (RAND_bytes(iv, size) <= 0) {
        return ERR_IV_GENERATION;
    }
    return ERR_NONE;
}

int EncryptionCore::GeneratePasswordBasedKey(const char* digestName, uint8_t* key, int keySize, uint8_t* iv,
                                             int ivSize, const uint8_t* password, int passwordSize,
                                             const uint8_t* salt, int saltSize, int iterations) {
    if (!engine_) {
        return ERR_ENGINE_NOT_INITIALIZED;
    }
    if (keySize != keyLength_ || ivSize != ivLength_) {
        return ERR_INPUT_DATA;
    }
    // OpenSSL reads a password length of -1 as "up to the terminating zero" and
    // other negative lengths as huge sizes; neither is a length of the buffer.
    if (passwordSize < 0 || saltSize < 0) {
        return ERR_INPUT_DATA;
    }
    const EVP_MD* digest = digestName != nullptr ? EVP_get_digestbyname(digestName) : nullptr;
    if (digest == nullptr) {
        return ERR_DIGEST_NOT_FOUND;
    }
    if (iterations < 1) {
        return ERR_KEY_GENERATION;
    }
    std::array<uint8_t, EVP_MAX_KEY_LENGTH + EVP_MAX_IV_LENGTH> derived{};
    const size_t total = static_cast<size_t>(keySize) + static_cast<size_t>(ivSize);
    if (total > derived.size()) {
        return ERR_INPUT_DATA;
    }
    int ok = PKCS5_PBKDF2_HMAC(reinterpret_cast<const char*>(password), passwordSize, salt, saltSize, iterations,
                               digest, static_cast<int>(total), derived.data());
    if (ok != 1) {
        OPENSSL_cleanse(derived.data(), derived.size());
        return ERR_KEY_GENERATION;
    }
    std::memcpy(key, derived.data(), static_cast<size_t>(keySize));
    std::memcpy(iv, derived.data() + keySize, static_cast<size_t>(ivSize));
    OPENSSL_cleanse(derived.data(), derived.size());
    return ERR_NONE;
}

}  // namespace encryption
