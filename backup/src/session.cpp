// Backup session lifecycle: "start" with the detached session process,
// "wait-start" and "stop".

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <regex>
#include <set>

#include "common/common_routines.h"
#include "db.h"
#include "snaprover.h"

namespace snaprover {

namespace {

const char* const kListSessions =
    "SELECT string_agg(text(pid), ', ' ORDER BY pid)\n"
    "    FROM pg_stat_activity\n"
    "    WHERE application_name='backup_session' and usename='{}' and datname='{}'\n"
    "    and pid <> pg_backend_pid();";
const char* const kCountSessions =
    "SELECT count(pid)\n"
    "    FROM pg_stat_activity\n"
    "    WHERE application_name='backup_session' and usename='{}' and datname='{}'\n"
    "    and pid <> pg_backend_pid();";
const char* const kKillSessions =
    "SELECT count(pg_terminate_backend(pid)), string_agg(text(pid), ', ' ORDER BY pid)\n"
    "    FROM pg_stat_activity\n"
    "    WHERE application_name='backup_session' and usename='{}' and datname='{}'\n"
    "    and pid <> pg_backend_pid();";
const char* const kStopBackup =
    "SELECT lsn, labelfile, spcmapfile, lsn::pg_lsn - '0/0'::pg_lsn\n"
    "                   FROM pg_stop_backup(FALSE);";

const char* const kQueryCanceled = "57014";

bool IsFile(const std::string& path) { return IsRegularFile(path); }

// Anything under the name, a link (also a dangling one) included.
bool Exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

// Runs one session-listing statement on its own short connection. User and
// database go in as escaped literals, so a quote in either cannot change the
// statement.
std::vector<Row> SessionQuery(const char* templ) {
    PgConnection con = connect("backup_script");
    return con.Exec(con.Literals(templ, {Ctx().opt.user, Ctx().opt.database}));
}

std::optional<std::string> get_current_backup_session() {
    std::vector<Row> rows = SessionQuery(kListSessions);
    if (rows.empty() || rows[0].empty() || !rows[0][0] || rows[0][0]->empty()) return std::nullopt;
    return rows[0][0];
}

bool has_backup_session() {
    std::vector<Row> rows = SessionQuery(kCountSessions);
    return !rows.empty() && !rows[0].empty() && rows[0][0] && *rows[0][0] != "0";
}

void kill_backup_sessions() { SessionQuery(kKillSessions); }

void WriteResultFile(const std::string& path, const std::string& text) { WriteLabelDirFile(path, text); }

std::string MicrosecondStamp() {
    struct timeval tv {};
    gettimeofday(&tv, nullptr);
    struct tm tm_local {};
    localtime_r(&tv.tv_sec, &tm_local);
    char buf[48];
    size_t n = strftime(buf, sizeof buf, "%d%m%Y%H%M%S", &tm_local);
    std::snprintf(buf + n, sizeof buf - n, ".%06ld", static_cast<long>(tv.tv_usec));
    return buf;
}

// Seconds as a millisecond count for "SET statement_timeout", built as text so
// no option value can overflow; the server judges the range.
std::string Milliseconds(int64_t seconds) { return seconds == 0 ? "0" : std::to_string(seconds) + "000"; }

void run_backup_session(AsyncConnection& con) {
    Context& ctx = Ctx();
    const Options& opt = ctx.opt;
    std::string done_path = ctx.LabelFile("backup_done");
    // A marker left by an earlier run must not stop this backup at once.
    if (IsFile(done_path)) unlink(done_path.c_str());

    AsyncCursor cur = con.cursor();
    const std::string my_pid = std::to_string(con.backend_pid());
    ctx.log.Info("start backup session, pid = " + my_pid);
    cur.execute("SET statement_timeout = " + Milliseconds(opt.start_timeout) + ";");
    try {
        cur.execute("SELECT pg_start_backup('" + now() +
                    " by snapwarden', FALSE, FALSE),\n                              pg_is_in_recovery();");
    } catch (const DbError& e) {
        if (e.sqlstate() != kQueryCanceled) throw;
        ctx.log.Error("pg_start_backup was canceled due to timeout -> backup failed, pid = " + my_pid);
        set_backup_state_failed();
        return;
    }
    std::optional<Row> row = cur.fetchone();
    if (!row || row->size() < 2 || !(*row)[0]) throw DbError("pg_start_backup returned no row");
    const std::string start_lsn = *(*row)[0];
    const bool in_recovery = (*row)[1].value_or("") == "t";
    set_backup_state_started(start_lsn);
    ctx.log.Info("backup session started, pid = " + my_pid + ", " + start_lsn);

    for (int64_t t = 0;; ++t) {
        if (!connection_alive(cur)) {
            ctx.log.Error("connection broken for \"snapwarden\" session with pid: " + my_pid + " -> stop");
            set_backup_state_failed();
            return;
        }
        if (IsFile(done_path)) break;
        if (is_in_recovery(cur) != in_recovery) {
            ctx.log.Error("DB instance changed role, backup could not be continued. pid =" + my_pid + " -> stop");
            set_backup_state_failed();
            return;
        }
        if (opt.session_timeout > 0 && t > opt.session_timeout) {
            // The server rejects this text; the rejection leaves the reason in
            // the server log under the session's application name.
            try {
                cur.execute("RAISE WARNING 'Stop backup session, because timeout expired (session-timeout=" +
                            std::to_string(opt.session_timeout) + ")'");
            } catch (const DbError&) {
            }
            ctx.log.Error("stop backup session, because timeout expired (session-timeout=" +
                          std::to_string(opt.session_timeout) + ")");
            set_backup_state_failed();
            return;
        }
        SleepOneSecond();
    }

    ctx.log.Info("going to stop backup, pid = " + my_pid);
    set_backup_state_stopping();
    const int64_t seg_size = get_wal_segment_size(cur);
    cur.execute("SET statement_timeout = " + Milliseconds(opt.stop_timeout) + ";");
    cur.execute(kStopBackup, false);
    // On a standby the stop waits for the last segment to be archived, which
    // needs the master to switch to a new WAL file.
    ping_master();
    std::optional<Row> stop_row;
    try {
        stop_row = cur.fetchone();
    } catch (const DbError& e) {
        if (e.sqlstate() != kQueryCanceled) throw;
        ctx.log.Error("pg_stop_backup was canceled due to timeout -> backup failed, pid = " + my_pid);
        set_backup_state_failed();
        return;
    }
    if (!stop_row || stop_row->size() != 4 || cur.columns() != 4) {
        ctx.log.Error("pg_stop_backup wal not stopped properly -> backup failed, pid = " + my_pid);
        set_backup_state_failed();
        return;
    }
    const std::string stop_lsn = (*stop_row)[0].value_or("");
    const std::string label = (*stop_row)[1].value_or("");
    std::optional<int64_t> tli = get_tli(label);
    if (!tli) throw std::runtime_error("no timeline in the backup label, stop WAL file unknown");
    const std::string stop_walfile = get_walfile(*tli, std::stoll((*stop_row)[3].value_or("")), seg_size);

    // The label is written last: "stop" takes its presence for a complete
    // result, so a map that could not be written must not leave a label, and
    // a label that could not be written takes the map away again.
    const bool has_map = (*stop_row)[2] && !(*stop_row)[2]->empty();
    if (has_map) WriteResultFile(ctx.tablespace_map_path, *(*stop_row)[2]);
    try {
        WriteResultFile(ctx.label_path, label);
    } catch (const std::exception&) {
        if (has_map) unlink(ctx.tablespace_map_path.c_str());
        throw;
    }
    ctx.log.Info("backup stoped, pid = " + my_pid + ", lsn = " + stop_lsn);
    set_backup_state_completed(stop_lsn, *tli, stop_walfile);
    if (IsFile(done_path)) unlink(done_path.c_str());
    cur.close();
}

// Closes every descriptor except those in `keep`.
void CloseDescriptorsExcept(const std::set<int>& keep) {
    std::vector<int> open_fds;
    if (DIR* dir = opendir("/proc/self/fd")) {
        int own = dirfd(dir);
        while (struct dirent* e = readdir(dir)) {
            if (e->d_name[0] == '.') continue;
            int fd = std::atoi(e->d_name);
            if (fd != own) open_fds.push_back(fd);
        }
        closedir(dir);
    } else {
        long max_fd = sysconf(_SC_OPEN_MAX);
        for (int fd = 0; fd < (max_fd > 0 ? max_fd : 1024); ++fd) open_fds.push_back(fd);
    }
    for (int fd : open_fds) {
        if (keep.count(fd) == 0) close(fd);
    }
}

// Turns the calling process into the session daemon; returns only in the
// daemon. The invoking process ends here with status 0.
void Detach() {
    Context& ctx = Ctx();
    std::string errors_path = ctx.LabelFile("errors");
    // As the log: never through a link planted there, never a FIFO.
    int errors_fd = open(errors_path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK, 0666);
    if (errors_fd < 0) throw std::runtime_error("cannot open \"" + errors_path + "\": " + std::strerror(errno));
    struct stat errors_st {};
    if (fstat(errors_fd, &errors_st) != 0 || !S_ISREG(errors_st.st_mode)) {
        close(errors_fd);
        throw std::runtime_error("cannot open \"" + errors_path + "\": not a regular file");
    }
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    if (pid > 0) _exit(0);
    setsid();
    pid = fork();
    if (pid < 0) _exit(1);
    if (pid > 0) _exit(0);

    if (chdir("/") != 0) {
        // "/" always exists; carry on in the old directory otherwise.
    }
    umask(0);
    common_routines::DisableCoreDumps();
    InstallTerminationHandler();
    signal(SIGTTIN, SIG_IGN);
    signal(SIGTTOU, SIG_IGN);
    signal(SIGTSTP, SIG_IGN);

    CloseDescriptorsExcept({ctx.log.file_fd(), errors_fd});
    int null_fd = open("/dev/null", O_RDWR);
    if (null_fd >= 0) {
        dup2(null_fd, STDIN_FILENO);
        dup2(null_fd, STDOUT_FILENO);
        if (null_fd > STDOUT_FILENO) close(null_fd);
    }
    dup2(errors_fd, STDERR_FILENO);
    if (errors_fd != STDERR_FILENO) close(errors_fd);
}

}  // namespace

std::optional<int64_t> get_tli(const std::string& backup_label) {
    static const std::regex pattern("^START TIMELINE: (\\d+)$", std::regex::multiline);
    std::smatch m;
    try {
        if (!std::regex_search(backup_label, m, pattern)) throw std::runtime_error("no START TIMELINE line");
        return std::stoll(m[1].str());
    } catch (const std::exception& e) {
        Ctx().log.Error(std::string("could not find TLI in backup_label. error = ") + e.what());
        return std::nullopt;
    }
}

void start_backup() {
    Context& ctx = Ctx();
    try {
        connect("backup_script").close();
    } catch (const std::exception& e) {
        ctx.log.Error(std::string("could not connect to DB. err = ") + e.what());
        throw ExitRequest{1};
    }
    if (std::optional<std::string> others = get_current_backup_session()) {
        ctx.log.Error("another \"snapwarden\" session found (pid: " + *others + ") -> do not run backup");
        throw ExitRequest{1};
    }
    PrintLine("starting backup mode...");
    rotate_data_history();
    set_backup_state_starting();

    Detach();
    std::optional<AsyncConnection> con;
    try {
        con.emplace("backup_session");
        run_backup_session(*con);
    } catch (const ExitRequest&) {
        if (con) con->close();
        throw;
    } catch (const std::exception& e) {
        ctx.log.Failure(e.what(), "the backup session");
    }
    if (con) con->close();
}

void wait_start() {
    Context& ctx = Ctx();
    PrintLine("waiting for backup to start...");
    std::string state = "None";
    for (int64_t i = 0; i < ctx.opt.start_timeout; ++i) {
        state = ctx.data_hist.get_state();
        if (state == "started" || state == "failed") break;
        SleepOneSecond();
    }
    if (state != "started") {
        ctx.log.Error("backup was not successfully started in timeout (state: \"" + state +
                      "\") -> force kill session");
        kill_backup_sessions();
        throw ExitRequest{1};
    }
    PrintLine("backup successfully started");
}

void stop_backup() {
    Context& ctx = Ctx();
    if (!has_backup_session()) {
        ctx.log.Error("no backup session found");
        throw ExitRequest{1};
    }
    // Earlier results go aside before the marker exists, so a failed stop
    // leaves no label that could be taken for this backup's.
    std::string stamp = MicrosecondStamp();
    if (Exists(ctx.label_path)) {
        std::string old = ctx.LabelFile("backup_label.old_" + stamp);
        if (rename(ctx.label_path.c_str(), old.c_str()) != 0) {
            throw std::runtime_error("cannot rename \"" + ctx.label_path + "\": " + std::strerror(errno));
        }
    }
    if (Exists(ctx.tablespace_map_path)) {
        std::string old = ctx.LabelFile("tablespace_map.old_" + stamp);
        if (rename(ctx.tablespace_map_path.c_str(), old.c_str()) != 0) {
            throw std::runtime_error("cannot rename \"" + ctx.tablespace_map_path + "\": " + std::strerror(errno));
        }
    }
    std::string done_path = ctx.LabelFile("backup_done");
    int fd = open(done_path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0666);
    if (fd < 0) throw std::runtime_error("cannot create \"" + done_path + "\": " + std::strerror(errno));
    close(fd);
    PrintLine("waiting for backup mode to stop...");
    for (int64_t i = 0; i <= ctx.opt.stop_timeout; ++i) {
        if (!has_backup_session()) break;
        SleepOneSecond();
    }
    if (has_backup_session()) {
        ctx.log.Error("backup session was not stopped -> force kill session");
        kill_backup_sessions();
        throw ExitRequest{1};
    }
    if (!Exists(ctx.label_path)) {
        ctx.log.Error("\"backup_label\" was not created");
        throw ExitRequest{1};
    }
    PrintLine("Success! Result files:");
    PrintLine(ctx.label_path);
    if (Exists(ctx.tablespace_map_path)) PrintLine(ctx.tablespace_map_path);
}

}  // namespace snaprover
