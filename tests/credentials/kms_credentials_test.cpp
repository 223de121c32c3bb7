#include "credentials/kms_credentials.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/error_code.h"
#include "fake_wrapper.h"
#include "identity_fixtures.h"
#include "test_support.h"

namespace {

using kms_credentials::MurmurHash64A;

TEST(MurmurHash64A, MatchesPublishedReference) {
    // The verification procedure of the SMHasher suite: hash keys {}, {0},
    // {0,1}, ... {0..254} with seed 256 - length, then hash the concatenated
    // results with seed 0; the low 32 bits are the published value.
    uint8_t key[256];
    uint8_t hashes[256 * 8];
    for (int i = 0; i < 256; ++i) {
        key[i] = static_cast<uint8_t>(i);
        uint64_t h = MurmurHash64A(key, static_cast<size_t>(i), static_cast<uint64_t>(256 - i));
        std::memcpy(hashes + i * 8, &h, 8);
    }
    uint64_t final = MurmurHash64A(hashes, sizeof(hashes), 0);
    EXPECT_EQ(0x1F0D3804u, static_cast<uint32_t>(final));

    EXPECT_EQ(0u, MurmurHash64A("", 0, 0));
}

TEST(MurmurHash64A, TailBytesAreCombinedLittleEndian) {
    // Every tail length 1..7 contributes every byte.
    std::string text = "0123456789abcdef";
    for (size_t n = 9; n <= 15; ++n) {
        std::string changed = text.substr(0, n);
        changed[n - 1] ^= 1;
        EXPECT_NE(MurmurHash64A(text.data(), n, kms_credentials::kHashSeed),
                  MurmurHash64A(changed.data(), n, kms_credentials::kHashSeed))
            << n;
    }
}

class KmsCredentialsTest : public identity_fixtures::FixedHostTest {
protected:
    void SetUp() override {
        FixedHostTest::SetUp();
        path_ = dir_ / kKmsCredentialsFileName;
    }

    static KmsCredentialsItem Item(const std::string& address, int port, const std::string& login = "u",
                                   const std::string& secret = "s",
                                   KmsCredentialsType type = KMS_CREDENTIALS_USERPASS) {
        return KmsCredentialsItem{address, port, type, login, secret};
    }

    int Save(const std::string& clusterId, const std::vector<KmsCredentialsItem>& items) {
        return KmsCredentialsSave(nullptr, nullptr, nullptr, nullptr, KMS, path_, clusterId, items);
    }
    int Load(std::vector<KmsCredentialsItem>& items) {
        return KmsCredentialsLoad(nullptr, nullptr, nullptr, nullptr, KMS, path_, items);
    }
    // Stores a hand-made document, with a correct hash unless told otherwise.
    void StoreDocument(const std::string& dataText, int64_t hashDelta = 0) {
        uint64_t hash = MurmurHash64A(dataText.data(), dataText.size(), kms_credentials::kHashSeed) +
                        static_cast<uint64_t>(hashDelta);
        std::string data = dataText.substr(0, dataText.size() - 1);  // without the line feed
        std::string doc = "{\"data\":" + data + ",\"hash\":" + std::to_string(hash) + "}\n";
        ASSERT_EQ(0, StoreWriteFile(KMS, path_, doc));
    }

    std::string path_;
};

TEST_F(KmsCredentialsTest, DocumentTextIsCompactSortedAndHashed) {
    std::string data =
        "{\"cluster_id\":\"c1\",\"kms_connection_settings\":[{\"id\":\"u\",\"ip_port\":\"10.0.0.1:8200\","
        "\"secret\":\"s\",\"type\":1}]}\n";
    uint64_t hash = MurmurHash64A(data.data(), data.size(), 0xC70F6907);
    std::string expected = "{\"data\":" + data.substr(0, data.size() - 1) + ",\"hash\":" + std::to_string(hash) + "}\n";
    EXPECT_EQ(expected, kms_credentials::KmsCredentialsToJson("c1", {Item("10.0.0.1", 8200)}));
    EXPECT_EQ(kms_credentials::KmsCredentialsToJson("c1", {Item("10.0.0.1", 8200)}),
              kms_credentials::KmsCredentialsToJson("c1", {Item("10.0.0.1", 8200)}));

    // The file holds exactly that document, zero-padded to whole blocks.
    ASSERT_EQ(0, Save("c1", {Item("10.0.0.1", 8200)}));
    std::string text;
    ASSERT_EQ(0, StoreReadFile(KMS, path_, text));
    size_t padding = (16 - expected.size() % 16) % 16;
    EXPECT_EQ(expected + std::string(padding, '\0'), text);
}

TEST_F(KmsCredentialsTest, SaveThenLoadGivesTheSameItemsInOrder) {
    std::vector<KmsCredentialsItem> items{Item("10.0.0.2", 8200, "role", "sid", KMS_CREDENTIALS_APPROLE),
                                          Item("10.0.0.1", 443, "user", "pw")};
    ASSERT_EQ(0, Save("cluster-7", items));
    std::vector<KmsCredentialsItem> loaded;
    ASSERT_EQ(0, Load(loaded));
    ASSERT_EQ(2u, loaded.size());
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(items[i].address, loaded[i].address);
        EXPECT_EQ(items[i].port, loaded[i].port);
        EXPECT_EQ(items[i].type, loaded[i].type);
        EXPECT_EQ(items[i].login, loaded[i].login);
        EXPECT_EQ(items[i].secret, loaded[i].secret);
    }
    std::string clusterId;
    ASSERT_EQ(0, KmsCredentialsGetClusterId(nullptr, nullptr, nullptr, nullptr, KMS, path_, clusterId));
    EXPECT_EQ("cluster-7", clusterId);

    // Loading appends; saving again replaces everything.
    ASSERT_EQ(0, Load(loaded));
    EXPECT_EQ(4u, loaded.size());
    ASSERT_EQ(0, Save("", {}));
    loaded.clear();
    ASSERT_EQ(0, Load(loaded));
    EXPECT_TRUE(loaded.empty());
}

TEST_F(KmsCredentialsTest, RepeatedSavesGiveIdenticalFiles) {
    std::vector<KmsCredentialsItem> items{Item("10.0.0.1", 8200)};
    ASSERT_EQ(0, Save("c1", items));
    std::string first = testsupport::ReadFileOrDie(path_);
    ASSERT_EQ(0, Save("c1", items));
    EXPECT_EQ(first, testsupport::ReadFileOrDie(path_));
}

TEST_F(KmsCredentialsTest, InvalidInputIsRefusedBeforeTheFileIsTouched) {
    ASSERT_EQ(0, Save("c1", {Item("10.0.0.1", 8200)}));
    std::string before = testsupport::ReadFileOrDie(path_);
    int initCalls = fake_wrapper::Get().init_calls;

    for (const auto& bad : {Item("10.0.0.1", 8200, ""), Item("10.0.0.1", 8200, "u", ""), Item("host.name", 8200),
                            Item("10.0.0.1", 0), Item("10.0.0.1", 65536),
                            Item("10.0.0.1", 1, "u", "s", KMS_CREDENTIALS_TYPE_UNDEFINED)}) {
        EXPECT_EQ(ERR_INPUT_DATA, Save("c2", {Item("10.0.0.3", 1), bad})) << bad.address << ":" << bad.port;
    }
    EXPECT_EQ(ERR_INPUT_DATA,
              KmsCredentialsSave(nullptr, nullptr, nullptr, nullptr, KMS_CREDENTIALS_DOMAIN_UNDEFINED, path_, "c", {}));
    EXPECT_EQ(ERR_INPUT_DATA, KmsCredentialsSave(nullptr, nullptr, nullptr, nullptr, KMS, "", "c", {}));
    std::vector<KmsCredentialsItem> items;
    EXPECT_EQ(ERR_INPUT_DATA,
              KmsCredentialsLoad(nullptr, nullptr, nullptr, nullptr, KMS_CREDENTIALS_DOMAIN_UNDEFINED, path_, items));
    EXPECT_EQ(ERR_INPUT_DATA, KmsCredentialsLoad(nullptr, nullptr, nullptr, nullptr, KMS, "", items));

    EXPECT_EQ(initCalls, fake_wrapper::Get().init_calls);
    EXPECT_EQ(before, testsupport::ReadFileOrDie(path_));
}

TEST_F(KmsCredentialsTest, WrapperAndFileFailuresArePassedOn) {
    fake_wrapper::Get().fail_init = ERR_LIBRARY_NOT_LOADED;
    EXPECT_EQ(ERR_LIBRARY_NOT_LOADED, Save("c", {}));
    std::vector<KmsCredentialsItem> items;
    EXPECT_EQ(ERR_LIBRARY_NOT_LOADED, Load(items));
    fake_wrapper::Reset();
    EXPECT_EQ(ERR_FILE_NOT_FOUND, Load(items));
}

TEST_F(KmsCredentialsTest, MalformedEndpointsAreFormatErrors) {
    auto doc = [](const std::string& ipPort) {
        return "{\"cluster_id\":\"c\",\"kms_connection_settings\":[{\"id\":\"u\",\"ip_port\":\"" + ipPort +
               "\",\"secret\":\"s\",\"type\":1}]}\n";
    };
    std::vector<KmsCredentialsItem> items;
    for (const char* bad : {"10.0.0.1:8200:1", "10.0.0.1", "10.0.0.1:port", "10.0.0.1:99999",
                            "10.0.0.1:99999999999", "bad-address:80", "10.0.0.1:"}) {
        StoreDocument(doc(bad));
        items.clear();
        EXPECT_EQ(ERR_FORMAT, Load(items)) << bad;
        EXPECT_TRUE(items.empty()) << bad;
    }
    // Like std::stoi: leading blanks are skipped and trailing text ignored.
    StoreDocument(doc("10.0.0.1: 8200"));
    items.clear();
    ASSERT_EQ(0, Load(items));
    EXPECT_EQ(8200, items.at(0).port);
    StoreDocument(doc("10.0.0.1:443x"));
    items.clear();
    ASSERT_EQ(0, Load(items));
    EXPECT_EQ(443, items.at(0).port);

    // Members of the wrong type.
    StoreDocument("{\"cluster_id\":\"c\",\"kms_connection_settings\":[{\"id\":1,\"ip_port\":\"10.0.0.1:1\","
                  "\"secret\":\"s\",\"type\":1}]}\n");
    EXPECT_EQ(ERR_FORMAT, Load(items));
    StoreDocument("{\"cluster_id\":\"c\",\"kms_connection_settings\":[{\"id\":\"u\",\"ip_port\":\"10.0.0.1:1\","
                  "\"secret\":\"s\",\"type\":\"1\"}]}\n");
    EXPECT_EQ(ERR_FORMAT, Load(items));
    StoreDocument("{\"cluster_id\":\"c\",\"kms_connection_settings\":[7]}\n");
    EXPECT_EQ(ERR_FORMAT, Load(items));
}

TEST_F(KmsCredentialsTest, HashMismatchAndBrokenJson) {
    std::string data =
        "{\"cluster_id\":\"c\",\"kms_connection_settings\":[{\"id\":\"u\",\"ip_port\":\"10.0.0.1:1\","
        "\"secret\":\"s\",\"type\":1}]}\n";
    std::vector<KmsCredentialsItem> items;
    StoreDocument(data, 1);
    EXPECT_EQ(ERR_DECRYPT, Load(items));
    EXPECT_TRUE(items.empty());
    std::string clusterId = "untouched";
    EXPECT_EQ(ERR_DECRYPT, KmsCredentialsGetClusterId(nullptr, nullptr, nullptr, nullptr, KMS, path_, clusterId));
    EXPECT_EQ("untouched", clusterId);

    ASSERT_EQ(0, StoreWriteFile(KMS, path_, "{\"data\": "));
    EXPECT_EQ(ERR_FORMAT, Load(items));

    // Written for another domain: decrypts to garbage.
    ASSERT_EQ(0, Save("c", {Item("10.0.0.1", 1)}));
    EXPECT_EQ(0, Load(items));
    items.clear();
    int rc = KmsCredentialsLoad(nullptr, nullptr, nullptr, nullptr, POSTGRESQL, path_, items);
    EXPECT_TRUE(rc == ERR_FORMAT || rc == ERR_DECRYPT) << rc;

    // A document without an endpoint list is an empty list.
    StoreDocument("{\"cluster_id\":\"c\"}\n");
    items.clear();
    EXPECT_EQ(0, Load(items));
    EXPECT_TRUE(items.empty());
}

std::vector<size_t> g_allocations;
void* CountingAllocate(size_t size) {
    g_allocations.push_back(size);
    return std::malloc(size);
}

TEST_F(KmsCredentialsTest, FlatClusterIdReadUsesTheCallersAllocator) {
    ASSERT_EQ(0, Save("cluster-42", {}));
    g_allocations.clear();
    char* out = nullptr;
    ASSERT_EQ(0, KmsCredentialsReadClusterId(nullptr, nullptr, nullptr, nullptr, dir_.path().c_str(), &out,
                                             CountingAllocate));
    ASSERT_NE(nullptr, out);
    EXPECT_STREQ("cluster-42", out);
    EXPECT_EQ(std::vector<size_t>{11}, g_allocations);
    std::free(out);

    ASSERT_EQ(0, Save("", {}));
    out = nullptr;
    EXPECT_EQ(ERR_NOT_FOUND, KmsCredentialsReadClusterId(nullptr, nullptr, nullptr, nullptr, dir_.path().c_str(),
                                                         &out, CountingAllocate));
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(ERR_FILE_NOT_FOUND, KmsCredentialsReadClusterId(nullptr, nullptr, nullptr, nullptr,
                                                              (dir_ / "none").c_str(), &out, CountingAllocate));

    // A document the JSON library cannot walk does not throw out of the flat call.
    ASSERT_EQ(0, StoreWriteFile(KMS, path_, "[1,2]"));
    EXPECT_EQ(ERR_EXCEPTION, KmsCredentialsReadClusterId(nullptr, nullptr, nullptr, nullptr, dir_.path().c_str(),
                                                         &out, CountingAllocate));
}

TEST(KmsCredentialsNames, TypeNames) {
    EXPECT_STREQ("Userpass Auth Method", KmsCredentialsTypeToStr(KMS_CREDENTIALS_USERPASS));
    EXPECT_STREQ("AppRole Auth Method", KmsCredentialsTypeToStr(KMS_CREDENTIALS_APPROLE));
    EXPECT_STREQ("Unknown", KmsCredentialsTypeToStr(static_cast<KmsCredentialsType>(0)));
    EXPECT_STREQ("Unknown", KmsCredentialsTypeToStr(KMS_CREDENTIALS_TYPE_UNDEFINED));
}

}  // namespace
