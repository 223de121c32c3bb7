#pragma once

// Dialogue routines of the credentials wizard: the same look as console_input.h,
// but lines are read with GNU readline (line editing) and trimmed. Programs that
// use these routines link readline themselves.

#include <map>
#include <string>

#include "common/console_input.h"

namespace console_routines {

// Menu: option number -> label, shown in ascending number order.
using Menu = std::map<int, std::string>;

// Reads one line with readline (empty readline prompt) after printing the prompt,
// and trims white space at both ends. Throws common_routines::EndOfInput (a
// std::runtime_error) with the text "readline returned NULL" at end of input,
// also when the input ends in the middle of a line.
std::string GetLine(const std::string& prompt);

// As common_routines::GetSecret, reading the descriptor directly so that nothing
// typed ahead is buffered away from readline.
std::string GetSecret(const std::string& prompt);

// As common_routines::YesNo, reading the answers with console_routines::GetLine.
bool YesNo(const std::string& question);

// Shows the title and the menu until the operator types one of its numbers.
int ChooseOption(const std::string& title, const Menu& menu);

// Labels of the two credentials of a KMS login kind (1 = login and password,
// 2 = role ID and secret ID); "unknown" for any other kind.
const char* FirstCredToStr(int type);
const char* SecondCredToStr(int type);

}  // namespace console_routines
