// Runs the staged guardinit from a scratch directory where a stand-in for the
// server program sits beside it as "postgres", and checks what reached each
// server run and what the administrator saw.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "golden_scripts.h"
#include "test_support.h"

namespace {

using testsupport::PtySession;
using testsupport::RunOptions;
using testsupport::RunResult;

const std::string kPasswordPrompt = "Enter new security admin password: ";
const std::string kRepeatPrompt = "Enter it again: ";

std::string RealPath(const std::string& path) {
    char resolved[PATH_MAX];
    if (!realpath(path.c_str(), resolved)) ADD_FAILURE() << "realpath " << path;
    return resolved;
}

std::string StripCarriageReturns(std::string text) {
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    return text;
}

// A scratch bin directory with guardinit and, unless told otherwise, the stand-in
// server, plus a directory for the stand-in's records and an empty data directory.
class Installation {
public:
    explicit Installation(bool with_postgres = true) {
        bin_ = RealPath(scratch_.MakeDir("bin"));
        records_ = RealPath(scratch_.MakeDir("records"));
        data_ = RealPath(scratch_.MakeDir("data"));
        std::filesystem::copy_file(testsupport::StagedProgram("guardinit"), guardinit());
        if (with_postgres) std::filesystem::copy_file(GUARDINIT_FAKE_POSTGRES, postgres());
    }

    std::string guardinit() const { return bin_ + "/guardinit"; }
    std::string postgres() const { return bin_ + "/postgres"; }
    const std::string& data() const { return data_; }
    std::string MakeDir(const std::string& name) const { return RealPath(scratch_.MakeDir(name)); }

    RunOptions Options(const std::vector<std::string>& args) const {
        RunOptions o;
        o.argv = {guardinit()};
        o.argv.insert(o.argv.end(), args.begin(), args.end());
        o.env["FAKE_PG_RECORD_DIR"] = records_;
        o.unset_env = {"PGDATA", "FAKE_PG_VERSION_LINE", "FAKE_PG_EXIT", "FAKE_PG_CLOSE_STDIN",
                       "GUARDINIT_TEST_HOLD_WRITER", "LD_PRELOAD", "PG_COLOR"};
        return o;
    }

    // Runs without a terminal: in a new session, so that the password prompt can
    // only fall back to standard input. The new session is out of reach of the
    // harness's kill at the time limit, so timeout(1) inside it ends a run that
    // would otherwise go on for ever.
    RunResult RunDetached(RunOptions o, std::string input = "") const {
        o.argv.insert(o.argv.begin(), {"/usr/bin/setsid", "-w", "/usr/bin/timeout", "-s", "KILL",
                                       std::to_string(o.timeout.count())});
        o.stdin_data = std::move(input);
        return testsupport::Run(o);
    }

    int Runs() const {
        int n = 0;
        std::ifstream(records_ + "/runs") >> n;
        return n;
    }
    std::string Record(int run, const std::string& what) const {
        return testsupport::ReadFileOrDie(records_ + "/run-" + std::to_string(run) + "." + what);
    }
    std::vector<std::string> Args(int run) const {
        std::vector<std::string> args;
        std::istringstream in(Record(run, "args"));
        for (std::string line; std::getline(in, line);) args.push_back(line);
        return args;
    }
    std::string VersionRunPgdata() const {
        return testsupport::ReadFileOrDie(records_ + "/version.pgdata");
    }

    std::vector<std::string> BootstrapArgs(const std::string& data) const {
        return {postgres(), "--boot", "-D", data, "-x1", "-k", "-p"};
    }
    std::vector<std::string> SingleUserArgs(const std::string& data) const {
        return {postgres(), "--single", "-O", "-j",       "-c",
                "search_path=pg_catalog", "-c",       "exit_on_error=true",
                "-D",       data,       "postgres"};
    }

private:
    testsupport::ScratchDir scratch_;
    std::string bin_, records_, data_;
};

// Types the password twice at the prompts and waits for the program to end.
RunResult TypePassword(PtySession& session, const std::string& password) {
    EXPECT_TRUE(session.WaitFor(kPasswordPrompt));
    session.Send(password + "\n");
    EXPECT_TRUE(session.WaitFor(kRepeatPrompt));
    session.Send(password + "\n");
    return session.Wait();
}

const char kFullTranscript[] =
    "Press Ctrl+C to exit\n"
    "Enter new security admin password: \n"
    "Enter it again: \n"
    "running bootstrap script ... \n"
    "Security catalogs are in the expected state.\n"
    "Security administrator account was created.\n"
    "Policies were created.\n"
    "All initialization procedures have been succeed.\n"
    "performing post-bootstrap initialization ... Protection mechanism is initialized.\n"
    "syncing data to disk ... \n";

TEST(GuardinitRunTest, SuccessfulRunFeedsElevenServerRunsInOrder) {
    Installation inst;
    const std::string password = "pa'ss\\wo''rd x";
    PtySession session(inst.Options({"-D", inst.data(), "-U", "sec_admin1"}));
    RunResult r = TypePassword(session, password);

    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_EQ(StripCarriageReturns(r.out), kFullTranscript);
    ASSERT_EQ(inst.Runs(), 11);

    // The reviewed transcript was made for this name and password.
    const std::vector<guardinit_golden::Run> scripts = guardinit_golden::ReadRuns();
    ASSERT_EQ(scripts.size(), 11u);
    for (int run = 1; run <= 11; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        bool bootstrap = scripts[run - 1].mode == "bootstrap";
        EXPECT_EQ(inst.Args(run),
                  bootstrap ? inst.BootstrapArgs(inst.data()) : inst.SingleUserArgs(inst.data()));
        // Single-user output is discarded; bootstrap runs share the caller's output.
        if (bootstrap)
            EXPECT_NE(inst.Record(run, "stdout"), "/dev/null");
        else
            EXPECT_EQ(inst.Record(run, "stdout"), "/dev/null");
        EXPECT_EQ(inst.Record(run, "pgdata"), inst.data());
        EXPECT_EQ(inst.Record(run, "stdin"), scripts[run - 1].script);
    }
}

TEST(GuardinitRunTest, DataDirectoryWithBlanksAndQuotesReachesTheServerAsOneArgument) {
    Installation inst;
    const std::string data = inst.MakeDir("it's my data");
    RunOptions o = inst.Options({"-U", "admin", data});
    o.env["FAKE_PG_EXIT"] = "2:1";
    PtySession session(o);
    RunResult r = TypePassword(session, "secret");
    EXPECT_EQ(r.exit_code, 1);
    ASSERT_EQ(inst.Runs(), 2);
    EXPECT_EQ(inst.Args(1), inst.BootstrapArgs(data));
    EXPECT_EQ(inst.Args(2), inst.SingleUserArgs(data));
    EXPECT_EQ(inst.Record(2, "stdout"), "/dev/null");
}

TEST(GuardinitRunTest, ChildFailureEndsTheProgramBeforeLaterStages) {
    {
        Installation inst;
        RunOptions o = inst.Options({"-D", inst.data(), "-U", "admin"});
        o.env["FAKE_PG_EXIT"] = "2:3";
        PtySession session(o);
        RunResult r = TypePassword(session, "secret");
        std::string out = StripCarriageReturns(r.out);
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(inst.Runs(), 2);
        EXPECT_NE(out.find("running bootstrap script ... \n"
                           "Security catalogs are in the expected state.\n"),
                  std::string::npos)
            << out;
        EXPECT_NE(out.find("child process exited with exit code 3"), std::string::npos) << out;
        EXPECT_EQ(out.find("Security administrator account was created."), std::string::npos);
        EXPECT_EQ(out.find("syncing"), std::string::npos);
    }
    {
        Installation inst;
        RunOptions o = inst.Options({"-D", inst.data(), "-U", "admin"});
        o.env["FAKE_PG_EXIT"] = "1:1";
        PtySession session(o);
        RunResult r = TypePassword(session, "secret");
        std::string out = StripCarriageReturns(r.out);
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(inst.Runs(), 1);
        EXPECT_EQ(out.find("Security catalogs are in the expected state."), std::string::npos);
    }
}

// A child that stops reading makes guardinit's writes fail. The preloaded wrapper
// holds guardinit until the chosen child has closed its input.
TEST(GuardinitRunTest, WriteFailureIsReportedByTheNextStageWithAReport) {
    struct Case {
        const char* run;
        int runs_started;
        std::string message;
        std::string last_report;
    };
    const std::vector<Case> cases = {
        {"1", 1, "Security catalogs have unexpected data! Check for it!\n", "running bootstrap script ... \n"},
        {"2", 3, "could not write to child process: Broken pipe\n",
         "Security catalogs are in the expected state.\n"},
        {"8", 10, "could not write to child process: Broken pipe\n", "Policies were created.\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("closing run ") + c.run);
        Installation inst;
        RunOptions o = inst.Options({"-D", inst.data(), "-U", "admin"});
        o.env["LD_PRELOAD"] = GUARDINIT_HOLD_WRITER;
        o.env["ASAN_OPTIONS"] = "verify_asan_link_order=0";
        o.env["GUARDINIT_TEST_HOLD_WRITER"] = c.run;
        o.env["FAKE_PG_CLOSE_STDIN"] = c.run;
        PtySession session(o);
        RunResult r = TypePassword(session, "secret");
        std::string out = StripCarriageReturns(r.out);
        EXPECT_EQ(r.exit_code, 1) << out;
        EXPECT_EQ(inst.Runs(), c.runs_started);
        EXPECT_TRUE(out.ends_with(c.last_report + c.message)) << out;
    }
}

// Both write-failure reports are reports like the success texts: on standard output,
// after the reports before them.
TEST(GuardinitRunTest, WriteFailureReportsGoToStandardOutput) {
    const std::vector<std::pair<const char*, std::string>> cases = {
        {"1", "running bootstrap script ... \n"
              "Security catalogs have unexpected data! Check for it!\n"},
        {"4", "Security administrator account was created.\n"
              "could not write to child process: Broken pipe\n"},
    };
    for (const auto& [run, tail] : cases) {
        SCOPED_TRACE(std::string("closing run ") + run);
        Installation inst;
        RunOptions o = inst.Options({"-D", inst.data(), "-U", "admin"});
        o.env["LD_PRELOAD"] = GUARDINIT_HOLD_WRITER;
        o.env["ASAN_OPTIONS"] = "verify_asan_link_order=0";
        o.env["GUARDINIT_TEST_HOLD_WRITER"] = run;
        o.env["FAKE_PG_CLOSE_STDIN"] = run;
        RunResult r = inst.RunDetached(o, "pw\npw\n");
        EXPECT_EQ(r.exit_code, 1) << r.err;
        EXPECT_TRUE(r.out.ends_with(tail)) << r.out;
        EXPECT_EQ(r.err, kPasswordPrompt + "\n" + kRepeatPrompt + "\n");
    }
}

TEST(GuardinitPasswordTest, EmptyMismatchedAndOverlongAnswersAskAgain) {
    Installation inst;
    PtySession session(inst.Options({"-D", inst.data(), "-U", "admin"}));
    const std::string longest(99, 'p');

    ASSERT_TRUE(session.WaitFor(kPasswordPrompt));
    session.Send("\n");
    ASSERT_TRUE(session.WaitFor("Line is empty.\r\n"));
    // An empty first answer asks for the password again, not for the repetition.
    ASSERT_TRUE(session.WaitFor(kPasswordPrompt));
    session.Send("alpha7\n");
    ASSERT_TRUE(session.WaitFor(kRepeatPrompt));
    session.Send("beta8\n");
    ASSERT_TRUE(session.WaitFor("Passwords didn't match.\r\n"));
    ASSERT_TRUE(session.WaitFor(kPasswordPrompt));
    session.Send("alpha7\n");
    ASSERT_TRUE(session.WaitFor(kRepeatPrompt));
    session.Send("\n");
    ASSERT_TRUE(session.WaitFor("Line is empty.\r\n"));
    ASSERT_TRUE(session.WaitFor(kPasswordPrompt));
    // One byte too many would be cut by the server's dialogue: refused, asked again.
    session.Send(longest + "x\n");
    ASSERT_TRUE(session.WaitFor("Password is too long; at most 99 bytes are allowed.\r\n"));
    ASSERT_TRUE(session.WaitFor(kPasswordPrompt));
    session.Send(longest + "\n");
    ASSERT_TRUE(session.WaitFor(kRepeatPrompt));
    session.Send(longest + "\n");
    RunResult r = session.Wait();

    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_EQ(r.out.find("alpha7"), std::string::npos) << "password echoed";
    EXPECT_EQ(r.out.find(longest), std::string::npos) << "password echoed";
    ASSERT_EQ(inst.Runs(), 11);
    EXPECT_EQ(inst.Record(5, "stdin"), "ALTER USER \"admin\" WITH PASSWORD E'" + longest + "';\n\n");
}

TEST(GuardinitPasswordTest, EndOfInputWithoutTerminalStopsInsteadOfAskingForEver) {
    for (std::string input : {"", "secret\n", "\n\n"}) {
        SCOPED_TRACE(input);
        Installation inst;
        RunResult r = inst.RunDetached(inst.Options({"-D", inst.data(), "-U", "admin"}), input);
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.out, "Press Ctrl+C to exit\n");
        EXPECT_TRUE(r.err.ends_with("guardinit: could not read password: end of input\n")) << r.err;
        EXPECT_EQ(inst.Runs(), 0);
    }
    // Input that cannot be read (opened for writing only, as nohup leaves it) stops
    // it as well; the time limit only bounds a run that would ask for ever.
    Installation inst;
    RunOptions o = inst.Options({});
    o.argv = {"/bin/sh", "-c", "exec \"$0\" -D \"$1\" -U admin 0>/dev/null", inst.guardinit(), inst.data()};
    o.timeout = std::chrono::seconds(10);
    RunResult r = inst.RunDetached(o);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(r.err == kPasswordPrompt + "\nguardinit: could not read password: read error\n") << r.err.substr(0, 300);
}

TEST(GuardinitPasswordTest, PasswordFromStandardInputWithoutTerminal) {
    Installation inst;
    RunResult r = inst.RunDetached(inst.Options({"-D", inst.data(), "-U", "admin"}), "pw\npw\n");
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err, kPasswordPrompt + "\n" + kRepeatPrompt + "\n");
    ASSERT_EQ(inst.Runs(), 11);
    EXPECT_EQ(inst.Record(5, "stdin"), "ALTER USER \"admin\" WITH PASSWORD E'pw';\n\n");
}

// A whole run, password dialogue and eleven server runs, is clean under valgrind
// memcheck (the stand-in server is not traced).
TEST(GuardinitRunTest, FullRunIsCleanUnderMemcheck) {
    Installation inst;
    RunOptions o = inst.Options({"-D", inst.data(), "-U", "admin"});
    o.argv.insert(o.argv.begin(), {"/usr/bin/valgrind", "--quiet", "--error-exitcode=99", "--leak-check=full",
                                   "--errors-for-leak-kinds=definite", "--show-leak-kinds=definite",
                                   "--suppressions=" VALGRIND_SUPPRESSIONS});
    RunResult r = inst.RunDetached(o, "pw\npw\n");
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err, kPasswordPrompt + "\n" + kRepeatPrompt + "\n");
    EXPECT_EQ(inst.Runs(), 11);
}

// Typed at the terminal or read from standard input, the password is left
// nowhere in guardinit's memory when it ends: gdb stops it at exit_group and
// writes its memory image, which is searched.
TEST(GuardinitPasswordTest, PasswordIsNotLeftInMemoryAtExit) {
    if (access("/usr/bin/gdb", X_OK) != 0) GTEST_SKIP() << "gdb is not installed";
    const std::string password = "Typed-Pw-6841";
    for (bool terminal : {false, true}) {
        SCOPED_TRACE(terminal ? "terminal" : "standard input");
        Installation inst;
        const std::string image = inst.MakeDir("image") + "/core";
        RunOptions o = inst.Options({"-D", inst.data(), "-U", "admin"});
        o.argv.insert(o.argv.begin(), {"/usr/bin/gdb", "-batch", "-nx", "-q", "-ex", "set startup-with-shell off",
                                       "-ex", "catch syscall exit_group", "-ex", "run", "-ex", "gcore " + image,
                                       "-ex", "kill", "--args"});
        if (terminal) {
            PtySession session(o);
            TypePassword(session, password);
        } else {
            inst.RunDetached(o, password + "\n" + password + "\n");
        }
        EXPECT_EQ(inst.Runs(), 11);
        EXPECT_EQ(testsupport::ReadFileOrDie(image).find(password), std::string::npos);
    }
}

// Started with its standard descriptors closed, guardinit still finds the
// server program by its version, and the server runs get the null device
// where the caller left nothing, not a pipe or file opened in the meantime.
TEST(GuardinitRunTest, ClosedStandardDescriptorsAreTakenByTheNullDevice) {
    Installation inst;
    RunOptions o = inst.Options({});
    // Descriptor 3 keeps the terminal open for the session (it would hang up).
    o.argv = {"/bin/sh", "-c", "exec \"$0\" -D \"$1\" -U admin 3<&0 <&- >&- 2>&-", inst.guardinit(), inst.data()};
    PtySession session(o);
    RunResult r = TypePassword(session, "pw");
    EXPECT_EQ(r.exit_code, 0) << session.transcript();
    ASSERT_EQ(inst.Runs(), 11);
    EXPECT_EQ(inst.Record(1, "stdout"), "/dev/null");
}

const char kHelp[] =
    "guardinit initializes a PostgreSQL protection mechanism.\n"
    "\n"
    "Usage:\n"
    "  guardinit [OPTION]... [DATADIR]\n"
    "\n"
    "Options:\n"
    " [-D, --pgdata=]DATADIR     location for this database cluster\n"
    "  -U, --username=NAME       security administrator name\n"
    "\n"
    "If the data directory is not specified, the environment variable PGDATA\n"
    "is used.\n"
    "\n"
    "If there would be found any data modifications in security catalogs - program will be "
    "terminated with error.\n"
    "\n"
    "Report bugs to <support@dover-or-04.ru>.\n";

TEST(GuardinitCommandLineTest, HelpAndVersionOnlyAsFirstArgument) {
    Installation inst;
    for (const char* help : {"--help", "-?"}) {
        RunResult r = inst.RunDetached(inst.Options({help, "-U", "x"}));
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(r.out, kHelp);
        EXPECT_EQ(r.err, "");
    }
    for (const char* version : {"--version", "-V"}) {
        RunResult r = inst.RunDetached(inst.Options({version}));
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(r.out, "guardinit (PostgreSQL) 11.14\n");
    }
    for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
             {"-U", "x", "--help"}, {"-D", "d", "--version"}, {"-U", "x", "-V"}, {"--bogus"}}) {
        RunResult r = inst.RunDetached(inst.Options(args));
        EXPECT_EQ(r.exit_code, 1) << args.back();
        EXPECT_EQ(r.out, "");
        EXPECT_TRUE(r.err.ends_with("Try \"guardinit --help\" for more information.\n")) << r.err;
    }
    EXPECT_EQ(inst.Runs(), 0);
}

TEST(GuardinitCommandLineTest, NoDataDirectoryIsRefusedBeforeAnything) {
    Installation inst;
    for (std::vector<std::string> args :
         std::vector<std::vector<std::string>>{{"-U", "admin"}, {"-D", "", "-U", "admin"}}) {
        RunResult r = inst.RunDetached(inst.Options(args));
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err,
                  "guardinit: no data directory specified\n"
                  "You must identify the directory where the data for this database system\n"
                  "will reside.  Do this with either the invocation option -D or the\n"
                  "environment variable PGDATA.\n");
    }
    EXPECT_EQ(inst.Runs(), 0);
}

TEST(GuardinitCommandLineTest, DataDirectoryFromOptionArgumentOrEnvironment) {
    Installation inst;
    struct Case {
        std::vector<std::string> args;
        std::string pgdata_env;  // empty: unset
        std::string expected;
    };
    const std::vector<Case> cases = {
        {{"-D", "/srv/opt"}, "/srv/env", "/srv/opt"},
        {{"--pgdata=/srv/long"}, "/srv/env", "/srv/long"},
        {{"/srv/arg"}, "/srv/env", "/srv/arg"},
        {{}, "/srv/env", "/srv/env"},
        {{"-D", ""}, "/srv/env", "/srv/env"},
        {{"-D", "/srv//a/./b/../c/"}, "", "/srv/a/c"},
        {{"rel/dir"}, "", "rel/dir"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected);
        // An empty administrator name stops the program right after the server
        // program's version check, which sees the exported PGDATA.
        RunOptions o = inst.Options(c.args);
        o.argv.insert(o.argv.end(), {"-U", ""});
        if (!c.pgdata_env.empty()) o.env["PGDATA"] = c.pgdata_env;
        RunResult r = inst.RunDetached(o);
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_TRUE(r.err.starts_with("guardinit: no security administrator name specified\n"))
            << r.err;
        EXPECT_EQ(inst.VersionRunPgdata(), c.expected);
    }
}

TEST(GuardinitCommandLineTest, TooManyArguments) {
    Installation inst;
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"-D", "/a", "/b", "-U", "x"}, "/b"},
        {{"/a", "/b", "/c"}, "/b"},
        {{"-D", "", "/b"}, "/b"},
    };
    for (const auto& [args, first] : cases) {
        RunResult r = inst.RunDetached(inst.Options(args));
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.err, "guardinit: too many command-line arguments (first is \"" + first +
                             "\")\nTry \"guardinit --help\" for more information.\n");
    }
}

TEST(GuardinitCommandLineTest, AdministratorNameIsCheckedBeforeAnyPrompt) {
    Installation inst;
    auto refuse = [&](std::vector<std::string> name_args) {
        RunOptions o = inst.Options({"-D", inst.data()});
        o.argv.insert(o.argv.end(), name_args.begin(), name_args.end());
        RunResult r = inst.RunDetached(o, "secret\nsecret\n");
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.out, "") << "prompted";
        return r.err;
    };
    const std::string missing =
        "guardinit: no security administrator name specified\n"
        "You must provide the username of the first security administrator.\n"
        "Do this with the invocation option -U.\n";
    EXPECT_EQ(refuse({}), missing);
    EXPECT_EQ(refuse({"-U", ""}), missing);
    EXPECT_EQ(refuse({"--username=pg_admin"}),
              "guardinit: name \"pg_admin\" is disallowed; role names cannot begin with \"pg_\"\n");
    const std::vector<std::string> odd_names = {"Admin", "sec admin", "o'neil", "a\"b",
                                                "a\\b", "1st", std::string(64, 'a')};
    for (const std::string& name : odd_names) {
        EXPECT_EQ(refuse({"-U", name}),
                  "guardinit: name \"" + name +
                      "\" is disallowed; a security administrator name must be a lower-case "
                      "letter or underscore followed by lower-case letters, digits or "
                      "underscores, at most 63 bytes\n");
    }
    for (std::string name : {"public", "user", "select"}) {
        EXPECT_EQ(refuse({"-U", name}),
                  "guardinit: name \"" + name + "\" is disallowed; it is a reserved word\n");
    }
    EXPECT_EQ(inst.Runs(), 0);
}

TEST(GuardinitServerProgramTest, OtherVersionIsRefused) {
    Installation inst;
    for (std::string line : {"postgres (ZurezovEVA VO) 4.6.0 (11.14)", "postgres (PostgreSQL) 11.14\n",
                             "postgres (ZurezovEVA VO) 4.6.0 (11.15)\n",
                             "postgres (ZurezovEVA VO) 4.6.0 (11.14) \n"}) {
        SCOPED_TRACE(line);
        RunOptions o = inst.Options({"-D", inst.data(), "-U", "admin"});
        o.env["FAKE_PG_VERSION_LINE"] = line;
        RunResult r = inst.RunDetached(o);
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "The program \"postgres\" was found by \"" + inst.guardinit() +
                             "\"\nbut was not the same version as guardinit.\n"
                             "Check your installation.\n");
    }
    EXPECT_EQ(inst.Runs(), 0);
}

TEST(GuardinitServerProgramTest, MissingOrNotExecutableServerIsRefused) {
    const auto expected = [](const Installation& inst) {
        return "The program \"postgres\" is needed by guardinit but was not found in the\n"
               "same directory as \"" + inst.guardinit() + "\".\nCheck your installation.\n";
    };
    {
        Installation inst(/*with_postgres=*/false);
        RunResult r = inst.RunDetached(inst.Options({"-D", inst.data(), "-U", "admin"}));
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.err, expected(inst));
    }
    {
        Installation inst;
        ASSERT_EQ(chmod(inst.postgres().c_str(), 0644), 0);
        RunResult r = inst.RunDetached(inst.Options({"-D", inst.data(), "-U", "admin"}));
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.err, expected(inst));
    }
}

// The server program is looked up beside guardinit's real file, not beside a link
// to it.
TEST(GuardinitServerProgramTest, FoundBesideTheResolvedExecutable) {
    Installation inst;
    const std::string elsewhere = inst.MakeDir("elsewhere");
    std::filesystem::create_symlink(inst.guardinit(), elsewhere + "/guardinit");
    RunOptions o = inst.Options({"-D", inst.data(), "-U", "admin"});
    o.argv[0] = elsewhere + "/guardinit";
    RunResult r = inst.RunDetached(o, "pw\npw\n");
    EXPECT_EQ(r.exit_code, 0) << r.err;
    ASSERT_EQ(inst.Runs(), 11);
    EXPECT_EQ(inst.Args(1).front(), inst.postgres());
}

}  // namespace
