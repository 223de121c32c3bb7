#pragma once

// Terminal colours of the programs' output: yellow prompts and questions, green
// results, red failures, and the reset that ends every coloured text (plain
// lines start with it too).

#include <exception>
#include <iostream>
#include <string>
#include <string_view>

#include "common/error_code.h"

namespace console_colour {

inline constexpr char kReset[] = "\33[0m";
inline constexpr char kRed[] = "\33[31m";
inline constexpr char kGreen[] = "\33[32m";
inline constexpr char kYellow[] = "\33[33m";
inline constexpr char kCyan[] = "\33[36m";

// Writes one result line in `colour` (back to the default colour before the
// line feed) to standard output and flushes it.
inline void PrintLine(const char* colour, std::string_view text) {
    std::cout << colour << text << kReset << '\n' << std::flush;
}

// Runs a tool's work and returns its result. An exception that escapes it is
// reported as a red line ("Exception occurred: <what>", or "Undefined
// exception occurred" for anything that is no std::exception) and gives
// ERR_EXCEPTION.
template <typename Body>
int RunReportingExceptions(Body body) {
    try {
        return body();
    } catch (const std::exception& e) {
        PrintLine(kRed, std::string("Exception occurred: ") + e.what());
    } catch (...) {
        PrintLine(kRed, "Undefined exception occurred");
    }
    return ERR_EXCEPTION;
}

}  // namespace console_colour
