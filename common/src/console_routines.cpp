#include "common/console_colour.h"
#include "common/console_routines.h"

#include "common/common_routines.h"

#include <stdio.h>
#include <readline/readline.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <iostream>
#include <stdexcept>

namespace console_routines {

namespace {

using console_colour::kReset;
using console_colour::kYellow;

void PrintError(const char* text) {
    console_colour::PrintLine(console_colour::kRed, text);
}

// Set when readline's input ends. Readline hands back a line that the input
// ended in the middle of as if it had been finished; such a line is no answer.
bool g_input_ended = false;

extern "C" int ReadKey(FILE* stream) {
    int c = rl_getc(stream);
    if (c == EOF) g_input_ended = true;
    return c;
}

}  // namespace

std::string GetLine(const std::string& prompt) {
    common_routines::PrintPrompt(prompt);
    rl_getc_function = ReadKey;
    g_input_ended = false;
    char* raw = readline("");
    if (raw == nullptr) throw common_routines::EndOfInput("readline returned NULL");
    std::string line(raw);
    std::free(raw);
    if (g_input_ended) throw common_routines::EndOfInput("readline returned NULL");
    return common_routines::TrimString(line);
}

std::string GetSecret(const std::string& prompt) {
    return common_routines::console_detail::ReadSecret(prompt, [] {
        unsigned char c = 0;
        for (;;) {
            ssize_t n = read(STDIN_FILENO, &c, 1);
            if (n == 1) return static_cast<int>(c);
            if (n < 0 && errno == EINTR) continue;
            return -1;
        }
    });
}

bool YesNo(const std::string& question) {
    return common_routines::console_detail::AskYesNo(question, [] { return GetLine(""); });
}

int ChooseOption(const std::string& title, const Menu& menu) {
    for (;;) {
        std::cout << kYellow << title << kReset << '\n';
        for (const auto& [number, label] : menu) std::cout << number << ". " << label << '\n';
        std::cout << std::flush;

        std::string answer = GetLine("");
        if (answer.empty()) {
            PrintError("Line is empty");
            continue;
        }
        int option = 0;
        try {
            option = std::stoi(answer);
        } catch (const std::exception&) {
            PrintError("Line is not a number");
            continue;
        }
        if (menu.find(option) == menu.end()) {
            PrintError("Option is out of range");
            continue;
        }
        return option;
    }
}

const char* FirstCredToStr(int type) {
    switch (type) {
        case 1: return "login";
        case 2: return "role ID";
        default: return "unknown";
    }
}

const char* SecondCredToStr(int type) {
    switch (type) {
        case 1: return "password";
        case 2: return "secret ID";
        default: return "unknown";
    }
}

}  // namespace console_routines
