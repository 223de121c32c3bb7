// The credential store with the real encryption wrapper, the AES build of the
// plug-in from the build tree and the identity of the machine running the test.

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <json/json.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "common/error_code.h"
#include "credentials/cred_tab.h"
#include "credentials/credential_store.h"
#include "credentials/kms_credentials.h"
#include "encryption_wrapper/encryption_wrapper.h"
#include "test_support.h"

namespace {

class StorePluginTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        std::string plugins = testsupport::BuildDir() + "/encryption/plugin/aes";
        setenv("PG_PLUGINS_PATH", plugins.c_str(), 1);
        ASSERT_EQ(0, EncryptionInit(nullptr, nullptr, nullptr, nullptr));
    }

    testsupport::ScratchDir dir_;
};

TEST_F(StorePluginTest, DerivationIsStableAndSeparatedByDomain) {
    std::vector<uint8_t> key, iv, key2, iv2, other, otherIv;
    ASSERT_EQ(0, StoreDeriveKey(POSTGRESQL, key, iv));
    int keySize = 0, ivSize = 0;
    ASSERT_EQ(0, EncryptionGetKeySize(&keySize));
    ASSERT_EQ(0, EncryptionGetIvSize(&ivSize));
    EXPECT_EQ(static_cast<size_t>(keySize), key.size());
    EXPECT_EQ(static_cast<size_t>(ivSize), iv.size());
    ASSERT_EQ(0, StoreDeriveKey(POSTGRESQL, key2, iv2));
    EXPECT_EQ(key, key2);
    EXPECT_EQ(iv, iv2);
    ASSERT_EQ(0, StoreDeriveKey(KMS, other, otherIv));
    EXPECT_NE(key, other);
    EXPECT_NE(iv, otherIv);

    int keyLength = 0, ivLength = 0;
    ASSERT_EQ(0, StoreDeriveKeyRaw(POSTGRESQL, nullptr, &keyLength, nullptr, &ivLength));
    std::vector<uint8_t> rawKey(static_cast<size_t>(keyLength)), rawIv(static_cast<size_t>(ivLength));
    ASSERT_EQ(0, StoreDeriveKeyRaw(POSTGRESQL, rawKey.data(), &keyLength, rawIv.data(), &ivLength));
    EXPECT_EQ(key, rawKey);
    EXPECT_EQ(iv, rawIv);
}

TEST_F(StorePluginTest, DeriveKeyIsExportedUnderItsFixedName) {
    void* symbol = dlsym(RTLD_DEFAULT, kStoreDeriveKeySymbol);
    ASSERT_NE(nullptr, symbol);
    auto derive = reinterpret_cast<StoreDeriveKeyFunction>(symbol);
    std::vector<uint8_t> key, iv, direct, directIv;
    ASSERT_EQ(0, derive(KMS, key, iv));
    ASSERT_EQ(0, StoreDeriveKey(KMS, direct, directIv));
    EXPECT_EQ(direct, key);
    for (const char* name : {"StoreDeriveKeyRaw", "StoreEncryptPassword", "StoreDecryptPassword",
                             "StorePaddingLength", "StoreEncodedLength", "StoreDecodedLength",
                             "KmsCredentialsReadClusterId", "CredTabOpen", "CredTabClose", "CredTabSave",
                             "CredTabGetPassword", "CredTabAddRecord", "CredTabRemoveRecord", "CredTabReset",
                             "CredTabBegin", "CredTabNext", "CredTabEnd"})
        EXPECT_NE(nullptr, dlsym(RTLD_DEFAULT, name)) << name;
}

TEST_F(StorePluginTest, PasswordsRoundTripThroughBase64) {
    std::vector<uint8_t> key, iv;
    ASSERT_EQ(0, StoreDeriveKey(POSTGRESQL, key, iv));
    EXPECT_EQ(0, StorePaddingLength(16));
    EXPECT_EQ(15, StorePaddingLength(1));
    for (std::string plain : {std::string("s3cret"), std::string(16, 'p'), std::string(17, 'q')}) {
        int length = 0;
        ASSERT_EQ(0, StoreEncryptPassword(plain.data(), static_cast<int>(plain.size()), nullptr, &length,
                                          key.data(), iv.data()));
        std::string text(static_cast<size_t>(length), '\0');
        ASSERT_EQ(0, StoreEncryptPassword(plain.data(), static_cast<int>(plain.size()), text.data(), &length,
                                          key.data(), iv.data()));
        EXPECT_EQ(plain.size() <= 16 ? 24u : 44u, text.size());

        int bound = 0;
        ASSERT_EQ(0, StoreDecryptPassword(text.data(), length, nullptr, &bound, key.data(), iv.data()));
        std::vector<char> out(static_cast<size_t>(bound) + 1, '\0');
        ASSERT_EQ(0, StoreDecryptPassword(text.data(), length, out.data(), &bound, key.data(), iv.data()));
        EXPECT_EQ(plain, std::string(out.data()));

        std::string broken = text.substr(0, 8) + "\n" + text.substr(8);
        EXPECT_EQ(ERR_FORMAT, StoreDecryptPassword(broken.data(), static_cast<int>(broken.size()), out.data(),
                                                   &bound, key.data(), iv.data()));
    }
}

TEST_F(StorePluginTest, KmsFileWrittenForOneDomainDoesNotReadInAnother) {
    std::string path = dir_ / kKmsCredentialsFileName;
    std::vector<KmsCredentialsItem> items{{"10.1.2.3", 8200, KMS_CREDENTIALS_USERPASS, "user", "password"}};
    ASSERT_EQ(0, KmsCredentialsSave(nullptr, nullptr, nullptr, nullptr, KMS, path, "cluster", items));
    std::vector<KmsCredentialsItem> loaded;
    ASSERT_EQ(0, KmsCredentialsLoad(nullptr, nullptr, nullptr, nullptr, KMS, path, loaded));
    ASSERT_EQ(1u, loaded.size());
    EXPECT_EQ("password", loaded[0].secret);

    std::string text;
    ASSERT_EQ(0, StoreReadFile(KMS, path, text));
    std::string plain = kms_credentials::KmsCredentialsToJson("cluster", items);
    EXPECT_EQ(0u, text.find(plain));
    EXPECT_EQ(std::string::npos, testsupport::ReadFileOrDie(path).find("password"));

    loaded.clear();
    int rc = KmsCredentialsLoad(nullptr, nullptr, nullptr, nullptr, POSTGRESQL, path, loaded);
    EXPECT_TRUE(rc == ERR_FORMAT || rc == ERR_DECRYPT) << rc;
    EXPECT_TRUE(loaded.empty());

    char* out = nullptr;
    ASSERT_EQ(0, KmsCredentialsReadClusterId(nullptr, nullptr, nullptr, nullptr, dir_.path().c_str(), &out, malloc));
    EXPECT_STREQ("cluster", out);
    free(out);
}

TEST_F(StorePluginTest, TableRoundTrip) {
    cred_tab::SetTablePath(dir_ / "enc_utils_auth_settings.cfg");
    CredTabHandle table = nullptr;
    ASSERT_EQ(0, CredTabOpen(&table));
    bool isNew = false;
    ASSERT_EQ(0, CredTabAddRecord(table, "localhost", 5432, "postgres", "backup", "pa55", &isNew));
    ASSERT_EQ(0, CredTabSave(table));
    ASSERT_EQ(0, CredTabClose(table));

    std::string text;
    ASSERT_EQ(0, StoreReadFile(POSTGRESQL, dir_ / "enc_utils_auth_settings.cfg", text));
    Json::Value expected(Json::arrayValue);
    expected[0]["database"] = "postgres";
    expected[0]["host"] = "localhost";
    expected[0]["password"] = "pa55";
    expected[0]["port"] = 5432u;
    expected[0]["username"] = "backup";
    EXPECT_EQ(0u, text.find(Json::StyledWriter().write(expected)));

    ASSERT_EQ(0, CredTabOpen(&table));
    const char* password = nullptr;
    ASSERT_EQ(0, CredTabGetPassword(table, "localhost", 5432, "postgres", "backup", &password));
    EXPECT_STREQ("pa55", password);
    ASSERT_EQ(0, CredTabClose(table));
    cred_tab::SetTablePath(cred_tab::DefaultTablePath());
}

}  // namespace
