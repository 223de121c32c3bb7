#include "credentials/credential_store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/error_code.h"
#include "fake_wrapper.h"
#include "identity_fixtures.h"
#include "test_support.h"

namespace {

class StoreTest : public identity_fixtures::FixedHostTest {
protected:
    std::string EncryptPassword(const std::string& plain, int domain = POSTGRESQL) {
        std::vector<uint8_t> key, iv;
        EXPECT_EQ(0, StoreDeriveKey(domain, key, iv));
        int length = -1;
        EXPECT_EQ(0, StoreEncryptPassword(plain.data(), static_cast<int>(plain.size()), nullptr, &length,
                                          key.data(), iv.data()));
        std::string out(static_cast<size_t>(length), '\0');
        EXPECT_EQ(0, StoreEncryptPassword(plain.data(), static_cast<int>(plain.size()), out.data(), &length,
                                          key.data(), iv.data()));
        return out;
    }

    int DecryptPassword(const std::string& text, std::string& plain, int domain = POSTGRESQL) {
        std::vector<uint8_t> key, iv;
        EXPECT_EQ(0, StoreDeriveKey(domain, key, iv));
        int length = -1;
        EXPECT_EQ(0, StoreDecryptPassword(text.data(), static_cast<int>(text.size()), nullptr, &length,
                                          key.data(), iv.data()));
        std::vector<char> out(static_cast<size_t>(length) + 1, '\0');
        int rc = StoreDecryptPassword(text.data(), static_cast<int>(text.size()), out.data(), &length, key.data(),
                                      iv.data());
        plain = out.data();
        return rc;
    }
};

TEST_F(StoreTest, LengthsOfPaddingAndBase64) {
    struct Case {
        int n, padding, encoded;
    };
    for (Case c : {Case{0, 0, 0}, Case{1, 15, 24}, Case{15, 1, 24}, Case{16, 0, 24}, Case{17, 15, 44}}) {
        EXPECT_EQ(c.padding, StorePaddingLength(c.n)) << c.n;
        EXPECT_EQ(c.encoded, StoreEncodedLength(c.n + c.padding)) << c.n;
    }
    EXPECT_EQ(4, StoreEncodedLength(1));
    EXPECT_EQ(4, StoreEncodedLength(3));
    EXPECT_EQ(8, StoreEncodedLength(4));
    EXPECT_EQ(18, StoreDecodedLength(24));
    EXPECT_EQ(17, StoreDecodedLength(23));
    EXPECT_EQ(0, StoreDecodedLength(0));

    fake_wrapper::Get().fail_block_size = ERR_ENGINE_NOT_INITIALIZED;
    EXPECT_EQ(0, StorePaddingLength(5));
    fake_wrapper::Get().fail_block_size = 0;
    fake_wrapper::Get().block_size = 8;
    EXPECT_EQ(3, StorePaddingLength(13));
}

TEST_F(StoreTest, DerivationUsesHostInputsAndTwoThousandIterations) {
    std::vector<uint8_t> key(3, 0xFF), iv(40, 0xFF);
    ASSERT_EQ(0, StoreDeriveKey(KMS, key, iv));
    EXPECT_EQ(16u, key.size());
    EXPECT_EQ(16u, iv.size());
    EXPECT_EQ(2000, fake_wrapper::Get().last_iterations);
    host_identity::Bytes expectedPassword, expectedSalt;
    ASSERT_EQ(0, host_identity::BuildDerivationInput(host_, KMS, expectedPassword, expectedSalt, "/nonexistent"));
    EXPECT_EQ(std::vector<uint8_t>(expectedPassword.begin(), expectedPassword.end()),
              fake_wrapper::Get().last_password);
    EXPECT_EQ(std::vector<uint8_t>(expectedSalt.begin(), expectedSalt.end()), fake_wrapper::Get().last_salt);

    // The same host and domain derive the same key; another domain does not.
    std::vector<uint8_t> again, againIv, other, otherIv;
    ASSERT_EQ(0, StoreDeriveKey(KMS, again, againIv));
    ASSERT_EQ(0, StoreDeriveKey(POSTGRESQL, other, otherIv));
    EXPECT_EQ(key, again);
    EXPECT_EQ(iv, againIv);
    EXPECT_NE(key, other);
}

TEST_F(StoreTest, DerivationFailuresArePassedOn) {
    std::vector<uint8_t> key, iv;
    fake_wrapper::Get().fail_key_size = ERR_ENGINE_NOT_INITIALIZED;
    EXPECT_EQ(ERR_ENGINE_NOT_INITIALIZED, StoreDeriveKey(KMS, key, iv));
    fake_wrapper::Reset();
    fake_wrapper::Get().fail_iv_size = ERR_CIPHER_NOT_FOUND;
    EXPECT_EQ(ERR_CIPHER_NOT_FOUND, StoreDeriveKey(KMS, key, iv));
    fake_wrapper::Reset();
    fake_wrapper::Get().fail_derive = ERR_KEY_GENERATION;
    EXPECT_EQ(ERR_KEY_GENERATION, StoreDeriveKey(KMS, key, iv));
    fake_wrapper::Reset();
    host_.network_rc = ERR_DEVICE_CALL;
    EXPECT_EQ(ERR_DEVICE_CALL, StoreDeriveKey(KMS, key, iv));
    EXPECT_EQ(0, fake_wrapper::Get().derive_calls);
}

TEST_F(StoreTest, RawDerivationAnswersSizesThenFillsBuffers) {
    int keyLength = -1, ivLength = -1;
    ASSERT_EQ(0, StoreDeriveKeyRaw(POSTGRESQL, nullptr, &keyLength, nullptr, &ivLength));
    EXPECT_EQ(16, keyLength);
    EXPECT_EQ(16, ivLength);
    EXPECT_EQ(0, fake_wrapper::Get().derive_calls);

    std::vector<uint8_t> key(16), iv(16), viaVector, viaVectorIv;
    ASSERT_EQ(0, StoreDeriveKeyRaw(POSTGRESQL, key.data(), &keyLength, iv.data(), &ivLength));
    ASSERT_EQ(0, StoreDeriveKey(POSTGRESQL, viaVector, viaVectorIv));
    EXPECT_EQ(viaVector, key);
    EXPECT_EQ(viaVectorIv, iv);

    // A wrong buffer size is refused by the derivation itself.
    int shortKey = 8;
    EXPECT_EQ(ERR_INPUT_DATA, StoreDeriveKeyRaw(POSTGRESQL, key.data(), &shortKey, iv.data(), &ivLength));
    fake_wrapper::Get().fail_iv_size = ERR_ENGINE_NOT_LOADED;
    EXPECT_EQ(ERR_ENGINE_NOT_LOADED, StoreDeriveKeyRaw(POSTGRESQL, key.data(), &keyLength, nullptr, &ivLength));
}

TEST_F(StoreTest, PasswordRoundTripAndFormat) {
    for (std::string plain : {std::string("p"), std::string("exactly16bytes!!"), std::string("seventeen bytes!!"),
                              std::string("pass word with spaces")}) {
        std::string text = EncryptPassword(plain);
        size_t padded = plain.size() + static_cast<size_t>(StorePaddingLength(static_cast<int>(plain.size())));
        EXPECT_EQ(4 * ((padded + 2) / 3), text.size()) << plain;
        EXPECT_EQ(std::string::npos, text.find_first_not_of(
                                         "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="));
        std::string back;
        ASSERT_EQ(0, DecryptPassword(text, back));
        EXPECT_EQ(plain, back);
    }
    // The key of another domain does not give the password back.
    std::string text = EncryptPassword("secret");
    std::string wrong;
    ASSERT_EQ(0, DecryptPassword(text, wrong, KMS));
    EXPECT_NE("secret", wrong);
}

TEST_F(StoreTest, EmptyPasswordIsEmptyText) {
    EXPECT_EQ("", EncryptPassword(""));
    std::string back = "x";
    EXPECT_EQ(0, DecryptPassword("", back));
    EXPECT_EQ("", back);
}

TEST_F(StoreTest, DecryptRejectsMalformedBase64) {
    std::string good = EncryptPassword("secret");
    std::string plain;
    EXPECT_EQ(ERR_FORMAT, DecryptPassword(good + "\n", plain));
    EXPECT_EQ(ERR_FORMAT, DecryptPassword(good.substr(0, 4) + " " + good.substr(4), plain));
    EXPECT_EQ(ERR_FORMAT, DecryptPassword(good.substr(0, good.size() - 1), plain));
    EXPECT_EQ(ERR_FORMAT, DecryptPassword("****", plain));
}

TEST_F(StoreTest, PasswordFailuresArePassedOn) {
    std::vector<uint8_t> key(16), iv(16);
    char out[64] = {};
    int length = 0;
    fake_wrapper::Get().fail_encrypt = ERR_ENCRYPT;
    EXPECT_EQ(ERR_ENCRYPT, StoreEncryptPassword("abc", 3, out, &length, key.data(), iv.data()));
    fake_wrapper::Get().fail_decrypt = ERR_DECRYPT;
    EXPECT_EQ(ERR_DECRYPT, StoreDecryptPassword("YWJjZGVmZ2hpamtsbW5vcA==", 24, out, &length, key.data(),
                                                iv.data()));
    // Decoded bytes that are not whole blocks cannot be decrypted.
    fake_wrapper::Get().fail_decrypt = 0;
    EXPECT_EQ(ERR_FORMAT, StoreDecryptPassword("YWJj", 4, out, &length, key.data(), iv.data()));
}

TEST_F(StoreTest, UnsafeArgumentsAreRefusedInsteadOfCrashing) {
    std::vector<uint8_t> key(16), iv(16);
    int length = 0;
    EXPECT_EQ(ERR_NULL_POINTER, StoreDeriveKeyRaw(KMS, nullptr, nullptr, nullptr, &length));
    EXPECT_EQ(ERR_NULL_POINTER, StoreDeriveKeyRaw(KMS, key.data(), &length, iv.data(), nullptr));
    char out[64] = {};
    EXPECT_EQ(ERR_INPUT_DATA, StoreEncryptPassword("abc", -1, out, &length, key.data(), iv.data()));
    EXPECT_EQ(ERR_INPUT_DATA, StoreDecryptPassword("YWJj", -4, out, &length, key.data(), iv.data()));
    EXPECT_EQ(ERR_NULL_POINTER, StoreEncryptPassword("abc", 3, nullptr, nullptr, key.data(), iv.data()));
    EXPECT_EQ(ERR_NULL_POINTER, StoreDecryptPassword("YWJj", 4, nullptr, nullptr, key.data(), iv.data()));
    EXPECT_EQ(ERR_NULL_POINTER, StoreEncryptPassword(nullptr, 3, out, &length, key.data(), iv.data()));
    EXPECT_EQ(ERR_NULL_POINTER, StoreDecryptPassword(nullptr, 4, out, &length, key.data(), iv.data()));
    EXPECT_EQ(0, fake_wrapper::Get().derive_calls);
    // A cipher without a block size pads nothing rather than dividing by zero;
    // a negative length has no padding either.
    fake_wrapper::Get().block_size = 0;
    EXPECT_EQ(0, StorePaddingLength(5));
    fake_wrapper::Get().block_size = 16;
    EXPECT_EQ(0, StorePaddingLength(-1));
    // No exception leaves a C entry point: a key size no buffer can hold is a
    // failure code, not the end of the process.
    fake_wrapper::Get().key_size = -1;
    std::vector<uint8_t> huge, hugeIv;
    EXPECT_EQ(ERR_EXCEPTION, StoreDeriveKey(KMS, huge, hugeIv));
}

TEST_F(StoreTest, FileRoundTripKeepsPaddingAndSeparatesDomains) {
    std::string path = dir_ / "secret.cfg";
    ASSERT_EQ(0, StoreWriteFile(POSTGRESQL, path, "{\"a\":1}"));
    std::string raw = testsupport::ReadFileOrDie(path);
    ASSERT_EQ(16u, raw.size());
    EXPECT_EQ(std::string::npos, raw.find("\"a\""));

    std::string text;
    ASSERT_EQ(0, StoreReadFile(POSTGRESQL, path, text));
    EXPECT_EQ(std::string("{\"a\":1}") + std::string(9, '\0'), text);

    std::string other;
    ASSERT_EQ(0, StoreReadFile(KMS, path, other));
    EXPECT_NE(text, other);

    // A text of whole blocks gets no padding.
    ASSERT_EQ(0, StoreWriteFile(KMS, path, std::string(32, 'x')));
    EXPECT_EQ(32u, testsupport::ReadFileOrDie(path).size());
}

TEST_F(StoreTest, FailedEncryptionLeavesTheOldFile) {
    std::string path = dir_ / "secret.cfg";
    ASSERT_EQ(0, StoreWriteFile(KMS, path, "old content"));
    std::string before = testsupport::ReadFileOrDie(path);

    fake_wrapper::Get().fail_encrypt = ERR_ENCRYPT;
    EXPECT_EQ(ERR_ENCRYPT, StoreWriteFile(KMS, path, "new content"));
    fake_wrapper::Reset();
    host_.network_rc = ERR_DEVICE_CALL;
    EXPECT_EQ(ERR_DEVICE_CALL, StoreWriteFile(KMS, path, "new content"));
    host_.network_rc = 0;
    fake_wrapper::Get().fail_derive = ERR_KEY_GENERATION;
    EXPECT_EQ(ERR_KEY_GENERATION, StoreWriteFile(KMS, path, "new content"));
    fake_wrapper::Reset();
    // Without the block size the text cannot be padded; that failure is reported.
    fake_wrapper::Get().fail_block_size = ERR_ENGINE_NOT_INITIALIZED;
    EXPECT_EQ(ERR_ENGINE_NOT_INITIALIZED, StoreWriteFile(KMS, path, std::string(32, 'n')));
    EXPECT_EQ(before, testsupport::ReadFileOrDie(path));
}

TEST_F(StoreTest, ReadFailuresArePassedOn) {
    std::string text;
    EXPECT_EQ(ERR_FILE_NOT_FOUND, StoreReadFile(KMS, dir_ / "missing", text));
    testsupport::WriteFileOrDie(dir_ / "odd", std::string(5, 'x'));
    EXPECT_EQ(ERR_FORMAT, StoreReadFile(KMS, dir_ / "odd", text));
    EXPECT_EQ(ERR_OPEN_FILE, StoreWriteFile(KMS, dir_ / "no-such-dir/file", "x"));

    // No secret is read from or written to what is not a regular file; a FIFO
    // without a writer would block the open for ever.
    ASSERT_EQ(0, mkfifo((dir_ / "fifo").c_str(), 0600));
    ASSERT_EQ(0, symlink("/dev/null", (dir_ / "null").c_str()));
    for (const char* name : {"fifo", "null"}) {
        EXPECT_EQ(ERR_OPEN_FILE, StoreReadFile(KMS, dir_ / name, text)) << name;
        EXPECT_EQ(ERR_OPEN_FILE, StoreWriteFile(KMS, dir_ / name, "x")) << name;
    }
}

TEST_F(StoreTest, NewFileIsForOwnerAndGroupWhateverTheUmaskAndReplacedFileKeepsItsMode) {
    std::string path = dir_ / "mode.cfg";
    struct stat st {};
    for (mode_t mask : {mode_t{027}, mode_t{077}, mode_t{0}}) {
        mode_t old = umask(mask);
        ASSERT_EQ(0, StoreWriteFile(KMS, path, "x"));
        EXPECT_EQ(mask, umask(old)) << "the umask stays as it is";
        ASSERT_EQ(0, stat(path.c_str(), &st));
        EXPECT_EQ(0660u, st.st_mode & 07777) << std::oct << mask;
        ASSERT_EQ(0, unlink(path.c_str()));
    }
    ASSERT_EQ(0, StoreWriteFile(KMS, path, "x"));

    ASSERT_EQ(0, chmod(path.c_str(), 0600));
    ASSERT_EQ(0, StoreWriteFile(KMS, path, "y"));
    ASSERT_EQ(0, stat(path.c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 07777);
}

TEST(StoreDomain, NamesOfDomains) {
    EXPECT_STREQ("KMS", KmsCredentialsDomainToStr(KMS));
    EXPECT_STREQ("POSTGRESQL", KmsCredentialsDomainToStr(POSTGRESQL));
    EXPECT_STREQ("AUTH_TOKEN", KmsCredentialsDomainToStr(static_cast<KmsCredentialsDomain>(3)));
    EXPECT_STREQ("Unknown", KmsCredentialsDomainToStr(static_cast<KmsCredentialsDomain>(0)));
    EXPECT_STREQ("Unknown", KmsCredentialsDomainToStr(KMS_CREDENTIALS_DOMAIN_UNDEFINED));
}

}  // namespace
