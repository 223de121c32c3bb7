#include "test_support.h"

#include <fcntl.h>
#include <ftw.h>
#include <grp.h>
#include <poll.h>
#include <pty.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>
#include <system_error>

extern char** environ;

namespace testsupport {
namespace {

[[noreturn]] void ThrowErrno(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

std::string TempRoot() {
    const char* t = std::getenv("TMPDIR");
    return (t && *t) ? t : "/tmp";
}

std::string MakeTempDir(const std::string& stem) {
    std::string templ = TempRoot() + "/" + stem + "-XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) ThrowErrno("mkdtemp " + templ);
    return buf.data();
}

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
    ::remove(path);
    return 0;
}

void RemoveTree(const std::string& path) {
    if (!path.empty()) nftw(path.c_str(), RemoveEntry, 32, FTW_DEPTH | FTW_PHYS);
}

bool Exists(const std::string& p) {
    struct stat st {};
    return lstat(p.c_str(), &st) == 0;
}

std::string Parent(const std::string& p) {
    auto pos = p.find_last_of('/');
    if (pos == 0 || pos == std::string::npos) return "/";
    return p.substr(0, pos);
}

// Child-side failure: report on stderr (the captured stream) and leave with 127.
[[noreturn]] void ChildFail(const std::string& what) {
    std::string msg = "test_support: " + what + ": " + std::strerror(errno) + "\n";
    ssize_t ignored = ::write(STDERR_FILENO, msg.data(), msg.size());
    (void)ignored;
    _exit(127);
}

void MkdirP(const std::string& path) {
    if (path.empty() || path == "/" || Exists(path)) return;
    MkdirP(Parent(path));
    if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) ChildFail("mkdir " + path);
}

// Mount points strictly below `dir`, read from /proc/self/mountinfo.
std::vector<std::string> SubMounts(const std::string& dir) {
    std::vector<std::string> result;
    std::ifstream in("/proc/self/mountinfo");
    std::string line;
    const std::string prefix = dir == "/" ? "/" : dir + "/";
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string id, parent, devno, root, mountpoint;
        fields >> id >> parent >> devno >> root >> mountpoint;
        if (mountpoint.size() > prefix.size() && mountpoint.compare(0, prefix.size(), prefix) == 0)
            result.push_back(mountpoint);
    }
    return result;
}

// Runs in the child before exec: private mount namespace, overlays for missing
// targets, then the binds. `scratch` holds the overlay upper and work directories.
void SetUpNamespace(const std::vector<Bind>& binds, const std::string& scratch) {
    if (unshare(CLONE_NEWNS) != 0) ChildFail("unshare(CLONE_NEWNS)");
    if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) ChildFail("make / private");
    std::set<std::string> overlaid;
    int n = 0;
    for (const auto& b : binds) {
        if (!Exists(b.target)) {
            std::string anc = Parent(b.target);
            while (!Exists(anc)) anc = Parent(anc);
            if (!overlaid.count(anc)) {
                // Mounts below the ancestor (e.g. /etc/hosts in a container) would be hidden
                // by the overlay; hold them open and bind them back afterwards.
                std::vector<std::pair<std::string, int>> kept;
                for (const auto& m : SubMounts(anc)) {
                    int fd = open(m.c_str(), O_PATH | O_CLOEXEC);
                    if (fd >= 0) kept.emplace_back(m, fd);
                }
                std::string upper = scratch + "/upper" + std::to_string(n);
                std::string work = scratch + "/work" + std::to_string(n);
                ++n;
                if (mkdir(upper.c_str(), 0755) != 0 || mkdir(work.c_str(), 0755) != 0)
                    ChildFail("mkdir overlay dirs");
                std::string opts = "lowerdir=" + anc + ",upperdir=" + upper + ",workdir=" + work;
                if (mount("overlay", anc.c_str(), "overlay", 0, opts.c_str()) != 0)
                    ChildFail("overlay on " + anc);
                for (const auto& [m, fd] : kept) {
                    std::string src = "/proc/self/fd/" + std::to_string(fd);
                    mount(src.c_str(), m.c_str(), nullptr, MS_BIND | MS_REC, nullptr);
                    close(fd);
                }
                overlaid.insert(anc);
            }
            MkdirP(b.target);
        }
        if (mount(b.source.c_str(), b.target.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
            ChildFail("bind " + b.source + " over " + b.target);
    }
}

std::vector<std::string> BuildEnv(const RunOptions& o) {
    std::map<std::string, std::string> env;
    for (char** e = environ; *e; ++e) {
        std::string kv = *e;
        auto eq = kv.find('=');
        if (eq != std::string::npos) env[kv.substr(0, eq)] = kv.substr(eq + 1);
    }
    for (const auto& u : o.unset_env) env.erase(u);
    for (const auto& [k, v] : o.env) env[k] = v;
    std::vector<std::string> out;
    for (const auto& [k, v] : env) out.push_back(k + "=" + v);
    return out;
}

// Everything the child does after fork and its standard streams are in place.
[[noreturn]] void ExecChild(const RunOptions& o, const std::string& scratch,
                            const std::vector<std::string>& env) {
    if (!o.binds.empty()) SetUpNamespace(o.binds, scratch);
    if (o.umask_value) umask(*o.umask_value);
    if (!o.cwd.empty() && chdir(o.cwd.c_str()) != 0) ChildFail("chdir " + o.cwd);
    if (o.run_as_uid) {
        struct passwd* pw = getpwuid(*o.run_as_uid);
        if (!pw) ChildFail("getpwuid");
        if (initgroups(pw->pw_name, pw->pw_gid) != 0 || setgid(pw->pw_gid) != 0 ||
            setuid(pw->pw_uid) != 0)
            ChildFail("switch user");
    }
    std::vector<char*> argv;
    for (const auto& a : o.argv) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    signal(SIGPIPE, SIG_DFL);
    execve(argv[0], argv.data(), envp.data());
    ChildFail("exec " + o.argv[0]);
}

void FillResult(int status, RunResult& r) {
    if (WIFEXITED(status)) {
        r.exit_code = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        r.exit_code = -1;
        r.term_signal = WTERMSIG(status);
    }
}

}  // namespace

ScratchDir::ScratchDir() : path_(MakeTempDir("dover-test")) {
    chmod(path_.c_str(), 0755);
}

ScratchDir::~ScratchDir() { RemoveTree(path_); }

std::string ScratchDir::MakeDir(const std::string& name, unsigned mode) const {
    std::string full = path_;
    std::istringstream parts(name);
    std::string part;
    while (std::getline(parts, part, '/')) {
        if (part.empty()) continue;
        full += "/" + part;
        if (mkdir(full.c_str(), mode) != 0 && errno != EEXIST) ThrowErrno("mkdir " + full);
    }
    chmod(full.c_str(), mode);
    return full;
}

RunResult Run(const RunOptions& o) {
    if (o.argv.empty()) throw std::invalid_argument("Run: empty argv");
    std::string scratch = o.binds.empty() ? std::string() : MakeTempDir("dover-ns");
    auto env = BuildEnv(o);

    int in_pipe[2], out_pipe[2], err_pipe[2];
    if (pipe2(in_pipe, O_CLOEXEC) != 0 || pipe2(out_pipe, O_CLOEXEC) != 0 ||
        pipe2(err_pipe, O_CLOEXEC) != 0)
        ThrowErrno("pipe");
    pid_t pid = fork();
    if (pid < 0) ThrowErrno("fork");
    if (pid == 0) {
        setpgid(0, 0);
        if (o.stdin_data) {
            dup2(in_pipe[0], STDIN_FILENO);
        } else {
            int devnull = open("/dev/null", O_RDONLY);
            dup2(devnull, STDIN_FILENO);
        }
        dup2(out_pipe[1], STDOUT_FILENO);
        dup2(err_pipe[1], STDERR_FILENO);
        ExecChild(o, scratch, env);
    }
    close(in_pipe[0]);
    close(out_pipe[1]);
    close(err_pipe[1]);

    RunResult r;
    std::string input = o.stdin_data.value_or("");
    size_t written = 0;
    int in_fd = in_pipe[1];
    if (!o.stdin_data || input.empty()) {
        close(in_fd);
        in_fd = -1;
    } else {
        fcntl(in_fd, F_SETFL, O_NONBLOCK);
    }
    int out_fd = out_pipe[0], err_fd = err_pipe[0];
    auto deadline = std::chrono::steady_clock::now() + o.timeout;
    bool killed = false;
    while (out_fd >= 0 || err_fd >= 0) {
        std::vector<pollfd> fds;
        if (out_fd >= 0) fds.push_back({out_fd, POLLIN, 0});
        if (err_fd >= 0) fds.push_back({err_fd, POLLIN, 0});
        if (in_fd >= 0) fds.push_back({in_fd, POLLOUT, 0});
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            kill(-pid, SIGKILL);
            killed = true;
            break;
        }
        int rc = poll(fds.data(), fds.size(), static_cast<int>(std::min<long>(left.count(), 1000)));
        if (rc < 0 && errno != EINTR) ThrowErrno("poll");
        for (auto& p : fds) {
            if (!p.revents) continue;
            if (p.fd == in_fd) {
                ssize_t w = write(in_fd, input.data() + written, input.size() - written);
                if (w > 0) written += static_cast<size_t>(w);
                if (w < 0 && errno != EAGAIN) written = input.size();
                if (written == input.size()) {
                    close(in_fd);
                    in_fd = -1;
                }
                continue;
            }
            char buf[65536];
            ssize_t n = read(p.fd, buf, sizeof buf);
            if (n > 0) {
                (p.fd == out_fd ? r.out : r.err).append(buf, static_cast<size_t>(n));
            } else if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) {
                close(p.fd);
                (p.fd == out_fd ? out_fd : err_fd) = -1;
            }
        }
    }
    if (in_fd >= 0) close(in_fd);
    if (out_fd >= 0) close(out_fd);
    if (err_fd >= 0) close(err_fd);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    FillResult(status, r);
    if (killed) r.err += "\n[test_support: killed after timeout]\n";
    RemoveTree(scratch);
    return r;
}

RunResult Run(std::vector<std::string> argv, std::optional<std::string> stdin_data) {
    RunOptions o;
    o.argv = std::move(argv);
    o.stdin_data = std::move(stdin_data);
    return Run(o);
}

PtySession::PtySession(const RunOptions& o) {
    if (o.argv.empty()) throw std::invalid_argument("PtySession: empty argv");
    std::string scratch = o.binds.empty() ? std::string() : MakeTempDir("dover-ns");
    if (!scratch.empty()) overlay_dirs_.push_back(scratch);
    auto env = BuildEnv(o);
    struct winsize ws {};
    ws.ws_row = 50;
    ws.ws_col = 200;
    int slave = -1;
    if (openpty(&master_, &slave, nullptr, nullptr, &ws) != 0) ThrowErrno("openpty");
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    pid_ = fork();
    if (pid_ < 0) ThrowErrno("fork");
    if (pid_ == 0) {
        close(master_);
        setsid();
        ioctl(slave, TIOCSCTTY, 0);
        dup2(slave, STDIN_FILENO);
        dup2(slave, STDOUT_FILENO);
        dup2(slave, STDERR_FILENO);
        if (slave > STDERR_FILENO) close(slave);
        ExecChild(o, scratch, env);
    }
    close(slave);
    fcntl(master_, F_SETFL, O_NONBLOCK);
}

PtySession::~PtySession() {
    if (pid_ > 0) {
        kill(-pid_, SIGKILL);
        kill(pid_, SIGKILL);
        int status;
        waitpid(pid_, &status, 0);
    }
    if (master_ >= 0) close(master_);
    for (const auto& d : overlay_dirs_) RemoveTree(d);
}

void PtySession::Send(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t w = write(master_, bytes.data() + done, bytes.size() - done);
        if (w > 0) {
            done += static_cast<size_t>(w);
        } else if (w < 0 && errno == EAGAIN) {
            ReadSome(std::chrono::milliseconds(10));
        } else if (w < 0 && errno != EINTR) {
            return;
        }
    }
}

void PtySession::SendEof() { Send("\x04"); }

bool PtySession::ReadSome(std::chrono::milliseconds timeout) {
    pollfd p{master_, POLLIN, 0};
    int rc = poll(&p, 1, static_cast<int>(timeout.count()));
    if (rc <= 0) return rc == 0;
    char buf[4096];
    ssize_t n = read(master_, buf, sizeof buf);
    if (n > 0) {
        transcript_.append(buf, static_cast<size_t>(n));
        return true;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
    return false;  // EIO: the program and everything holding the terminal are gone
}

bool PtySession::WaitFor(const std::string& marker, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        auto pos = transcript_.find(marker, consumed_);
        if (pos != std::string::npos) {
            consumed_ = pos + marker.size();
            return true;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        if (!ReadSome(std::min(left, std::chrono::milliseconds(200)))) return false;
    }
}

RunResult PtySession::Wait(std::chrono::seconds timeout) {
    RunResult r;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    bool exited = false;
    while (std::chrono::steady_clock::now() < deadline) {
        bool open = ReadSome(std::chrono::milliseconds(100));
        if (!exited && waitpid(pid_, &status, WNOHANG) == pid_) exited = true;
        if (exited && !open) break;
        if (exited) {
            // Drain what is still buffered in the terminal, then stop.
            while (ReadSome(std::chrono::milliseconds(50))) {
                pollfd p{master_, POLLIN, 0};
                if (poll(&p, 1, 0) <= 0) break;
            }
            break;
        }
    }
    if (!exited) {
        kill(-pid_, SIGKILL);
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        r.err = "[test_support: killed after timeout]";
    }
    pid_ = -1;
    FillResult(status, r);
    r.out = transcript_;
    return r;
}

std::string StagePrefix() { return DOVER_STAGE_PREFIX; }

std::string StagedProgram(const std::string& name) { return StagePrefix() + "/bin/" + name; }

std::string BuildDir() { return DOVER_BUILD_DIR; }

std::string ReadFileOrDie(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteFileOrDie(const std::string& path, const std::string& data, unsigned mode) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) ThrowErrno("open " + path);
    size_t done = 0;
    while (done < data.size()) {
        ssize_t w = write(fd, data.data() + done, data.size() - done);
        if (w < 0) {
            if (errno == EINTR) continue;
            close(fd);
            ThrowErrno("write " + path);
        }
        done += static_cast<size_t>(w);
    }
    fchmod(fd, mode);
    close(fd);
}

int WaitForChild(int pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool ByteArrives(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, ms) != 1) return false;
    char c = 0;
    return read(fd, &c, 1) == 1;
}

}  // namespace testsupport
