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
#include <termios.h>
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
#include "initializer.h"
#include "pg_frontend.h"
#include "scenarios.h"

namespace {

using namespace guardinit;

using product_info::kServerMajorVersion;
constexpr const char* kBackendVersion = product_info::kServerVersionLine;
constexpr char kTextDomain[] = "guardinit-11";
using product_info::kSupportAddress;

// A malloc'ed secret that is wiped before it is freed, also when the program
// exits from a failed stage.
class SecretText {
public:
    SecretText() = default;
    explicit SecretText(char* text) : text_(text) {}
    ~SecretText() { Reset(); }
    SecretText(const SecretText&) = delete;
    SecretText& operator=(const SecretText&) = delete;
    SecretText(SecretText&& other) noexcept : text_(other.text_) { other.text_ = nullptr; }
    SecretText& operator=(SecretText&& other) noexcept {
        if (this != &other) {
            Reset();
            text_ = other.text_;
            other.text_ = nullptr;
        }
        return *this;
    }
    const char* get() const { return text_; }
    std::size_t size() const { return text_ ? std::strlen(text_) : 0; }

private:
    void Reset() {
        if (text_) {
            explicit_bzero(text_, std::strlen(text_));
            std::free(text_);
            text_ = nullptr;
        }
    }
    char* text_ = nullptr;
};

// Process-wide state.
const char* progname = "guardinit";
std::string pg_data;
std::string username;
SecretText password;
char backend_exec[GUARDINIT_MAXPGPATH];
char bin_path[GUARDINIT_MAXPGPATH];
OutputStatus output;

[[noreturn]] void ExitFailure() { std::exit(1); }

void usage() {
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

[[noreturn]] void TryHelp() {
    std::fprintf(stderr, "Try \"%s --help\" for more information.\n", progname);
    ExitFailure();
}

// The data directory from the option or PGDATA, canonicalized and exported to the
// server runs.
void setup_pgdata(const std::optional<std::string>& option) {
    if (option && !option->empty()) {
        pg_data = *option;
    } else {
        const char* env = std::getenv("PGDATA");
        if (!env || !*env) {
            std::fprintf(stderr,
                         "%s: no data directory specified\n"
                         "You must identify the directory where the data for this database system\n"
                         "will reside.  Do this with either the invocation option -D or the\n"
                         "environment variable PGDATA.\n",
                         progname);
            ExitFailure();
        }
        pg_data = env;
    }
    std::vector<char> path(pg_data.begin(), pg_data.end());
    path.push_back('\0');
    gi_canonicalize_path(path.data());
    pg_data = path.data();
    if (setenv("PGDATA", pg_data.c_str(), 1) != 0) {
        std::fputs("out of memory\n", stderr);
        ExitFailure();
    }
}

// The first line that `program -V` prints, read from the program run directly:
// the path may hold characters that a shell would expand or run.
bool read_version_line(const char* program, char* line, std::size_t size) {
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
int find_other_exec(const char* argv0, const char* target, const char* versionstr, char* retpath) {
    if (gi_find_my_exec(argv0, retpath) < 0) return -1;
    if (char* slash = std::strrchr(retpath, '/')) slash[1] = '\0';
    if (std::strlen(retpath) + std::strlen(target) >= GUARDINIT_MAXPGPATH) return -1;
    std::strcat(retpath, target);
    struct stat st;
    if (stat(retpath, &st) != 0 || !S_ISREG(st.st_mode) || access(retpath, R_OK | X_OK) != 0) return -1;
    char line[GUARDINIT_MAXPGPATH];
    if (!read_version_line(retpath, line, sizeof line)) return -1;
    return std::strcmp(line, versionstr) == 0 ? 0 : -2;
}

// The server program is "postgres" beside this program's own executable, and must
// be exactly the version this program's scripts are written for.
void setup_bin_paths(const char* argv0) {
    int ret = find_other_exec(argv0, "postgres", kBackendVersion, backend_exec);
    if (ret < 0) {
        char full_path[GUARDINIT_MAXPGPATH];
        if (gi_find_my_exec(argv0, full_path) < 0)
            std::snprintf(full_path, sizeof full_path, "%s", progname);
        if (ret == -1)
            std::fprintf(stderr,
                         "The program \"postgres\" is needed by %s but was not found in the\n"
                         "same directory as \"%s\".\n"
                         "Check your installation.\n",
                         progname, full_path);
        else
            std::fprintf(stderr,
                         "The program \"postgres\" was found by \"%s\"\n"
                         "but was not the same version as %s.\n"
                         "Check your installation.\n",
                         full_path, progname);
        ExitFailure();
    }
    std::snprintf(bin_path, sizeof bin_path, "%s", backend_exec);
    if (char* slash = std::strrchr(bin_path, '/')) *slash = '\0';
    gi_canonicalize_path(bin_path);
}

// Every name that would fail in a later stage, after earlier stages already changed
// the catalogs, is refused here, before anything is asked or run.
void check_username() {
    switch (CheckAdminName(username)) {
        case NameCheck::kOk:
            return;
        case NameCheck::kEmpty:
            std::fprintf(stderr,
                         "%s: no security administrator name specified\n"
                         "You must provide the username of the first security administrator.\n"
                         "Do this with the invocation option -U.\n",
                         progname);
            break;
        case NameCheck::kReservedPrefix:
            std::fprintf(stderr,
                         "%s: name \"%s\" is disallowed; role names cannot begin with \"pg_\"\n",
                         progname, username.c_str());
            break;
        case NameCheck::kNotPlainIdentifier:
            std::fprintf(stderr,
                         "%s: name \"%s\" is disallowed; a security administrator name must be "
                         "a lower-case letter or underscore followed by lower-case letters, "
                         "digits or underscores, at most %zu bytes\n",
                         progname, username.c_str(), kMaxNameLength);
            break;
        case NameCheck::kReservedWord:
            std::fprintf(stderr, "%s: name \"%s\" is disallowed; it is a reserved word\n",
                         progname, username.c_str());
            break;
    }
    ExitFailure();
}

// Signals whose default action ends the program while the password is typed
// with echo off; without a handler the operator's shell would be left without
// echo.
constexpr int kEndingSignals[] = {SIGINT, SIGQUIT, SIGTERM, SIGHUP};
constexpr std::size_t kSignalCount = sizeof kEndingSignals / sizeof kEndingSignals[0];

// State of the handler; written only while no handler is installed.
int tty_fd = -1;
struct termios tty_mode;
struct sigaction previous_actions[kSignalCount];
bool installed[kSignalCount];

// Puts the terminal back as it was before the prompt, then lets the signal
// take its previous course (the previous action is restored and the signal
// raised again, to be delivered when the handler returns).
extern "C" void RestoreTerminalOnSignal(int sig) {
    int saved_errno = errno;
    if (tty_fd >= 0) tcsetattr(tty_fd, TCSANOW, &tty_mode);
    for (std::size_t i = 0; i < kSignalCount; ++i) {
        if (kEndingSignals[i] == sig) sigaction(sig, &previous_actions[i], nullptr);
    }
    raise(sig);
    errno = saved_errno;
}

// Keeps the terminal's mode from before the prompt and restores it when the
// program is ended by a signal while the prompt has echo turned off. The prompt
// reads the controlling terminal, else standard input.
class TerminalModeKeeper {
public:
    TerminalModeKeeper() {
        int fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) fd = dup(STDIN_FILENO);
        if (fd < 0) return;
        if (tcgetattr(fd, &tty_mode) != 0) {
            close(fd);
            return;
        }
        tty_fd = fd;
        for (std::size_t i = 0; i < kSignalCount; ++i) {
            installed[i] = false;
            struct sigaction previous;
            if (sigaction(kEndingSignals[i], nullptr, &previous) != 0) continue;
            // An ignored signal stays ignored.
            if (previous.sa_handler == SIG_IGN && !(previous.sa_flags & SA_SIGINFO)) continue;
            struct sigaction action;
            std::memset(&action, 0, sizeof action);
            action.sa_handler = RestoreTerminalOnSignal;
            sigemptyset(&action.sa_mask);
            previous_actions[i] = previous;
            installed[i] = sigaction(kEndingSignals[i], &action, nullptr) == 0;
        }
    }
    ~TerminalModeKeeper() {
        if (tty_fd < 0) return;
        for (std::size_t i = 0; i < kSignalCount; ++i) {
            if (installed[i]) sigaction(kEndingSignals[i], &previous_actions[i], nullptr);
        }
        close(tty_fd);
        tty_fd = -1;
    }
    TerminalModeKeeper(const TerminalModeKeeper&) = delete;
    TerminalModeKeeper& operator=(const TerminalModeKeeper&) = delete;
};

// One answer typed at the password prompt. At the end of a non-terminal input every
// further prompt would read an empty line, so the program stops instead of asking
// for ever.
SecretText ReadPassword(const char* prompt) {
    SecretText answer;
    {
        TerminalModeKeeper keeper;
        answer = SecretText(gi_simple_prompt(prompt, false));
    }
    if (answer.size() == 0 && std::feof(stdin)) {
        std::fprintf(stderr, "%s: could not read password: end of input\n", progname);
        ExitFailure();
    }
    return answer;
}

void get_password() {
    std::puts("Press Ctrl+C to exit");
    for (;;) {
        SecretText first = ReadPassword("Enter new security admin password: ");
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
        SecretText second = ReadPassword("Enter it again: ");
        if (second.size() == 0) {
            std::fputs("Line is empty.\n", stderr);
            continue;
        }
        if (std::strcmp(first.get(), second.get()) != 0) {
            std::fputs("Passwords didn't match.\n", stderr);
            continue;
        }
        password = std::move(first);
        return;
    }
}

// Stdio buffer of the pipe to the running child, wiped after each run because it
// may hold the password.
char pipe_buffer[BUFSIZ];

std::FILE* popen_check(const std::string& command) {
    std::fflush(stdout);
    std::fflush(stderr);
    errno = 0;
    std::FILE* pipe = popen(command.c_str(), "w");
    if (!pipe) {
        std::fprintf(stderr, "%s: could not execute command \"%s\": %s\n", progname,
                     command.c_str(), std::strerror(errno));
        ExitFailure();
    }
    std::setvbuf(pipe, pipe_buffer, _IOFBF, sizeof pipe_buffer);
    return pipe;
}

// Runs one server, feeds it through `feed` and waits for it; a child that failed
// ends the program, and the stages after it do not run.
template <typename Feed>
void run_stage(const std::string& command, Feed feed) {
    std::FILE* pipe = popen_check(command);
    feed(pipe);
    int status = gi_pclose_check(pipe);
    explicit_bzero(pipe_buffer, sizeof pipe_buffer);
    if (status != 0) ExitFailure();
}

void run_bootstrap(scenarios::Scenario lines) {
    run_stage(BootstrapCommand(backend_exec, pg_data),
              [&](std::FILE* pipe) { replay_scenario(lines, pipe, username, output); });
}

void run_single(scenarios::Scenario lines) {
    run_stage(SingleUserCommand(backend_exec, pg_data),
              [&](std::FILE* pipe) { replay_scenario(lines, pipe, username, output); });
}

// Reports a stage that has a report, on standard output like every other report;
// the failure texts carry their own line end. The write-failure flag is never
// cleared, so a failed write in an earlier stage without a report is caught here
// as well.
void check_ok(const char* failure_text, const char* success_text) {
    if (output.output_failed) {
        if (failure_text)
            std::fputs(failure_text, stdout);
        else
            std::printf("could not write to child process: %s\n",
                        std::strerror(output.output_errno));
        std::fflush(stdout);
        ExitFailure();
    }
    std::puts(success_text);
    std::fflush(stdout);
}

void set_password() {
    static constexpr std::string_view kHead = "ALTER USER \"";
    static constexpr std::string_view kMiddle = "\" WITH PASSWORD E'";
    static constexpr std::string_view kTail = "';\n\n";
    std::string statement;
    {
        SecretText escaped(gi_escape_single_quotes(password.get()));
        if (!escaped.get()) {
            std::fprintf(stderr, "%s: out of memory\n", progname);
            ExitFailure();
        }
        // Sized up front so that no copy of the password is left in a freed block.
        statement.reserve(kHead.size() + username.size() + kMiddle.size() + escaped.size() +
                          kTail.size());
        statement.append(kHead).append(username).append(kMiddle).append(escaped.get()).append(
            kTail);
    }
    // Wiped as soon as it is written, so that it is gone also when the child fails
    // and the program exits from run_stage.
    run_stage(SingleUserCommand(backend_exec, pg_data), [&](std::FILE* pipe) {
        write_line(statement, pipe, output);
        explicit_bzero(statement.data(), statement.size());
    });
}

void initialize_data() {
    std::puts("running bootstrap script ... ");
    if (scenarios::header.size() != 1 ||
        scenarios::header[0] != std::string("# PostgreSQL ") + kServerMajorVersion + "\n") {
        std::fprintf(stderr, "%s: wrong input data.\n", progname);
        ExitFailure();
    }

    run_stage(BootstrapCommand(backend_exec, pg_data), [](std::FILE* pipe) {
        replay_scenario(scenarios::header, pipe, username, output);
        replay_scenario(scenarios::checkData, pipe, username, output);
    });
    check_ok("Security catalogs have unexpected data! Check for it!\n",
             "Security catalogs are in the expected state.");

    run_single(scenarios::dropUserIfExists);

    run_bootstrap(scenarios::createUser);
    check_ok(nullptr, "Security administrator account was created.");

    run_single(scenarios::finalizeAuthData);

    set_password();

    run_bootstrap(scenarios::createPolicy);
    check_ok(nullptr, "Policies were created.");

    run_single(scenarios::finalizeData);
    run_single(scenarios::grantFunctions);
    run_bootstrap(scenarios::lockProtection);

    run_single(scenarios::finalizeLockData);
    check_ok(nullptr, "All initialization procedures have been succeed.");

    std::fputs("performing post-bootstrap initialization ... ", stdout);
    std::fflush(stdout);
    run_stage(SingleUserCommand(backend_exec, pg_data), [](std::FILE* pipe) {
        write_line("ANALYZE;\n\nVACUUM FREEZE;\n\n", pipe, output);
    });
    check_ok(nullptr, "Protection mechanism is initialized.");
}

int Main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::setvbuf(stderr, nullptr, _IONBF, 0);
    progname = gi_get_progname(argv[0]);
    gi_init_frontend(argv[0], kTextDomain);
    // A child that stops reading must show up as a failed write reported by
    // check_ok, not kill this program silently.
    std::signal(SIGPIPE, SIG_IGN);

    if (argc > 1) {
        if (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-?") == 0) {
            usage();
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
                username = optarg;
                break;
            default:
                TryHelp();
        }
    }
    if (optind < argc && !pgdata_option) {
        pgdata_option = argv[optind];
        ++optind;
    }
    if (optind < argc) {
        std::fprintf(stderr, "%s: too many command-line arguments (first is \"%s\")\n", progname,
                     argv[optind]);
        TryHelp();
    }

    setup_pgdata(pgdata_option);
    setup_bin_paths(argv[0]);
    check_username();
    get_password();
    initialize_data();

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
