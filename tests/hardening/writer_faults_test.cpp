// Every writer of a file, on a full file system and on a read-only one: the
// run reports the failure and the file it would have replaced keeps its old
// content. The directory under test is a small tmpfs of this test's own mount
// namespace, bound over /etc/postgres (credential files, parameter file) or
// used as snaprover's label directory (history files).

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using testsupport::ReadFileOrDie;
using testsupport::RunResult;

struct Writer {
    std::string name;
    std::string file;  // the file that is replaced, relative to the tmpfs
    // Brings the file to its old state (run with room to spare).
    std::function<void(const std::string& dir)> prepare;
    // The write that meets the full or read-only file system.
    std::function<RunResult(const std::string& dir)> write;
    // What the failing run prints (on either stream), a regular expression.
    std::string failure_text;
};

testsupport::RunOptions Program(const std::string& program, std::vector<std::string> args, const std::string& etc,
                                std::optional<std::string> input = std::nullopt) {
    testsupport::RunOptions o;
    o.argv = {testsupport::StagedProgram(program)};
    o.argv.insert(o.argv.end(), args.begin(), args.end());
    o.stdin_data = std::move(input);
    o.binds = {{etc, "/etc/postgres"}};
    o.unset_env = {"PG_PLUGINS_PATH", "LD_PRELOAD", "PGPASSWORD"};
    o.env = {{"TERM", "dumb"}, {"INPUTRC", "/dev/null"}};
    o.timeout = std::chrono::seconds(60);
    return o;
}

std::string Wizard(const std::string& login) {
    return "1\ncluster-1\n10.0.0.1\n8200\n1\n" + login + "\npw-" + login + "\npw-" + login + "\nno\n";
}

RunResult Snap(const std::string& action, const std::string& label, const std::string& etc) {
    testsupport::RunOptions o = Program(
        "snaprover", {action, "-B", label, "--host", "127.0.0.1", "-p", "1", "-d", "db", "-U", "u", "--session-id", "S2"},
        etc);
    return testsupport::Run(o);
}

void FillUp(const std::string& dir) {
    std::ofstream filler(dir + "/filler", std::ios::binary);
    const std::string block(4096, 'x');
    while (filler.write(block.data(), block.size())) {
    }
    // Leave no half page either.
    std::ofstream last(dir + "/filler2", std::ios::binary);
    while (last.put('x')) {
    }
}

TEST(WriterFaults, FullOrReadOnlyFileSystemKeepsTheOldFile) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for mounts";
    testsupport::ScratchDir scratch;
    const std::string dir = scratch.MakeDir("fs");
    const std::string other = scratch.MakeDir("etc");  // /etc/postgres of the snaprover runs
    ASSERT_EQ(unshare(CLONE_NEWNS), 0);
    ASSERT_EQ(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);

    const std::string wal_history = "[{\"state\": \"started\", \"session_id\": \"S2\", \"start_time\": "
                                    "\"2026-01-10 00:00:00\"}]";
    const std::vector<Writer> writers = {
        {"credtab add", "enc_utils_auth_settings.cfg",
         [](const std::string& d) {
             testsupport::Run(Program("credtab", {"add", "-s", "-h", "old", "-p", "1", "-d", "d", "-U", "u"}, d, "pw\n"));
         },
         [](const std::string& d) {
             return testsupport::Run(Program(
                 "credtab", {"add", "-s", "-h", std::string(3000, 'n'), "-p", "1", "-d", "d", "-U", "u"}, d, "pw\n"));
         },
         "cannot save auth record"},
        {"credwizard", "enc_connection_settings.cfg",
         [](const std::string& d) { testsupport::Run(Program("credwizard", {}, d, Wizard("old"))); },
         [](const std::string& d) { return testsupport::Run(Program("credwizard", {}, d, Wizard(std::string(3000, 'n')))); },
         "Error: failed to "},
        {"paramseal", "kms_static_params.cfg",
         [](const std::string& d) {
             testsupport::WriteFileOrDie(d + "/kms_static_params.cfg", "master_key = " + std::string(2000, 'k') + "\n");
         },
         [](const std::string& d) { return testsupport::Run(Program("paramseal", {}, d)); }, "Could not"},
        {"snaprover wal history", "wal_backup_state",
         [&](const std::string& d) { testsupport::WriteFileOrDie(d + "/wal_backup_state", wal_history); },
         [&](const std::string& d) { return Snap("wal-backup-ok", d, other); },
         // The log file in the label directory cannot even be opened read-only.
         " - ERROR - could not write state|cannot open log file .*Read-only file system"},
    };

    for (const Writer& w : writers) {
        for (const bool read_only : {false, true}) {
            const std::string what = w.name + (read_only ? " on a read-only file system" : " on a full file system");
            ASSERT_EQ(mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=64k,mode=0755"), 0);
            w.prepare(dir);
            ASSERT_TRUE(fs::exists(dir + "/" + w.file)) << what;
            const std::string before = ReadFileOrDie(dir + "/" + w.file);
            if (read_only) {
                ASSERT_EQ(mount(nullptr, dir.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
            } else {
                FillUp(dir);
            }
            const RunResult r = w.write(dir);
            EXPECT_EQ(r.term_signal, 0) << what;
            EXPECT_TRUE(std::regex_search(r.out + r.err, std::regex(w.failure_text))) << what << "\n" << r.out << r.err;
            EXPECT_EQ(ReadFileOrDie(dir + "/" + w.file), before) << what;
            std::error_code ignored;
            for (const auto& e : fs::directory_iterator(dir, ignored)) {
                const std::string name = e.path().filename();
                EXPECT_FALSE(name.rfind("." + w.file, 0) == 0) << what << ": temporary file left: " << name;
            }
            ASSERT_EQ(umount2(dir.c_str(), MNT_DETACH), 0);
        }
    }
}

}  // namespace
