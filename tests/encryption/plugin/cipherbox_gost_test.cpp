// GOST build on the real GOST engine: sizes, agreement with the openssl command
// through the engine, derivation with the GOST R 34.11-94 digest.

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <atomic>
#include <cstdlib>

#include "common/error_code.h"
#include "plugin_fixture.h"

namespace cipherbox_test {
namespace {

// OpenSSL allocations of this process fail while this is set.
std::atomic<bool> failAllocations{false};
void* FailingMalloc(size_t n, const char*, int) { return failAllocations ? nullptr : std::malloc(n); }
void* FailingRealloc(void* p, size_t n, const char*, int) { return failAllocations ? nullptr : std::realloc(p, n); }
void PlainFree(void* p, const char*, int) { std::free(p); }
const bool allocationsControlled = CRYPTO_set_mem_functions(FailingMalloc, FailingRealloc, PlainFree) == 1;

TEST(CipherboxGost, SizesAreThoseOfGost89) {
    EXPECT_EQ(BlockSize(), 1);
    EXPECT_EQ(KeySize(), 32);
    EXPECT_EQ(IvSize(), 8);
}

TEST(CipherboxGost, AgreesWithOpensslEngineRunsForEachLengthInARow) {
    // Lengths around the 1024-byte key-meshing period and with partial 8-byte
    // blocks, one after another in this process: every call must match a fresh
    // openssl run, so no position or meshing state may leak between calls.
    const size_t sizes[] = {1, 7, 1000, 1024, 1025, 4096, 8192, 5003};
    for (bool stream : {false, true}) {
        const std::string cipher = stream ? "-gost89-cnt" : "-gost89";
        for (size_t size : sizes) {
            const Bytes key = RandomBytes(32), iv = RandomBytes(8), data = RandomNonZeroBytes(size);
            Bytes out(size), back(size);
            ASSERT_EQ(Fn().PluginEncrypt(data.data(), size, out.data(), key.data(), iv.data(), stream), 0);
            EXPECT_EQ(out, OpensslEnc({"-engine", "gost", cipher}, key, iv, data)) << cipher << " " << size;
            ASSERT_EQ(Fn().PluginDecrypt(out.data(), size, back.data(), key.data(), iv.data(), stream), 0);
            EXPECT_EQ(back, ExpectedRoundTrip(out, data)) << cipher << " " << size;
        }
    }
}

TEST(CipherboxGost, SamePageTwiceGivesSameBytes) {
    const Bytes key = RandomBytes(32), iv = RandomBytes(8), page = RandomBytes(8192);
    for (bool stream : {false, true}) {
        Bytes a(page.size()), b(page.size());
        ASSERT_EQ(Fn().PluginEncrypt(page.data(), page.size(), a.data(), key.data(), iv.data(), stream), 0);
        ASSERT_EQ(Fn().PluginEncrypt(page.data(), page.size(), b.data(), key.data(), iv.data(), stream), 0);
        EXPECT_EQ(a, b) << "stream " << stream;
    }
}

TEST(CipherboxGost, FailedRebuildLeavesTheCoreUsable) {
    if (!allocationsControlled) {
        GTEST_SKIP() << "OpenSSL allocated before the hooks could be installed";
    }
    ASSERT_EQ(Fn().PluginInit(), 0);
    const Bytes key = RandomBytes(32), iv = RandomBytes(8), page = RandomBytes(512);
    Bytes before(page.size()), out(page.size());
    ASSERT_EQ(Fn().PluginEncrypt(page.data(), page.size(), before.data(), key.data(), iv.data(), false), 0);

    // The per-call rebuild of the block context cannot get its cipher state.
    failAllocations = true;
    const int rc = Fn().PluginEncrypt(page.data(), page.size(), out.data(), key.data(), iv.data(), false);
    failAllocations = false;
    EXPECT_EQ(rc, ERR_CIPHER_SETUP);

    // Key generation works on that same context and must not find it unbound.
    Bytes newKey(32, 0);
    EXPECT_EQ(Fn().PluginGenerateKey(newKey.data(), 32), 0);
    EXPECT_NE(newKey, Bytes(32, 0));
    ASSERT_EQ(Fn().PluginEncrypt(page.data(), page.size(), out.data(), key.data(), iv.data(), false), 0);
    EXPECT_EQ(out, before);

    // Failing again, then straight to a key: the context is bound anew.
    failAllocations = true;
    EXPECT_EQ(Fn().PluginEncrypt(page.data(), page.size(), out.data(), key.data(), iv.data(), false),
              ERR_CIPHER_SETUP);
    failAllocations = false;
    EXPECT_EQ(Fn().PluginGenerateKey(newKey.data(), 32), 0);
    EXPECT_EQ(Fn().PluginGenerateKey(newKey.data(), 32), 0);
    ASSERT_EQ(Fn().PluginEncrypt(page.data(), page.size(), out.data(), key.data(), iv.data(), false), 0);
    EXPECT_EQ(out, before);
}

// Reference PBKDF2 (RFC 8018) written out with single HMAC calls.
Bytes Pbkdf2(const EVP_MD* md, const std::string& password, const std::string& salt, int iterations, size_t length) {
    Bytes result;
    for (uint32_t block = 1; result.size() < length; ++block) {
        Bytes msg(salt.begin(), salt.end());
        for (int shift = 24; shift >= 0; shift -= 8) {
            msg.push_back(static_cast<uint8_t>(block >> shift));
        }
        uint8_t u[EVP_MAX_MD_SIZE];
        unsigned int ulen = 0;
        HMAC(md, password.data(), static_cast<int>(password.size()), msg.data(), msg.size(), u, &ulen);
        Bytes t(u, u + ulen);
        for (int i = 1; i < iterations; ++i) {
            HMAC(md, password.data(), static_cast<int>(password.size()), u, ulen, u, &ulen);
            for (unsigned j = 0; j < ulen; ++j) {
                t[j] ^= u[j];
            }
        }
        result.insert(result.end(), t.begin(), t.end());
    }
    result.resize(length);
    return result;
}

TEST(CipherboxGost, PasswordDerivationUsesGost94Digest) {
    ASSERT_EQ(Fn().PluginInit(), 0);
    // The plug-in registered the engine in this process's OpenSSL.
    const EVP_MD* gost94 = EVP_get_digestbyname("md_gost94");
    ASSERT_NE(gost94, nullptr);
    const std::string password("correct horse\0battery", 21), salt = "pepper-and-salt";
    for (int iterations : {1, 3, 1000}) {
        Bytes key(32), iv(8);
        ASSERT_EQ(Fn().PluginGeneratePasswordBasedKey(key.data(), 32, iv.data(), 8,
                                                      reinterpret_cast<const uint8_t*>(password.data()),
                                                      static_cast<int>(password.size()),
                                                      reinterpret_cast<const uint8_t*>(salt.data()),
                                                      static_cast<int>(salt.size()), iterations),
                  0);
        const Bytes expected = Pbkdf2(gost94, password, salt, iterations, 40);
        EXPECT_EQ(key, Bytes(expected.begin(), expected.begin() + 32)) << iterations;
        EXPECT_EQ(iv, Bytes(expected.begin() + 32, expected.end())) << iterations;
        // And not the SHA-256 result.
        const Bytes sha = Pbkdf2(EVP_sha256(), password, salt, iterations, 40);
        EXPECT_NE(key, Bytes(sha.begin(), sha.begin() + 32));
    }
}

}  // namespace
}  // namespace cipherbox_test
