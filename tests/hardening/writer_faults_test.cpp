// Every writer of a file, on a full file system and on a read-only one: the
// run reports the failure and the file it would have replaced keeps its old
// content. The directory under test is a small tmpfs of this test's own mount
// namespace, bound over /etc/postgres (credential files, parameter file) or
// used as snaprover's label directory (history files).

#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>

#include <chrono>

#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "pg_server.h"
#include "test_support.h"
#include "../backup/session_probe.h"

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

// snaprover's result files when the label directory fills up before the
// session writes them, or turns read-only before "stop" runs: "stop" fails
// with an error, the earlier label is kept (moved aside, or untouched when
// nothing could be moved), no label or map is presented as a result and the
// "errors" file keeps what it held. The tablespace map is made large enough
// that a label would still fit where the map does not.
TEST(WriterFaults, SnaproverResultFilesOnAFullOrReadOnlyLabelDirectory) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for mounts and the server";
    testsupport::PgServer server;
    server.CreateRole("bkp", "bkp-secret", "LOGIN SUPERUSER");
    server.CreateDatabase("bkpdb", "bkp");
    testsupport::ScratchDir scratch;
    const std::string dir = scratch.MakeDir("label");
    const std::string etc = scratch.MakeDir("etc");
    ASSERT_EQ(unshare(CLONE_NEWNS), 0);
    ASSERT_EQ(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);

    struct Case {
        std::string name;
        std::string map;  // SQL of the tablespace map the stop returns
        bool read_only;
        int free_pages;  // left on the full file system
        std::string failure_text;
    };
    const std::vector<Case> cases = {
        {"backup_label on a full file system", "''", false, 0, " - F1 - ERROR - \"backup_label\" was not created\n"},
        {"tablespace_map on a nearly full file system", "repeat('16385 /srv/tablespace\\n', 1200)", false, 2,
         " - F2 - ERROR - \"backup_label\" was not created\n"},
        {"label directory read-only at stop", "''", true, 0, "cannot open log file .*Read-only file system"},
    };
    int n = 0;
    for (const Case& c : cases) {
        const std::string session = "F" + std::to_string(++n);
        server.Sql("CREATE OR REPLACE FUNCTION public.pg_start_backup(label text, fast boolean, exclusive boolean) "
                   "RETURNS pg_lsn LANGUAGE sql AS $$ SELECT pg_backup_start(label, true) $$;\n"
                   "CREATE OR REPLACE FUNCTION public.pg_stop_backup(exclusive boolean, OUT lsn pg_lsn, "
                   "OUT labelfile text, OUT spcmapfile text) RETURNS record LANGUAGE sql AS "
                   "$$ SELECT lsn, labelfile, " + c.map + " FROM pg_backup_stop(true) $$;",
                   "bkpdb");
        auto snap = [&](const std::string& action) {
            testsupport::RunOptions o;
            o.argv = {testsupport::StagedProgram("snaprover"), action, "-B", dir, "--host", "127.0.0.1", "-p",
                      std::to_string(server.port()), "-d", "bkpdb", "-U", "bkp", "--password", "bkp-secret",
                      "--session-id", session};
            o.binds = {{etc, "/etc/postgres"}};
            o.env = {{"PGHOME", scratch.path()}};
            o.unset_env = {"PG_PLUGINS_PATH", "PGPASSWORD", "PGPASSFILE"};
            o.timeout = std::chrono::seconds(120);
            return testsupport::Run(o);
        };
        ASSERT_EQ(mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=256k,mode=0755"), 0);
        testsupport::WriteFileOrDie(dir + "/backup_label", "old label");
        testsupport::WriteFileOrDie(dir + "/errors", "old errors\n");
        ASSERT_EQ(snap("start").exit_code, 0) << c.name;
        ASSERT_EQ(snap("wait-start").exit_code, 0) << c.name;
        if (c.read_only) {
            ASSERT_EQ(mount(dir.c_str(), dir.c_str(), nullptr, MS_BIND, nullptr), 0);
            ASSERT_EQ(mount(nullptr, dir.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr), 0);
        } else {
            FillUp(dir);
            fs::resize_file(dir + "/filler", fs::file_size(dir + "/filler") - 4096 * c.free_pages);
        }
        const RunResult stop = snap("stop");
        EXPECT_EQ(stop.exit_code, 1) << c.name << "\n" << stop.out << stop.err;
        EXPECT_EQ(stop.out.find("Success!"), std::string::npos) << c.name << "\n" << stop.out;
        EXPECT_TRUE(std::regex_search(stop.out + stop.err, std::regex(c.failure_text)))
            << c.name << "\n" << stop.out << stop.err;
        EXPECT_FALSE(fs::exists(dir + "/tablespace_map")) << c.name;
        EXPECT_EQ(testsupport::ReadFileOrDie(dir + "/errors").rfind("old errors\n", 0), 0u) << c.name;
        int old_labels = 0;
        for (const auto& e : fs::directory_iterator(dir)) {
            const std::string name = e.path().filename();
            EXPECT_FALSE(name.rfind(".backup_label", 0) == 0 || name.rfind(".tablespace_map", 0) == 0)
                << c.name << ": temporary file left: " << name;
            if (name.rfind("backup_label.old_", 0) == 0) {
                ++old_labels;
                EXPECT_EQ(testsupport::ReadFileOrDie(e.path()), "old label") << c.name;
            }
        }
        if (c.read_only) {
            EXPECT_EQ(testsupport::ReadFileOrDie(dir + "/backup_label"), "old label") << c.name;
            EXPECT_EQ(old_labels, 0) << c.name;
            ASSERT_EQ(umount2(dir.c_str(), MNT_DETACH), 0);
        } else {
            EXPECT_FALSE(fs::exists(dir + "/backup_label")) << c.name;
            EXPECT_EQ(old_labels, 1) << c.name;
        }
        // A session still holding the backup (read-only case) is ended here.
        if (const pid_t held = session_probe::SessionProcess(session); held > 0) kill(held, SIGTERM);
        for (int i = 0; i < 3000 && session_probe::SessionProcess(session) > 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        ASSERT_LT(session_probe::SessionProcess(session), 0) << c.name;
        ASSERT_EQ(umount2(dir.c_str(), MNT_DETACH), 0);
    }
}

}  // namespace
