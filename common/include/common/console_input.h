#pragma once

// Operator input for the interactive tools: prompts in yellow on a line of their
// own, secrets typed without echo (one "*" per character), yes/no questions.
// These routines read standard input directly; the readline-based variants for
// the credentials wizard live in console_routines.h.

#include <functional>
#include <stdexcept>
#include <string>

#include "common/secure_buffer.h"

namespace common_routines {

// Thrown when standard input ends (or fails) before an answer is complete, so that
// a program stops asking instead of looping on a closed input.
class EndOfInput : public std::runtime_error {
public:
    explicit EndOfInput(const std::string& what) : std::runtime_error(what) {}
};

// Prints yellow, the prompt, reset and a line feed, then flushes. An empty prompt
// prints nothing.
void PrintPrompt(const std::string& prompt);

// Reads the next line of standard input (std::getline, not trimmed).
// Throws EndOfInput when the input ends before a line feed.
std::string GetLine(const std::string& prompt);

// Reads a secret character by character with echo and canonical mode turned off,
// echoing "*" per character. Backspace (8) and DEL (127) erase the last character.
// The terminal mode is restored on every exit, including when the process is
// ended by SIGINT, SIGQUIT, SIGTERM or SIGHUP while the secret is being typed.
// Throws EndOfInput when the input ends before a line feed, or when the
// terminal's end-of-file character (Ctrl+D) is typed while nothing is collected.
std::string GetSecret(const std::string& prompt);

// Asks the question with " (yes/no)?: " until the answer is yes/y or no/n
// (any letter case). Throws EndOfInput when the input ends.
bool YesNo(const std::string& question);

namespace console_detail {

// Secret entry shared by both routine sets; `next_byte` returns the next input
// byte (0..255) or a negative value at end of input.
std::string ReadSecret(const std::string& prompt, const std::function<int()>& next_byte);

// The yes/no loop shared by both routine sets; `read_line` reads one answer.
bool AskYesNo(const std::string& question, const std::function<std::string()>& read_line);

}  // namespace console_detail

}  // namespace common_routines
