#include "common/console_colour.h"
#include "common/console_input.h"

#include "common/secure_buffer.h"
#include "common/terminal_guard.h"

#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <iostream>

namespace common_routines {

namespace {

using console_colour::kReset;
using console_colour::kYellow;

// Turns off echo and canonical input on standard input for its lifetime, with
// the terminal kept usable if a signal ends or stops the process meanwhile.
// When standard input is not a terminal it does nothing and characters are
// read as they arrive.
class TerminalModeGuard {
public:
    TerminalModeGuard() : signals_(STDIN_FILENO) {
        if (!signals_.active()) return;
        struct termios quiet = signals_.saved_mode();
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO | ICANON);
        quiet.c_cc[VMIN] = 1;
        quiet.c_cc[VTIME] = 0;
        tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
    }

    ~TerminalModeGuard() {
        if (signals_.active()) tcsetattr(STDIN_FILENO, TCSANOW, &signals_.saved_mode());
    }

    // The terminal's end-of-file character (normally Ctrl+D), or -1 when standard
    // input is not a terminal. Without canonical mode the terminal passes it on
    // as an ordinary byte.
    int eof_char() const {
        if (!signals_.active() || signals_.saved_mode().c_cc[VEOF] == _POSIX_VDISABLE) return -1;
        return static_cast<unsigned char>(signals_.saved_mode().c_cc[VEOF]);
    }

    TerminalModeGuard(const TerminalModeGuard&) = delete;
    TerminalModeGuard& operator=(const TerminalModeGuard&) = delete;

private:
    TerminalSignalGuard signals_;
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
