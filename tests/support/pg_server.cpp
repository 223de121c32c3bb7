#include "pg_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ftw.h>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

namespace testsupport {

namespace {

const char* const kBinDir = "/usr/lib/postgresql/15/bin";

[[noreturn]] void Fail(const std::string& what) {
    throw std::runtime_error("PgServer: " + what);
}

[[noreturn]] void FailErrno(const std::string& what) {
    Fail(what + ": " + std::strerror(errno));
}

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
    ::remove(path);
    return 0;
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteAll(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) Fail("cannot write " + path);
}

// A TCP port on 127.0.0.1 that nothing listens on right now.
int FreePort() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) FailErrno("socket");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        close(fd);
        FailErrno("bind");
    }
    close(fd);
    return ntohs(addr.sin_port);
}

struct ChildResult {
    int status = -1;
    std::string output;  // stdout and stderr together
};

// Starts argv as uid/gid with stdout and stderr sent to `out_fd` (or captured
// when out_fd is -1 and `capture` is set). Returns the child's pid.
pid_t Spawn(const std::vector<std::string>& argv, uid_t uid, gid_t gid, int out_fd,
            const std::string& stdin_path = "/dev/null") {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = fork();
    if (pid < 0) FailErrno("fork");
    if (pid == 0) {
        int in = open(stdin_path.c_str(), O_RDONLY);
        if (in >= 0) dup2(in, STDIN_FILENO);
        // The server would otherwise keep a second, stray descriptor of it.
        if (in > STDERR_FILENO) close(in);
        dup2(out_fd, STDOUT_FILENO);
        dup2(out_fd, STDERR_FILENO);
        if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0) _exit(126);
        static char path_env[] = "PATH=/usr/lib/postgresql/15/bin:/usr/bin:/bin";
        static char lc_env[] = "LC_ALL=C";
        static char home_env[] = "HOME=/var/lib/postgresql";
        char* env[] = {path_env, lc_env, home_env, nullptr};
        execve(args[0], args.data(), env);
        _exit(127);
    }
    return pid;
}

// Runs argv to completion and collects its output.
ChildResult RunCollect(const std::vector<std::string>& argv, uid_t uid, gid_t gid,
                       const std::string& stdin_path = "/dev/null") {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) FailErrno("pipe");
    pid_t pid = Spawn(argv, uid, gid, fds[1], stdin_path);
    close(fds[1]);
    ChildResult r;
    char buf[4096];
    for (;;) {
        ssize_t n = read(fds[0], buf, sizeof buf);
        if (n > 0) {
            r.output.append(buf, static_cast<size_t>(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            break;
        }
    }
    close(fds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

std::string Tail(const std::string& text, size_t n = 2000) {
    return text.size() <= n ? text : text.substr(text.size() - n);
}

}  // namespace

PgServer::PgServer() : PgServer(std::vector<std::string>{}) {}

PgServer::PgServer(std::vector<std::string> settings) : settings_(std::move(settings)) {
    struct passwd* pw = getpwnam("postgres");
    if (pw == nullptr) Fail("no user postgres");
    uid_ = pw->pw_uid;
    gid_ = pw->pw_gid;

    // /tmp rather than $TMPDIR: the server user must be able to reach it.
    std::string templ = "/tmp/dover-pg-XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) FailErrno("mkdtemp");
    root_ = buf.data();
    chmod(root_.c_str(), 0755);
    data_dir_ = root_ + "/data";
    socket_dir_ = root_ + "/sock";
    log_path_ = root_ + "/server.log";
    std::string pwfile = root_ + "/pwfile";
    for (const auto& dir : {data_dir_, socket_dir_}) {
        if (mkdir(dir.c_str(), 0700) != 0) FailErrno("mkdir " + dir);
        if (chown(dir.c_str(), uid_, gid_) != 0) FailErrno("chown " + dir);
    }
    WriteAll(pwfile, std::string(SuperuserPassword()) + "\n");
    chown(pwfile.c_str(), uid_, gid_);
    chmod(pwfile.c_str(), 0600);

    ChildResult init = RunCollect({std::string(kBinDir) + "/initdb", "-D", data_dir_, "-U", "postgres",
                                   "--auth-local=trust", "--auth-host=scram-sha-256",
                                   "--pwfile=" + pwfile, "-E", "UTF8", "--locale=C", "-N"},
                                  uid_, gid_);
    ::remove(pwfile.c_str());
    if (init.status != 0) {
        std::string out = init.output;
        nftw(root_.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
        Fail("initdb failed:\n" + Tail(out));
    }
    WriteAll(data_dir_ + "/pg_hba.conf",
             "local all all trust\n"
             "local replication all trust\n"
             "host all all 127.0.0.1/32 scram-sha-256\n"
             "host replication all 127.0.0.1/32 scram-sha-256\n");

    // Another test may take the port between the probe and the bind; try again.
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (TryStart()) return;
    }
    std::string log = ServerLog();
    nftw(root_.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
    Fail("server did not start:\n" + Tail(log));
}

bool PgServer::TryStart() {
    port_ = FreePort();
    int log_fd = open(log_path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (log_fd < 0) FailErrno("open " + log_path_);
    fchown(log_fd, uid_, gid_);
    std::vector<std::string> argv = {std::string(kBinDir) + "/postgres", "-D", data_dir_, "-p",
                                     std::to_string(port_), "-k", socket_dir_, "-c", "listen_addresses=127.0.0.1",
                                     "-c", "fsync=off", "-c", "password_encryption=scram-sha-256", "-c",
                                     "max_connections=20", "-c", "shared_buffers=16MB"};
    for (const auto& setting : settings_) {
        argv.push_back("-c");
        argv.push_back(setting);
    }
    pid_ = Spawn(argv, uid_, gid_, log_fd);
    close(log_fd);

    // The server writes "ready" into the status line of postmaster.pid once it
    // accepts connections.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return false;
        }
        std::istringstream pidfile(ReadAll(data_dir_ + "/postmaster.pid"));
        std::string line;
        for (int i = 0; i < 8 && std::getline(pidfile, line); ++i) {
        }
        if (line.rfind("ready", 0) == 0) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    Stop();
    return false;
}

PgServer::~PgServer() {
    Stop();
    if (!root_.empty()) nftw(root_.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

void PgServer::Stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGINT);  // fast shutdown
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) != pid_) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    pid_ = -1;
}

std::string PgServer::ServerLog() const { return ReadAll(log_path_); }

std::string PgServer::Sql(const std::string& sql, const std::string& database) const {
    // The statement goes through a file so that no quoting of the command line
    // is needed.
    std::string script = root_ + "/script-" + std::to_string(getpid()) + ".sql";
    WriteAll(script, sql);
    chmod(script.c_str(), 0644);
    ChildResult r = RunCollect({std::string(kBinDir) + "/psql", "-X", "-q", "-A", "-t",
                                "-v", "ON_ERROR_STOP=1", "-h", socket_dir_, "-p",
                                std::to_string(port_), "-U", "postgres", "-d", database, "-f",
                                script},
                               uid_, gid_);
    ::remove(script.c_str());
    if (r.status != 0) Fail("psql failed for \"" + sql + "\":\n" + r.output);
    return r.output;
}

void PgServer::CreateRole(const std::string& name, const std::string& password,
                          const std::string& attributes) const {
    Sql("CREATE ROLE " + QuoteIdent(name) + " WITH " + attributes + " PASSWORD " +
        QuoteLiteral(password) + ";");
}

void PgServer::CreateDatabase(const std::string& name, const std::string& owner) const {
    Sql("CREATE DATABASE " + QuoteIdent(name) + " OWNER " + QuoteIdent(owner) + ";");
}

std::string PgServer::QuoteLiteral(const std::string& s) {
    std::string out = "'";
    for (char c : s) {
        if (c == '\'') out += '\'';
        out += c;
    }
    return out + "'";
}

std::string PgServer::QuoteIdent(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

}  // namespace testsupport
