#include "common/base64.h"

#include <openssl/evp.h>

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

std::string OpenSslEncode(const std::vector<unsigned char>& bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), bytes.data(),
                                  static_cast<int>(bytes.size()));
    out.resize(static_cast<size_t>(n));
    return out;
}

std::string StrictEncode(const std::vector<unsigned char>& bytes) {
    const int len = static_cast<int>(bytes.size());
    std::string out(static_cast<size_t>(pg_b64_enc_len(len)), '\0');
    const int n = pg_b64_encode(reinterpret_cast<const char*>(bytes.data()), len, out.data());
    EXPECT_LE(n, pg_b64_enc_len(len));
    out.resize(static_cast<size_t>(n));
    return out;
}

// Returns the decoded bytes, or "<invalid>" when the strict decoder refuses.
std::string StrictDecode(const std::string& text) {
    const int len = static_cast<int>(text.size());
    std::string out(static_cast<size_t>(pg_b64_dec_len(len)) + 1, '\0');
    const int n = pg_b64_decode(text.data(), len, out.data());
    if (n < 0) return "<invalid>";
    EXPECT_LE(n, pg_b64_dec_len(len));
    out.resize(static_cast<size_t>(n));
    return out;
}

std::string LenientDecode(const std::string& text) {
    const std::vector<uint8_t> bytes = common_routines::base64_decode(text);
    return std::string(bytes.begin(), bytes.end());
}

std::string LenientEncode(const std::string& text) {
    return common_routines::base64_encode(reinterpret_cast<const unsigned char*>(text.data()), text.size());
}

TEST(Base64, BothCodecsAgreeWithOpenSslOnRandomInput) {
    std::mt19937 rng(20261208);
    for (size_t len = 0; len < 200; ++len) {
        for (int round = 0; round < 5; ++round) {
            std::vector<unsigned char> bytes(len);
            for (auto& b : bytes) b = static_cast<unsigned char>(rng());
            const std::string expected = OpenSslEncode(bytes);
            ASSERT_EQ(StrictEncode(bytes), expected) << "length " << len;
            ASSERT_EQ(common_routines::base64_encode(bytes.data(), bytes.size()), expected) << "length " << len;
            const std::string original(bytes.begin(), bytes.end());
            ASSERT_EQ(StrictDecode(expected), original) << expected;
            ASSERT_EQ(LenientDecode(expected), original) << expected;
        }
    }
}

TEST(Base64, KnownTexts) {
    EXPECT_EQ(LenientEncode("abc"), "YWJj");
    EXPECT_EQ(LenientEncode("ab"), "YWI=");
    EXPECT_EQ(LenientEncode("a"), "YQ==");
    EXPECT_EQ(LenientEncode(""), "");
    EXPECT_EQ(StrictDecode(""), "");
    EXPECT_EQ(StrictDecode("YQ=="), "a");
    EXPECT_EQ(StrictDecode("YWI="), "ab");
    EXPECT_EQ(StrictDecode("+/+/"), "\xfb\xff\xbf");
}

TEST(Base64, StrictDecoderRejectsMalformedText) {
    const char* malformed[] = {
        "YWJj\n", "YW Jj", "\tYWJj", "YWJj\r", "YW\nJj",  // white space anywhere
        "YWJ*", "YWJj!", "YW-j", "YW_j", "YWJ\x80",       // outside the alphabet
        "YWI", "YWJjY", "Y",                              // not a multiple of four
        "=WJj", "Y=Jj", "YW=j", "====", "Y===",           // '=' in a data position
        "YQ==YWJj", "YWI=YWJj",                            // data after the padding
    };
    for (const char* text : malformed) {
        EXPECT_EQ(StrictDecode(text), "<invalid>") << "accepted: " << text;
    }
    char decoded[8];
    EXPECT_EQ(pg_b64_decode("YWJj", 0, decoded), 0);
}

TEST(Base64, LenientDecoderStopsAtTheFirstForeignCharacter) {
    EXPECT_EQ(LenientDecode("YWJj\n"), "abc");
    EXPECT_EQ(LenientDecode("YWI"), "ab");
    EXPECT_EQ(LenientDecode("YQ"), "a");
    EXPECT_EQ(LenientDecode("Y"), "");
    EXPECT_EQ(LenientDecode("YWJjYQ==garbage"), "abca");
    EXPECT_EQ(LenientDecode("YW Jj"), "a");
    EXPECT_EQ(LenientDecode("*YWJj"), "");
    EXPECT_EQ(LenientDecode(""), "");
}

TEST(Base64, BufferSizeFormulas) {
    EXPECT_EQ(pg_b64_enc_len(3), 6);
    EXPECT_EQ(pg_b64_enc_len(0), 2);
    EXPECT_EQ(pg_b64_dec_len(4), 3);
    EXPECT_EQ(pg_b64_dec_len(8), 6);
    for (int n = 0; n < 100; ++n) {
        EXPECT_GE(pg_b64_enc_len(n), (n + 2) / 3 * 4) << n;
    }
}

}  // namespace
