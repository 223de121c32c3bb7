// Secrets do not outlive their use in freed memory: every block handed back is
// searched for the derived key, the IV and the decrypted table text before it is
// freed (see freed_memory_probe.h).

#include <gtest/gtest.h>
#include <malloc.h>
#include <string.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "common/error_code.h"
#include "common/secure_buffer.h"
#include "credentials/cred_tab.h"
#include "credentials/credential_store.h"
#include "credentials/kms_credentials.h"
#include "fake_wrapper.h"
#include "freed_memory_probe.h"
#include "identity_fixtures.h"
#include "test_support.h"

namespace {

using namespace freed_memory_probe;

class WipeTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake_wrapper::Reset();
        credential_store::SetIdentitySourceFactory(
            [] { return std::make_unique<identity_fixtures::FixedIdentity>(); });
        cred_tab::SetTablePath(dir_ / "table.cfg");
        // The key and IV this host derives for the table's domain.
        common_routines::SecureBuffer key(16), iv(16);
        int keyLength = 16, ivLength = 16;
        ASSERT_EQ(0, StoreDeriveKeyRaw(POSTGRESQL, key.data(), &keyLength, iv.data(), &ivLength));
        SetPattern(0, key.data(), key.size());
        SetPattern(1, iv.data(), iv.size());
        ASSERT_EQ(0, StoreDeriveKeyRaw(KMS, key.data(), &keyLength, iv.data(), &ivLength));
        SetPattern(2, key.data(), key.size());
        g_found = 0;
    }
    void TearDown() override {
        g_scanning = false;
        ClearPatterns();
        cred_tab::SetTablePath(cred_tab::DefaultTablePath());
        credential_store::SetIdentitySourceFactory(nullptr);
    }

    testsupport::ScratchDir dir_;
};

TEST_F(WipeTest, KeysAndIvsOfFileAndPasswordOperations) {
    std::string path = dir_ / "file.cfg";
    g_scanning = true;
    ASSERT_EQ(0, StoreWriteFile(POSTGRESQL, path, "{\"some\":\"document\"}"));
    std::string text;
    ASSERT_EQ(0, StoreReadFile(POSTGRESQL, path, text));
    std::vector<KmsCredentialsItem> items{{"10.0.0.1", 8200, KMS_CREDENTIALS_USERPASS, "u", "s"}};
    ASSERT_EQ(0, KmsCredentialsSave(nullptr, nullptr, nullptr, nullptr, KMS, dir_ / "kms.cfg", "c", items));
    items.clear();
    ASSERT_EQ(0, KmsCredentialsLoad(nullptr, nullptr, nullptr, nullptr, KMS, dir_ / "kms.cfg", items));
    g_scanning = false;
    EXPECT_EQ(0, g_found.load());
}

TEST_F(WipeTest, DecryptedTableTextAndKeysOfTableOperations) {
    // Only the whole document has the member name in front of the value.
    const std::string secret = "wipe-marker-0123456789abcdefghijklmnopqrstuvwxyz";
    std::string marker = "\"password\" : \"" + secret;
    SetPattern(3, marker.data(), marker.size());

    CredTabHandle table = nullptr;
    ASSERT_EQ(0, CredTabOpen(&table));
    bool isNew = false;
    ASSERT_EQ(0, CredTabAddRecord(table, "h", 1, "d", "u", secret.c_str(), &isNew));
    ASSERT_EQ(0, CredTabSave(table));
    ASSERT_EQ(0, CredTabClose(table));

    g_scanning = true;
    ASSERT_EQ(0, CredTabOpen(&table));
    const char* password = nullptr;
    ASSERT_EQ(0, CredTabGetPassword(table, "h", 1, "d", "u", &password));
    EXPECT_EQ(secret, password);
    ASSERT_EQ(0, CredTabClose(table));
    g_scanning = false;
    EXPECT_EQ(0, g_found.load());
}

TEST_F(WipeTest, ScannerSeesAnUnwipedBlock) {
    // The check itself works: a key copy freed without wiping is found.
    g_scanning = true;
    {
        std::vector<unsigned char> copy(g_patterns[0].bytes, g_patterns[0].bytes + g_patterns[0].size);
    }
    g_scanning = false;
    EXPECT_EQ(1, g_found.load());
}

}  // namespace
