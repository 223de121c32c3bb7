// AES build: published vectors, agreement with the openssl command, PBKDF2.

#include <openssl/crypto.h>

#include <atomic>
#include <cstdlib>

#include "plugin_fixture.h"

namespace cipherbox_test {
namespace {

// Every OpenSSL allocation of this process, counted from before the first one.
std::atomic<long> opensslAllocations{0};
void* CountingMalloc(size_t n, const char*, int) {
    ++opensslAllocations;
    return std::malloc(n);
}
void* CountingRealloc(void* p, size_t n, const char*, int) {
    ++opensslAllocations;
    return std::realloc(p, n);
}
void CountingFree(void* p, const char*, int) { std::free(p); }
const bool allocationsCounted = CRYPTO_set_mem_functions(CountingMalloc, CountingRealloc, CountingFree) == 1;

// NIST SP 800-38A, F.2.1 (CBC-AES128) and F.5.1 (CTR-AES128).
const char* kNistKey = "2b7e151628aed2a6abf7158809cf4f3c";
const char* kNistPlain =
    "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
    "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710";
const char* kCbcIv = "000102030405060708090a0b0c0d0e0f";
const char* kCbcCipher =
    "7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b2"
    "73bed6b8e3c1743b7116e69e222295163ff1caa1681fac09120eca307586e1a7";
const char* kCtrIv = "f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff";
const char* kCtrCipher =
    "874d6191b620e3261bef6864990db6ce9806f66b7970fdff8617187bb9fffdff"
    "5ae4df3edbd5d35e5b4f09020db03eab1e031dda2fbe03d1792170a0f3009cee";

TEST(CipherboxAes, SizesAreSixteen) {
    EXPECT_EQ(BlockSize(), 16);
    EXPECT_EQ(KeySize(), 16);
    EXPECT_EQ(IvSize(), 16);
}

TEST(CipherboxAes, EncryptionPathDoesNotAllocate) {
    if (!allocationsCounted) {
        GTEST_SKIP() << "OpenSSL allocated before the counter could be installed";
    }
    const Bytes key = RandomBytes(16), iv = RandomBytes(16);
    Bytes page = RandomBytes(8192), out(8192);
    ASSERT_EQ(Fn().PluginInit(), 0);
    // Warm up once per path, then count.
    for (bool stream : {false, true}) {
        ASSERT_EQ(Fn().PluginEncrypt(page.data(), page.size(), out.data(), key.data(), iv.data(), stream), 0);
        ASSERT_EQ(Fn().PluginDecrypt(out.data(), out.size(), page.data(), key.data(), iv.data(), stream), 0);
    }
    const long before = opensslAllocations.load();
    for (int i = 0; i < 50; ++i) {
        for (bool stream : {false, true}) {
            ASSERT_EQ(Fn().PluginEncrypt(page.data(), page.size(), out.data(), key.data(), iv.data(), stream), 0);
            ASSERT_EQ(Fn().PluginDecrypt(out.data(), 8192 - 16 * (i % 4), page.data(), key.data(), iv.data(), stream),
                      0);
            ASSERT_EQ(Fn().PluginEncrypt(page.data(), 17 + static_cast<size_t>(i), out.data(), key.data(), iv.data(),
                                         true),
                      0);
        }
    }
    EXPECT_EQ(opensslAllocations.load() - before, 0);
}

TEST(CipherboxAes, NistVectorsBlockAndStream) {
    const Bytes key = FromHex(kNistKey), plain = FromHex(kNistPlain);
    struct Case {
        bool stream;
        const char* iv;
        const char* cipher;
    };
    for (const Case& c : {Case{false, kCbcIv, kCbcCipher}, Case{true, kCtrIv, kCtrCipher}}) {
        const Bytes iv = FromHex(c.iv), expected = FromHex(c.cipher);
        Bytes out(plain.size()), back(plain.size());
        ASSERT_EQ(Fn().PluginEncrypt(plain.data(), plain.size(), out.data(), key.data(), iv.data(), c.stream), 0);
        EXPECT_EQ(ToHex(out), c.cipher) << (c.stream ? "CTR" : "CBC");
        ASSERT_EQ(Fn().PluginDecrypt(expected.data(), expected.size(), back.data(), key.data(), iv.data(), c.stream),
                  0);
        EXPECT_EQ(back, plain) << (c.stream ? "CTR" : "CBC");
        // A prefix of the stream: CTR output is the same prefix of the vector.
        if (c.stream) {
            Bytes part(23);
            ASSERT_EQ(Fn().PluginEncrypt(plain.data(), part.size(), part.data(), key.data(), iv.data(), true), 0);
            EXPECT_EQ(part, Bytes(expected.begin(), expected.begin() + 23));
        }
    }
}

TEST(CipherboxAes, AgreesWithOpensslCommandOnRandomData) {
    // Several lengths in a row through the same process, each compared with a
    // fresh run of the openssl command.
    for (size_t size : {size_t{16}, size_t{4096}, size_t{8192}, size_t{8192 + 48}, size_t{65536}}) {
        const Bytes key = RandomBytes(16), iv = RandomBytes(16), data = RandomNonZeroBytes(size);
        Bytes out(size), back(size);
        ASSERT_EQ(Fn().PluginEncrypt(data.data(), size, out.data(), key.data(), iv.data(), false), 0);
        EXPECT_EQ(out, OpensslEnc({"-aes-128-cbc", "-nopad"}, key, iv, data)) << "CBC " << size;
        ASSERT_EQ(Fn().PluginDecrypt(out.data(), size, back.data(), key.data(), iv.data(), false), 0);
        EXPECT_EQ(back, data);
    }
    for (size_t size : {size_t{1}, size_t{17}, size_t{1000}, size_t{8192}, size_t{65537}}) {
        const Bytes key = RandomBytes(16), iv = RandomBytes(16), data = RandomNonZeroBytes(size);
        Bytes out(size), back(size);
        ASSERT_EQ(Fn().PluginEncrypt(data.data(), size, out.data(), key.data(), iv.data(), true), 0);
        EXPECT_EQ(out, OpensslEnc({"-aes-128-ctr"}, key, iv, data)) << "CTR " << size;
        ASSERT_EQ(Fn().PluginDecrypt(out.data(), size, back.data(), key.data(), iv.data(), true), 0);
        EXPECT_EQ(back, ExpectedRoundTrip(out, data)) << "CTR " << size;
    }
}

TEST(CipherboxAes, PasswordDerivationIsPbkdf2Sha256SplitSixteenSixteen) {
    struct Vector {
        std::string password;
        std::string salt;
        int iterations;
        const char* derived;  // 32 bytes of PBKDF2-HMAC-SHA256
    };
    const Vector vectors[] = {
        {"password", "salt", 1, "120fb6cffcf8b32c43e7225256c4f837a86548c92ccc35480805987cb70be17b"},
        {"password", "salt", 2, "ae4d0c95af6b46d32d0adff928f06dd02a303f8ef3c251dfd6e2d85a95474c43"},
        {"password", "salt", 4096, "c5e478d59288c841aa530db6845c4c8d962893a001ce4e11a4963873aa98134a"},
        {"passwd", "salt", 1, "55ac046e56e3089fec1691c22544b605f94185216dde0465e68b9d57c20dacbc"},
        // Embedded zero bytes: the lengths given are used, not the C string lengths.
        {std::string("pass\0word", 9), std::string("sa\0lt", 5), 4096,
         "89b69d0516f829893c696226650a86878c029ac13ee276509d5ae58b6466a724"},
    };
    for (const Vector& v : vectors) {
        Bytes key(16, 0xFF), iv(16, 0xFF);
        ASSERT_EQ(Fn().PluginGeneratePasswordBasedKey(key.data(), 16, iv.data(), 16,
                                                      reinterpret_cast<const uint8_t*>(v.password.data()),
                                                      static_cast<int>(v.password.size()),
                                                      reinterpret_cast<const uint8_t*>(v.salt.data()),
                                                      static_cast<int>(v.salt.size()), v.iterations),
                  0);
        const std::string expected = v.derived;
        EXPECT_EQ(ToHex(key), expected.substr(0, 32)) << v.iterations;
        EXPECT_EQ(ToHex(iv), expected.substr(32, 32)) << v.iterations;
    }
}

}  // namespace
}  // namespace cipherbox_test
