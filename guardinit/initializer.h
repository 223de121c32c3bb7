#pragma once

// Building blocks of guardinit that need neither the server program nor the
// PostgreSQL frontend libraries: the administrator name rule, the command lines of
// the server runs and the replay of a script into a running server.

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

#include "scenarios.h"

namespace guardinit {

// Longest name the server keeps for a role (NAMEDATALEN - 1).
inline constexpr std::size_t kMaxNameLength = 63;
// Longest password accepted: the server's password dialogue of this version keeps
// at most 99 bytes, so a longer one would be set other than typed.
inline constexpr std::size_t kMaxPasswordLength = 99;

// The token that stands for the administrator name in script lines.
inline constexpr std::string_view kUsernameToken = "$username$";

enum class NameCheck {
    kOk,
    kEmpty,
    kReservedPrefix,      // begins with "pg_"
    kNotPlainIdentifier,  // would need quoting, or is folded or cut by the server
    kReservedWord,        // an SQL reserved word, or "public"/"none", which GRANT reads specially
};

// The name is pasted unquoted into bootstrap lines and GRANT statements, so only a
// plain lower-case identifier that no SQL statement reads as something else is
// accepted: a letter or underscore, then letters, digits or underscores, at most
// kMaxNameLength bytes.
NameCheck CheckAdminName(std::string_view name);

// The path as one shell word: unchanged when the shell would take every character
// literally, else in single quotes.
std::string ShellWord(std::string_view path);

// popen command of a bootstrap-mode server run on `pg_data`. Both paths reach
// the shell as one word each, whatever characters they hold.
std::string BootstrapCommand(std::string_view backend_exec, std::string_view pg_data);
// popen command of a single-user server run on `pg_data` (its output discarded).
std::string SingleUserCommand(std::string_view backend_exec, std::string_view pg_data);

// Outcome of the writes to child processes. Once set it stays set, so a failure
// in a stage without a report is reported at the next stage that has one.
struct OutputStatus {
    bool output_failed = false;
    int output_errno = 0;  // errno of the latest failed write
};

// Writes one line and flushes; a failure is recorded in `status` and otherwise
// ignored, so the child still gets the rest of its script.
void write_line(std::string_view line, std::FILE* pipe, OutputStatus& status);

// Writes every line of `lines`, with the first "$username$" of each line replaced
// by `username` (later ones on the same line stay as they are).
void replay_scenario(scenarios::Scenario lines, std::FILE* pipe, std::string_view username,
                     OutputStatus& status);

}  // namespace guardinit
