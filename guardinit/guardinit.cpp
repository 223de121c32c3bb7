// guardinit: fills the security catalogs of a new data directory and creates the
// first security administrator. It does no database work itself; it runs the
// server program beside it, alternately in bootstrap and single-user mode, and
// pipes a fixed script into each run.

#include <fcntl.h>
#include <getopt.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "common/product_info.h"
#include "common/secure_buffer.h"
#include "common/terminal_guard.h"
#include "common/unique_handles.h"
#include "initializer.h"
#include "pg_frontend.h"
#include "scenarios.h"

namespace {

using namespace guardinit;

using product_info::kServerMajorVersion;
constexpr const char* kBackendVersion = product_info::kServerVersionLine;
constexpr char kTextDomain[] = "guardinit-11";
using product_info::kSupportAddress;

// Copies a secret that a C helper returned in malloc'ed memory into a
// SecureString, then wipes and frees the original. Null gives empty text.
common_routines::SecureString TakeSecret(char* text) {
    common_routines::SecureString secret;
    if (text) {
        secret = text;
        explicit_bzero(text, std::strlen(text));
        std::free(text);
    }
    return secret;
}

// Everything one run works with, filled in by the first stages and passed
// down. It lives as long as the program (a stage that fails ends the program
// with exit(), which destroys it, so the password is wiped then as well).
struct RunState {
    const char* progname = "guardinit";
    std::string pg_data;
    std::string username;
    common_routines::SecureString password;
    char backend_exec[GUARDINIT_MAXPGPATH] = {};
    char bin_path[GUARDINIT_MAXPGPATH] = {};
    OutputStatus output;
    // Stdio buffer of the pipe to the running child, wiped after each run
    // because it may hold the password.
    char pipe_buffer[BUFSIZ] = {};
};

[[noreturn]] void ExitFailure() { std::exit(1); }

void Usage(const char* progname) {
    std::printf("%s initializes a PostgreSQL protection mechanism.\n\n", progname);
    std::printf("Usage:\n");
    std::printf("  %s [OPTION]... [DATADIR]\n", progname);
    std::printf("\nOptions:\n");
    std::printf(" [-D, --pgdata=]DATADIR     location for this database cluster\n");
    std::printf("  -U, --username=NAME       security administrator name\n");
    std::printf("\nIf the data directory is not specified, the environment variable PGDATA\n"
                "is used.\n");
    std::printf("\nIf there would be found any data modifications in security catalogs - "
                "program will be terminated with error.\n");
    std::printf("\nReport bugs to <%s>.\n", kSupportAddress);
}

[[noreturn]] void TryHelp(const char* progname) {
    std::fprintf(stderr, "Try \"%s --help\" for more information.\n", progname);
    ExitFailure();
}

// The data directory from the option or PGDATA, canonicalized and exported to the
// server runs.
void SetupPgdata(RunState& state, const std::optional<std::string>& option) {
    if (option && !option->empty()) {
        state.pg_data = *option;
    } else {
        const char* env = std::getenv("PGDATA");
        if (!env || !*env) {
            std::fprintf(stderr,
                         "%s: no data directory specified\n"
                         "You must identify the directory where the data for this database system\n"
                         "will reside.  Do this with either the invocation option -D or the\n"
                         "environment variable PGDATA.\n",
                         state.progname);
            ExitFailure();
        }
        state.pg_data = env;
    }
    std::vector<char> path(state.pg_data.begin(), state.pg_data.end());
    path.push_back('\0');
    gi_canonicalize_path(path.data());
    state.pg_data = path.data();
    if (setenv("PGDATA", state.pg_data.c_str(), 1) != 0) {
        std::fputs("out of memory\n", stderr);
        ExitFailure();
    }
}

// The first line that `program -V` prints, read from the program run directly:
// the path may hold characters that a shell would expand or run.
bool ReadVersionLine(const char* program, char* line, std::size_t size) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return false;
    std::fflush(stdout);
    std::fflush(stderr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], STDOUT_FILENO);
        execl(program, program, "-V", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    std::size_t used = 0;
    bool ended = false;
    while (pid > 0 && !ended && used + 1 < size) {
        ssize_t n = read(fds[0], line + used, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        ended = line[used] == '\n';
        ++used;
    }
    line[used] = '\0';
    close(fds[0]);
    int status = 0;
    while (pid > 0 && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return pid > 0 && used > 0;
}

// Finds `target` beside this program's executable and checks the first line it
// prints for -V: 0 found, -1 not found or not executable, -2 another version.
int FindOtherExec(const char* argv0, const char* target, const char* versionstr, char* retpath) {
    if (gi_find_my_exec(argv0, retpath) < 0) return -1;
    if (char* slash = std::strrchr(retpath, '/')) slash[1] = '\0';
    if (std::strlen(retpath) + std::strlen(target) >= GUARDINIT_MAXPGPATH) return -1;
    std::strcat(retpath, target);
    struct stat st;
    if (stat(retpath, &st) != 0 || !S_ISREG(st.st_mode) || access(retpath, R_OK | X_OK) != 0) return -1;
    char line[GUARDINIT_MAXPGPATH];
    if (!ReadVersionLine(retpath, line, sizeof line)) return -1;
    return std::strcmp(line, versionstr) == 0 ? 0 : -2;
}

// The server program is "postgres" beside this program's own executable, and must
// be exactly the version this program's scripts are written for.
void SetupBinPaths(RunState& state, const char* argv0) {
    int ret = FindOtherExec(argv0, "postgres", kBackendVersion, state.backend_exec);
    if (ret < 0) {
        char full_path[GUARDINIT_MAXPGPATH];
        if (gi_find_my_exec(argv0, full_path) < 0)
            std::snprintf(full_path, sizeof full_path, "%s", state.progname);
        if (ret == -1)
            std::fprintf(stderr,
                         "The program \"postgres\" is needed by %s but was not found in the\n"
                         "same directory as \"%s\".\n"
                         "Check your installation.\n",
                         state.progname, full_path);
        else
            std::fprintf(stderr,
                         "The program \"postgres\" was found by \"%s\"\n"
                         "but was not the same version as %s.\n"
                         "Check your installation.\n",
                         full_path, state.progname);
        ExitFailure();
    }
    std::snprintf(state.bin_path, sizeof state.bin_path, "%s", state.backend_exec);
    if (char* slash = std::strrchr(state.bin_path, '/')) *slash = '\0';
    gi_canonicalize_path(state.bin_path);
}

// Every name that would fail in a later stage, after earlier stages already changed
// the catalogs, is refused here, before anything is asked or run.
void CheckUsername(const RunState& state) {
    switch (CheckAdminName(state.username)) {
        case NameCheck::kOk:
            return;
        case NameCheck::kEmpty:
            std::fprintf(stderr,
                         "%s: no security administrator name specified\n"
                         "You must provide the username of the first security administrator.\n"
                         "Do this with the invocation option -U.\n",
                         state.progname);
            break;
        case NameCheck::kReservedPrefix:
            std::fprintf(stderr,
                         "%s: name \"%s\" is disallowed; role names cannot begin with \"pg_\"\n",
                         state.progname, state.username.c_str());
            break;
        case NameCheck::kNotPlainIdentifier:
            std::fprintf(stderr,
                         "%s: name \"%s\" is disallowed; a security administrator name must be "
                         "a lower-case letter or underscore followed by lower-case letters, "
                         "digits or underscores, at most %zu bytes\n",
                         state.progname, state.username.c_str(), kMaxNameLength);
            break;
        case NameCheck::kReservedWord:
            std::fprintf(stderr, "%s: name \"%s\" is disallowed; it is a reserved word\n",
                         state.progname, state.username.c_str());
            break;
    }
    ExitFailure();
}

// The prompt reads the controlling terminal, else standard input; while it
// has echo turned off, a signal that ends or stops the program finds the
// terminal kept usable (common_routines::TerminalSignalGuard).
class TerminalModeKeeper {
public:
    TerminalModeKeeper() : fd_(OpenPromptTerminal()), signals_(fd_.get()) {}

private:
    static int OpenPromptTerminal() {
        const int fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
        return fd >= 0 ? fd : dup(STDIN_FILENO);
    }

    // Declared first: the descriptor outlives the handlers that use it.
    common_routines::UniqueFd fd_;
    common_routines::TerminalSignalGuard signals_;
};

// One answer typed at the password prompt. At the end of a non-terminal input, or
// when it cannot be read at all (opened for writing only, as nohup leaves it), every
// further prompt would read an empty line at once, so the program stops instead of
// asking for ever.
common_routines::SecureString ReadPassword(const char* progname, const char* prompt) {
    common_routines::SecureString answer;
    {
        TerminalModeKeeper keeper;
        answer = TakeSecret(gi_simple_prompt(prompt, false));
    }
    if (answer.size() == 0 && (std::feof(stdin) || std::ferror(stdin))) {
        std::fprintf(stderr, "%s: could not read password: %s\n", progname,
                     std::feof(stdin) ? "end of input" : "read error");
        ExitFailure();
    }
    return answer;
}

void GetPassword(RunState& state) {
    std::puts("Press Ctrl+C to exit");
    for (;;) {
        common_routines::SecureString first = ReadPassword(state.progname, "Enter new security admin password: ");
        if (first.size() == 0) {
            std::fputs("Line is empty.\n", stderr);
            continue;
        }
        // A longer line would not survive the server's password dialogue intact.
        if (first.size() > kMaxPasswordLength) {
            std::fprintf(stderr, "Password is too long; at most %zu bytes are allowed.\n",
                         kMaxPasswordLength);
            continue;
        }
        common_routines::SecureString second = ReadPassword(state.progname, "Enter it again: ");
        if (second.size() == 0) {
            std::fputs("Line is empty.\n", stderr);
            continue;
        }
        if (first != second) {
            std::fputs("Passwords didn't match.\n", stderr);
            continue;
        }
        state.password = std::move(first);
        return;
    }
}

std::FILE* PopenCheck(RunState& state, const std::string& command) {
    std::fflush(stdout);
    std::fflush(stderr);
    errno = 0;
    std::FILE* pipe = popen(command.c_str(), "w");
    if (!pipe) {
        std::fprintf(stderr, "%s: could not execute command \"%s\": %s\n", state.progname,
                     command.c_str(), std::strerror(errno));
        ExitFailure();
    }
    std::setvbuf(pipe, state.pipe_buffer, _IOFBF, sizeof state.pipe_buffer);
    return pipe;
}

// Runs one server, feeds it through `feed` and waits for it; a child that failed
// ends the program, and the stages after it do not run.
template <typename Feed>
void RunStage(RunState& state, const std::string& command, Feed feed) {
    std::FILE* pipe = PopenCheck(state, command);
    feed(pipe);
    int status = gi_pclose_check(pipe);
    explicit_bzero(state.pipe_buffer, sizeof state.pipe_buffer);
    if (status != 0) ExitFailure();
}

void RunBootstrap(RunState& state, scenarios::Scenario lines) {
    RunStage(state, BootstrapCommand(state.backend_exec, state.pg_data),
             [&](std::FILE* pipe) { replay_scenario(lines, pipe, state.username, state.output); });
}

void RunSingle(RunState& state, scenarios::Scenario lines) {
    RunStage(state, SingleUserCommand(state.backend_exec, state.pg_data),
             [&](std::FILE* pipe) { replay_scenario(lines, pipe, state.username, state.output); });
}

// Reports a stage that has a report, on standard output like every other report;
// the failure texts carry their own line end. The write-failure flag is never
// cleared, so a failed write in an earlier stage without a report is caught here
// as well.
void CheckOk(const RunState& state, const char* failure_text, const char* success_text) {
    if (state.output.output_failed) {
        if (failure_text)
            std::fputs(failure_text, stdout);
        else
            std::printf("could not write to child process: %s\n",
                        std::strerror(state.output.output_errno));
        std::fflush(stdout);
        ExitFailure();
    }
    std::puts(success_text);
    std::fflush(stdout);
}

void SetPassword(RunState& state) {
    static constexpr std::string_view kHead = "ALTER USER \"";
    static constexpr std::string_view kMiddle = "\" WITH PASSWORD E'";
    static constexpr std::string_view kTail = "';\n\n";
    std::string statement;
    {
        char* escaped_text = gi_escape_single_quotes(state.password.c_str());
        if (!escaped_text) {
            std::fprintf(stderr, "%s: out of memory\n", state.progname);
            ExitFailure();
        }
        const common_routines::SecureString escaped = TakeSecret(escaped_text);
        // Sized up front so that no copy of the password is left in a freed block.
        statement.reserve(kHead.size() + state.username.size() + kMiddle.size() + escaped.size() +
                          kTail.size());
        statement.append(kHead).append(state.username).append(kMiddle).append(escaped.view()).append(
            kTail);
    }
    // Wiped as soon as it is written, so that it is gone also when the child fails
    // and the program exits from run_stage.
    RunStage(state, SingleUserCommand(state.backend_exec, state.pg_data), [&](std::FILE* pipe) {
        write_line(statement, pipe, state.output);
        explicit_bzero(statement.data(), statement.size());
    });
}

void InitializeData(RunState& state) {
    std::puts("running bootstrap script ... ");
    if (scenarios::header.size() != 1 ||
        scenarios::header[0] != std::string("# PostgreSQL ") + kServerMajorVersion + "\n") {
        std::fprintf(stderr, "%s: wrong input data.\n", state.progname);
        ExitFailure();
    }

    RunStage(state, BootstrapCommand(state.backend_exec, state.pg_data), [&](std::FILE* pipe) {
        replay_scenario(scenarios::header, pipe, state.username, state.output);
        replay_scenario(scenarios::checkData, pipe, state.username, state.output);
    });
    CheckOk(state, "Security catalogs have unexpected data! Check for it!\n",
             "Security catalogs are in the expected state.");

    RunSingle(state, scenarios::dropUserIfExists);

    RunBootstrap(state, scenarios::createUser);
    CheckOk(state, nullptr, "Security administrator account was created.");

    RunSingle(state, scenarios::finalizeAuthData);

    SetPassword(state);

    RunBootstrap(state, scenarios::createPolicy);
    CheckOk(state, nullptr, "Policies were created.");

    RunSingle(state, scenarios::finalizeData);
    RunSingle(state, scenarios::grantFunctions);
    RunBootstrap(state, scenarios::lockProtection);

    RunSingle(state, scenarios::finalizeLockData);
    CheckOk(state, nullptr, "All initialization procedures have been succeed.");

    std::fputs("performing post-bootstrap initialization ... ", stdout);
    std::fflush(stdout);
    RunStage(state, SingleUserCommand(state.backend_exec, state.pg_data), [&](std::FILE* pipe) {
        write_line("ANALYZE;\n\nVACUUM FREEZE;\n\n", pipe, state.output);
    });
    CheckOk(state, nullptr, "Protection mechanism is initialized.");
}

// A standard descriptor closed by the caller would be taken by the next file
// or pipe opened: the version check's pipe, or in a server run a data file
// that its messages for standard output or error would then be written into.
// The null device takes the free places first.
void OccupyClosedStandardDescriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            const int null_fd = open("/dev/null", O_RDWR);
            if (null_fd >= 0 && null_fd > STDERR_FILENO) close(null_fd);
        }
    }
}

int Main(int argc, char** argv) {
    OccupyClosedStandardDescriptors();
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::setvbuf(stderr, nullptr, _IONBF, 0);
    // The password prompt reads standard input when there is no terminal; a
    // buffered stream would keep the typed lines, unwiped, until exit.
    std::setvbuf(stdin, nullptr, _IONBF, 0);
    // Static: destroyed (and the password in it wiped) also when a stage ends
    // the program with exit().
    static RunState state;
    state.progname = gi_get_progname(argv[0]);
    gi_init_frontend(argv[0], kTextDomain);
    // A child that stops reading must show up as a failed write reported by
    // CheckOk, not kill this program silently.
    std::signal(SIGPIPE, SIG_IGN);

    if (argc > 1) {
        if (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-?") == 0) {
            Usage(state.progname);
            return 0;
        }
        if (std::strcmp(argv[1], "--version") == 0 || std::strcmp(argv[1], "-V") == 0) {
            std::printf("guardinit (PostgreSQL) %s\n", product_info::kServerVersion);
            return 0;
        }
    }

    static const struct option long_options[] = {
        {"pgdata", required_argument, nullptr, 'D'},
        {"username", required_argument, nullptr, 'U'},
        {nullptr, 0, nullptr, 0},
    };
    std::optional<std::string> pgdata_option;
    int c;
    while ((c = getopt_long(argc, argv, "D:U:", long_options, nullptr)) != -1) {
        switch (c) {
            case 'D':
                pgdata_option = optarg;
                break;
            case 'U':
                state.username = optarg;
                break;
            default:
                TryHelp(state.progname);
        }
    }
    if (optind < argc && !pgdata_option) {
        pgdata_option = argv[optind];
        ++optind;
    }
    if (optind < argc) {
        std::fprintf(stderr, "%s: too many command-line arguments (first is \"%s\")\n",
                     state.progname, argv[optind]);
        TryHelp(state.progname);
    }

    SetupPgdata(state, pgdata_option);
    SetupBinPaths(state, argv[0]);
    CheckUsername(state);
    GetPassword(state);
    InitializeData(state);

    std::puts("syncing data to disk ... ");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    // A core file would hold the typed password.
    struct rlimit core;
    if (getrlimit(RLIMIT_CORE, &core) == 0) {
        core.rlim_cur = 0;
        setrlimit(RLIMIT_CORE, &core);
    }
    prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    try {
        return Main(argc, argv);
    } catch (const std::bad_alloc&) {
        std::fputs("out of memory\n", stderr);
        return 1;
    }
}
