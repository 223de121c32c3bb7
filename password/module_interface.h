#pragma once

// The Ansible side of the module: reading the task's options the way Ansible hands
// them to a binary module, checking them the way Ansible checks "type: int"
// options, and writing the one JSON result Ansible reads back.

#include <array>
#include <cstdint>
#include <iosfwd>
#include <string>
#include <string_view>

#include <json/value.h>

#include "password_generator.h"
#include "random_source.h"

namespace pwforge {

inline constexpr char kModuleName[] = "pwforge";

// The result object and the exit status that goes with it.
struct ModuleOutcome {
    Json::Value result{Json::objectValue};
    int exit_status = 0;
};

// Converts an option value as Ansible's int check does: JSON integers and booleans
// are taken as they are, strings are read like Python's int() (surrounding
// whitespace, a sign, digits with single underscores between them); anything else
// fails. `raw_token` is the value's text in the arguments document, needed to tell
// an integer too large for 64 bits (saturated) from a fractional number. On failure
// `python_type` names the rejected value's type the way Python prints it.
bool ConvertAnsibleInt(const Json::Value& value, std::string_view raw_token, std::int64_t& out,
                       std::string& python_type);

// Validates the arguments document (a JSON object of the options of
// kPolicyOptions plus "_ansible_*" keys), generates the password and builds the
// result.
ModuleOutcome RunWithArguments(const std::string& arguments_text, RandomSource& random);

// Finds the arguments the way Ansible modules do: argv[1] names a file holding
// them, or is the JSON text itself; without argv[1] they are read from stdin.
// Writes the result to `out` and returns the exit status.
int run_module(int argc, char** argv, std::ostream& out);

// The result as one line of JSON.
std::string RenderResult(const Json::Value& result);

}  // namespace pwforge
