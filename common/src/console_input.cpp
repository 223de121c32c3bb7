#include "common/console_colour.h"
#include "common/console_input.h"

#include "common/secure_buffer.h"

#include <signal.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <iostream>

namespace common_routines {

namespace {

using console_colour::kReset;
using console_colour::kYellow;

// Signals whose default action ends the process while a secret is typed; the
// terminal would otherwise stay without echo for the operator's shell.
constexpr int kEndingSignals[] = {SIGINT, SIGQUIT, SIGTERM, SIGHUP};
constexpr size_t kSignalCount = sizeof(kEndingSignals) / sizeof(kEndingSignals[0]);

// State the signal handlers need; written only while no handler is installed.
struct termios g_saved_mode;
struct termios g_quiet_mode;
volatile sig_atomic_t g_mode_changed = 0;
struct sigaction g_previous[kSignalCount];
bool g_installed[kSignalCount];
struct sigaction g_previous_stop;
bool g_stop_installed = false;

size_t SignalIndex(int sig) {
    for (size_t i = 0; i < kSignalCount; ++i) {
        if (kEndingSignals[i] == sig) return i;
    }
    return kSignalCount;
}

// Restores the terminal, then lets the signal take its previous course: the
// previous disposition is put back and the signal re-raised, so it is delivered
// again as soon as this handler returns.
extern "C" void RestoreTerminalOnSignal(int sig) {
    int saved_errno = errno;
    if (g_mode_changed) tcsetattr(STDIN_FILENO, TCSANOW, &g_saved_mode);
    size_t i = SignalIndex(sig);
    if (i < kSignalCount) sigaction(sig, &g_previous[i], nullptr);
    raise(sig);
    errno = saved_errno;
}

// Ctrl+Z while a secret is typed: the shell that takes the terminal over must
// get it back with echo, and on "fg" the terminal is left in the shell's mode,
// which would show the rest of the secret in the clear. So the terminal is
// restored, the process stops as the signal's default action would stop it,
// and once continued the handler turns echo off again before input goes on.
extern "C" void StopWithTerminalRestored(int sig) {
    int saved_errno = errno;
    if (g_mode_changed) tcsetattr(STDIN_FILENO, TCSANOW, &g_saved_mode);
    struct sigaction default_action;
    memset(&default_action, 0, sizeof(default_action));
    default_action.sa_handler = SIG_DFL;
    sigemptyset(&default_action.sa_mask);
    struct sigaction ours;
    sigaction(sig, &default_action, &ours);
    // Pending while this handler runs; unblocking it stops the process, and
    // the call returns once the process is continued.
    raise(sig);
    sigset_t stop_signal, previous_mask;
    sigemptyset(&stop_signal);
    sigaddset(&stop_signal, sig);
    sigprocmask(SIG_UNBLOCK, &stop_signal, &previous_mask);
    sigprocmask(SIG_SETMASK, &previous_mask, nullptr);
    sigaction(sig, &ours, nullptr);
    if (g_mode_changed) tcsetattr(STDIN_FILENO, TCSANOW, &g_quiet_mode);
    errno = saved_errno;
}

// Turns off echo and canonical input on standard input for its lifetime. When
// standard input is not a terminal it does nothing and characters are read as
// they arrive.
class TerminalModeGuard {
public:
    TerminalModeGuard() {
        struct termios saved;
        if (tcgetattr(STDIN_FILENO, &saved) != 0) return;
        g_saved_mode = saved;
        for (size_t i = 0; i < kSignalCount; ++i) {
            g_installed[i] = false;
            struct sigaction previous;
            if (sigaction(kEndingSignals[i], nullptr, &previous) != 0) continue;
            // An ignored signal stays ignored.
            if (previous.sa_handler == SIG_IGN && !(previous.sa_flags & SA_SIGINFO)) continue;
            struct sigaction action;
            memset(&action, 0, sizeof(action));
            action.sa_handler = RestoreTerminalOnSignal;
            sigemptyset(&action.sa_mask);
            g_previous[i] = previous;
            if (sigaction(kEndingSignals[i], &action, nullptr) == 0) g_installed[i] = true;
        }
        struct termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO | ICANON);
        quiet.c_cc[VMIN] = 1;
        quiet.c_cc[VTIME] = 0;
        g_quiet_mode = quiet;
        InstallStopHandler();
        g_mode_changed = 1;
        active_ = true;
        tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
    }

    ~TerminalModeGuard() {
        if (!active_) return;
        // The stop handler goes first: run between the restore and the flag
        // below, it would turn echo off again once continued, for good.
        if (g_stop_installed) sigaction(SIGTSTP, &g_previous_stop, nullptr);
        g_stop_installed = false;
        tcsetattr(STDIN_FILENO, TCSANOW, &g_saved_mode);
        g_mode_changed = 0;
        for (size_t i = 0; i < kSignalCount; ++i) {
            if (g_installed[i]) sigaction(kEndingSignals[i], &g_previous[i], nullptr);
            g_installed[i] = false;
        }
    }

    // The terminal's end-of-file character (normally Ctrl+D), or -1 when standard
    // input is not a terminal. Without canonical mode the terminal passes it on
    // as an ordinary byte.
    int eof_char() const {
        if (!active_ || g_saved_mode.c_cc[VEOF] == _POSIX_VDISABLE) return -1;
        return static_cast<unsigned char>(g_saved_mode.c_cc[VEOF]);
    }

    TerminalModeGuard(const TerminalModeGuard&) = delete;
    TerminalModeGuard& operator=(const TerminalModeGuard&) = delete;

private:
    // Only a stop signal left at its default action is taken over; the read of
    // the secret resumes after the handler (SA_RESTART).
    static void InstallStopHandler() {
        g_stop_installed = false;
        if (sigaction(SIGTSTP, nullptr, &g_previous_stop) != 0) return;
        if (g_previous_stop.sa_handler != SIG_DFL || (g_previous_stop.sa_flags & SA_SIGINFO)) return;
        struct sigaction action;
        memset(&action, 0, sizeof(action));
        action.sa_handler = StopWithTerminalRestored;
        action.sa_flags = SA_RESTART;
        sigemptyset(&action.sa_mask);
        g_stop_installed = sigaction(SIGTSTP, &action, nullptr) == 0;
    }

    bool active_ = false;
};

std::string ToLower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

}  // namespace

void PrintPrompt(const std::string& prompt) {
    if (prompt.empty()) return;
    std::cout << kYellow << prompt << kReset << '\n' << std::flush;
}

namespace console_detail {

std::string ReadSecret(const std::string& prompt, const std::function<int()>& next_byte) {
    // Echo goes off before the prompt appears, so that nothing typed in answer to
    // the prompt can be shown in the clear.
    TerminalModeGuard guard;
    PrintPrompt(prompt);
    SecureString secret;
    secret.reserve(256);
    for (;;) {
        int c = next_byte();
        // End of file typed at an empty secret ends the input, as it would on a
        // line read in canonical mode.
        if (c < 0 || (c == guard.eof_char() && secret.empty())) {
            if (!secret.empty()) std::cout << '\n' << std::flush;
            throw EndOfInput("end of input");
        }
        if (c == '\n') {
            std::cout << '\n' << std::flush;
            return std::string(secret.view());
        }
        // Terminals send either BS or DEL for the Backspace key; both erase.
        if (c == 8 || c == 127) {
            if (!secret.empty()) {
                secret.back() = '\0';
                secret.pop_back();
                std::cout << "\b \b" << std::flush;
            }
            continue;
        }
        secret.push_back(static_cast<char>(c));
        std::cout << '*' << std::flush;
    }
}

bool AskYesNo(const std::string& question, const std::function<std::string()>& read_line) {
    std::cout << kYellow << question << " (yes/no)?: " << kReset << '\n' << std::flush;
    for (;;) {
        std::string answer = ToLower(read_line());
        if (answer == "yes" || answer == "y") return true;
        if (answer == "no" || answer == "n") return false;
        std::cout << kYellow << "Please type 'yes' or 'no': " << kReset << '\n' << std::flush;
    }
}

}  // namespace console_detail

namespace {

// Reads from standard input go through its stdio buffer, which keeps the raw
// typed text, secrets included, until the process ends and is never wiped.
// Unbuffered, the stream holds at most the last byte read. This must happen
// before the stream's first read, so every console reader here calls it first.
void UnbufferStandardInput() {
    static const bool done = (std::setvbuf(stdin, nullptr, _IONBF, 0), true);
    (void)done;
}

}  // namespace

std::string GetLine(const std::string& prompt) {
    UnbufferStandardInput();
    PrintPrompt(prompt);
    std::string line;
    // A line without its line feed means the input was closed mid-answer; it is
    // not taken as an answer.
    if (!std::getline(std::cin, line) || std::cin.eof()) throw EndOfInput("end of input");
    return line;
}

std::string GetSecret(const std::string& prompt) {
    UnbufferStandardInput();
    return console_detail::ReadSecret(prompt, [] {
        int c = std::getchar();
        return c == EOF ? -1 : c;
    });
}

bool YesNo(const std::string& question) {
    return console_detail::AskYesNo(question, [] { return GetLine(""); });
}

}  // namespace common_routines
