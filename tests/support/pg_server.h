#pragma once

// A throw-away PostgreSQL 15 server for end-to-end tests: Debian's binaries from
// /usr/lib/postgresql/15/bin, run as the `postgres` user on a scratch data
// directory, listening on 127.0.0.1 and a free port and on a socket in the scratch
// directory. TCP connections (normal and replication) use scram-sha-256 password
// authentication; the local socket trusts everybody so tests can administer it.

#include <string>
#include <vector>
#include <sys/types.h>

namespace testsupport {

class PgServer {
public:
    // Runs initdb and starts the server; throws std::runtime_error (with the tail
    // of the server log) when it does not come up.
    PgServer();
    // The same, with extra server settings ("name=value", each passed as -c).
    explicit PgServer(std::vector<std::string> settings);
    // Stops the server (fast shutdown) and removes the scratch directory.
    ~PgServer();
    PgServer(const PgServer&) = delete;
    PgServer& operator=(const PgServer&) = delete;

    // Password of the superuser "postgres" over TCP.
    static const char* SuperuserPassword() { return "postgres-secret"; }

    const std::string& host() const { return host_; }
    int port() const { return port_; }
    const std::string& socket_dir() const { return socket_dir_; }
    const std::string& data_dir() const { return data_dir_; }
    std::string ServerLog() const;

    // Runs SQL through psql over the local socket as the superuser; returns the
    // unaligned, tuples-only output. Throws std::runtime_error on any error.
    std::string Sql(const std::string& sql, const std::string& database = "postgres") const;

    // CREATE ROLE name WITH <attributes> PASSWORD '<password>'.
    void CreateRole(const std::string& name, const std::string& password,
                    const std::string& attributes = "LOGIN") const;
    // CREATE DATABASE name OWNER owner.
    void CreateDatabase(const std::string& name, const std::string& owner = "postgres") const;

    // Fast shutdown; called by the destructor if not done before.
    void Stop();

    // SQL quoting helpers for test text.
    static std::string QuoteLiteral(const std::string& s);
    static std::string QuoteIdent(const std::string& s);

private:
    bool TryStart();

    std::string root_;
    std::string data_dir_;
    std::string socket_dir_;
    std::string log_path_;
    std::string host_ = "127.0.0.1";
    int port_ = 0;
    std::vector<std::string> settings_;
    pid_t pid_ = -1;
    uid_t uid_ = 0;
    gid_t gid_ = 0;
};

}  // namespace testsupport
