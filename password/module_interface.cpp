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
    if (!reader->parse(text.data(), text.data() + text.size(), &root, &error)) {
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

ModuleOutcome RunWithArguments(const std::string& arguments_text, RandomSource& random) {
    std::string parse_error;
    std::optional<Json::Value> document = ParseDocument(arguments_text, parse_error);
    if (!document) {
        return Failure(kUndecodableArguments, nullptr);
    }
    if (!document->isObject()) {
        return Failure("Error: module arguments must be a JSON object", nullptr);
    }
    // Arguments may also come wrapped the way Ansible passes them to its own
    // Python modules.
    Json::Value arguments = *document;
    if (arguments.isMember("ANSIBLE_MODULE_ARGS") && arguments["ANSIBLE_MODULE_ARGS"].isObject()) {
        arguments = Json::Value(arguments["ANSIBLE_MODULE_ARGS"]);
    }

    std::string module_name = kModuleName;
    const Json::Value& name_value = arguments["_ansible_module_name"];
    if (name_value.isString() && !name_value.asString().empty()) {
        module_name = name_value.asString();
    }

    // Everything the task supplied except Ansible's own "_ansible_*" settings,
    // which a newer controller may extend.
    Json::Value module_args(Json::objectValue);
    std::vector<std::string> unsupported;
    for (const std::string& key : arguments.getMemberNames()) {
        if (key.rfind(kInternalPrefix, 0) == 0) {
            continue;
        }
        module_args[key] = arguments[key];
        const bool known = std::any_of(kOptionDefinitions.begin(), kOptionDefinitions.end(),
                                       [&](const OptionDefinition& option) { return option.name == key; });
        if (!known) {
            unsupported.push_back(key);
        }
    }

    std::array<std::int64_t, kOptionDefinitions.size()> values{};
    std::optional<std::string> type_error;
    for (std::size_t i = 0; i < kOptionDefinitions.size(); ++i) {
        const std::string name(kOptionDefinitions[i].name);
        const Json::Value* given = arguments.find(name.data(), name.data() + name.size());
        // A null option (an empty value in a task) means the option was not set.
        if (given == nullptr || given->isNull()) {
            values[i] = kOptionDefinitions[i].default_value;
            module_args[name] = Json::Int64(values[i]);
            continue;
        }
        std::string python_type;
        if (ConvertAnsibleInt(*given, RawToken(*given, arguments_text), values[i], python_type)) {
            module_args[name] = Json::Int64(values[i]);
        } else if (!type_error) {
            type_error = "argument '" + name + "' is of type " + python_type +
                         " and we were unable to convert to int: " + python_type +
                         " cannot be converted to an int";
        }
    }

    // Ansible reports the first problem only, type errors before unknown options.
    if (type_error) {
        return Failure(*type_error, &module_args);
    }
    if (!unsupported.empty()) {
        std::sort(unsupported.begin(), unsupported.end());
        std::vector<std::string> supported;
        for (const OptionDefinition& option : kOptionDefinitions) {
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
        return Failure("Unsupported parameters for (" + module_name + ") module: " +
                           join(unsupported) + ". Supported parameters include: " +
                           join(supported) + ".",
                       &module_args);
    }

    // Check mode needs nothing special: the module only reports a new password
    // and never changes the machine.
    auto [password, status] = generate_password(values[0], values[1], values[2], values[3],
                                                values[4], values[5], values[6], random);
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
