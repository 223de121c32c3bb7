// The installed programs run their ordinary scenarios under valgrind memcheck
// without a report: no invalid read or write, no use of uninitialised memory,
// no definitely lost block. /etc/postgres is a scratch directory bound over
// the fixed path; the scenarios run in order and build on each other (the
// table written by "add" is read by "show", the settings file by the wizard's
// second run). Suppressions (valgrind.supp) cover the libraries' own reports.

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "test_support.h"

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

}  // namespace
