#include "module_interface.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <fstream>
#include <iostream>
#include <iterator>
#include <limits>
#include <memory>
#include <optional>
#include <sstream>
#include <vector>

#include <string.h>

#include <json/reader.h>
#include <json/writer.h>
#include <sys/stat.h>

#include "password_generator.h"

namespace pwforge {

namespace {

constexpr char kUndecodableArguments[] =
    "Error: Module unable to decode valid JSON on stdin.  Unable to figure out what parameters "
    "were passed";
constexpr char kInternalPrefix[] = "_ansible_";
// Python refuses to convert decimal strings longer than this many digits.
constexpr std::size_t kMaxPythonIntDigits = 4300;

bool IsPythonSpace(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r') || (c >= '\x1c' && c <= '\x1f');
}

// Reads text the way Python's int() reads a base-10 string.
std::optional<std::int64_t> ParsePythonIntText(std::string_view text) {
    while (!text.empty() && IsPythonSpace(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && IsPythonSpace(text.back())) {
        text.remove_suffix(1);
    }
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) {
        return std::nullopt;
    }
    constexpr std::int64_t kLimit = std::numeric_limits<std::int64_t>::max();
    std::int64_t magnitude = 0;
    std::size_t digits = 0;
    bool previous_was_digit = false;
    for (char c : text) {
        if (c == '_') {
            // Underscores only group digits: never first, last or doubled.
            if (!previous_was_digit) {
                return std::nullopt;
            }
            previous_was_digit = false;
            continue;
        }
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        previous_was_digit = true;
        ++digits;
        // Values beyond 64 bits saturate: every option refuses them the same way.
        const int digit = c - '0';
        magnitude = magnitude > (kLimit - digit) / 10 ? kLimit : magnitude * 10 + digit;
    }
    if (!previous_was_digit || digits > kMaxPythonIntDigits) {
        return std::nullopt;
    }
    return negative ? -magnitude : magnitude;
}

std::string PythonTypeName(const Json::Value& value) {
    switch (value.type()) {
        case Json::stringValue:
            return "<class 'str'>";
        case Json::realValue:
            return "<class 'float'>";
        case Json::arrayValue:
            return "<class 'list'>";
        case Json::objectValue:
            return "<class 'dict'>";
        case Json::booleanValue:
            return "<class 'bool'>";
        case Json::nullValue:
            return "<class 'NoneType'>";
        default:
            return "<class 'int'>";
    }
}

std::string_view RawToken(const Json::Value& value, const std::string& document) {
    const auto start = static_cast<std::size_t>(value.getOffsetStart());
    const auto limit = static_cast<std::size_t>(value.getOffsetLimit());
    if (start >= limit || limit > document.size()) {
        return {};
    }
    return std::string_view(document).substr(start, limit - start);
}

Json::Value BaseResult() {
    // The module's result starts out empty; only a successful run fills it.
    Json::Value result(Json::objectValue);
    result["changed"] = false;
    result["original_message"] = "";
    result["message"] = "";
    return result;
}

ModuleOutcome Failure(const std::string& message, const Json::Value* module_args) {
    ModuleOutcome outcome;
    outcome.result = BaseResult();
    outcome.result["failed"] = true;
    outcome.result["msg"] = message;
    if (module_args != nullptr) {
        outcome.result["invocation"]["module_args"] = *module_args;
    }
    outcome.exit_status = 1;
    return outcome;
}

std::optional<Json::Value> ParseDocument(const std::string& text, std::string& error) {
    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    builder["allowComments"] = false;
    builder["failIfExtra"] = true;
    // Python's JSON reader accepts NaN and Infinity; they must reach the type
    // check (and fail there as floats) rather than fail as undecodable input.
    builder["allowSpecialFloats"] = true;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value root;
    // Nesting deeper than the reader's stack limit is thrown, not reported.
    try {
        if (!reader->parse(text.data(), text.data() + text.size(), &root, &error)) {
            return std::nullopt;
        }
    } catch (const Json::Exception& e) {
        error = e.what();
        return std::nullopt;
    }
    return root;
}

}  // namespace

bool ConvertAnsibleInt(const Json::Value& value, std::string_view raw_token, std::int64_t& out,
                       std::string& python_type) {
    python_type = PythonTypeName(value);
    switch (value.type()) {
        case Json::intValue:
            out = value.asInt64();
            return true;
        case Json::uintValue:
            out = value.isInt64() ? value.asInt64() : std::numeric_limits<std::int64_t>::max();
            return true;
        case Json::booleanValue:
            // Python's bool is an int subclass, so true and false pass as 1 and 0.
            out = value.asBool() ? 1 : 0;
            return true;
        case Json::realValue: {
            // The JSON reader turns integer literals beyond 64 bits into doubles; for
            // Python they are still integers.
            const bool integer_literal =
                !raw_token.empty() &&
                raw_token.find_first_not_of("-0123456789") == std::string_view::npos;
            if (!integer_literal) {
                return false;
            }
            python_type = "<class 'int'>";
            out = raw_token.front() == '-' ? std::numeric_limits<std::int64_t>::min()
                                            : std::numeric_limits<std::int64_t>::max();
            return true;
        }
        case Json::stringValue: {
            std::optional<std::int64_t> parsed = ParsePythonIntText(value.asString());
            if (!parsed) {
                return false;
            }
            out = *parsed;
            return true;
        }
        default:
            return false;
    }
}

namespace {

// The options of a task as the module reads them: the task's own object (also
// when wrapped the way Ansible passes options to its Python modules) and the
// module name for messages.
struct TaskArguments {
    Json::Value options;
    std::string module_name = kModuleName;
};

// Reads the arguments document; a failure is the outcome to report.
std::optional<ModuleOutcome> ParseArguments(const std::string& arguments_text, TaskArguments& task) {
    std::string parse_error;
    std::optional<Json::Value> document = ParseDocument(arguments_text, parse_error);
    if (!document) {
        return Failure(kUndecodableArguments, nullptr);
    }
    if (!document->isObject()) {
        return Failure("Error: module arguments must be a JSON object", nullptr);
    }
    task.options = *document;
    if (task.options.isMember("ANSIBLE_MODULE_ARGS") && task.options["ANSIBLE_MODULE_ARGS"].isObject()) {
        task.options = Json::Value(task.options["ANSIBLE_MODULE_ARGS"]);
    }
    const Json::Value& name_value = task.options["_ansible_module_name"];
    if (name_value.isString() && !name_value.asString().empty()) {
        task.module_name = name_value.asString();
    }
    return std::nullopt;
}

const PolicyOption* FindOption(std::string_view name) {
    for (const PolicyOption& option : kPolicyOptions) {
        if (option.name == name) return &option;
    }
    return nullptr;
}

// Everything the task supplied except Ansible's own "_ansible_*" settings
// (which a newer controller may extend) goes into the reported module_args;
// the names that are no option are returned, sorted.
std::vector<std::string> CollectUnsupported(const Json::Value& options, Json::Value& module_args) {
    std::vector<std::string> unsupported;
    for (const std::string& key : options.getMemberNames()) {
        if (key.rfind(kInternalPrefix, 0) == 0) {
            continue;
        }
        module_args[key] = options[key];
        if (FindOption(key) == nullptr) {
            unsupported.push_back(key);
        }
    }
    std::sort(unsupported.begin(), unsupported.end());
    return unsupported;
}

// Converts the options to a policy, recording each value taken (defaults too)
// in module_args. Returns the first type error, in option order.
std::optional<std::string> ConvertToPolicy(const Json::Value& options, const std::string& arguments_text,
                                           PasswordPolicy& policy, Json::Value& module_args) {
    std::optional<std::string> type_error;
    for (const PolicyOption& option : kPolicyOptions) {
        const std::string name(option.name);
        std::int64_t& value = policy.*option.member;
        const Json::Value* given = options.find(name.data(), name.data() + name.size());
        // A null option (an empty value in a task) means the option was not set.
        if (given == nullptr || given->isNull()) {
            value = option.default_value();
            module_args[name] = Json::Int64(value);
            continue;
        }
        std::string python_type;
        if (ConvertAnsibleInt(*given, RawToken(*given, arguments_text), value, python_type)) {
            module_args[name] = Json::Int64(value);
        } else if (!type_error) {
            type_error = "argument '" + name + "' is of type " + python_type +
                         " and we were unable to convert to int: " + python_type +
                         " cannot be converted to an int";
        }
    }
    return type_error;
}

std::string UnsupportedMessage(const std::string& module_name, const std::vector<std::string>& unsupported) {
    std::vector<std::string> supported;
    for (const PolicyOption& option : kPolicyOptions) {
        supported.emplace_back(option.name);
    }
    std::sort(supported.begin(), supported.end());
    auto join = [](const std::vector<std::string>& items) {
        std::string joined;
        for (const std::string& item : items) {
            joined += (joined.empty() ? "" : ", ") + item;
        }
        return joined;
    };
    return "Unsupported parameters for (" + module_name + ") module: " + join(unsupported) +
           ". Supported parameters include: " + join(supported) + ".";
}

}  // namespace

ModuleOutcome RunWithArguments(const std::string& arguments_text, RandomSource& random) {
    TaskArguments task;
    if (std::optional<ModuleOutcome> failure = ParseArguments(arguments_text, task)) {
        return *failure;
    }
    Json::Value module_args(Json::objectValue);
    const std::vector<std::string> unsupported = CollectUnsupported(task.options, module_args);
    PasswordPolicy policy;
    const std::optional<std::string> type_error =
        ConvertToPolicy(task.options, arguments_text, policy, module_args);

    // Ansible reports the first problem only, type errors before unknown options.
    if (type_error) {
        return Failure(*type_error, &module_args);
    }
    if (!unsupported.empty()) {
        return Failure(UnsupportedMessage(task.module_name, unsupported), &module_args);
    }

    // Check mode needs nothing special: the module only reports a new password
    // and never changes the machine.
    auto [password, status] = generate_password(policy, random);
    ModuleOutcome outcome;
    outcome.result = BaseResult();
    outcome.result["original_message"] = status;
    outcome.result["message"] = password ? Json::Value(*password) : Json::Value(Json::nullValue);
    outcome.result["invocation"]["module_args"] = module_args;
    if (password) {
        explicit_bzero(password->data(), password->size());
    }
    outcome.exit_status = 0;
    return outcome;
}

std::string RenderResult(const Json::Value& result) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    return Json::writeString(builder, result);
}

int run_module(int argc, char** argv, std::ostream& out) {
    ModuleOutcome outcome;
    try {
        std::string arguments_text;
        bool have_arguments = true;
        if (argc > 1) {
            struct stat st {};
            if (::stat(argv[1], &st) == 0 && S_ISREG(st.st_mode)) {
                std::ifstream file(argv[1], std::ios::binary);
                std::ostringstream buffer;
                if (file) {
                    buffer << file.rdbuf();
                }
                if (!file) {
                    outcome = Failure("Error: unable to read module arguments from " +
                                          std::string(argv[1]) + ": " + std::strerror(errno),
                                      nullptr);
                    have_arguments = false;
                } else {
                    arguments_text = buffer.str();
                }
            } else {
                arguments_text = argv[1];
            }
        } else {
            arguments_text.assign(std::istreambuf_iterator<char>(std::cin),
                                  std::istreambuf_iterator<char>());
        }
        if (have_arguments) {
            SystemRandom random;
            outcome = RunWithArguments(arguments_text, random);
        }
    } catch (const std::exception& e) {
        outcome = Failure(std::string("Error: password generation failed: ") + e.what(), nullptr);
    }
    std::string rendered = RenderResult(outcome.result);
    out << rendered << '\n';
    out.flush();
    // The password is part of the rendered text; clear the copy once written.
    explicit_bzero(rendered.data(), rendered.size());
    if (!out) {
        return 1;
    }
    return outcome.exit_status;
}

}  // namespace pwforge
