#pragma once

// Helpers for tests that run real programs: child processes with captured output,
// private mount namespaces with scratch directories bound over fixed host paths,
// pseudo-terminal sessions and scratch directories.

#include <unistd.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

// A directory under $TMPDIR (or /tmp) removed recursively on destruction.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& path() const { return path_; }
    // Path of a child entry.
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }
    // Makes a subdirectory (and parents) and returns its path.
    std::string MakeDir(const std::string& name, unsigned mode = 0755) const;

private:
    std::string path_;
};

// Binds `source` over the fixed path `target` inside the child's private mount
// namespace. A missing target (e.g. /etc/postgres or /usr/dover-or-04 on a host that
// has none) is created inside the namespace only, under an overlay of its nearest
// existing ancestor, so the host's file system is never changed.
struct Bind {
    std::string source;
    std::string target;
};

struct RunOptions {
    std::vector<std::string> argv;          // argv[0] is the program path
    std::optional<std::string> stdin_data;  // nullopt: stdin is /dev/null
    std::vector<Bind> binds;                // non-empty: run in a private mount namespace
    std::map<std::string, std::string> env; // set (added or replaced) in the child
    std::vector<std::string> unset_env;     // removed from the child's environment
    std::string cwd;                        // empty: inherit
    std::optional<unsigned> run_as_uid;     // switch user (and its group) before exec
    std::optional<unsigned> umask_value;
    std::chrono::seconds timeout{120};      // child is killed after this
};

struct RunResult {
    int exit_code = -1;   // exit status, or -1 when killed by a signal
    int term_signal = 0;  // signal number when killed by one
    std::string out;
    std::string err;
};

// Runs a program to completion, capturing stdout and stderr separately.
RunResult Run(const RunOptions& options);

// Convenience: Run with only argv (and optional stdin).
RunResult Run(std::vector<std::string> argv, std::optional<std::string> stdin_data = std::nullopt);

// Same as Run; inside a TEST body an unqualified Run names testing::Test::Run, so
// tests call these (or testsupport::Run).
inline RunResult RunProgram(const RunOptions& options) { return Run(options); }
inline RunResult RunProgram(std::vector<std::string> argv,
                            std::optional<std::string> stdin_data = std::nullopt) {
    return Run(std::move(argv), std::move(stdin_data));
}

// A program whose stdin, stdout and stderr are one pseudo-terminal, as when a person
// types at it. Everything the program writes is collected in transcript().
class PtySession {
public:
    explicit PtySession(const RunOptions& options);
    ~PtySession();
    PtySession(const PtySession&) = delete;
    PtySession& operator=(const PtySession&) = delete;

    // Sends bytes as if typed.
    void Send(const std::string& bytes);
    // Reads until `marker` appears in the transcript after the last match position;
    // returns false on timeout or end of output.
    bool WaitFor(const std::string& marker, std::chrono::milliseconds timeout = std::chrono::seconds(20));
    // Sends end-of-file (Ctrl+D at the start of a line).
    void SendEof();
    // Waits for the program to end, collecting the rest of its output.
    RunResult Wait(std::chrono::seconds timeout = std::chrono::seconds(60));
    const std::string& transcript() const { return transcript_; }

private:
    bool ReadSome(std::chrono::milliseconds timeout);
    int master_ = -1;
    int pid_ = -1;
    std::string transcript_;
    size_t consumed_ = 0;
    std::vector<std::string> overlay_dirs_;
};

// Root of the staged install tree: <build>/stage/usr/dover-or-04.
std::string StagePrefix();
// <build>/stage/usr/dover-or-04/bin/<name>.
std::string StagedProgram(const std::string& name);
// Build directory (for locating test doubles and plug-in builds).
std::string BuildDir();

// Whole-file helpers for test setup and checks.
std::string ReadFileOrDie(const std::string& path);
void WriteFileOrDie(const std::string& path, const std::string& data, unsigned mode = 0644);

// Forked children, for checks that need a second process (locks, fork
// handling) or a change the test process must not make to itself (limits,
// user, mount namespace).

// Waits for a child: its exit status, or -1 when a signal ended it.
int WaitForChild(int pid);

// Starts `body` in a forked child, which exits with what `body` returns; the
// child's pid (-1 when fork fails), for WaitForChild.
template <typename Body>
int StartChild(Body body) {
    const int pid = ::fork();
    if (pid == 0) ::_exit(body());
    return pid;
}

// Runs `body` in a forked child, which exits with what `body` returns, and
// waits for it: the child's exit status, or -1.
template <typename Body>
int RunInChild(Body body) {
    const int pid = StartChild(body);
    return pid < 0 ? -1 : WaitForChild(pid);
}

// As RunInChild, but a child of root first becomes user and group 65534, so
// that permission checks apply (exit status 99 when it cannot); a run that is
// not root is subject to them already and keeps its own user.
template <typename Body>
int RunAsNobody(Body body) {
    return RunInChild([&] {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) return 99;
        return body();
    });
}

// True when a byte arrives on `fd` within `ms` milliseconds; the byte is read.
bool ByteArrives(int fd, int ms);

}  // namespace testsupport
