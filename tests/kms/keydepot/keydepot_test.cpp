// libkeydepot, loaded from the staged install tree by kms_host as the database
// server loads it. Static parameter files are encrypted for this host in the
// test process through the credential store.

#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "credentials/credential_store.h"
#include "encryption_wrapper/encryption_wrapper.h"
#include "test_support.h"

namespace {

using testsupport::RunResult;

// Values of the three static keys; the WAL key is 32 bytes long.
const std::string kActual = "actual-9Qe7LmZ2";
const std::string kMasterZero = "zero-Hf3Kd81s";
const std::string kWal = "wal-0123456789abcdef0123456789ab";

std::string StaticText(bool withActual = true, bool withWal = true) {
    std::string text = "# static keys\n";
    if (withActual) text += "actual_master_key = " + kActual + "\n";
    text += "master_key_value_00000000_000000_000 = " + kMasterZero + "\n";
    if (withWal) text += "wal_key = " + kWal + "\n";
    return text;
}

// Output with each log line's time stamp, process id and source position cut
// off, so that it starts at "(operation) LEVEL: ".
std::string Normalize(const std::string& out) {
    std::istringstream in(out);
    std::string line, result;
    while (std::getline(in, line)) {
        const size_t pid = line.find("] ");
        const size_t op = pid == std::string::npos ? pid : line.find(" (", pid);
        if (!line.empty() && line[0] == '2' && op != std::string::npos) line = line.substr(op + 1);
        result += line + "\n";
    }
    return result;
}

// The result lines of kms_host (every line that is not a log line).
std::vector<std::string> Results(const std::string& out) {
    std::vector<std::string> results;
    std::istringstream in(Normalize(out));
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line[0] != '(') results.push_back(line);
    }
    return results;
}

// The log lines only.
std::string LogLines(const std::string& out) {
    std::string logs;
    std::istringstream in(Normalize(out));
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line[0] == '(') logs += line + "\n";
    }
    return logs;
}

class KeyDepot : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_EQ(EncryptionInit(LibDir().c_str(), "libcipherbox.so", nullptr, nullptr), 0);
    }
    static std::string LibDir() { return testsupport::StagePrefix() + "/lib"; }

    testsupport::ScratchDir scratch_;
    std::string dir_ = scratch_.MakeDir("conf");

    // A configuration directory with a static file (encrypted for this host
    // unless `plain`) and a dynamic file; nullopt leaves a file out.
    std::string MakeConfig(const std::string& name, const std::optional<std::string>& staticText,
                           const std::optional<std::string>& dynamicText, bool plain = false) const {
        const std::string dir = scratch_.MakeDir(name);
        if (staticText && plain) testsupport::WriteFileOrDie(dir + "/kms_static_params.cfg", *staticText);
        if (staticText && !plain) {
            EXPECT_EQ(StoreWriteFile(KMS, dir + "/kms_static_params.cfg", *staticText), 0);
        }
        if (dynamicText) testsupport::WriteFileOrDie(dir + "/kms_dynamic_params.cfg", *dynamicText);
        return dir;
    }

    std::string Init(const std::string& dir) const { return "init " + dir + " " + LibDir(); }

    RunResult Host(const std::vector<std::string>& commands) const {
        testsupport::RunOptions o;
        o.argv = {KMS_HOST_PATH, testsupport::StagePrefix() + "/lib/libkeydepot.so"};
        o.argv.insert(o.argv.end(), commands.begin(), commands.end());
        o.unset_env = {"PG_PLUGINS_PATH"};
        return testsupport::RunProgram(o);
    }

    // No log line carries a static value.
    static void ExpectNoStaticValueLogged(const RunResult& r) {
        for (const std::string& value : {kActual, kMasterZero, kWal}) {
            EXPECT_EQ(LogLines(r.out).find(value), std::string::npos) << value;
            EXPECT_EQ(r.err.find(value), std::string::npos) << value;
        }
    }
};

TEST_F(KeyDepot, EntryPointsAndValueSizeProtocol) {
    const std::string dir = MakeConfig("ok", StaticText(), "other = dyn\nempty +=\n");
    RunResult r = Host({"list", "isinit", "get d c s wal_key", Init(dir), "isinit", "get d c s empty",
                        "getraw d c s wal_key 0", "getraw d c s wal_key 31", "getraw d c s wal_key 32",
                        "getraw d c s wal_key 34", "getraw d c s wal_key 40 @null", "getraw d c s missing 0",
                        "getraw @null c s wal_key 40", "getraw d c @null wal_key 40", "set d c s k @null",
                        "cas d @null s k v"});
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    const std::vector<std::string> expected = {
        "list 0 6 6", "isinit -47", "get -47", "init 0", "isinit 0",
        // An empty value: its length asked for with a null buffer is the answer.
        "get 0 ",
        // Too small: the length is reported, nothing is copied.
        "getraw -35 32 ", "getraw -35 32 " + std::string(31, '.'),
        // Exactly the value's bytes, no terminating zero, the size unchanged.
        "getraw 0 32 " + kWal, "getraw 0 34 " + kWal + "..",
        "getraw -15 40 " + std::string(40, '.'), "getraw -3 0 ",
        "getraw -15 40 " + std::string(40, '.'), "getraw -15 40 " + std::string(40, '.'),
        "set -15", "cas -15"};
    EXPECT_EQ(Results(r.out), expected) << r.out;
    EXPECT_EQ(r.err, "");
}

// Every LOG and WARNING text of lookups and refused writes, byte for byte.
TEST_F(KeyDepot, LogTextsOfLookupsAndRefusedWrites) {
    const std::string dir = MakeConfig("ok", StaticText(), "other = dyn value\n");
    RunResult r = Host({Init(dir), "get D1 C1 S1 wal_key", "get D2 C2 S2 actual_master_key",
                        "get D3 C3 S3 master_key_value_00000000_000000_000", "get D4 C4 S4 other",
                        "get D5 C5 S5 absent", "set D6 C6 S6 K6 secret six", "cas D7 C7 S7 K7 value seven"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const std::string golden = testsupport::ReadFileOrDie(std::string(DOVER_SOURCE_DIR) +
                                                          "/tests/kms/keydepot/golden/lookups.out");
    EXPECT_EQ(Normalize(r.out), golden);
    EXPECT_EQ(r.err, "");
    ExpectNoStaticValueLogged(r);
}

// A failed Init reports what the table says, leaves the connector as it was and
// may be retried in the same process.
TEST_F(KeyDepot, FailedInitIsReportedAndRetried) {
    struct Case {
        const char* name;
        std::optional<std::string> staticText;
        bool plain;
        std::optional<std::string> dynamicText;
        int code;
        // Expected log lines of the failed Init; nullopt: not checked.
        std::optional<std::string> logs;
        // A file of the directory replaced by a FIFO (nobody ever writes to it).
        const char* fifo = nullptr;
    };
    const std::string walMissing =
        "(ProcessKmsPlugin) WARNING: Parameter wal_key does not exist in static KMS config file "
        "(kms_static_params.cfg)\n";
    const std::string actualMissing =
        "(ProcessKmsPlugin) WARNING: Parameter actual_master_key does not exist in static KMS config file "
        "(kms_static_params.cfg)\n";
    const std::vector<Case> cases = {
        {"static_missing", std::nullopt, false, "a = 1\n", -32, ""},
        {"wal_key_missing", StaticText(true, false), false, "a = 1\n", -2, walMissing},
        {"first_missing_in_sorted_order", StaticText(false, false), false, "a = 1\n", -2, actualMissing},
        // Not encrypted for this host: decrypts to unreadable text.
        {"foreign", std::string(96, 'x'), true, "a = 1\n", -2, std::nullopt},
        {"not_whole_blocks", std::string(100, 'x'), true, "a = 1\n", -2, ""},
        {"static_duplicate", StaticText() + "wal_key = other\n", false, "a = 1\n", -2, ""},
        {"dynamic_missing", StaticText(), false, std::nullopt, -32, ""},
        {"dynamic_duplicate", StaticText(), false, "a = 1\na = 2\n", -2, ""},
        {"static_fifo", StaticText(), false, "a = 1\n", -26, "", "kms_static_params.cfg"},
        {"dynamic_fifo", StaticText(), false, "a = 1\n", -26, "", "kms_dynamic_params.cfg"},
    };
    const std::string good = MakeConfig("good", StaticText(), "a = good\n");
    const std::string replacement = MakeConfig("replacement", StaticText(), "a = replaced\n");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string bad = MakeConfig(c.name, c.staticText, c.dynamicText, c.plain);
        if (c.fifo != nullptr) {
            const std::string path = bad + "/" + c.fifo;
            ASSERT_EQ(0, unlink(path.c_str()));
            ASSERT_EQ(0, mkfifo(path.c_str(), 0600));
        }
        RunResult first = Host({Init(bad)});
        EXPECT_EQ(Results(first.out), std::vector<std::string>{"init " + std::to_string(c.code)}) << first.out;
        if (c.logs) {
            EXPECT_EQ(LogLines(first.out), *c.logs);
        }
        ExpectNoStaticValueLogged(first);

        // Retried after a failure; and a failure after a success keeps the values.
        RunResult retried = Host({Init(bad), "isinit", Init(good), "isinit", "get d c s a", Init(bad), "isinit",
                                  "get d c s a", "get d c s wal_key", Init(replacement), "get d c s a"});
        const std::string failed = "init " + std::to_string(c.code);
        EXPECT_EQ(Results(retried.out),
                  (std::vector<std::string>{failed, "isinit -47", "init 0", "isinit 0", "get 0 good", failed,
                                            "isinit 0", "get 0 good", "get 0 " + kWal, "init 0",
                                            "get 0 replaced"}))
            << retried.out;
    }
}

// The dynamic file is followed on disk; the static file only at the next Init.
TEST_F(KeyDepot, DynamicFileFollowedStaticFileReadAtInit) {
    const std::string dir = MakeConfig("conf2", StaticText(), "other = v1\n");
    const std::string dyn = dir + "/kms_dynamic_params.cfg";
    const std::string stat = dir + "/kms_static_params.cfg";
    const std::string next = scratch_ / "static.next";
    const std::string newWal = "wal-fedcba9876543210fedcba98765432";
    const std::string fifo = scratch_ / "dynamic.fifo";
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    ASSERT_EQ(StoreWriteFile(KMS, next, "actual_master_key = a2\nmaster_key_value_00000000_000000_000 = m2\n"
                                        "wal_key = " + newWal + "\n"),
              0);
    RunResult r = Host({Init(dir), "get d c s other",
                        // Rewritten in place with a later time.
                        "write " + dyn + " other = v2\\n", "age " + dyn + " 10", "get d c s other",
                        // Replaced by a new file (time now: older than the one before).
                        "replace " + dyn + " other = v3\\nnew = n3\\n", "get d c s other", "get d c s new",
                        // Replaced by a copy with an old time.
                        "replace " + dyn + " other = v4\\n", "age " + dyn + " -1000", "get d c s other",
                        // Unchanged: served from memory.
                        "get d c s other",
                        // Malformed: the reload fails and nothing is served from it...
                        "replace " + dyn + " other = v5\\nother = v6\\n", "get d c s other",
                        // ...until it is mended.
                        "replace " + dyn + " other = v7\\n", "get d c s other",
                        // Gone: the values last loaded stay.
                        "move " + dyn + " " + dyn + ".gone", "get d c s other",
                        // The static file changes only with the next Init.
                        "move " + next + " " + stat, "get d c s wal_key", Init(dir), "get d c s wal_key",
                        // A FIFO in its place is refused, not waited on.
                        "move " + fifo + " " + dyn, "get d c s other"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const std::vector<std::string> expected = {
        "init 0",     "get 0 v1",     "write 0",    "age 0",      "get 0 v2",  "replace 0", "get 0 v3",
        "get 0 n3",   "replace 0",    "age 0",      "get 0 v4",   "get 0 v4",  "replace 0", "get -2",
        "replace 0",  "get 0 v7",     "move 0",     "get 0 v7",   "move 0",    "get 0 " + kWal,
        "init -32",   "get 0 " + kWal, "move 0",    "get -26"};
    // The last Init fails: the dynamic file is gone. Restore it and check the new
    // static values in a second run.
    EXPECT_EQ(Results(r.out), expected) << r.out;
    RunResult again = Host({"move " + dyn + ".gone " + dyn, Init(dir), "get d c s wal_key", "get d c s other",
                            // A refused reload serves nothing of the refused file, also once it is gone.
                            "replace " + dyn + " other = v8\\nother = v9\\n", "get d c s other",
                            "move " + dyn + " " + dyn + ".bad", "get d c s other"});
    EXPECT_EQ(Results(again.out), (std::vector<std::string>{"move 0", "init 0", "get 0 " + newWal, "get 0 v7",
                                                            "replace 0", "get -2", "move 0", "get 0 v7"}));
    // The failed reload reported nothing of its own.
    EXPECT_EQ(Normalize(r.out).find("get 0 v5"), std::string::npos);
}

// A last line without a line feed keeps the padding zero bytes in its value: the
// stored files in service were read that way.
TEST_F(KeyDepot, LastLineWithoutLineFeedKeepsThePadding) {
    std::string text = StaticText();
    text.pop_back();
    const std::string dir = MakeConfig("nolf", text, "a = 1\n");
    const size_t padding = (16 - text.size() % 16) % 16;
    ASSERT_NE(padding, 0u);
    RunResult r = Host({Init(dir), "getraw d c s wal_key 64"});
    const std::string value = kWal + std::string(padding, '\0');
    EXPECT_EQ(Results(r.out), (std::vector<std::string>{
                                  "init 0", "getraw 0 64 " + value + std::string(64 - value.size(), '.')}));
}

}  // namespace
