// The installed programs run their ordinary scenarios under valgrind memcheck
// without a report: no invalid read or write, no use of uninitialised memory,
// no definitely lost block. /etc/postgres is a scratch directory bound over
// the fixed path; the scenarios run in order and build on each other (the
// table written by "add" is read by "show", the settings file by the wizard's
// second run). Suppressions (valgrind.supp) cover the libraries' own reports.

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "pg_server.h"
#include "test_support.h"
#include "../backup/session_probe.h"
#include "../kms/kmsremote/vault_process.h"

namespace {

struct Scenario {
    std::string program;
    std::vector<std::string> args;
    std::string input;
    int status;
};

constexpr int kValgrindError = 99;

TEST(Valgrind, ProgramsRunCleanUnderMemcheck) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for the mount namespace";
    testsupport::ScratchDir scratch;
    const std::string etc = scratch.MakeDir("etc");
    testsupport::WriteFileOrDie(etc + "/kms_static_params.cfg", "master_key = 0123456789abcdef\nsalt = s1\n");
    const std::string args_file = scratch.MakeDir("pwforge") + "/args";
    testsupport::WriteFileOrDie(args_file, "{\"min_length\": 20, \"max_rpt_chars\": 2}");

    const std::vector<Scenario> scenarios = {
        {"keyforge", {}, "", 0},
        {"pwseal", {"enc", "-W", "pw-1"}, "", 0},
        {"pwseal", {"enc", "-s"}, "pw-2\npw-2\n", 0},
        {"credtab", {"add", "-s", "-h", "db1", "-p", "5432", "-d", "postgres", "-U", "backup"}, "pw-3\n", 0},
        {"credtab", {"add", "-s", "-h", "db2", "-p", "5433", "-d", "postgres", "-U", "backup"}, "pw-4\n", 0},
        {"credtab", {"show"}, "", 0},
        {"credtab", {"remove", "-h", "db1", "-p", "5432", "-d", "postgres", "-U", "backup"}, "yes\n", 0},
        {"credwizard", {}, "1\ncluster-1\n10.0.0.1\n8200\n1\nalice\npw-5\npw-5\nno\n", 0},
        {"paramseal", {}, "", 0},
        {"snaprover", {"--help"}, "", 0},
        {"guardinit", {"--help"}, "", 0},
        {"pwforge", {args_file}, "", 0},
    };
    for (const Scenario& s : scenarios) {
        testsupport::RunOptions o;
        // pwforge is an Ansible module, installed beside its documentation.
        const std::string program = s.program == "pwforge"
                                        ? testsupport::StagePrefix() + "/share/ansible/plugins/modules/pwforge"
                                        : testsupport::StagedProgram(s.program);
        o.argv = {VALGRIND, "--quiet", "--error-exitcode=" + std::to_string(kValgrindError),
                  "--leak-check=full", "--errors-for-leak-kinds=definite", "--show-leak-kinds=definite",
                  "--suppressions=" VALGRIND_SUPPRESSIONS, program};
        o.argv.insert(o.argv.end(), s.args.begin(), s.args.end());
        o.stdin_data = s.input;
        o.binds = {{etc, "/etc/postgres"}};
        o.unset_env = {"PG_PLUGINS_PATH", "LD_PRELOAD"};
        o.env = {{"TERM", "dumb"}, {"INPUTRC", "/dev/null"}};
        o.timeout = std::chrono::seconds(120);
        const testsupport::RunResult r = testsupport::Run(o);
        std::string what = s.program;
        for (const auto& a : s.args) what += " " + a;
        EXPECT_EQ(r.exit_code, s.status) << what << "\n" << r.out << r.err;
        EXPECT_EQ(r.err.find("=="), std::string::npos) << what << "\n" << r.err;
    }
}

// Both KMS connectors, loaded by kms_host as the database server loads them,
// through selection, login and value requests (libkmsremote against the Vault
// double) and static and dynamic lookups (libkeydepot). valgrind reports its
// own processor signature, so the host key differs from this process's: the
// files are written by credwizard and paramseal under valgrind as well.
TEST(Valgrind, ConnectorsRunCleanUnderMemcheck) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for the mount namespace";
    const std::string lib = testsupport::StagePrefix() + "/lib";
    testsupport::ScratchDir scratch;
    VaultProcess vault(scratch.MakeDir("vault"), R"({"users": {"dbserver": "pw-6620"}, "kv": {"d/c/s/k": "v1"}})");
    const std::string etc = scratch.MakeDir("etc");
    testsupport::WriteFileOrDie(etc + "/kms_static_params.cfg",
                                "actual_master_key = a1\nmaster_key_value_00000000_000000_000 = z0\n"
                                "wal_key = 0123456789abcdef0123456789abcdef\n");
    testsupport::WriteFileOrDie(etc + "/kms_dynamic_params.cfg", "dyn = d1\n");
    const std::string wizard =
        "1\ncluster-7\n127.0.0.1\n" + std::to_string(vault.port()) + "\n1\ndbserver\npw-6620\npw-6620\nno\n";
    auto memcheck = [&](std::vector<std::string> argv, std::optional<std::string> input = std::nullopt) {
        testsupport::RunOptions o;
        o.argv = {VALGRIND, "--quiet", "--error-exitcode=" + std::to_string(kValgrindError), "--leak-check=full",
                  "--errors-for-leak-kinds=definite", "--show-leak-kinds=definite",
                  "--suppressions=" VALGRIND_SUPPRESSIONS};
        o.argv.insert(o.argv.end(), argv.begin(), argv.end());
        o.stdin_data = std::move(input);
        o.binds = {{etc, "/etc/postgres"}};
        o.unset_env = {"VAULT_CACERT", "VAULT_CAPATH", "VAULT_NAMESPACE", "PG_PLUGINS_PATH"};
        o.env = {{"TERM", "dumb"}, {"INPUTRC", "/dev/null"}};
        o.timeout = std::chrono::seconds(120);
        return testsupport::Run(o);
    };
    ASSERT_EQ(memcheck({testsupport::StagedProgram("credwizard")}, wizard).exit_code, 0);
    ASSERT_EQ(memcheck({testsupport::StagedProgram("paramseal")}).exit_code, 0);

    struct Case {
        std::string connector;
        std::vector<std::string> commands;
        std::string results;
    };
    const std::string init = "init /etc/postgres " + lib + "/aes";
    const std::vector<Case> cases = {
        {"libkmsremote.so", {init, "get d c s k", "set d c s k2 v2", "cas d c s k2 v3", "get d c s none"},
         "init 0\nget 0 v1\nset 0\ncas -5\nget -3\n"},
        {"libkeydepot.so", {init, "get d c s actual_master_key", "get d c s dyn"}, "init 0\nget 0 a1\nget 0 d1\n"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> argv = {testsupport::BuildDir() + "/tests/kms/kms_host/kms_host", lib + "/" + c.connector};
        argv.insert(argv.end(), c.commands.begin(), c.commands.end());
        const testsupport::RunResult r = memcheck(argv);
        EXPECT_EQ(r.exit_code, 0) << c.connector << "\n" << r.out << r.err;
        EXPECT_EQ(r.err.find("=="), std::string::npos) << c.connector << "\n" << r.err;
        // The result lines, without the connector's log lines.
        std::string results;
        size_t from = 0;
        for (size_t end; (end = r.out.find('\n', from)) != std::string::npos; from = end + 1) {
            const std::string line = r.out.substr(from, end - from + 1);
            if (line.rfind("init ", 0) == 0 || line.rfind("get ", 0) == 0 || line.rfind("set ", 0) == 0 ||
                line.rfind("cas ", 0) == 0) {
                results += line;
            }
        }
        EXPECT_EQ(results, c.results) << c.connector << "\n" << r.out;
    }
}

// snaprover's backup against the PostgreSQL fixture, one cycle of start,
// wait-start and stop, every process under memcheck: the detached session is
// a fork of "start", so valgrind follows it, and each process writes its own
// report file; all of them stay empty.
TEST(Valgrind, SnaproverBackupCycleRunsCleanUnderMemcheck) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for the server and the mount namespace";
    testsupport::PgServer server;
    server.CreateRole("bkp", "bkp-secret", "LOGIN SUPERUSER");
    server.CreateDatabase("bkpdb", "bkp");
    server.Sql(session_probe::BackupFunctions(), "bkpdb");
    testsupport::ScratchDir scratch;
    const std::string etc = scratch.MakeDir("etc");
    const std::string label = scratch.MakeDir("label");
    const std::string reports = scratch.MakeDir("reports");
    struct Step {
        std::string action;
        std::string out;
    };
    const std::vector<Step> steps = {
        {"start", "starting backup mode...\n"},
        {"wait-start", "waiting for backup to start...\nbackup successfully started\n"},
        {"stop", "waiting for backup mode to stop...\nSuccess! Result files:\n" + label + "/backup_label\n"},
    };
    for (const Step& step : steps) {
        testsupport::RunOptions o;
        o.argv = {VALGRIND, "--quiet", "--error-exitcode=" + std::to_string(kValgrindError), "--leak-check=full",
                  "--errors-for-leak-kinds=definite", "--show-leak-kinds=definite", "--trace-children=yes",
                  "--log-file=" + reports + "/" + step.action + ".%p", "--suppressions=" VALGRIND_SUPPRESSIONS,
                  testsupport::StagedProgram("snaprover"), step.action, "-B", label, "--host", "127.0.0.1", "-p",
                  std::to_string(server.port()), "-d", "bkpdb", "-U", "bkp", "--password", "bkp-secret",
                  "--session-id", "V1"};
        o.binds = {{etc, "/etc/postgres"}};
        o.env = {{"PGHOME", scratch.path()}};
        o.unset_env = {"PG_PLUGINS_PATH", "PGPASSWORD", "PGPASSFILE", "LD_PRELOAD"};
        o.timeout = std::chrono::seconds(300);
        const testsupport::RunResult r = testsupport::Run(o);
        EXPECT_EQ(r.exit_code, 0) << step.action << "\n" << r.out << r.err;
        EXPECT_EQ(r.out, step.out) << step.action << "\n" << r.err;
    }
    // The session ends once it has written the results; its report is
    // complete when its process is gone.
    for (int i = 0; i < 6000 && session_probe::SessionProcess("V1") > 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_LT(session_probe::SessionProcess("V1"), 0);
    EXPECT_EQ(session_probe::NewestState(testsupport::ReadFileOrDie(label + "/backup_state"), "V1"), "completed");
    int report_files = 0;
    for (const auto& e : std::filesystem::directory_iterator(reports)) {
        ++report_files;
        EXPECT_EQ(testsupport::ReadFileOrDie(e.path()), "") << e.path();
    }
    EXPECT_GE(report_files, 4);  // start, its session, wait-start, stop
}

}  // namespace
