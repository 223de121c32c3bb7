#pragma once

// Keeps a terminal usable for the operator while a program has changed its
// mode, typically echo off while a secret is typed.

#include <termios.h>

namespace common_routines {

// While an object lives:
// - SIGINT, SIGQUIT, SIGTERM and SIGHUP (unless ignored) put back the mode the
//   terminal had when the object was made, then take their previous course, so
//   the operator's shell is not left without echo;
// - Ctrl+Z (SIGTSTP, when left at its default action) puts that mode back
//   while the process is stopped and, once continued, the mode in force at the
//   stop: a shell that sets its own mode again on "fg" would otherwise show
//   the rest of a secret in the clear.
// The object changes no mode itself. Signal handlers reach only file-scope
// state, so a process has one object at a time.
class TerminalSignalGuard {
public:
    // `fd` is not owned and stays open while the object lives. When it is no
    // terminal the object does nothing.
    explicit TerminalSignalGuard(int fd);
    ~TerminalSignalGuard();
    TerminalSignalGuard(const TerminalSignalGuard&) = delete;
    TerminalSignalGuard& operator=(const TerminalSignalGuard&) = delete;

    bool active() const { return active_; }
    // The terminal's mode when the object was made (meaningful when active).
    const struct termios& saved_mode() const;

private:
    bool active_ = false;
};

}  // namespace common_routines
