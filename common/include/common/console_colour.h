#pragma once

// Terminal colours of the programs' output: yellow prompts and questions, green
// results, red failures, and the reset that ends every coloured text (plain
// lines start with it too).

#include <iostream>
#include <string_view>

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

}  // namespace console_colour
