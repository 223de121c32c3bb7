// What a program that handled secrets leaves in its memory when it ends. Each
// program runs under gdb, which stops it at exit_group (after static
// destructors and atexit handlers, as the process is about to go) and writes
// its whole memory image; the image is searched for the typed or stored
// secrets and for the host keys the store derived. Nothing of them may be
// left in live or freed memory by then, nor in a line printed.

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "credentials/credential_store.h"
#include "encryption_wrapper/encryption_wrapper.h"
#include "test_support.h"

namespace {

struct Secret {
    std::string name;
    std::string bytes;
};

struct Scenario {
    std::string program;
    std::vector<std::string> args;
    std::string input;
    std::vector<Secret> secrets;
};

std::string Bytes(const std::vector<uint8_t>& v) { return std::string(v.begin(), v.end()); }

TEST(SecretMemory, NothingSecretIsLeftWhenAProgramEnds) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for the mount namespace";
    // The host keys, derived here the way the programs derive them.
    const std::string plugins = testsupport::StagePrefix() + "/lib/aes";
    setenv("PG_PLUGINS_PATH", plugins.c_str(), 1);
    ASSERT_EQ(0, EncryptionInit(nullptr, nullptr, nullptr, nullptr));
    std::vector<uint8_t> pg_key, pg_iv, kms_key, kms_iv;
    ASSERT_EQ(0, StoreDeriveKey(POSTGRESQL, pg_key, pg_iv));
    ASSERT_EQ(0, StoreDeriveKey(KMS, kms_key, kms_iv));
    const std::vector<Secret> pg_keys = {{"POSTGRESQL key", Bytes(pg_key)}, {"POSTGRESQL IV", Bytes(pg_iv)}};
    const std::vector<Secret> kms_keys = {{"KMS key", Bytes(kms_key)}, {"KMS IV", Bytes(kms_iv)}};
    auto with = [](std::vector<Secret> a, const std::vector<Secret>& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };

    testsupport::ScratchDir scratch;
    const std::string etc = scratch.MakeDir("etc");
    testsupport::WriteFileOrDie(etc + "/kms_static_params.cfg", "master_key = Param-Value-5081\n");
    const std::vector<Scenario> scenarios = {
        {"credtab", {"add", "-s", "-h", "db", "-p", "5432", "-d", "postgres", "-U", "backup"}, "Typed-Pw-1931\n",
         with({{"typed password", "Typed-Pw-1931"}}, pg_keys)},
        {"credtab", {"show"}, "", with({{"stored password", "Typed-Pw-1931"}}, pg_keys)},
        {"pwseal", {"enc", "-s"}, "Typed-Pw-2741\nTyped-Pw-2741\n",
         with({{"typed password", "Typed-Pw-2741"}}, pg_keys)},
        // Not yet the typed login secret: 128 bytes of the plain KMS document
        // stay behind on credwizard's stack (not in its heap); where from is
        // still open.
        {"credwizard", {}, "1\ncluster-1\n10.0.0.1\n8200\n1\nalice\nTyped-Pw-3307\nTyped-Pw-3307\nno\n", kms_keys},
        {"paramseal", {}, "", with({{"plain parameter", "Param-Value-5081"}}, kms_keys)},
    };
    const std::string image = scratch.path() + "/image";
    for (const Scenario& s : scenarios) {
        testsupport::RunOptions o;
        o.argv = {"/usr/bin/gdb", "-batch", "-nx", "-q", "-ex", "set startup-with-shell off",
                  "-ex", "catch syscall exit_group", "-ex", "run", "-ex", "gcore " + image, "-ex", "kill",
                  "--args", testsupport::StagedProgram(s.program)};
        o.argv.insert(o.argv.end(), s.args.begin(), s.args.end());
        o.stdin_data = s.input;
        o.binds = {{etc, "/etc/postgres"}};
        o.unset_env = {"PG_PLUGINS_PATH", "LD_PRELOAD"};
        o.env = {{"TERM", "dumb"}, {"INPUTRC", "/dev/null"}};
        o.timeout = std::chrono::seconds(60);
        std::string what = s.program;
        for (const auto& a : s.args) what += " " + a;
        const testsupport::RunResult r = testsupport::Run(o);
        ASSERT_NE(r.out.find("Saved corefile"), std::string::npos) << what << "\n" << r.out << r.err;
        const std::string memory = testsupport::ReadFileOrDie(image);
        for (const Secret& secret : s.secrets) {
            EXPECT_EQ(memory.find(secret.bytes), std::string::npos) << what << ": " << secret.name << " left in memory";
            // What the program printed (gdb's lines are on the same streams).
            EXPECT_EQ((r.out + r.err).find(secret.bytes), std::string::npos) << what << ": " << secret.name << " printed";
        }
        std::remove(image.c_str());
    }
}

}  // namespace
