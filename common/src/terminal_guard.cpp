#include "common/terminal_guard.h"

#include <signal.h>
#include <string.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>

namespace common_routines {

namespace {

// Signals whose default action ends the process.
constexpr int kEndingSignals[] = {SIGINT, SIGQUIT, SIGTERM, SIGHUP};
constexpr size_t kSignalCount = sizeof(kEndingSignals) / sizeof(kEndingSignals[0]);

// What the handlers need; written only while none of them is installed.
int g_fd = -1;
struct termios g_saved_mode;
struct sigaction g_previous[kSignalCount];
bool g_installed[kSignalCount];
struct sigaction g_previous_stop;
bool g_stop_installed = false;

// Restores the terminal, then lets the signal take its previous course: the
// previous disposition is put back and the signal raised again, to be
// delivered as soon as this handler returns.
extern "C" void RestoreTerminalOnSignal(int sig) {
    const int saved_errno = errno;
    tcsetattr(g_fd, TCSANOW, &g_saved_mode);
    for (size_t i = 0; i < kSignalCount; ++i) {
        if (kEndingSignals[i] == sig) sigaction(sig, &g_previous[i], nullptr);
    }
    raise(sig);
    errno = saved_errno;
}

// Stops the process as the default action would, with the terminal's earlier
// mode while stopped. The mode put back on continuing is the one found at the
// stop, so a stop just after the program restored the terminal itself leaves
// it restored.
extern "C" void StopWithTerminalRestored(int sig) {
    const int saved_errno = errno;
    struct termios mode_at_stop;
    const bool have_mode = tcgetattr(g_fd, &mode_at_stop) == 0;
    if (have_mode) tcsetattr(g_fd, TCSANOW, &g_saved_mode);
    struct sigaction default_action;
    memset(&default_action, 0, sizeof(default_action));
    default_action.sa_handler = SIG_DFL;
    sigemptyset(&default_action.sa_mask);
    struct sigaction ours;
    sigaction(sig, &default_action, &ours);
    // Pending while this handler runs; unblocking it stops the process, and the
    // call returns once the process is continued.
    raise(sig);
    sigset_t stop_signal, previous_mask;
    sigemptyset(&stop_signal);
    sigaddset(&stop_signal, sig);
    sigprocmask(SIG_UNBLOCK, &stop_signal, &previous_mask);
    sigprocmask(SIG_SETMASK, &previous_mask, nullptr);
    sigaction(sig, &ours, nullptr);
    if (have_mode) tcsetattr(g_fd, TCSANOW, &mode_at_stop);
    errno = saved_errno;
}

bool Install(int sig, void (*handler)(int), int flags) {
    struct sigaction action;
    memset(&action, 0, sizeof(action));
    action.sa_handler = handler;
    action.sa_flags = flags;
    sigemptyset(&action.sa_mask);
    return sigaction(sig, &action, nullptr) == 0;
}

}  // namespace

TerminalSignalGuard::TerminalSignalGuard(int fd) {
    struct termios saved;
    if (fd < 0 || tcgetattr(fd, &saved) != 0) return;
    g_fd = fd;
    g_saved_mode = saved;
    for (size_t i = 0; i < kSignalCount; ++i) {
        g_installed[i] = false;
        if (sigaction(kEndingSignals[i], nullptr, &g_previous[i]) != 0) continue;
        // An ignored signal stays ignored.
        if (g_previous[i].sa_handler == SIG_IGN && !(g_previous[i].sa_flags & SA_SIGINFO)) continue;
        g_installed[i] = Install(kEndingSignals[i], RestoreTerminalOnSignal, 0);
    }
    // Only a stop signal left at its default action is taken over; an
    // interrupted read goes on after the handler (SA_RESTART).
    g_stop_installed = false;
    if (sigaction(SIGTSTP, nullptr, &g_previous_stop) == 0 && g_previous_stop.sa_handler == SIG_DFL &&
        !(g_previous_stop.sa_flags & SA_SIGINFO)) {
        g_stop_installed = Install(SIGTSTP, StopWithTerminalRestored, SA_RESTART);
    }
    active_ = true;
}

TerminalSignalGuard::~TerminalSignalGuard() {
    if (!active_) return;
    if (g_stop_installed) sigaction(SIGTSTP, &g_previous_stop, nullptr);
    g_stop_installed = false;
    for (size_t i = 0; i < kSignalCount; ++i) {
        if (g_installed[i]) sigaction(kEndingSignals[i], &g_previous[i], nullptr);
        g_installed[i] = false;
    }
    g_fd = -1;
}

const struct termios& TerminalSignalGuard::saved_mode() const { return g_saved_mode; }

}  // namespace common_routines
