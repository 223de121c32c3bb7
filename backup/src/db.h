#pragma once

// Database access of snaprover: libpq connections with the password from the
// command line or the credentials table, a non-blocking connection and cursor
// that wait on the socket rather than inside libpq, and the small queries of
// the backup session.

#include <libpq-fe.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/secure_buffer.h"

namespace snaprover {

// A failure reported by libpq or the server; `sqlstate` is empty for client
// side failures ("Timeout expired", a lost connection).
class DbError : public std::runtime_error {
public:
    DbError(const std::string& message, std::string sqlstate = "")
        : std::runtime_error(message), sqlstate_(std::move(sqlstate)) {}
    const std::string& sqlstate() const { return sqlstate_; }

private:
    std::string sqlstate_;
};

using Row = std::vector<std::optional<std::string>>;

// An open libpq connection, finished on destruction.
class PgConnection {
public:
    PgConnection() = default;
    explicit PgConnection(PGconn* conn) : conn_(conn) {}
    ~PgConnection() { close(); }
    PgConnection(PgConnection&& other) noexcept : conn_(other.conn_) { other.conn_ = nullptr; }
    PgConnection& operator=(PgConnection&& other) noexcept;
    PgConnection(const PgConnection&) = delete;
    PgConnection& operator=(const PgConnection&) = delete;

    PGconn* get() const { return conn_; }
    bool closed() const { return conn_ == nullptr; }
    void close();
    // Runs a statement on a blocking connection and returns its rows.
    std::vector<Row> Exec(const std::string& sql);
    // `templ` with every "'{}'" replaced, in order, by the next value as an
    // escaped SQL literal (for ordinary values the text is unchanged).
    std::string Literals(std::string templ, const std::vector<std::string>& values) const;

private:
    PGconn* conn_ = nullptr;
};

// Opens a connection named `name` (application_name). Empty host/port take the
// command-line values. With `async_` the connection is started in non-blocking
// mode and returned before it is established.
PgConnection connect(const std::string& name, const std::string& host = "", const std::string& port = "",
                     bool async_ = false);

// Password from the credentials table, or nothing (logged). Throws
// std::invalid_argument when `port` is not a number.
std::optional<common_routines::SecureString> get_password(const std::string& host, const std::string& port,
                                        const std::string& dbname, const std::string& user);

// Drives a non-blocking connection until it is established; `timeout_s`
// bounds each socket wait (none: unbounded).
void wait_connect(PGconn* conn, std::optional<int> timeout_s = std::nullopt);

class AsyncCursor {
public:
    explicit AsyncCursor(PGconn* conn) : conn_(conn) {}
    // Sends `query`; with `wait_result` waits until it has completed (server
    // errors are raised here as DbError with their SQLSTATE).
    void execute(const std::string& query, bool wait_result = true);
    // Waits for the statement in flight, then returns its next row.
    std::optional<Row> fetchone(std::optional<int> timeout_s = std::nullopt);
    // Number of columns of the last result.
    int columns() const { return columns_; }
    void close() { closed_ = true; }

private:
    void Complete(std::optional<int> timeout_s);

    PGconn* conn_;
    bool pending_ = false;
    bool closed_ = false;
    std::vector<Row> rows_;
    size_t next_row_ = 0;
    int columns_ = 0;
};

class AsyncConnection {
public:
    explicit AsyncConnection(const std::string& app, const std::string& host = "", const std::string& port = "");
    AsyncCursor cursor() { return AsyncCursor(con_.get()); }
    void close() {
        if (!closed_) con_.close();
        closed_ = true;
    }
    bool closed() const { return closed_; }
    // Server process id of the connection.
    int backend_pid() const { return backend_pid_; }

private:
    PgConnection con_;
    bool closed_ = false;
    int backend_pid_ = 0;
};

bool connection_alive(AsyncCursor& cur);
bool is_in_recovery(AsyncCursor& cur);
int64_t get_wal_segment_size(AsyncCursor& cur);

// Waits until SIGTERM has asked the daemon to end; true when it has.
bool TerminationRequested();
// Installs the daemon's SIGTERM handling.
void InstallTerminationHandler();
// Sleeps one second (ends early, throwing ExitRequest, on SIGTERM).
void SleepOneSecond();

}  // namespace snaprover
