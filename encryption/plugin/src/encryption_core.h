#pragma once

// Internals of the encryption plug-in: the engine holder and the process-wide
// encryption core behind the exported entry points.

#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace encryption {

// Direction of a cipher context.
enum CipherCtxType : int { CIPHER_CTX_ENCRYPT = 0, CIPHER_CTX_DECRYPT = 1 };

// Selects and holds the OpenSSL engine the ciphers run on. "builtin" (or a null
// identifier) means OpenSSL's own implementations and holds no engine; any other
// identifier is looked up, or loaded through the "dynamic" engine, then made the
// default for every algorithm class. Throws an int result code on failure.
class CryptoEngine {
public:
    explicit CryptoEngine(const char* engineId);
    ~CryptoEngine();
    CryptoEngine(const CryptoEngine&) = delete;
    CryptoEngine& operator=(const CryptoEngine&) = delete;

    ENGINE* Handle() const { return engine_; }
    const std::string& Id() const { return engineId_; }

private:
    ENGINE* engine_ = nullptr;
    std::string engineId_;
};

struct CipherCtxDeleter {
    void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
using CipherCtxPtr = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxDeleter>;

// True when every byte of buf[0..size) is zero. Reads byte by byte up to an
// 8-byte boundary, then 64 bytes per step, then the tail byte by byte.
bool IsAllZero(const uint8_t* buf, size_t size);

// The plug-in's cryptographic state: one engine and four cipher contexts with
// their cipher bound once. Calls must not overlap.
class EncryptionCore {
public:
    static EncryptionCore& Instance();

    EncryptionCore() = default;
    EncryptionCore(const EncryptionCore&) = delete;
    EncryptionCore& operator=(const EncryptionCore&) = delete;

    bool IsInitialized() const { return engine_ != nullptr; }

    int Init(const char* engineId, const char* blockCipherName, const char* streamCipherName);
    CipherCtxPtr CreateCipherCtx(const char* cipherName, CipherCtxType type);
    int Encrypt(const uint8_t* in, size_t size, uint8_t* out, const uint8_t* key, const uint8_t* iv,
                bool stream);
    int Decrypt(const uint8_t* in, size_t size, uint8_t* out, const uint8_t* key, const uint8_t* iv,
                bool stream);
    int GenerateKey(uint8_t* key, int size);
    int GenerateIv(uint8_t* iv, int size);
    int GeneratePasswordBasedKey(const char* digestName, uint8_t* key, int keySize, uint8_t* iv, int ivSize,
                                 const uint8_t* password, int passwordSize, const uint8_t* salt, int saltSize,
                                 int iterations);

    int BlockSize() const { return blockSize_; }
    int KeyLength() const { return keyLength_; }
    int IvLength() const { return ivLength_; }

private:
    int Crypt(const uint8_t* in, size_t size, uint8_t* out, const uint8_t* key, const uint8_t* iv, bool stream,
              CipherCtxType type);
    // Puts ctx into the state of a freshly created context of its cipher and keys
    // it, so nothing of an earlier call (chain, counter, position inside a
    // partial block, key-meshing counter) reaches this one.
    bool ResetAndKey(EVP_CIPHER_CTX* ctx, const EVP_CIPHER* cipher, bool rekeyIsFresh, CipherCtxType type,
                     const uint8_t* key, const uint8_t* iv);

    // Destruction runs bottom-up: stream decrypt, stream encrypt, block decrypt,
    // block encrypt, then the engine.
    std::unique_ptr<CryptoEngine> engine_;
    CipherCtxPtr blockEncryptCtx_;
    CipherCtxPtr blockDecryptCtx_;
    CipherCtxPtr streamEncryptCtx_;
    CipherCtxPtr streamDecryptCtx_;
    int blockSize_ = 0;
    int keyLength_ = 0;
    int ivLength_ = 0;
    // The cipher each mode's contexts were bound to, and whether re-keying alone
    // already yields a fresh state (provider ciphers reset position, buffer and IV
    // on every keyed init; engine ciphers keep theirs and are rebuilt instead).
    const EVP_CIPHER* blockCipher_ = nullptr;
    const EVP_CIPHER* streamCipher_ = nullptr;
    bool blockRekeyIsFresh_ = false;
    bool streamRekeyIsFresh_ = false;
};

}  // namespace encryption
