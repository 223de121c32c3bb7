#pragma once

// snaprover: holds a non-exclusive low-level backup of PostgreSQL open in a
// detached session process between the backup product's "start" and "stop"
// calls, and records backup and WAL-backup states in the label directory.
//
// Every invocation performs one action on the process-wide context below. The
// actions end the program with a status by throwing ExitRequest, so that open
// connections are closed on the way out.

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

#include "json.h"

namespace snaprover {

// The parsed command line.
struct Options {
    std::string action;
    std::string label_dir;
    std::string host;
    std::string port;
    std::string database;
    std::string user;
    std::optional<std::string> password;
    int64_t session_timeout = 0;
    int64_t start_timeout = 3600;
    int64_t stop_timeout = 300;
    std::string patroni_host = "127.0.0.1";
    int64_t patroni_port = 8008;
    int64_t rotate_history = 6;
    std::string session_id;
};

// Ends the invocation with `status` after unwinding.
struct ExitRequest {
    int status;
};

// Records go to the log file and to standard error, each as
// "<local time with milliseconds> - <session id> - LEVEL - message".
class Logger {
public:
    // Opens (appending, creating) the log file and makes it writable for all,
    // so that later invocations under other users can append. Throws
    // std::runtime_error when the file cannot be opened.
    void Open(const std::string& path, const std::string& session_id);
    void Debug(const std::string& message) { Emit("DEBUG", message); }
    void Info(const std::string& message) { Emit("INFO", message); }
    void Warning(const std::string& message) { Emit("WARNING", message); }
    void Error(const std::string& message) { Emit("ERROR", message); }
    // An ERROR record with the failure's text, followed by a line naming the
    // operation the failure came from.
    void Failure(const std::string& text, const std::string& where);
    int file_fd() const { return file_fd_; }

private:
    void Emit(const char* level, const std::string& message);
    void WriteAll(int fd, const std::string& text);

    int file_fd_ = -1;
    std::string session_id_;
};

// One JSON history file: a list of records, one per backup attempt, read and
// rewritten whole. Failures are logged, never raised to the caller.
class History {
public:
    History() = default;
    explicit History(std::string filename) : filename_(std::move(filename)) {}
    const std::string& filename() const { return filename_; }

    // The parsed file, or nothing when it is missing, empty or broken.
    std::optional<JsonValue> read_history();
    // State of this session's newest record, or "None".
    std::string get_state();
    // Closes unfinished older records as "failed" and appends `state`.
    void append_state(const JsonValue& state);
    // Updates this session's newest record with the values in `state`.
    void write_state(const JsonValue& state);
    // Writes the records crash-safely: after a crash the file holds the old or
    // the new list, never a part of one. Throws std::runtime_error.
    void write_history(const JsonValue& records);

private:
    std::string filename_;
};

// Process-wide context of one invocation.
struct Context {
    Options opt;
    std::optional<std::string> pghome;
    std::string state_path;
    std::string wal_state_path;
    std::string label_path;
    std::string tablespace_map_path;
    History data_hist;
    History wal_hist;
    Logger log;

    std::string LabelFile(const std::string& name) const;
};
Context& Ctx();

// Files of the label directory. Other users may write into that directory, so
// a link or a FIFO found under one of its names is never followed or opened:
// IsRegularFile is true only for a regular file itself, and WriteLabelDirFile
// replaces a regular file (or creates it, mode 0666 less the umask) crash-safely
// and refuses anything else. Throws std::runtime_error.
bool IsRegularFile(const std::string& path);
void WriteLabelDirFile(const std::string& path, const std::string& text);

// Local time "%Y-%m-%d %H:%M:%S".
std::string now();

// Command line: fills Ctx().opt or throws ExitRequest (status 0 for help, 2 for
// an error, after printing).
void ParseCommandLine(int argc, char** argv);

// Backup-state operations on the backup history.
void set_backup_state_starting();
void set_backup_state_started(const std::string& start_lsn);
void set_backup_state_stopping();
void set_backup_state_completed(const std::string& stop_lsn, int64_t tli, const std::string& stop_walfile);
void set_backup_state_failed();
void rotate_data_history();

// WAL-state tracking.
void wal_backup_started();
void wal_backup_done();
void wal_backup_failed();
void rotate_wal_history();
std::string get_walfile(int64_t tli, int64_t stop_lsn_num, int64_t seg_size);
// Quotes a word for the POSIX shell; words made only of safe characters stay as
// they are.
std::string ShellQuote(const std::string& word);

// Backup session lifecycle.
void start_backup();
void stop_backup();
void wait_start();

// Master discovery.
void ping_master();

// Timeline from "START TIMELINE: n" in a backup label, or nothing (logged).
std::optional<int64_t> get_tli(const std::string& backup_label);

// Prints a line on standard output and flushes it (the session process forks,
// so nothing may stay buffered).
void PrintLine(const std::string& text);

}  // namespace snaprover
