// snaprover from the staged install tree against a real PostgreSQL 15 server:
// thin pg_start_backup/pg_stop_backup functions over pg_backup_start and
// pg_backup_stop, WAL archived to a directory of the server's scratch tree, a
// recording pg_probackup under a scratch PGHOME and a Patroni stand-in.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "pg_server.h"
#include "session_probe.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using testsupport::PgServer;
using testsupport::ReadFileOrDie;
using testsupport::RunResult;
using testsupport::WriteFileOrDie;

const char* const kPgBin = "/usr/lib/postgresql/15/bin";
const char* const kUser = "bkp";
const char* const kUserPassword = "bkp-secret";

using session_probe::BackupFunctions;

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Polls `done` until it holds (a file or server state the program changes).
bool WaitUntil(const std::function<bool()>& done, std::chrono::seconds limit = std::chrono::seconds(60)) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return done();
}

int FreePort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    close(fd);
    return ntohs(addr.sin_port);
}

// Label directory, /etc/postgres stand-in and PGHOME of one test.
class SnaproverBase : public ::testing::Test {
protected:
    testsupport::ScratchDir scratch_;
    std::string etc_ = scratch_.MakeDir("etc");
    std::string pghome_ = scratch_.MakeDir("pghome/bin");
    std::string dir_ = scratch_.MakeDir("label");
    std::string port_ = "5432";
    std::string database_ = "bkpdb";
    bool with_password_ = true;

    std::string Label(const std::string& name) const { return dir_ + "/" + name; }
    std::string Log() const { return ReadFileOrDie(Label("snapwarden.log")); }
    std::string History() const { return ReadFileOrDie(Label("backup_state")); }

    testsupport::RunOptions Options(const std::string& action, const std::string& session,
                                    std::vector<std::string> extra = {}) const {
        testsupport::RunOptions o;
        o.argv = {testsupport::StagedProgram("snaprover"), action, "-B", dir_, "--host", "127.0.0.1", "-p", port_,
                  "-d", database_, "-U", kUser, "--session-id", session};
        if (with_password_) o.argv.insert(o.argv.end(), {"--password", kUserPassword});
        o.argv.insert(o.argv.end(), extra.begin(), extra.end());
        o.binds = {{etc_, "/etc/postgres"}};
        o.env = {{"PGHOME", scratch_.path() + "/pghome"}};
        o.unset_env = {"PG_PLUGINS_PATH", "PGPASSWORD", "PGPASSFILE"};
        return o;
    }
    RunResult Snap(const std::string& action, const std::string& session, std::vector<std::string> extra = {}) const {
        return testsupport::RunProgram(Options(action, session, std::move(extra)));
    }
};

class Snaprover : public SnaproverBase {
protected:
    void SetUp() override {
        // Archiving is switched on at start; the command is set once the
        // server's scratch tree (where the archive lives) exists.
        server_ = std::make_unique<PgServer>(std::vector<std::string>{"archive_mode=on"});
        port_ = std::to_string(server_->port());
        archive_ = fs::path(server_->data_dir()).parent_path().string() + "/archive";
        ASSERT_EQ(mkdir(archive_.c_str(), 0700), 0);
        struct passwd* pw = getpwnam("postgres");
        ASSERT_NE(pw, nullptr);
        postgres_uid_ = pw->pw_uid;
        ASSERT_EQ(chown(archive_.c_str(), pw->pw_uid, pw->pw_gid), 0);
        server_->Sql("ALTER SYSTEM SET archive_command = 'cp %p " + archive_ + "/%f'; SELECT pg_reload_conf();");
        server_->CreateRole(kUser, kUserPassword, "LOGIN SUPERUSER");
        AddDatabase(database_);
    }

    void AddDatabase(const std::string& name, const std::string& extra_sql = BackupFunctions()) const {
        server_->CreateDatabase(name, kUser);
        server_->Sql(extra_sql, name);
    }

    // Runs "start" and "wait-start" for `session`; both succeed.
    void StartBackup(const std::string& session, std::vector<std::string> extra = {}) const {
        RunResult start = Snap("start", session, extra);
        ASSERT_EQ(start.exit_code, 0) << start.out << start.err;
        EXPECT_EQ(start.out, "starting backup mode...\n");
        RunResult wait = Snap("wait-start", session);
        ASSERT_EQ(wait.exit_code, 0) << wait.out << wait.err;
        EXPECT_EQ(wait.out, "waiting for backup to start...\nbackup successfully started\n");
    }

    std::string StateOf(const std::string& session) const { return session_probe::NewestState(History(), session); }
    static pid_t SessionProcess(const std::string& session) { return session_probe::SessionProcess(session); }

    bool SessionConnected() const {
        return server_->Sql("SELECT count(*) FROM pg_stat_activity WHERE application_name = 'backup_session';") !=
               "0\n";
    }

    std::unique_ptr<PgServer> server_;
    std::string archive_;
    uid_t postgres_uid_ = 0;
};

TEST_F(SnaproverBase, CommandLineAndStartUp) {
    testsupport::RunOptions help = Options("start", "S");
    help.argv.push_back("--help");
    help.unset_env.push_back("PGHOME");
    help.env.clear();
    RunResult h = testsupport::RunProgram(help);
    EXPECT_EQ(h.exit_code, 0);
    std::string program = testsupport::StagedProgram("snaprover");
    EXPECT_EQ(h.out.rfind("PGHOME environment variable is undefined. " + program + " may work incorrectly.\n\n", 0),
              0u) << h.out;
    EXPECT_TRUE(Contains(h.out, "\n\nManage low level backup routines.\n\nThis script automates pg_startbackup, "
                                "pg_stop_backup calls.\n"));
    EXPECT_TRUE(Contains(h.out, "remove history records older then N successfull records, 0 - do not remove "
                                "(default: 6)\n"));

    // Refused before the label directory is looked at.
    dir_ = scratch_.path() + "/new-dir";
    for (const auto& [action, extra] : std::vector<std::pair<std::string, std::vector<std::string>>>{
             {"restart", {}}, {"start", {"--session-timeout", "5s"}}, {"stop", {"--patroni-port="}}}) {
        RunResult r = Snap(action, "S", extra);
        EXPECT_EQ(r.exit_code, 2) << action;
        EXPECT_EQ(r.out, "");
        EXPECT_TRUE(Contains(r.err, "usage: snaprover")) << r.err;
    }
    RunResult missing = testsupport::RunProgram({testsupport::StagedProgram("snaprover"), "start", "-B", dir_});
    EXPECT_EQ(missing.exit_code, 2);
    EXPECT_FALSE(fs::exists(dir_));

    dir_ = "relative/dir";
    RunResult relative = Snap("wal-backup-failed", "S");
    EXPECT_EQ(relative.exit_code, 1);
    EXPECT_EQ(relative.out, "path \"relative/dir\" should be absolute\n");

    WriteFileOrDie(scratch_ / "file", "");
    dir_ = scratch_ / "file/sub";
    RunResult not_creatable = Snap("wal-backup-failed", "S");
    EXPECT_EQ(not_creatable.exit_code, 1);
    EXPECT_TRUE(Contains(not_creatable.err, "cannot create directory")) << not_creatable.err;

    // A missing directory is created; the log is writable for everybody and
    // names the session however the option was written.
    dir_ = scratch_.path() + "/new-dir";
    RunResult created = Snap("wal-backup-failed", "S 1");
    EXPECT_EQ(created.exit_code, 0) << created.err;
    EXPECT_EQ(created.out, "directory not found: \"" + dir_ + "\" -> create\n");
    testsupport::RunOptions with_equals = Options("wal-backup-failed", "x");
    auto sid = std::find(with_equals.argv.begin(), with_equals.argv.end(), "--session-id");
    *sid = "--session-id=S 1";
    with_equals.argv.erase(sid + 1);
    EXPECT_EQ(testsupport::RunProgram(with_equals).exit_code, 0);
    struct stat st {};
    ASSERT_EQ(stat(Label("snapwarden.log").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0666u);
    std::regex record("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d,\\d{3} - S 1 - ERROR - could not find session\n");
    std::string log = Log();
    EXPECT_EQ(std::distance(std::sregex_iterator(log.begin(), log.end(), record), std::sregex_iterator()), 2) << log;

    // Started with standard error closed, the log does not take its place:
    // each record is written there once.
    testsupport::RunOptions closed = Options("wal-backup-failed", "C");
    closed.argv.insert(closed.argv.begin(), {"/bin/sh", "-c", "exec \"$0\" \"$@\" 2>&-"});
    EXPECT_EQ(testsupport::RunProgram(closed).exit_code, 0);
    log = Log();
    EXPECT_NE(log.find(" - C - ERROR - could not find session\n"), std::string::npos);
    EXPECT_EQ(log.find(" - C - ERROR - could not find session\n"), log.rfind(" - C - ERROR - could not find session\n"))
        << log;
}

// The three WAL actions over a recording pg_probackup, in a label directory
// whose name holds blanks and shell characters.
TEST_F(SnaproverBase, WalActions) {
    dir_ = scratch_.MakeDir("wal dir; touch pwned $(touch pwned2)");
    WriteFileOrDie(pghome_ + "/pg_probackup",
                   "#!/bin/sh\nhome=\"$(dirname \"$0\")/..\"\nprintf '%s\\n' \"$@\" >> \"$home/calls\"\nenv >> \"$home/environ\"\n"
                   "echo noise >&2\ncat \"$home/answer\"\n",
                   0755);
    auto timeline = [](int tli, const char* status) {
        return "{\"tli\": " + std::to_string(tli) +
               ", \"parent-tli\": 0, \"switchpoint\": \"0/0\", \"min-segno\": \"000000010000000000000001\", "
               "\"max-segno\": \"000000010000000000000003\", \"n-segments\": 3, \"size\": 50331648, \"zratio\": "
               "1.5, \"status\": \"" + status + "\", \"lost-segments\": []}";
    };
    std::string entry1 =
        "{\"parent_tli\": 0, \"switchpoint\": \"0/0\", \"min_segno\": \"000000010000000000000001\", \"max_segno\": "
        "\"000000010000000000000003\", \"n_segments\": 3, \"size\": 50331648, \"zratio\": 1.5, \"status\": \"ok\", "
        "\"lost_segments\": []}";
    WriteFileOrDie(scratch_ / "pghome/answer", "[{\"instance\": \"main\", \"timelines\": [" + timeline(1, "OK") + "]}]");
    // The oldest backup started on the 10th: of the WAL backups before it only
    // the newest stays.
    WriteFileOrDie(Label("backup_state"),
                   "[{\"state\": \"completed\", \"session_id\": \"D\", \"start_time\": \"2026-01-10 00:00:00\"}]");
    std::string older = "{\"state\": \"completed\", \"session_id\": \"O1\", \"start_time\": \"2026-01-01 00:00:00\"}";
    std::string kept = "{\"state\": \"completed\", \"session_id\": \"O2\", \"start_time\": \"2026-01-09 23:59:59\"}";
    std::string newer = "{\"state\": \"completed\", \"session_id\": \"O3\", \"start_time\": \"2026-01-10 00:00:00\"}";
    WriteFileOrDie(Label("wal_backup_state"), "[" + older + ", " + kept + ", " + newer + "]");

    RunResult started = Snap("wal-backup-started", "W1");
    EXPECT_EQ(started.exit_code, 0);
    EXPECT_EQ(ReadFileOrDie(scratch_ / "pghome/calls"), "show\n-B\n" + dir_ + "\n--archive\n--format=json\n");
    // The password given to snaprover reaches the child in neither its
    // arguments nor its environment.
    EXPECT_FALSE(Contains(ReadFileOrDie(scratch_ / "pghome/environ"), kUserPassword));
    EXPECT_FALSE(fs::exists(dir_ + "/pwned") || fs::exists(dir_ + "/pwned2") || fs::exists(scratch_ / "pwned"));
    std::string wal = ReadFileOrDie(Label("wal_backup_state"));
    std::regex w1("\\[" + std::regex_replace(kept + ", " + newer, std::regex(R"([\[\]{}().*+?^$\\|])"), R"(\$&)") +
                  ", \\{\"state\": \"started\", \"session_id\": \"W1\", \"start_time\": \"[-0-9: ]{19}\", \"info\": "
                  "\\{\"1\": " + std::regex_replace(entry1, std::regex(R"([\[\]{}().*+?^$\\|])"), R"(\$&)") + "\\}\\}\\]");
    EXPECT_TRUE(std::regex_match(wal, w1)) << wal;

    // ok, then failed: stays completed.
    EXPECT_EQ(Snap("wal-backup-ok", "W1").exit_code, 0);
    std::string completed = ReadFileOrDie(Label("wal_backup_state"));
    EXPECT_TRUE(Contains(completed, "{\"state\": \"completed\", \"session_id\": \"W1\"")) << completed;
    EXPECT_TRUE(Contains(completed, "}}, \"stop_time\": \"")) << completed;
    EXPECT_EQ(Snap("wal-backup-failed", "W1").exit_code, 0);
    EXPECT_EQ(ReadFileOrDie(Label("wal_backup_state")), completed);

    // A degraded timeline fails the WAL backup; ok afterwards keeps it failed.
    WriteFileOrDie(scratch_ / "pghome/answer",
                   "[{\"timelines\": [" + timeline(1, "OK") + ", " + timeline(2, "DEGRADED") + "]}]");
    EXPECT_EQ(Snap("wal-backup-started", "W2").exit_code, 0);
    EXPECT_TRUE(Contains(ReadFileOrDie(Label("wal_backup_state")), "{\"state\": \"failed\", \"session_id\": \"W2\""));
    EXPECT_TRUE(Contains(ReadFileOrDie(Label("wal_backup_state")), "\"status\": \"degraded\""));
    EXPECT_EQ(Snap("wal-backup-ok", "W2").exit_code, 0);
    EXPECT_TRUE(Contains(Log(), " - W2 - ERROR - invalid wal backup state: \"failed\" -> mark backup as failed\n"));

    // Without PGHOME no record is made, so ok has nothing to complete.
    std::string before = ReadFileOrDie(Label("wal_backup_state"));
    testsupport::RunOptions no_home = Options("wal-backup-started", "W3");
    no_home.env.clear();
    no_home.unset_env.push_back("PGHOME");
    RunResult r = testsupport::RunProgram(no_home);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_TRUE(Contains(r.out, "PGHOME environment variable is undefined."));
    EXPECT_EQ(ReadFileOrDie(Label("wal_backup_state")), before);
    no_home.argv[1] = "wal-backup-ok";
    EXPECT_EQ(testsupport::RunProgram(no_home).exit_code, 0);
    std::string log = Log();
    EXPECT_TRUE(Contains(log, " - W3 - ERROR - cannot set wal history \"started\" record. err = ")) << log;
    EXPECT_TRUE(Contains(log, " - W3 - ERROR - invalid wal backup state: \"None\" -> mark backup as failed\n"
                              )) << log;
    EXPECT_EQ(ReadFileOrDie(Label("wal_backup_state")), before);

    // Output nested deeper than the history can be read back is refused, so
    // the history stays readable and keeps its records.
    WriteFileOrDie(scratch_ / "pghome/answer", "[{\"timelines\": [{\"tli\": 1, \"status\": \"OK\", "
                                               "\"lost-segments\": " + std::string(600, '[') +
                                                   std::string(600, ']') + "}]}]");
    EXPECT_EQ(Snap("wal-backup-started", "W4").exit_code, 0);
    EXPECT_EQ(ReadFileOrDie(Label("wal_backup_state")), before);
    EXPECT_TRUE(Contains(Log(), " - W4 - ERROR - cannot set wal history \"started\" record. err = ")) << Log();

    // Endless output is cut off rather than read into memory.
    fs::remove(scratch_ / "pghome/answer");
    fs::create_symlink("/dev/zero", scratch_ / "pghome/answer");
    EXPECT_EQ(Snap("wal-backup-started", "W5").exit_code, 0);
    EXPECT_EQ(ReadFileOrDie(Label("wal_backup_state")), before);
    EXPECT_TRUE(std::regex_search(Log(), std::regex(" - W5 - ERROR - cannot set wal history \"started\" record\\. "
                                                    "err = Command '[^\n]+' wrote more than \\d+ bytes\\.\n")))
        << Log();
}

// start, wait-start, a copy of the data directory, stop; the copy with the
// written label starts as a second server and holds what was committed before
// and during backup mode. Database name and session id hold quotes.
TEST_F(Snaprover, FullCycleAndRestore) {
    database_ = "bkp'db";
    AddDatabase(database_, BackupFunctions() + "CREATE TABLE t(phase text); INSERT INTO t VALUES ('before');");
    const std::string session = "S'1";
    WriteFileOrDie(Label("backup_done"), "");  // stale marker of an earlier run
    WriteFileOrDie(Label("backup_label"), "old label");
    StartBackup(session);

    RunResult second = Snap("start", "S2");
    EXPECT_EQ(second.exit_code, 1);
    EXPECT_TRUE(std::regex_search(second.err, std::regex(" - S2 - ERROR - another \"snapwarden\" session found "
                                                         "\\(pid: \\d+\\) -> do not run backup\n")))
        << second.err;

    // The copy the backup product would take, then a row in backup mode.
    std::string copy = fs::path(server_->data_dir()).parent_path().string() + "/restore";
    for (auto it = fs::recursive_directory_iterator(server_->data_dir()); it != fs::recursive_directory_iterator();
         ++it) {
        std::string rel = fs::relative(it->path(), server_->data_dir()).string();
        if (rel == "postmaster.pid" || rel == "postmaster.opts" || rel.rfind("pg_wal/", 0) == 0) continue;
        std::error_code ec;  // files may vanish while the server runs
        if (it->is_directory(ec)) {
            fs::create_directories(copy + "/" + rel, ec);
        } else {
            fs::copy_file(it->path(), copy + "/" + rel, ec);
        }
    }
    fs::create_directories(copy + "/pg_wal/archive_status");
    server_->Sql("INSERT INTO t VALUES ('during');", database_);

    RunResult stop = Snap("stop", session);
    ASSERT_EQ(stop.exit_code, 0) << stop.out << stop.err;
    EXPECT_EQ(stop.out, "waiting for backup mode to stop...\nSuccess! Result files:\n" + Label("backup_label") + "\n");
    EXPECT_FALSE(fs::exists(Label("tablespace_map")));
    EXPECT_FALSE(fs::exists(Label("backup_done")));
    int moved = 0;
    for (const auto& e : fs::directory_iterator(dir_)) {
        if (e.path().filename().string().rfind("backup_label.old_", 0) == 0) {
            ++moved;
            EXPECT_TRUE(std::regex_match(e.path().filename().string(),
                                         std::regex("backup_label\\.old_\\d{14}\\.\\d{6}")));
            EXPECT_EQ(ReadFileOrDie(e.path()), "old label");
        }
    }
    EXPECT_EQ(moved, 1);
    std::string label = ReadFileOrDie(Label("backup_label"));
    EXPECT_TRUE(Contains(label, "START TIMELINE: 1\n")) << label;
    std::string history = History();
    std::smatch m;
    ASSERT_TRUE(std::regex_match(
        history, m,
        std::regex("\\[\\{\"state\": \"completed\", \"session_id\": \"S'1\", \"start_time\": \"[-0-9: ]{19}\", "
                   "\"start_lsn\": \"0/[0-9A-F]+\", \"stop_lsn\": \"0/[0-9A-F]+\", \"stop_time\": \"[-0-9: ]{19}\", "
                   "\"tli\": 1, \"stop_walfile\": \"(00000001[0-9A-F]{16})\"\\}\\]")))
        << history;
    // The last WAL file the backup needs reached the archive.
    EXPECT_TRUE(fs::exists(archive_ + "/" + m[1].str())) << m[1];

    std::string log = Log();
    EXPECT_TRUE(std::regex_search(log, std::regex(" - S'1 - INFO - backup session started, pid = \\d+, 0/")));
    EXPECT_TRUE(Contains(log, "INFO - going to stop backup, pid = "));
    EXPECT_TRUE(Contains(log, "INFO - backup stoped, pid = "));
    EXPECT_TRUE(Contains(ReadFileOrDie(Label("errors")), "INFO - backup stoped, pid = "));
    EXPECT_FALSE(Contains(log, "S'1 - ERROR")) << log;
    // On a master the restore point is made directly, named after the session.
    EXPECT_TRUE(Contains(server_->ServerLog(), "restore point \"S'1\" created")) << server_->ServerLog();

    // Restore: the copy, the label, the archived WAL.
    fs::copy_file(Label("backup_label"), copy + "/backup_label");
    WriteFileOrDie(copy + "/recovery.signal", "");
    WriteFileOrDie(copy + "/postgresql.auto.conf",
                   ReadFileOrDie(copy + "/postgresql.auto.conf") + "restore_command = 'cp " + archive_ +
                       "/%f %p'\narchive_mode = off\n");
    struct passwd* pw = getpwnam("postgres");
    ASSERT_EQ(testsupport::RunProgram({"/bin/chown", "-R", "postgres:postgres", copy}).exit_code, 0);
    chmod(copy.c_str(), 0700);
    int port = FreePort();
    auto as_postgres = [&](std::vector<std::string> argv) {
        testsupport::RunOptions o;
        o.argv = std::move(argv);
        o.run_as_uid = pw->pw_uid;
        o.env = {{"LC_ALL", "C"}};
        return testsupport::RunProgram(o);
    };
    RunResult up = as_postgres({std::string(kPgBin) + "/pg_ctl", "-D", copy, "-l", copy + "/restore.log", "-w",
                                "-t", "120", "-o",
                                "-p " + std::to_string(port) + " -k " + server_->socket_dir() +
                                    " -c listen_addresses=''",
                                "start"});
    ASSERT_EQ(up.exit_code, 0) << up.out << up.err << ReadFileOrDie(copy + "/restore.log");
    RunResult rows = as_postgres({std::string(kPgBin) + "/psql", "-X", "-A", "-t", "-h", server_->socket_dir(),
                                  "-p", std::to_string(port), "-d", database_, "-c",
                                  "SELECT string_agg(phase, ',' ORDER BY phase) FROM t;"});
    as_postgres({std::string(kPgBin) + "/pg_ctl", "-D", copy, "-m", "fast", "-w", "stop"});
    EXPECT_EQ(rows.out, "before,during\n") << rows.err;
    EXPECT_TRUE(Contains(ReadFileOrDie(copy + "/restore.log"), "consistent recovery state reached"));
}

// Failures while a session holds the backup, and the refusals around it.
TEST_F(Snaprover, SessionFailures) {
    WriteFileOrDie(Label("backup_label"), "earlier result");
    RunResult no_session = Snap("stop", "N");
    EXPECT_EQ(no_session.exit_code, 1);
    EXPECT_TRUE(Contains(no_session.err, " - N - ERROR - no backup session found\n")) << no_session.err;
    EXPECT_EQ(ReadFileOrDie(Label("backup_label")), "earlier result");

    RunResult never = Snap("wait-start", "N", {"--start-timeout", "1"});
    EXPECT_EQ(never.exit_code, 1);
    EXPECT_EQ(never.out, "waiting for backup to start...\n");
    EXPECT_TRUE(Contains(never.err, "ERROR - backup was not successfully started in timeout (state: \"None\") -> "
                                    "force kill session\n"));

    // Session timeout: the session ends by itself and leaves its reason in the
    // server log too.
    StartBackup("T", {"--session-timeout", "1"});
    ASSERT_TRUE(WaitUntil([&] { return StateOf("T") == "failed"; })) << History();
    EXPECT_TRUE(Contains(Log(), " - T - ERROR - stop backup session, because timeout expired (session-timeout=1)\n"));
    ASSERT_TRUE(WaitUntil([&] { return !SessionConnected(); }));
    EXPECT_TRUE(Contains(server_->ServerLog(), "Stop backup session, because timeout expired (session-timeout=1)"));

    // The session's connection is terminated on the server.
    StartBackup("K");
    server_->Sql("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE application_name = 'backup_session';");
    ASSERT_TRUE(WaitUntil([&] { return StateOf("K") == "failed"; })) << History();
    EXPECT_TRUE(std::regex_search(Log(), std::regex(" - K - ERROR - connection broken for \"snapwarden\" session "
                                                    "with pid: \\d+ -> stop\n")));
    // A recorded failure ends wait-start at once.
    RunResult failed = Snap("wait-start", "K", {"--start-timeout", "3600"});
    EXPECT_EQ(failed.exit_code, 1);
    EXPECT_TRUE(Contains(failed.err, "(state: \"failed\") -> force kill session"));

    // SIGTERM ends the session process, which closes its connection.
    StartBackup("G");
    pid_t daemon = SessionProcess("G");
    ASSERT_GT(daemon, 0);
    kill(daemon, SIGTERM);
    ASSERT_TRUE(WaitUntil([&] { return !SessionConnected() && kill(daemon, 0) != 0; }));
    EXPECT_EQ(StateOf("G"), "started");

    // The server changes role under the session (here: the recovery flag a
    // database reports flips).
    database_ = "flip";
    AddDatabase(database_, BackupFunctions() +
                               "CREATE TABLE flag(v boolean); INSERT INTO flag VALUES (false);\n"
                               "CREATE FUNCTION public.pg_is_in_recovery() RETURNS boolean LANGUAGE sql AS "
                               "$$ SELECT v FROM flag $$;\nALTER DATABASE flip SET search_path = public, pg_catalog;");
    StartBackup("R");
    server_->Sql("UPDATE flag SET v = true;", "flip");
    ASSERT_TRUE(WaitUntil([&] { return StateOf("R") == "failed"; })) << History();
    EXPECT_TRUE(std::regex_search(Log(), std::regex(" - R - ERROR - DB instance changed role, backup could not be "
                                                    "continued\\. pid =\\d+ -> stop\n")));
}

// Statement timeouts of the start and stop calls, and a stop that gives up
// waiting for its session.
TEST_F(Snaprover, StartAndStopTimeouts) {
    database_ = "slowstart";
    AddDatabase(database_, BackupFunctions(30, 0));
    EXPECT_EQ(Snap("start", "A", {"--start-timeout", "1"}).exit_code, 0);
    RunResult wait = Snap("wait-start", "A");
    EXPECT_EQ(wait.exit_code, 1);
    EXPECT_TRUE(Contains(wait.err, "(state: \"failed\") -> force kill session"));
    EXPECT_TRUE(Contains(Log(), " - A - ERROR - pg_start_backup was canceled due to timeout -> backup failed, pid = "));

    database_ = "slowstop";
    AddDatabase(database_, BackupFunctions(0, 30));
    StartBackup("B", {"--stop-timeout", "1"});
    RunResult stop = Snap("stop", "B");
    EXPECT_EQ(stop.exit_code, 1);
    EXPECT_TRUE(Contains(stop.err, " - B - ERROR - \"backup_label\" was not created\n")) << stop.err;
    EXPECT_EQ(StateOf("B"), "failed");
    EXPECT_TRUE(Contains(Log(), " - B - ERROR - pg_stop_backup was canceled due to timeout -> backup failed, pid = "));

    StartBackup("C");
    RunResult gave_up = Snap("stop", "C", {"--stop-timeout", "1"});
    EXPECT_EQ(gave_up.exit_code, 1);
    EXPECT_TRUE(Contains(gave_up.err, " - C - ERROR - backup session was not stopped -> force kill session\n"));
    ASSERT_TRUE(WaitUntil([&] { return !SessionConnected(); }));
    EXPECT_EQ(StateOf("C"), "stopping");
    EXPECT_FALSE(fs::exists(Label("backup_label")));
}

TEST_F(Snaprover, PasswordSources) {
    std::string table = etc_ + "/enc_utils_auth_settings.cfg";
    // The command-line password never opens the table.
    RunResult given = Snap("stop", "P");
    EXPECT_TRUE(Contains(given.err, "ERROR - no backup session found")) << given.err;
    EXPECT_FALSE(fs::exists(table));

    // No record (an empty --password counts as none): logged, and the server
    // refuses the connection without a password.
    with_password_ = false;
    RunResult none = Snap("start", "P", {"--password", ""});
    EXPECT_EQ(none.exit_code, 1);
    EXPECT_EQ(none.out, "");
    EXPECT_TRUE(Contains(none.err, " - P - INFO - no password for host:127.0.0.1, port:" + port_ +
                                       ", dbname:bkpdb, user:bkp, error:-3\n"))
        << none.err;
    EXPECT_TRUE(Contains(none.err, " - P - ERROR - could not connect to DB. err = ")) << none.err;
    EXPECT_FALSE(fs::exists(Label("backup_state")));

    testsupport::RunOptions add;
    add.argv = {testsupport::StagedProgram("credtab"), "add", "-s", "-h", "127.0.0.1", "-p", port_, "-d", "bkpdb",
                "-U", kUser};
    add.stdin_data = std::string(kUserPassword) + "\n";
    add.binds = {{etc_, "/etc/postgres"}};
    add.unset_env = {"PG_PLUGINS_PATH"};
    ASSERT_EQ(testsupport::RunProgram(add).exit_code, 0);
    RunResult stored = Snap("stop", "P");
    EXPECT_EQ(stored.exit_code, 1);
    EXPECT_TRUE(Contains(stored.err, "ERROR - no backup session found")) << stored.err;
}

// On a standby (a database whose pg_is_in_recovery() says so) the master is
// found through Patroni.
TEST_F(Snaprover, StandbyPingsTheLeaderFoundThroughPatroni) {
    database_ = "standby";
    AddDatabase(database_, BackupFunctions() +
                               "CREATE FUNCTION public.pg_is_in_recovery() RETURNS boolean LANGUAGE sql AS "
                               "$$ SELECT true $$;\nALTER DATABASE standby SET search_path = public, pg_catalog;");
    std::string fake_dir = scratch_.MakeDir("patroni");
    auto member = [](const std::string& role, int port) {
        return "{\"name\": \"n-" + role + "\", \"role\": \"" + role + "\", \"host\": \"127.0.0.1\", \"port\": " +
               std::to_string(port) + "}";
    };
    int closed_port = FreePort();
    std::string leader = member("leader", server_->port());
    WriteFileOrDie(fake_dir + "/answer", "200\n{\"members\": [" + member("replica", closed_port) + ", " +
                                             member("master", closed_port) + ", " + leader + "]}");
    session_probe::PatroniFake fake(fake_dir);
    ASSERT_FALSE(fake.port().empty());
    const std::string patroni_port = fake.port();
    std::vector<std::string> patroni = {"--patroni-port", patroni_port};

    StartBackup("L1", patroni);
    RunResult stop = Snap("stop", "L1", patroni);
    EXPECT_EQ(stop.exit_code, 0) << stop.err;
    EXPECT_EQ(ReadFileOrDie(fake_dir + "/requests"), "/cluster\n");
    EXPECT_TRUE(Contains(Log(), " - L1 - INFO - connect: " + leader + "\n")) << Log();
    EXPECT_TRUE(Contains(server_->ServerLog(), "restore point \"L1\" created"));

    // A session id too long for a restore point name: refused there, and the
    // WAL switch the standby's stop waits for is still made.
    server_->Sql("ALTER DATABASE standby SET log_statement = 'all';");
    const std::string long_id(70, 'L');
    StartBackup(long_id, patroni);
    EXPECT_EQ(Snap("stop", long_id, patroni).exit_code, 0);
    EXPECT_TRUE(Contains(Log(), "value too long for restore point")) << Log();
    EXPECT_TRUE(Contains(server_->ServerLog(), "statement: SELECT pg_switch_wal();")) << server_->ServerLog();
    server_->Sql("ALTER DATABASE standby RESET log_statement;");

    // No leader: nothing to ping, the backup still completes.
    WriteFileOrDie(fake_dir + "/answer", "200\n{\"members\": [" + member("master", server_->port()) + "]}");
    StartBackup("L2", patroni);
    EXPECT_EQ(Snap("stop", "L2", patroni).exit_code, 0);
    EXPECT_TRUE(Contains(Log(), " - L2 - INFO - patroni node not found -> cannot discover master\n"));

    // Patroni never finishes its answer: the wait ends with the session's stop
    // time limit, and the stop result is still collected.
    WriteFileOrDie(fake_dir + "/answer", "hang\n{\"members\": [" + leader + "]}");
    std::vector<std::string> short_stop = patroni;
    short_stop.insert(short_stop.end(), {"--stop-timeout", "2"});
    StartBackup("L4", short_stop);
    std::vector<std::string> long_stop = patroni;
    long_stop.insert(long_stop.end(), {"--stop-timeout", "30"});
    RunResult hung = Snap("stop", "L4", long_stop);
    EXPECT_EQ(hung.exit_code, 0) << hung.err;
    EXPECT_TRUE(Contains(Log(), "/cluster failed: Timeout was reached\n  failure raised in ping_master\n")) << Log();

    // Patroni down: logged with the failure's origin, the backup still completes.
    fake.Stop();
    StartBackup("L3", patroni);
    EXPECT_EQ(Snap("stop", "L3", patroni).exit_code, 0);
    EXPECT_TRUE(std::regex_search(Log(), std::regex(" - L3 - ERROR - GET http://127.0.0.1:" + patroni_port +
                                                    "/cluster failed: [^\n]+\n  failure raised in ping_master\n")))
        << Log();
    EXPECT_FALSE(Contains(server_->ServerLog(), "restore point \"L2\"") ||
                 Contains(server_->ServerLog(), "restore point \"L3\""));
    EXPECT_EQ(StateOf("L3"), "completed");
}

}  // namespace
