// Secrets do not outlive their use in freed memory: every block handed back is
// searched for the derived keys and IV, the host identity they are derived from
// and the table's passwords before it is freed (see freed_memory_probe.h).

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
#include "credentials/host_identity.h"
#include "credentials/kms_credentials.h"
#include "freed_memory_probe.h"
#include "identity_fixtures.h"

namespace {

using namespace freed_memory_probe;

// Hits per pattern, e.g. "3:1 6:2" (pattern 3 left once, pattern 6 twice).
std::string Hits() {
    std::string text;
    for (int i = 0; i < 8; ++i) {
        if (g_hits[i] > 0) text += std::to_string(i) + ":" + std::to_string(g_hits[i].load()) + " ";
    }
    return text;
}

class WipeTest : public identity_fixtures::FixedHostTest {
protected:
    void SetUp() override {
        FixedHostTest::SetUp();
        cred_tab::SetTablePath(dir_ / "table.cfg");
        // The key and IV this host derives for the table's domain.
        common_routines::SecureBuffer key(16), iv(16);
        int keyLength = 16, ivLength = 16;
        ASSERT_EQ(0, StoreDeriveKeyRaw(POSTGRESQL, key.data(), &keyLength, iv.data(), &ivLength));
        SetPattern(0, key.data(), key.size());
        SetPattern(1, iv.data(), iv.size());
        ASSERT_EQ(0, StoreDeriveKeyRaw(KMS, key.data(), &keyLength, iv.data(), &ivLength));
        SetPattern(2, key.data(), key.size());
        // The derivation input: the identity text (the same for every domain)
        // and each domain's salt.
        host_identity::Bytes password, salt;
        ASSERT_EQ(0, host_identity::BuildDerivationInput(host_, POSTGRESQL, password, salt));
        ASSERT_LE(password.size(), sizeof g_patterns[3].bytes);
        SetPattern(3, password.data(), password.size());
        SetPattern(4, salt.data(), salt.size());
        ASSERT_EQ(0, host_identity::BuildDerivationInput(host_, KMS, password, salt));
        SetPattern(5, salt.data(), salt.size());
        // Left in a freed block, a copy could be found later in the block's
        // next use and be taken for a leak of the code under test.
        common_routines::SecureWipe(password.data(), password.size());
        common_routines::SecureWipe(salt.data(), salt.size());
        ResetHits();
    }
    void TearDown() override {
        g_scanning = false;
        ClearPatterns();
        cred_tab::SetTablePath(cred_tab::DefaultTablePath());
        FixedHostTest::TearDown();
    }
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
    EXPECT_EQ(0, g_found.load()) << Hits();
}

TEST_F(WipeTest, PasswordsAndKeysOfTableOperations) {
    const std::string first = "wipe-marker-0123456789abcdefghijklmnopqrstuvwxyz";
    const std::string last = "last-wipe-marker-ZYXWVUTSRQPONMLKJIHGFEDCBA";
    CredTabHandle table = nullptr;
    ASSERT_EQ(0, CredTabOpen(&table));
    bool isNew = false;
    ASSERT_EQ(0, CredTabAddRecord(table, "h", 1, "d", "u", first.c_str(), &isNew));
    ASSERT_EQ(0, CredTabAddRecord(table, "h", 2, "d", "u", last.c_str(), &isNew));
    ASSERT_EQ(0, CredTabSave(table));
    ASSERT_EQ(0, CredTabClose(table));

    // Opening: keys, derivation input and the decrypted document text. Only the
    // document has the member name in front of the value; the bare value is
    // not looked for here, as the JSON parser frees its own temporary copy of
    // each string it reads.
    const std::string document = "\"password\" : \"" + first;
    SetPattern(6, document.data(), document.size());
    g_scanning = true;
    ASSERT_EQ(0, CredTabOpen(&table));
    const char* password = nullptr;
    ASSERT_EQ(0, CredTabGetPassword(table, "h", 1, "d", "u", &password));
    EXPECT_EQ(first, password);
    g_scanning = false;
    EXPECT_EQ(0, g_found.load()) << Hits();

    // Removing a record moves the ones after it up, and closing: every
    // password the table held, first and last record alike.
    SetPattern(6, first.data(), first.size());
    SetPattern(7, last.data(), last.size());
    g_scanning = true;
    ASSERT_EQ(0, CredTabRemoveRecord(table, "h", 1, "d", "u"));
    ASSERT_EQ(0, CredTabClose(table));
    g_scanning = false;
    EXPECT_EQ(0, g_found.load()) << Hits();
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
