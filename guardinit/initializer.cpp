#include "initializer.h"

#include <algorithm>
#include <array>
#include <cerrno>

namespace guardinit {
namespace {

// Words that an unquoted role name in "GRANT ... TO name" cannot be: the SQL
// reserved key words (a syntax error there, after earlier stages already changed
// the catalogs), "public" and "none", which GRANT reads as all roles and as an
// error, and "_null_", which a bootstrap insert reads as a null value.
constexpr std::array<std::string_view, 80> kReservedWords = {
    "_null_",         "all",           "analyse",           "analyze",
    "and",            "any",           "array",             "as",
    "asc",            "asymmetric",    "both",              "case",
    "cast",           "check",         "collate",           "column",
    "constraint",     "create",        "current_catalog",   "current_date",
    "current_role",   "current_time",  "current_timestamp", "current_user",
    "default",        "deferrable",    "desc",              "distinct",
    "do",             "else",          "end",               "except",
    "false",          "fetch",         "for",               "foreign",
    "from",           "grant",         "group",             "having",
    "in",             "initially",     "intersect",         "into",
    "lateral",        "leading",       "limit",             "localtime",
    "localtimestamp", "none",          "not",               "null",
    "offset",         "on",            "only",              "or",
    "order",          "placing",       "primary",           "public",
    "references",     "returning",     "select",            "session_user",
    "some",           "symmetric",     "table",             "then",
    "to",             "trailing",      "true",              "union",
    "unique",         "user",          "using",             "variadic",
    "when",           "where",         "window",            "with",
};

bool IsLowerOrUnderscore(char c) { return (c >= 'a' && c <= 'z') || c == '_'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Characters a POSIX shell takes literally anywhere in a word.
bool IsShellSafe(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || IsDigit(c) ||
           std::string_view("_./+,:@%=-").find(c) != std::string_view::npos;
}

}  // namespace

NameCheck CheckAdminName(std::string_view name) {
    if (name.empty()) return NameCheck::kEmpty;
    if (name.starts_with("pg_")) return NameCheck::kReservedPrefix;
    if (name.size() > kMaxNameLength || !IsLowerOrUnderscore(name.front()) ||
        !std::all_of(name.begin(), name.end(),
                     [](char c) { return IsLowerOrUnderscore(c) || IsDigit(c); }))
        return NameCheck::kNotPlainIdentifier;
    if (std::find(kReservedWords.begin(), kReservedWords.end(), name) != kReservedWords.end())
        return NameCheck::kReservedWord;
    return NameCheck::kOk;
}

std::string ShellWord(std::string_view path) {
    if (!path.empty() && std::all_of(path.begin(), path.end(), IsShellSafe))
        return std::string(path);
    std::string word = "'";
    for (char c : path) {
        if (c == '\'')
            word += "'\\''";
        else
            word += c;
    }
    word += '\'';
    return word;
}

namespace {

// The server program as one shell word. A path the shell takes literally keeps
// its usual double quotes; any other (an installation directory holding "$",
// backquotes or quotes) is single-quoted, so that nothing in it is run.
std::string ProgramWord(std::string_view backend_exec) {
    std::string plain = ShellWord(backend_exec);
    if (plain == backend_exec) return "\"" + plain + "\"";
    return plain;
}

}  // namespace

std::string BootstrapCommand(std::string_view backend_exec, std::string_view pg_data) {
    // "-k -p" then two empty option slots, as the server's bootstrap mode expects.
    return ProgramWord(backend_exec) + " --boot -D " + ShellWord(pg_data) + " -x1 -k -p  ";
}

std::string SingleUserCommand(std::string_view backend_exec, std::string_view pg_data) {
    return ProgramWord(backend_exec) +
           " --single -O -j -c search_path=pg_catalog -c exit_on_error=true -D " +
           ShellWord(pg_data) + " postgres >/dev/null";
}

void write_line(std::string_view line, std::FILE* pipe, OutputStatus& status) {
    errno = 0;
    bool ok = std::fwrite(line.data(), 1, line.size(), pipe) == line.size();
    ok = std::fflush(pipe) == 0 && ok;
    if (!ok) {
        status.output_failed = true;
        status.output_errno = errno;
    }
}

void replay_scenario(scenarios::Scenario lines, std::FILE* pipe, std::string_view username,
                     OutputStatus& status) {
    for (std::string_view line : lines) {
        std::string text(line);
        if (auto at = text.find(kUsernameToken); at != std::string::npos)
            text.replace(at, kUsernameToken.size(), username);
        write_line(text, pipe, status);
    }
}

}  // namespace guardinit
