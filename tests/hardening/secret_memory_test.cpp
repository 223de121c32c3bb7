// What a program that handled secrets leaves in its memory when it ends. Each
// program runs under gdb, which stops it at exit_group (after static
// destructors and atexit handlers, as the process is about to go) and writes
// its whole memory image; the image is searched for the typed or stored
// secrets and for the host keys the store derived. Nothing of them may be
// left in live or freed memory by then, nor in a line printed.

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "credentials/credential_store.h"
#include "credentials/kms_credentials.h"
#include "encryption_wrapper/encryption_wrapper.h"
#include "test_support.h"
#include "../kms/kmsremote/vault_process.h"

namespace {

namespace fs = std::filesystem;

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

// Runs the program of `o` under gdb up to its exit_group, writes its memory
// image to `image` and expects none of `secrets` in it or in its output.
testsupport::RunResult ExpectNothingLeft(testsupport::RunOptions o, const std::string& image,
                                         const std::vector<Secret>& secrets) {
    std::string what;
    for (const auto& a : o.argv) what += (what.empty() ? "" : " ") + a;
    o.argv.insert(o.argv.begin(), {"/usr/bin/gdb", "-batch", "-nx", "-q", "-ex", "set startup-with-shell off", "-ex",
                                   "catch syscall exit_group", "-ex", "run", "-ex", "gcore " + image, "-ex", "kill",
                                   "--args"});
    o.unset_env.insert(o.unset_env.end(), {"PG_PLUGINS_PATH", "LD_PRELOAD"});
    o.env.insert({{"TERM", "dumb"}, {"INPUTRC", "/dev/null"}});
    o.timeout = std::chrono::seconds(60);
    const testsupport::RunResult r = testsupport::Run(o);
    EXPECT_NE(r.out.find("Saved corefile"), std::string::npos) << what << "\n" << r.out << r.err;
    if (!fs::exists(image)) return r;
    const std::string memory = testsupport::ReadFileOrDie(image);
    for (const Secret& secret : secrets) {
        EXPECT_EQ(memory.find(secret.bytes), std::string::npos) << what << ": " << secret.name << " left in memory";
        // A long secret may be left in pieces (the last bytes a copy moved).
        for (size_t at = 0; secret.bytes.size() >= 64 && at + 32 <= secret.bytes.size(); at += 32) {
            EXPECT_EQ(memory.find(secret.bytes.substr(at, 32)), std::string::npos)
                << what << ": " << secret.name << " bytes " << at << "+32 left in memory";
        }
        // What the program printed (gdb's lines are on the same streams).
        EXPECT_EQ((r.out + r.err).find(secret.bytes), std::string::npos) << what << ": " << secret.name << " printed";
    }
    std::remove(image.c_str());
    return r;
}

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

    // Letters that repeat nowhere else, so a piece of them is found too.
    auto letters = [](const std::string& head, size_t n, uint32_t seed) {
        std::string text = head;
        while (text.size() < n) text += static_cast<char>('a' + (seed = seed * 1103515245u + 12345u) % 26);
        return text;
    };
    const std::string long_one = letters("Typed-Pw-3307-", 175, 3307);
    const std::string long_two = letters("Typed-Pw-5123-", 314, 5123);

    testsupport::ScratchDir scratch;
    const std::string etc = scratch.MakeDir("etc");
    testsupport::WriteFileOrDie(etc + "/kms_static_params.cfg", "master_key = Param-Value-5081\n");
    const std::vector<Scenario> scenarios = {
        {"credtab", {"add", "-s", "-h", "db", "-p", "5432", "-d", "postgres", "-U", "backup"}, "Typed-Pw-1931\n",
         with({{"typed password", "Typed-Pw-1931"}}, pg_keys)},
        {"credtab", {"show"}, "", with({{"stored password", "Typed-Pw-1931"}}, pg_keys)},
        {"pwseal", {"enc", "-s"}, "Typed-Pw-2741\nTyped-Pw-2741\n",
         with({{"typed password", "Typed-Pw-2741"}}, pg_keys)},
        // Two endpoints, long secrets (the C library copies them through the
        // vector registers, which the dynamic linker saves onto the stack at
        // exit) and a mistyped confirmation.
        {"credwizard", {}, "1\ncluster-1\n10.0.0.1\n8200\n1\nalice\n" + long_one + "\n" + long_one +
                               "\nyes\n10.0.0.2\n8201\n2\nrole-2\n" + long_two + "\nTyped-Pw-4410\n" + long_two +
                               "\n" + long_two + "\nno\n",
         with({{"typed secret", long_one}, {"second typed secret", long_two}, {"mistyped secret", "Typed-Pw-4410"}},
              kms_keys)},
        {"paramseal", {}, "", with({{"plain parameter", "Param-Value-5081"}}, kms_keys)},
    };
    for (const Scenario& s : scenarios) {
        testsupport::RunOptions o;
        o.argv = {testsupport::StagedProgram(s.program)};
        o.argv.insert(o.argv.end(), s.args.begin(), s.args.end());
        o.stdin_data = s.input;
        o.binds = {{etc, "/etc/postgres"}};
        ExpectNothingLeft(o, scratch.path() + "/image", s.secrets);
    }
}

// The KMS connectors, loaded by kms_host as the database server loads them:
// after selection and login (libkmsremote, against the Vault double) or after
// reading the static file (libkeydepot), and the connector's destruction at
// exit, neither the static values nor the host key is left.
TEST(SecretMemory, ConnectorsLeaveNothingWhenTheServerProcessEnds) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to read a non-dumpable process";
    const std::string lib = testsupport::StagePrefix() + "/lib";
    setenv("PG_PLUGINS_PATH", (lib + "/aes").c_str(), 1);
    ASSERT_EQ(0, EncryptionInit(nullptr, nullptr, nullptr, nullptr));
    std::vector<uint8_t> key, iv;
    ASSERT_EQ(0, StoreDeriveKey(KMS, key, iv));
    testsupport::ScratchDir scratch;

    VaultProcess vault(scratch.MakeDir("vault"), "{\"users\": {\"dbserver\": \"Login-Secret-6620\"}}");
    const int port = vault.port();

    const std::string remote = scratch.MakeDir("remote");
    ASSERT_EQ(0, KmsCredentialsSave(nullptr, nullptr, nullptr, nullptr, KMS, remote + "/" + kKmsCredentialsFileName,
                                    "cluster-7", {{"127.0.0.1", port, KMS_CREDENTIALS_USERPASS, "dbserver",
                                                   "Login-Secret-6620"}}));
    const std::string depot = scratch.MakeDir("depot");
    ASSERT_EQ(0, StoreWriteFile(KMS, depot + "/kms_static_params.cfg",
                                "actual_master_key = Static-Value-7410\nmaster_key_value_00000000_000000_000 = Static-Value-8802\n"
                                "wal_key = Static-Value-0123456789abcdef01234\n"));
    testsupport::WriteFileOrDie(depot + "/kms_dynamic_params.cfg", "");

    const std::vector<Secret> keys = {{"KMS key", Bytes(key)}, {"KMS IV", Bytes(iv)}};
    struct Case {
        std::string connector;
        std::string dir;
        std::vector<Secret> secrets;
    };
    for (const Case& c : {Case{"libkmsremote.so", remote, {{"login secret", "Login-Secret-6620"}, {"token", "hvs."}}},
                          Case{"libkeydepot.so", depot, {{"static value", "Static-Value-7410"},
                                                         {"static value", "Static-Value-8802"}}}}) {
        testsupport::RunOptions o;
        // Commands on standard input: gdb splits arguments at blanks.
        o.argv = {testsupport::BuildDir() + "/tests/kms/kms_host/kms_host", lib + "/" + c.connector};
        o.stdin_data = "init " + c.dir + " " + lib + "/aes\nisinit\n";
        std::vector<Secret> secrets = c.secrets;
        secrets.insert(secrets.end(), keys.begin(), keys.end());
        const testsupport::RunResult r = ExpectNothingLeft(o, scratch.path() + "/image", secrets);
        EXPECT_NE(r.out.find("init 0\n"), std::string::npos) << c.connector << "\n" << r.out;
        EXPECT_NE(r.out.find("isinit 0\n"), std::string::npos) << c.connector << "\n" << r.out;
    }
}

// Every program that holds a secret turns core dumps off at start, both ways:
// a core-file size limit of 0, and not dumpable (which a core handler behind a
// pipe would otherwise ignore the limit for). Each program runs as the
// database's account under gdb to its exit_group; a process that is not
// dumpable has its /proc files owned by root. A password given as an argument
// is gone from the command line that every local user can read.
TEST(SecretMemory, CoreDumpsAreOffInEveryProgramHoldingSecrets) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to switch users";
    const struct passwd* postgres = getpwnam("postgres");
    ASSERT_NE(postgres, nullptr);
    testsupport::ScratchDir scratch;
    const std::string etc = scratch.MakeDir("etc", 0777);
    const std::string label = scratch.MakeDir("label", 0777);
    testsupport::WriteFileOrDie(etc + "/kms_static_params.cfg", "master_key = Param-Value-5081\n");
    ASSERT_EQ(chown((etc + "/kms_static_params.cfg").c_str(), postgres->pw_uid, postgres->pw_gid), 0);
    const std::string report =
        "python import gdb, os; p = gdb.selected_inferior().pid; "
        "print('limit', [l.split()[4] for l in open('/proc/%d/limits' % p) if l.startswith('Max core')][0]); "
        "print('owner', os.stat('/proc/%d/status' % p).st_uid); "
        "print('cmdline', open('/proc/%d/cmdline' % p).read().replace(chr(0), ' '))";
    const std::vector<std::vector<std::string>> programs = {
        {"keyforge"},
        {"paramseal"},
        {"snaprover", "wal-backup-failed", "-B", label, "--host", "h", "-p", "1", "-d", "d", "-U", "u",
         "--session-id", "S", "--password", "Arg-Pw-7730"},
        {"snaprover", "wal-backup-failed", "-B", label, "--host", "h", "-p", "1", "-d", "d", "-U", "u",
         "--session-id", "S", "--password=Arg-Pw-7730"},
        {"guardinit", "--help"},
        {"pwseal", "enc", "-W", "Arg-Pw-7730"},
        {"credtab", "show"},
    };
    for (const auto& args : programs) {
        testsupport::RunOptions o;
        // Started with core dumps allowed, whatever the test runner's limit.
        o.argv = {"/bin/sh", "-c", "ulimit -c unlimited && exec \"$0\" \"$@\"", "/usr/bin/gdb", "-batch", "-nx",
                  "-q", "-ex", "set startup-with-shell off", "-ex", "catch syscall exit_group", "-ex", "run",
                  "-ex", report, "-ex", "kill", "--args", testsupport::StagedProgram(args[0])};
        o.argv.insert(o.argv.end(), args.begin() + 1, args.end());
        o.binds = {{etc, "/etc/postgres"}};
        o.run_as_uid = postgres->pw_uid;
        o.unset_env = {"PG_PLUGINS_PATH", "LD_PRELOAD"};
        o.timeout = std::chrono::seconds(60);
        const testsupport::RunResult r = testsupport::Run(o);
        EXPECT_NE(r.out.find("limit 0\n"), std::string::npos) << args[0] << "\n" << r.out << r.err;
        EXPECT_NE(r.out.find("owner 0\n"), std::string::npos) << args[0] << "\n" << r.out << r.err;
        EXPECT_NE(r.out.find("cmdline " + testsupport::StagedProgram(args[0])), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("Arg-Pw-7730"), std::string::npos) << args[0] << "\n" << r.out;
    }
}

}  // namespace
