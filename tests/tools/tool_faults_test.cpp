// The credential tools from the staged install tree under hostile conditions:
// interrupted and failing writes (through a preloaded fault injector), a full
// disk, files that are no files, input the stores cannot keep, unwritable
// output and a plug-in reporting absurd sizes. /etc/postgres is a scratch
// directory bound over the fixed path.

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using testsupport::RunResult;

const std::string R = "\33[0m";
const std::string kTable = "enc_utils_auth_settings.cfg";
const std::string kSettings = "enc_connection_settings.cfg";
const std::string kEmptyTable =
    "|      host |      port |  database |  username |\n"
    "|-----------------------------------------------|\n";

// Answers of a whole credwizard dialogue with one endpoint; `login` and
// `secret` as given.
std::string WizardInput(const std::string& login = "alice", const std::string& secret = "pw-alice") {
    return "1\ncluster-1\n10.0.0.1\n8200\n1\n" + login + "\n" + secret + "\n" + secret + "\nno\n";
}

// Exit status of credwizard when the input ends before the dialogue does
// (ERR_EXCEPTION, -16).
constexpr int kWizardInputEnded = 256 - 16;

gid_t PostgresGroup() {
    struct group* g = getgrnam("postgres");
    return g ? g->gr_gid : 0;
}

struct stat StatOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st;
}

class ToolFaults : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "needs root for the mount namespace and other users";
    }

    testsupport::ScratchDir scratch_;
    std::string etc_ = scratch_.MakeDir("etc");

    std::string In(const std::string& name) const { return etc_ + "/" + name; }

    testsupport::RunOptions Options(const std::string& program, std::vector<std::string> args,
                                    std::optional<std::string> input = std::nullopt) const {
        testsupport::RunOptions o;
        o.argv = {testsupport::StagedProgram(program)};
        o.argv.insert(o.argv.end(), args.begin(), args.end());
        o.stdin_data = std::move(input);
        o.binds = {{etc_, "/etc/postgres"}};
        o.unset_env = {"PG_PLUGINS_PATH", "LD_PRELOAD"};
        o.env = {{"TERM", "dumb"}, {"INPUTRC", "/dev/null"}};
        o.umask_value = 022;
        // A hang (an open that blocks for ever) fails the test instead of the run.
        o.timeout = std::chrono::seconds(30);
        return o;
    }

    // The same run with the fault injector preloaded.
    static testsupport::RunOptions WithFault(testsupport::RunOptions o, const std::string& action,
                                             const std::string& match, const std::string& log = "") {
        o.env["LD_PRELOAD"] = FAULT_PRELOAD;
        o.env["FAULT_ACTION"] = action;
        o.env["FAULT_MATCH"] = match;
        if (!log.empty()) o.env["FAULT_LOG"] = log;
        return o;
    }

    RunResult AddRecord(const std::string& host, const std::string& password = "pw") const {
        return testsupport::Run(Options("credtab", {"add", "-s", "-h", host, "-p", "5432", "-d", "db", "-U", "u"},
                                        password + "\n"));
    }

    // Temporary files of `name` left in /etc/postgres.
    std::vector<std::string> Temporaries(const std::string& name) const {
        std::vector<std::string> found;
        for (const auto& e : fs::directory_iterator(etc_)) {
            std::string entry = e.path().filename();
            if (entry.rfind("." + name + ".", 0) == 0) found.push_back(e.path());
        }
        return found;
    }
};

// New secret files are 0660 with the directory's group whatever the umask; a
// replaced file keeps its mode; the umask of the program is never the reason.
TEST_F(ToolFaults, NewSecretFilesAreForOwnerAndDirectoryGroupOnly) {
    const gid_t group = PostgresGroup();
    ASSERT_NE(group, 0u) << "no postgres group";
    ASSERT_EQ(chown(etc_.c_str(), 0, group), 0);
    for (unsigned mask : {022u, 077u, 0u}) {
        fs::remove(In(kTable));
        fs::remove(In(kSettings));
        testsupport::RunOptions add =
            Options("credtab", {"add", "-s", "-h", "h", "-p", "5432", "-d", "db", "-U", "u"}, "pw\n");
        add.umask_value = mask;
        RunResult r = testsupport::Run(add);
        ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
        testsupport::RunOptions wizard = Options("credwizard", {}, WizardInput());
        wizard.umask_value = mask;
        r = testsupport::Run(wizard);
        ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
        for (const std::string& name : {kTable, kSettings}) {
            struct stat st = StatOf(In(name));
            EXPECT_EQ(st.st_mode & 07777, 0660u) << name << " umask " << std::oct << mask;
            EXPECT_EQ(st.st_gid, group) << name;
        }
    }
    ASSERT_EQ(chmod(In(kTable).c_str(), 0600), 0);
    ASSERT_EQ(AddRecord("h2").exit_code, 0);
    EXPECT_EQ(StatOf(In(kTable)).st_mode & 07777, 0600u);
}

// A writer killed with its temporary file written leaves it readable by its
// owner only (killed before the rename, with the final mode); the next write
// of the same file removes it. The order of flush and rename is recorded.
TEST_F(ToolFaults, KilledWriterLeavesNoReadableTemporaryAndTheNextRunRemovesIt) {
    struct Case {
        const char* action;
        mode_t leftover_mode;
    };
    for (const Case c : {Case{"kill-at-fsync", 0600}, Case{"kill-at-rename", 0660}}) {
        for (const std::string& name : {kSettings, kTable}) {
            const bool wizard = name == kSettings;
            auto options = [&] {
                return wizard ? Options("credwizard", {}, WizardInput())
                              : Options("credtab", {"add", "-s", "-h", "h", "-p", "1", "-d", "d", "-U", "u"},
                                        "secret\n");
            };
            RunResult killed = testsupport::Run(WithFault(options(), c.action, name));
            EXPECT_EQ(killed.term_signal, SIGKILL) << c.action << " " << name << killed.out;
            std::vector<std::string> left = Temporaries(name);
            ASSERT_EQ(left.size(), 1u) << c.action << " " << name;
            EXPECT_EQ(StatOf(left[0]).st_mode & 07777, c.leftover_mode) << c.action << " " << name;

            RunResult next = testsupport::Run(options());
            EXPECT_EQ(next.exit_code, 0) << next.out << next.err;
            EXPECT_TRUE(Temporaries(name).empty()) << c.action << " " << name;
        }
    }

    // The temporary file is flushed before it is renamed over the table.
    const std::string log = scratch_ / "order.log";
    ASSERT_EQ(testsupport::Run(WithFault(Options("credtab", {"add", "-s", "-h", "o", "-p", "2", "-d", "d", "-U", "u"},
                                                 "pw\n"),
                                         "record", kTable, log))
                  .exit_code,
              0);
    const std::string order = testsupport::ReadFileOrDie(log);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(order, m, std::regex("^fsync (/etc/postgres/\\." + kTable +
                                                       "\\.[A-Za-z0-9]{6})\nrename (\\S+) /etc/postgres/" + kTable +
                                                       "\n")))
        << order;
    EXPECT_EQ(m[1], m[2]);
}

// A failed flush of the new table is a failed save, and the old table stays.
TEST_F(ToolFaults, FailedFlushKeepsTheOldTable) {
    ASSERT_EQ(AddRecord("old").exit_code, 0);
    const std::string before = testsupport::ReadFileOrDie(In(kTable));
    RunResult r = testsupport::Run(WithFault(
        Options("credtab", {"add", "-s", "-h", "new", "-p", "1", "-d", "d", "-U", "u"}, "pw\n"), "fsync-eio", kTable));
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.out.find(R + "cannot save auth record (failed to write file)\n"), std::string::npos) << r.out;
    EXPECT_EQ(testsupport::ReadFileOrDie(In(kTable)), before);
    EXPECT_TRUE(Temporaries(kTable).empty());
}

// The table root:postgres 0660 in a root-owned /etc/postgres, edited as
// postgres: no temporary file can be made, so the table is rewritten in place.
// A full disk fails before a byte changes; a kill during the write does not
// pass for an empty table.
TEST_F(ToolFaults, InPlaceRewriteNeverLosesTheTableSilently) {
    const gid_t group = PostgresGroup();
    ASSERT_NE(group, 0u) << "no postgres group";
    // A tiny file system of our own, visible to the runs started from here.
    ASSERT_EQ(unshare(CLONE_NEWNS), 0);
    ASSERT_EQ(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
    ASSERT_EQ(mount("tmpfs", etc_.c_str(), "tmpfs", 0, "size=64k,mode=0755"), 0);
    ASSERT_EQ(chown(etc_.c_str(), 0, group), 0);
    for (const char* host : {"a", "b", "c"}) ASSERT_EQ(AddRecord(host).exit_code, 0);
    const std::string before = testsupport::ReadFileOrDie(In(kTable));
    ASSERT_EQ(StatOf(In(kTable)).st_gid, group);

    auto asPostgres = [&](const std::string& host) {
        testsupport::RunOptions o =
            Options("credtab", {"add", "-s", "-h", host, "-p", "5432", "-d", "db", "-U", "u"}, "pw\n");
        o.run_as_uid = getpwnam("postgres")->pw_uid;
        return o;
    };

    // Fill the file system, then add a record that needs another page.
    {
        std::ofstream filler(In("filler"), std::ios::binary);
        const std::string block(4096, '\0');
        while (filler.write(block.data(), block.size())) {
        }
    }
    RunResult full = testsupport::Run(asPostgres(std::string(5000, 'h')));
    EXPECT_EQ(full.exit_code, 1) << full.out << full.err;
    EXPECT_NE(full.out.find(R + "cannot save auth record (failed to write file)\n"), std::string::npos) << full.out;
    EXPECT_EQ(testsupport::ReadFileOrDie(In(kTable)), before);
    fs::remove(In("filler"));

    // The same save succeeds with room, in place (the table keeps its owner).
    RunResult roomy = testsupport::Run(asPostgres("d"));
    EXPECT_EQ(roomy.exit_code, 0) << roomy.out << roomy.err;
    EXPECT_EQ(StatOf(In(kTable)).st_uid, 0u);
    RunResult shown = testsupport::Run(Options("credtab", {"show", "-h", "d"}));
    EXPECT_EQ(shown.out, kEmptyTable + "|         d |      5432 |        db |         u |\n");

    // Killed as the new content is about to be written: the table must not be
    // found empty (it was truncated first), which would show no records at all.
    RunResult killed = testsupport::Run(WithFault(asPostgres("e"), "kill-at-write", kTable));
    EXPECT_EQ(killed.term_signal, SIGKILL) << killed.out;
    EXPECT_GT(StatOf(In(kTable)).st_size, 0);
    RunResult after = testsupport::Run(Options("credtab", {"show"}));
    EXPECT_FALSE(after.exit_code == 0 && after.out == kEmptyTable) << "records silently gone";
    ASSERT_EQ(umount2(etc_.c_str(), MNT_DETACH), 0);
}

// Text the JSON store would keep other than given (not UTF-8) and a zero byte
// (which ends a C string) are refused before anything is written.
TEST_F(ToolFaults, TextTheStoreCannotKeepIsRefused) {
    ASSERT_EQ(AddRecord("kept").exit_code, 0);
    ASSERT_EQ(testsupport::Run(Options("credwizard", {}, WizardInput())).exit_code, 0);
    const std::string table = testsupport::ReadFileOrDie(In(kTable));
    const std::string settings = testsupport::ReadFileOrDie(In(kSettings));
    const std::string nul("a\0b", 3);
    struct Case {
        std::string program;
        std::vector<std::string> args;
        std::string input;
        std::string message;
        int status;
    };
    const std::vector<Case> cases = {
        {"credtab", {"add", "-s", "-h", "h\xff", "-p", "1", "-d", "d", "-U", "u"}, "pw\n",
         R + "invalid host value (should be valid UTF-8 text)\n", 1},
        {"credtab", {"add", "-s", "-h", "h", "-p", "1", "-d", "d", "-U", "u"}, "p\xe9\n",
         R + "invalid password (should be valid UTF-8 text without zero bytes)\n", 1},
        {"credtab", {"add", "-s", "-h", "h", "-p", "1", "-d", "d", "-U", "u"}, nul + "\n",
         R + "invalid password (should be valid UTF-8 text without zero bytes)\n", 1},
        {"pwseal", {"enc", "-W", "p\xc0\xaf"}, "",
         R + "invalid password (should be valid UTF-8 text without zero bytes)\n", 1},
        {"pwseal", {"enc", "-s"}, nul + "\n",
         R + "invalid password (should be valid UTF-8 text without zero bytes)\n", 1},
        // The wizard asks again; the input then ends and nothing is written.
        {"credwizard", {}, "1\ncluster-1\n10.0.0.1\n8200\n1\nal\xffice\n", "line should be valid UTF-8 text",
         kWizardInputEnded},
        {"credwizard", {}, "1\ncluster-1\n10.0.0.1\n8200\n1\nalice\n" + nul + "\n",
         "password should be valid UTF-8 text without zero bytes", kWizardInputEnded},
    };
    for (const Case& c : cases) {
        RunResult r = testsupport::Run(Options(c.program, c.args, c.input));
        const std::string what = c.program + " " + testing::PrintToString(c.args) + testing::PrintToString(c.input);
        EXPECT_EQ(r.exit_code, c.status) << what << r.out << r.err;
        EXPECT_NE(r.out.find(c.message), std::string::npos) << what << testing::PrintToString(r.out);
        EXPECT_EQ(r.out.find("$enc$"), std::string::npos) << what;
    }
    EXPECT_EQ(testsupport::ReadFileOrDie(In(kTable)), table);
    EXPECT_EQ(testsupport::ReadFileOrDie(In(kSettings)), settings);
}

// A FIFO or a link to a device where a secret file belongs is refused at once.
TEST_F(ToolFaults, PathThatIsNoRegularFileIsRefused) {
    for (const std::string kind : {"fifo", "devnull"}) {
        for (const std::string& name : {kTable, kSettings}) {
            fs::remove(In(name));
            if (kind == "fifo")
                ASSERT_EQ(mkfifo(In(name).c_str(), 0660), 0);
            else
                fs::create_symlink("/dev/null", In(name));
        }
        for (const std::vector<std::string>& args :
             {std::vector<std::string>{"show"}, {"add", "-s", "-h", "h", "-p", "1", "-d", "d", "-U", "u"}}) {
            RunResult r = testsupport::Run(Options("credtab", args, "pw\n"));
            EXPECT_EQ(r.exit_code, 1) << kind << " " << args[0];
            EXPECT_NE(r.out.find(R + "cannot load credtab (failed to open file)\n"), std::string::npos)
                << kind << " " << testing::PrintToString(r.out);
        }
        RunResult wizard = testsupport::Run(Options("credwizard", {}, WizardInput()));
        EXPECT_EQ(wizard.exit_code, 256 - 26) << kind << wizard.out;
        EXPECT_NE(wizard.out.find("Error: failed to open file"), std::string::npos) << wizard.out;
        EXPECT_EQ(fs::is_fifo(In(kTable)), kind == "fifo");
        EXPECT_EQ(fs::is_symlink(In(kSettings)), kind == "devnull");
    }
}

// pwseal and keyforge print their result: output that cannot be written is a
// failure, not a success with nothing written.
TEST_F(ToolFaults, UnwritableStandardOutputIsAFailure) {
    struct Case {
        std::string program;
        std::vector<std::string> args;
        int status;
    };
    for (const std::string redirect : {">/dev/full", ">&-"}) {
        for (const Case& c : {Case{"pwseal", {"enc", "-W", "pw"}, 1}, Case{"keyforge", {}, 256 - 36}}) {
            testsupport::RunOptions o = Options(c.program, c.args);
            o.argv.insert(o.argv.begin(), {"/bin/sh", "-c", "exec \"$0\" \"$@\" " + redirect});
            RunResult r = testsupport::Run(o);
            EXPECT_EQ(r.exit_code, c.status) << c.program << " " << redirect << r.err;
            EXPECT_NE(r.err.find(c.program + ": could not write to standard output"), std::string::npos) << r.err;
        }
    }
}

// Programs holding typed secrets run without core dumps: the limit and the
// dumpable flag are read while each waits for its input.
TEST_F(ToolFaults, CoreDumpsAreOffWhileSecretsAreTyped) {
    const std::vector<std::pair<std::string, std::vector<std::string>>> programs = {
        {"credtab", {"add", "-s", "-h", "h", "-p", "1", "-d", "d", "-U", "u"}},
        {"pwseal", {"enc", "-s"}},
        {"credwizard", {}},
    };
    for (const auto& [program, args] : programs) {
        const std::string log = scratch_ / (program + ".limits");
        testsupport::RunOptions o = WithFault(Options(program, args, ""), "limits", "", log);
        // Started with core dumps allowed, whatever the test runner's limit.
        o.argv.insert(o.argv.begin(), {"/bin/sh", "-c", "ulimit -c unlimited && exec \"$0\" \"$@\""});
        testsupport::Run(o);
        const std::string text = testsupport::ReadFileOrDie(log);
        EXPECT_TRUE(std::regex_search(text, std::regex("^Max core file size +0 ")))
            << program << ": " << text;
        EXPECT_NE(text.find("dumpable 0\n"), std::string::npos) << program << ": " << text;
    }
}

// A plug-in reporting a size no cipher has makes the tools fail with a code,
// not abort on an assertion or overflow the length arithmetic.
TEST_F(ToolFaults, AbsurdPluginSizesFailWithACode) {
    const std::string plugins = scratch_.MakeDir("plugins");
    fs::copy_file(SIZES_PLUGIN, plugins + "/libcipherbox.so");
    struct Case {
        const char* variable;
        const char* value;
    };
    for (const Case c : {Case{"FAKE_KEY_SIZE", "0"}, Case{"FAKE_IV_SIZE", "0"}, Case{"FAKE_BLOCK_SIZE", "2147483647"},
                         Case{"FAKE_KEY_SIZE", "-8"}}) {
        const std::string what = std::string(c.variable) + "=" + c.value;
        testsupport::RunOptions keyforge = Options("keyforge", {});
        keyforge.env["PG_PLUGINS_PATH"] = plugins;
        keyforge.env[c.variable] = c.value;
        RunResult k = testsupport::Run(keyforge);
        EXPECT_EQ(k.term_signal, 0) << what << k.err;
        if (std::string(c.variable) == "FAKE_KEY_SIZE") {
            EXPECT_EQ(k.exit_code, 256 - 45) << what << k.out << k.err;
            EXPECT_EQ(k.out, "\33[31mCould not get size of encryption key. Error: -45 (size mismatch)" + R + "\n");
        } else {
            EXPECT_EQ(k.exit_code, 0) << what << k.out;  // keyforge needs only the key size
        }

        testsupport::RunOptions pwseal = Options("pwseal", {"enc", "-W", "password"});
        pwseal.env["PG_PLUGINS_PATH"] = plugins;
        pwseal.env[c.variable] = c.value;
        RunResult p = testsupport::Run(pwseal);
        EXPECT_EQ(p.term_signal, 0) << what << p.err;
        EXPECT_EQ(p.exit_code, 1) << what << p.out << p.err;
        EXPECT_EQ(p.out, R + "Error by password encryption (size mismatch)\n") << what;
    }
}

}  // namespace
