// Encryption client wrapper: IV layouts, contract traps, loading rules and
// forwarding, against the real AES build and misbehaving stand-ins.
//
// The wrapper keeps process-wide state, so every case that loads a plug-in runs
// in a child process of its own (death-test style "threadsafe" re-executes the
// test program for each), and the result is reported through the exit status.

#include "encryption_wrapper/encryption_wrapper.h"

#include <dlfcn.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "common/error_code.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using ::testing::HasSubstr;

class EncryptionWrapperTest : public ::testing::Test {
protected:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        unsetenv("PG_PLUGINS_PATH");
    }
};

// A directory holding one copy of `library` named `name`.
std::string DirWith(const testsupport::ScratchDir& scratch, const std::string& dirName, const char* library,
                    const std::string& name = "libcipherbox.so") {
    const std::string dir = scratch.MakeDir(dirName);
    fs::copy_file(library, dir + "/" + name);
    return dir;
}

// Runs `scenario` in a fresh child; it returns an empty string on success or a
// description of the first mismatch, which then shows as the child's output.
void ExpectScenario(std::string (*scenario)()) {
    EXPECT_EXIT(
        {
            std::string failure = scenario();
            std::fputs(failure.c_str(), stderr);
            std::fflush(stderr);
            std::_Exit(failure.empty() ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "^$");
}

std::string Mismatch(const char* what, long long got, long long want) {
    return std::string(what) + ": got " + std::to_string(got) + ", want " + std::to_string(want);
}

#define CHECK_EQ_OR_RETURN(what, got, want)                         \
    do {                                                            \
        long long g_ = (got), w_ = (want);                          \
        if (g_ != w_) return Mismatch((what), g_, w_);              \
    } while (0)

std::string Hex(const uint8_t* p, size_t n) {
    std::string s;
    char buf[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(buf, sizeof(buf), "%02x ", p[i]);
        s += buf;
    }
    return s;
}

TEST_F(EncryptionWrapperTest, RelationIvLayout) {
    uint8_t iv[20];
    std::fill(std::begin(iv), std::end(iv), 0xAA);
    EncryptionMakeRelationIv(3, 16384, 5, iv, 16);
    EXPECT_EQ(Hex(iv, 16), "00 40 00 00 05 00 00 00 03 00 00 00 00 00 00 00 ");
    EXPECT_EQ(Hex(iv + 16, 4), "aa aa aa aa ") << "bytes beyond ivSize are untouched";

    std::fill(std::begin(iv), std::end(iv), 0xAA);
    EncryptionMakeRelationIv(3, 16384, 5, iv, 12);
    EXPECT_EQ(Hex(iv, 16), "00 40 00 00 05 00 00 00 03 00 00 00 aa aa aa aa ") << "exactly 12 bytes written";

    std::fill(std::begin(iv), std::end(iv), 0xAA);
    EncryptionMakeRelationIv(-1, 0xFFFFFFFFu, 0x01020304u, iv, 20);
    EXPECT_EQ(Hex(iv, 20), "ff ff ff ff 04 03 02 01 ff ff ff ff 00 00 00 00 00 00 00 00 ");
}

TEST_F(EncryptionWrapperTest, WalIvLayout) {
    uint8_t iv[24];
    std::fill(std::begin(iv), std::end(iv), 0xAA);
    EncryptionMakeWalIv(1, 8589934595ULL, 8192, iv, 16);
    EXPECT_EQ(Hex(iv, 16), "01 00 00 00 03 00 00 00 02 00 00 00 00 20 00 00 ");
    EXPECT_EQ(Hex(iv + 16, 8), "aa aa aa aa aa aa aa aa ");

    std::fill(std::begin(iv), std::end(iv), 0xAA);
    EncryptionMakeWalIv(7, 0x0102030405060708ULL, 0xFFFFFFFFu, iv, 20);
    EXPECT_EQ(Hex(iv, 24), "07 00 00 00 08 07 06 05 04 03 02 01 ff ff ff ff 00 00 00 00 aa aa aa aa ");
}

TEST_F(EncryptionWrapperTest, IvBuildersTrapOnShortOrMissingBuffers) {
    uint8_t iv[16] = {};
    const std::string relationSize =
        "TRAP: FailedAssertion(\"!(sizeof( objOid ) + sizeof( dataBaseOid ) + sizeof( objType ) <= "
        "static_cast<size_t>( ivSize ))\", File: \"encryption_wrapper.cpp\", Line: ";
    const std::string walSize =
        "TRAP: FailedAssertion(\"!(sizeof( timeline ) + sizeof( segment ) + sizeof( offset ) <= "
        "static_cast<size_t>( ivSize ))\", File: \"encryption_wrapper.cpp\", Line: ";
    EXPECT_DEATH(EncryptionMakeRelationIv(3, 16384, 5, iv, 11), HasSubstr(relationSize));
    EXPECT_DEATH(EncryptionMakeWalIv(1, 2, 3, iv, 15), HasSubstr(walSize));
    // A negative size must not pass as a huge unsigned one.
    EXPECT_DEATH(EncryptionMakeRelationIv(3, 16384, 5, iv, -1), HasSubstr(relationSize));
    EXPECT_DEATH(EncryptionMakeWalIv(1, 2, 3, iv, -16), HasSubstr(walSize));
    EXPECT_DEATH(EncryptionMakeRelationIv(3, 16384, 5, nullptr, 16), HasSubstr("TRAP: FailedAssertion(\"!(iv)\""));
    EXPECT_DEATH(EncryptionMakeWalIv(1, 2, 3, nullptr, 16), HasSubstr("TRAP: FailedAssertion(\"!(iv)\""));
}

TEST_F(EncryptionWrapperTest, OperationsTrapBeforeInitAndOnNullArguments) {
    uint8_t buf[16] = {1}, key[16] = {}, iv[16] = {};
    int size = 0;
    EXPECT_DEATH(EncryptionGetKeySize(&size), HasSubstr("TRAP: FailedAssertion(\"!(dynamicModulePtr)\""));
    EXPECT_DEATH(EncryptionGenerateIv(iv, 16), HasSubstr("(\"!(dynamicModulePtr)\""));
    // Arguments are checked before the loaded state.
    EXPECT_DEATH(EncryptionEncrypt(nullptr, 16, buf, key, iv, false), HasSubstr("(\"!(input)\""));
    EXPECT_DEATH(EncryptionEncrypt(buf, 16, nullptr, key, iv, false), HasSubstr("(\"!(output)\""));
    EXPECT_DEATH(EncryptionDecrypt(buf, 16, buf, nullptr, iv, false), HasSubstr("(\"!(key)\""));
    EXPECT_DEATH(EncryptionDecrypt(buf, 16, buf, key, nullptr, false), HasSubstr("(\"!(iv)\""));
    EXPECT_DEATH(EncryptionGenerateKey(nullptr, 16), HasSubstr("(\"!(key)\""));
    EXPECT_DEATH(EncryptionDerivePasswordKey(key, 16, iv, 16, nullptr, 1, buf, 1, 1), HasSubstr("(\"!(password)\""));
    EXPECT_DEATH(EncryptionDerivePasswordKey(key, 16, iv, 16, buf, 1, nullptr, 1, 1), HasSubstr("(\"!(salt)\""));
    EXPECT_DEATH(EncryptionGetBlockSize(nullptr), HasSubstr("(\"!(size)\""));
}

TEST_F(EncryptionWrapperTest, LoadsFromPluginDirAndKeepsTheFirstPlugin) {
    ExpectScenario([]() -> std::string {
        testsupport::ScratchDir scratch;
        const std::string aes = DirWith(scratch, "aes", CIPHERBOX_AES);
        const std::string gost = DirWith(scratch, "gost", CIPHERBOX_GOST);
        CHECK_EQ_OR_RETURN("first init", EncryptionInit(aes.c_str(), nullptr, nullptr, nullptr), 0);
        int keySize = 0, ivSize = 0, blockSize = 0;
        CHECK_EQ_OR_RETURN("key size rc", EncryptionGetKeySize(&keySize), 0);
        CHECK_EQ_OR_RETURN("iv size rc", EncryptionGetIvSize(&ivSize), 0);
        CHECK_EQ_OR_RETURN("block size rc", EncryptionGetBlockSize(&blockSize), 0);
        CHECK_EQ_OR_RETURN("AES key size", keySize, 16);
        CHECK_EQ_OR_RETURN("AES IV size", ivSize, 16);
        CHECK_EQ_OR_RETURN("AES block size", blockSize, 16);
        // A second init with other arguments changes nothing.
        CHECK_EQ_OR_RETURN("second init", EncryptionInit(gost.c_str(), "x", "y", "z"), 0);
        CHECK_EQ_OR_RETURN("key size rc", EncryptionGetKeySize(&keySize), 0);
        CHECK_EQ_OR_RETURN("key size after second init", keySize, 16);
        return "";
    });
}

TEST_F(EncryptionWrapperTest, ForwardsArgumentsAndResultsUnchanged) {
    ExpectScenario([]() -> std::string {
        testsupport::ScratchDir scratch;
        setenv("PG_PLUGINS_PATH", DirWith(scratch, "aes", CIPHERBOX_AES).c_str(), 1);
        CHECK_EQ_OR_RETURN("init", EncryptionInit(nullptr, "libcipherbox.so", "/nowhere/bin", "/nowhere/lib"), 0);
        // NIST SP 800-38A F.2.1, first block.
        const uint8_t key[16] = {0x2b, 0x7e, 0x15, 0x16, 0x28, 0xae, 0xd2, 0xa6,
                                 0xab, 0xf7, 0x15, 0x88, 0x09, 0xcf, 0x4f, 0x3c};
        const uint8_t iv[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
        const uint8_t plain[16] = {0x6b, 0xc1, 0xbe, 0xe2, 0x2e, 0x40, 0x9f, 0x96,
                                   0xe9, 0x3d, 0x7e, 0x11, 0x73, 0x93, 0x17, 0x2a};
        uint8_t out[16], back[16];
        CHECK_EQ_OR_RETURN("encrypt", EncryptionEncrypt(plain, 16, out, key, iv, false), 0);
        if (Hex(out, 16) != "76 49 ab ac 81 19 b2 46 ce e9 8e 9b 12 e9 19 7d ") {
            return "ciphertext " + Hex(out, 16);
        }
        CHECK_EQ_OR_RETURN("decrypt", EncryptionDecrypt(out, 16, back, key, iv, false), 0);
        if (std::memcmp(back, plain, 16) != 0) {
            return "round trip";
        }
        // Plug-in codes come back as they are.
        CHECK_EQ_OR_RETURN("short block", EncryptionEncrypt(plain, 15, out, key, iv, false), ERR_FORMAT);
        uint8_t k[16];
        CHECK_EQ_OR_RETURN("wrong key size", EncryptionGenerateKey(k, 15), ERR_INPUT_DATA);
        CHECK_EQ_OR_RETURN("key", EncryptionGenerateKey(k, 16), 0);
        uint8_t dk[16], div[16];
        const uint8_t pw[] = "password", salt[] = "salt";
        CHECK_EQ_OR_RETURN("derive", EncryptionDerivePasswordKey(dk, 16, div, 16, pw, 8, salt, 4, 1), 0);
        if (Hex(dk, 4) != "12 0f b6 cf " || Hex(div, 4) != "a8 65 48 c9 ") {
            return "derived " + Hex(dk, 16) + Hex(div, 16);
        }
        return "";
    });
}

TEST_F(EncryptionWrapperTest, LoaderFailuresLeaveTheWrapperUnloaded) {
    ExpectScenario([]() -> std::string {
        testsupport::ScratchDir scratch;
        // A library lacking the entry points.
        const std::string empty = scratch.MakeDir("none");
        fs::copy_file(WRAPPER_CLIENT, empty + "/libother.so");
        setenv("PG_PLUGINS_PATH", empty.c_str(), 1);
        CHECK_EQ_OR_RETURN("no complete library", EncryptionInit(nullptr, nullptr, nullptr, nullptr),
                           ERR_LIBRARY_NOT_LOADED);
        unsetenv("PG_PLUGINS_PATH");
        CHECK_EQ_OR_RETURN("no rule applies", EncryptionInit(nullptr, nullptr, nullptr, nullptr),
                           ERR_PLUGIN_PATH_NOT_FOUND);
        CHECK_EQ_OR_RETURN("marker not in program path",
                           EncryptionInit(nullptr, "libcipherbox.so", "/no/such/bin", "/no/such/lib"),
                           ERR_PLUGIN_PATH_NOT_FOUND);
        // Still unloaded: a later init searches again.
        const std::string aes = DirWith(scratch, "aes", CIPHERBOX_AES);
        CHECK_EQ_OR_RETURN("init after failures", EncryptionInit(aes.c_str(), nullptr, nullptr, nullptr), 0);
        int size = 0;
        CHECK_EQ_OR_RETURN("key size rc", EncryptionGetKeySize(&size), 0);
        CHECK_EQ_OR_RETURN("key size", size, 16);
        return "";
    });
}

void DecryptAfterRefusedTable(const std::string& gapDir) {
    EncryptionInit(gapDir.c_str(), nullptr, nullptr, nullptr);
    uint8_t in[16] = {1}, out[16], key[16] = {}, iv[16] = {};
    EncryptionDecrypt(in, 16, out, key, iv, false);
}

TEST_F(EncryptionWrapperTest, IncompleteTableIsRefusedAndNotKept) {
    ExpectScenario([]() -> std::string {
        testsupport::ScratchDir scratch;
        const std::string gap = DirWith(scratch, "gap", FAKE_TABLE_GAP);
        CHECK_EQ_OR_RETURN("table with a gap", EncryptionInit(gap.c_str(), nullptr, nullptr, nullptr),
                           ERR_NULL_POINTER);
        // The refused library is not kept, so a later init loads a sound one.
        const std::string aes = DirWith(scratch, "aes", CIPHERBOX_AES);
        CHECK_EQ_OR_RETURN("init after refusal", EncryptionInit(aes.c_str(), nullptr, nullptr, nullptr), 0);
        uint8_t in[16] = {1}, out[16], key[16] = {}, iv[16] = {};
        CHECK_EQ_OR_RETURN("decrypt", EncryptionDecrypt(in, 16, out, key, iv, false), 0);
        return "";
    });
    // Without a later init, use traps instead of calling through the gap.
    // The threadsafe death test re-runs this body in the child, which dies before
    // any clean-up, so the directory lives in the build tree instead of a scratch dir.
    const std::string gap = testsupport::BuildDir() + "/tests/encryption/encryption_wrapper/gap-table";
    fs::create_directories(gap);
    fs::copy_file(FAKE_TABLE_GAP, gap + "/libcipherbox.so", fs::copy_options::overwrite_existing);
    EXPECT_DEATH(DecryptAfterRefusedTable(gap), HasSubstr("(\"!(dynamicModulePtr)\""));
}

TEST_F(EncryptionWrapperTest, FailedPluginInitKeepsTheModule) {
    ExpectScenario([]() -> std::string {
        testsupport::ScratchDir scratch;
        const std::string failing = DirWith(scratch, "failing", FAKE_INIT_FAILS);
        CHECK_EQ_OR_RETURN("init", EncryptionInit(failing.c_str(), nullptr, nullptr, nullptr),
                           ERR_ENGINE_NOT_LOADED);
        const std::string aes = DirWith(scratch, "aes", CIPHERBOX_AES);
        CHECK_EQ_OR_RETURN("second init", EncryptionInit(aes.c_str(), nullptr, nullptr, nullptr), 0);
        int size = 0;
        CHECK_EQ_OR_RETURN("calls still reach the first plug-in", EncryptionGetKeySize(&size),
                           ERR_ENGINE_NOT_LOADED);
        return "";
    });
}

TEST_F(EncryptionWrapperTest, ExceptionsFromThePluginBecomeCodes) {
    ExpectScenario([]() -> std::string {
        testsupport::ScratchDir scratch;
        CHECK_EQ_OR_RETURN("init",
                           EncryptionInit(DirWith(scratch, "throws", FAKE_THROWS).c_str(), nullptr, nullptr, nullptr),
                           0);
        int size = 0;
        CHECK_EQ_OR_RETURN("thrown int", EncryptionGetBlockSize(&size), ERR_CIPHER_SETUP);
        CHECK_EQ_OR_RETURN("system_error", EncryptionGetKeySize(&size), EACCES);
        CHECK_EQ_OR_RETURN("other exception", EncryptionGetIvSize(&size), ERR_EXCEPTION);
        return "";
    });
}

TEST_F(EncryptionWrapperTest, LoadedPluginsBindToTheProgramsCopy) {
    ExpectScenario([]() -> std::string {
        testsupport::ScratchDir scratch;
        CHECK_EQ_OR_RETURN("init",
                           EncryptionInit(DirWith(scratch, "aes", CIPHERBOX_AES).c_str(), nullptr, nullptr, nullptr),
                           0);
        void* client = dlopen(WRAPPER_CLIENT, RTLD_NOW | RTLD_LOCAL);
        if (client == nullptr) {
            return std::string("client: ") + dlerror();
        }
        auto keySize = reinterpret_cast<int (*)()>(dlsym(client, "ClientKeySize"));
        if (keySize == nullptr) {
            return "ClientKeySize missing";
        }
        // The client has no wrapper of its own: it reaches this program's
        // exported copy, which is loaded already.
        CHECK_EQ_OR_RETURN("key size through client", keySize(), 16);
        return "";
    });
}

}  // namespace
