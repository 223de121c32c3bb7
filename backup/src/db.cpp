// Database access: connections, password lookup, the non-blocking cursor.

#include "db.h"

#include <poll.h>
#include <signal.h>
#include <time.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "common/error_code.h"
#include "common/secure_buffer.h"
#include "credentials/cred_tab.h"
#include "encryption_wrapper/encryption_wrapper.h"
#include "snaprover.h"

namespace snaprover {

namespace {

volatile sig_atomic_t g_terminate = 0;

void OnTerminate(int) { g_terminate = 1; }

std::string Trimmed(const char* message) {
    std::string s = message != nullptr ? message : "";
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    return s;
}

std::string ConnError(PGconn* conn) { return Trimmed(PQerrorMessage(conn)); }

void CheckTermination() {
    if (g_terminate) throw ExitRequest{1};
}

enum class Ready { Read, Write, Either };

// Waits until the connection's socket is ready as asked.
void WaitSocket(PGconn* conn, Ready want, std::optional<int> timeout_s) {
    int fd = PQsocket(conn);
    if (fd < 0) throw DbError("Invalid socket: " + ConnError(conn));
    struct pollfd p {};
    p.fd = fd;
    p.events = want == Ready::Read ? POLLIN : want == Ready::Write ? POLLOUT : (POLLIN | POLLOUT);
    int timeout_ms = timeout_s ? *timeout_s * 1000 : -1;
    for (;;) {
        CheckTermination();
        int rc = poll(&p, 1, timeout_ms);
        if (rc < 0 && errno == EINTR) continue;
        if (rc < 0) throw DbError(std::string("poll: ") + std::strerror(errno));
        if (rc == 0) throw DbError("Timeout expired");
        return;
    }
}

// Converts a port text (blanks around, an optional sign, decimal digits);
// throws std::invalid_argument otherwise.
long ParsePort(const std::string& port) {
    size_t b = port.find_first_not_of(" \t\n\r\f\v");
    size_t e = port.find_last_not_of(" \t\n\r\f\v");
    std::string core = b == std::string::npos ? "" : port.substr(b, e - b + 1);
    size_t first = (!core.empty() && (core[0] == '+' || core[0] == '-')) ? 1 : 0;
    if (first >= core.size() || core.find_first_not_of("0123456789", first) != std::string::npos ||
        core.size() > 18) {
        throw std::invalid_argument("port is not a number: '" + port + "'");
    }
    return std::stol(core);
}

}  // namespace

bool TerminationRequested() { return g_terminate != 0; }

void InstallTerminationHandler() {
    struct sigaction sa {};
    sa.sa_handler = OnTerminate;
    sigemptyset(&sa.sa_mask);
    // No SA_RESTART: a socket wait or a sleep returns at once and checks the flag.
    sigaction(SIGTERM, &sa, nullptr);
}

void SleepOneSecond() {
    CheckTermination();
    struct timespec left = {1, 0};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) CheckTermination();
}

PgConnection& PgConnection::operator=(PgConnection&& other) noexcept {
    if (this != &other) {
        close();
        conn_ = other.conn_;
        other.conn_ = nullptr;
    }
    return *this;
}

void PgConnection::close() {
    if (conn_ != nullptr) PQfinish(conn_);
    conn_ = nullptr;
}

std::vector<Row> PgConnection::Exec(const std::string& sql) {
    if (conn_ == nullptr) throw DbError("connection already closed");
    std::unique_ptr<PGresult, decltype(&PQclear)> res(PQexec(conn_, sql.c_str()), &PQclear);
    if (!res) throw DbError(ConnError(conn_));
    ExecStatusType st = PQresultStatus(res.get());
    if (st != PGRES_TUPLES_OK && st != PGRES_COMMAND_OK) {
        const char* state = PQresultErrorField(res.get(), PG_DIAG_SQLSTATE);
        throw DbError(Trimmed(PQresultErrorMessage(res.get())), state != nullptr ? state : "");
    }
    std::vector<Row> rows;
    for (int r = 0; r < PQntuples(res.get()); ++r) {
        Row row;
        for (int c = 0; c < PQnfields(res.get()); ++c) {
            if (PQgetisnull(res.get(), r, c)) {
                row.emplace_back(std::nullopt);
            } else {
                row.emplace_back(std::string(PQgetvalue(res.get(), r, c)));
            }
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

std::string PgConnection::Literals(std::string templ, const std::vector<std::string>& values) const {
    size_t from = 0;
    for (const auto& value : values) {
        size_t at = templ.find("'{}'", from);
        if (at == std::string::npos) break;
        char* quoted = PQescapeLiteral(conn_, value.data(), value.size());
        if (quoted == nullptr) throw DbError(ConnError(conn_));
        std::string literal = quoted;
        PQfreemem(quoted);
        templ.replace(at, 4, literal);
        from = at + literal.size();
    }
    return templ;
}

std::optional<common_routines::SecureString> get_password(const std::string& host, const std::string& port,
                                        const std::string& dbname, const std::string& user) {
    Logger& log = Ctx().log;
    int error = EncryptionInitInstalled();
    if (error != 0) {
        log.Warning("could not initialize encryption plugin. Error: " + std::to_string(error));
        return std::nullopt;
    }
    CredTabHandle table = nullptr;
    error = CredTabOpen(&table);
    // Closing the table also releases its file lock, whatever happens below.
    std::unique_ptr<void, int (*)(CredTabHandle)> guard(table, &CredTabClose);
    std::string where = "host:" + host + ", port:" + port + ", dbname:" + dbname + ", user:" + user;
    if (table == nullptr) {
        log.Warning("could not load secstore for " + where + ", error:" + std::to_string(error));
        return std::nullopt;
    }
    long port_num = ParsePort(port);
    const char* password = nullptr;
    if (port_num == 0) {
        error = ERR_INPUT_DATA;
    } else {
        error = CredTabGetPassword(table, host.c_str(), static_cast<uint32_t>(port_num), dbname.c_str(),
                                   user.c_str(), &password);
    }
    if (error != 0 || password == nullptr) {
        log.Info("no password for " + where + ", error:" + std::to_string(error));
        return std::nullopt;
    }
    return common_routines::SecureString(password);
}

PgConnection connect(const std::string& name, const std::string& host, const std::string& port, bool async_) {
    const Options& opt = Ctx().opt;
    std::string h = host.empty() ? opt.host : host;
    std::string p = port.empty() ? opt.port : port;
    common_routines::SecureString password;
    if (opt.password && !opt.password->empty()) {
        password = *opt.password;
    } else if (auto stored = get_password(h, p, opt.database, opt.user)) {
        password = std::move(*stored);
    }
    std::vector<const char*> keys = {"application_name", "host", "port", "dbname", "user"};
    std::vector<const char*> values = {name.c_str(), h.c_str(), p.c_str(), opt.database.c_str(), opt.user.c_str()};
    if (!password.empty()) {
        keys.push_back("password");
        values.push_back(password.c_str());
    }
    keys.push_back(nullptr);
    values.push_back(nullptr);
    PGconn* conn = async_ ? PQconnectStartParams(keys.data(), values.data(), 0)
                          : PQconnectdbParams(keys.data(), values.data(), 0);
    password.Wipe();
    if (conn == nullptr) throw DbError("out of memory");
    PgConnection result(conn);
    if (PQstatus(conn) == CONNECTION_BAD) throw DbError(ConnError(conn));
    if (async_ && PQsetnonblocking(conn, 1) != 0) throw DbError(ConnError(conn));
    return result;
}

void wait_connect(PGconn* conn, std::optional<int> timeout_s) {
    // libpq asks for the socket to become writable first.
    PostgresPollingStatusType state = PGRES_POLLING_WRITING;
    for (;;) {
        switch (state) {
            case PGRES_POLLING_WRITING: WaitSocket(conn, Ready::Write, timeout_s); break;
            case PGRES_POLLING_READING: WaitSocket(conn, Ready::Read, timeout_s); break;
            default: break;
        }
        state = PQconnectPoll(conn);
        if (state == PGRES_POLLING_OK) return;
        if (state == PGRES_POLLING_FAILED) throw DbError(ConnError(conn));
        if (state != PGRES_POLLING_READING && state != PGRES_POLLING_WRITING) {
            throw DbError("Invalid state: " + std::to_string(static_cast<int>(state)));
        }
    }
}

void AsyncCursor::execute(const std::string& query, bool wait_result) {
    if (closed_) throw DbError("cursor already closed");
    // A result that was never fetched is dropped before the next statement.
    if (pending_) Complete(std::nullopt);
    rows_.clear();
    next_row_ = 0;
    columns_ = 0;
    if (PQsendQuery(conn_, query.c_str()) == 0) throw DbError(ConnError(conn_));
    pending_ = true;
    if (wait_result) Complete(std::nullopt);
}

std::optional<Row> AsyncCursor::fetchone(std::optional<int> timeout_s) {
    Complete(timeout_s);
    if (next_row_ >= rows_.size()) return std::nullopt;
    return rows_[next_row_++];
}

void AsyncCursor::Complete(std::optional<int> timeout_s) {
    if (!pending_) return;
    std::optional<DbError> failure;
    for (;;) {
        int flushed = PQflush(conn_);
        if (flushed < 0) {
            pending_ = false;
            throw DbError(ConnError(conn_));
        }
        if (flushed == 1) {
            // The server may be waiting for us to read before it takes more.
            WaitSocket(conn_, Ready::Either, timeout_s);
            if (PQconsumeInput(conn_) == 0) {
                pending_ = false;
                throw DbError(ConnError(conn_));
            }
            continue;
        }
        if (PQconsumeInput(conn_) == 0) {
            pending_ = false;
            throw DbError(ConnError(conn_));
        }
        if (PQisBusy(conn_)) {
            WaitSocket(conn_, Ready::Read, timeout_s);
            continue;
        }
        PGresult* res = PQgetResult(conn_);
        if (res == nullptr) break;
        ExecStatusType st = PQresultStatus(res);
        if (st == PGRES_FATAL_ERROR || st == PGRES_BAD_RESPONSE || st == PGRES_NONFATAL_ERROR) {
            if (!failure) {
                const char* state = PQresultErrorField(res, PG_DIAG_SQLSTATE);
                failure.emplace(Trimmed(PQresultErrorMessage(res)), state != nullptr ? state : "");
            }
        } else if (st == PGRES_TUPLES_OK) {
            columns_ = PQnfields(res);
            for (int r = 0; r < PQntuples(res); ++r) {
                Row row;
                for (int c = 0; c < columns_; ++c) {
                    if (PQgetisnull(res, r, c)) {
                        row.emplace_back(std::nullopt);
                    } else {
                        row.emplace_back(std::string(PQgetvalue(res, r, c)));
                    }
                }
                rows_.push_back(std::move(row));
            }
        }
        PQclear(res);
    }
    pending_ = false;
    if (failure) throw *failure;
}

AsyncConnection::AsyncConnection(const std::string& app, const std::string& host, const std::string& port)
    : con_(connect(app, host, port, true)) {
    wait_connect(con_.get());
    backend_pid_ = PQbackendPID(con_.get());
}

bool connection_alive(AsyncCursor& cur) {
    try {
        cur.execute("SELECT 1;");
        return true;
    } catch (const ExitRequest&) {
        throw;
    } catch (...) {
        return false;
    }
}

namespace {

std::string FirstColumn(AsyncCursor& cur, const std::string& query) {
    cur.execute(query);
    std::optional<Row> row = cur.fetchone();
    if (!row || row->empty() || !(*row)[0]) throw DbError("no result row");
    return *(*row)[0];
}

}  // namespace

bool is_in_recovery(AsyncCursor& cur) {
    try {
        return FirstColumn(cur, "SELECT pg_is_in_recovery();") == "t";
    } catch (const std::exception& e) {
        Ctx().log.Error(std::string("could not execute pg_is_in_recovery() -> stop. err = ") + e.what());
        set_backup_state_failed();
        throw ExitRequest{1};
    }
}

int64_t get_wal_segment_size(AsyncCursor& cur) {
    try {
        int64_t size = std::stoll(FirstColumn(cur, "SELECT setting FROM pg_settings WHERE name = 'wal_segment_size';"));
        // The WAL file name divides by it.
        if (size <= 0) throw std::out_of_range("wal_segment_size " + std::to_string(size));
        return size;
    } catch (const std::exception& e) {
        Ctx().log.Error(std::string("could not get wal_segment_size, err = ") + e.what());
        set_backup_state_failed();
        throw ExitRequest{1};
    }
}

}  // namespace snaprover
