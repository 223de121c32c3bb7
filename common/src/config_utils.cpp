#include "common/config_utils.h"

#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include "common/common_routines.h"
#include "common/error_code.h"

namespace common_routines {

namespace {

// Blanks that may stand before a key, after it and on an empty line.
constexpr const char* kBlanks = " \f\t\v";
// White space removed around a value (line ends included).
constexpr const char* kValueSpace = " \f\n\r\t\v";

std::string TrimRight(const std::string& s, const char* set) {
    const size_t last = s.find_last_not_of(set);
    return last == std::string::npos ? std::string() : s.substr(0, last + 1);
}

std::string TrimBoth(const std::string& s, const char* set) {
    const size_t first = s.find_first_not_of(set);
    if (first == std::string::npos) return std::string();
    return s.substr(first, s.find_last_not_of(set) - first + 1);
}

bool StatMtime(const std::string& path, timespec& mtime) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return false;
    mtime = st.st_mtim;
    return true;
}

}  // namespace

ErrorResult MakeErrorResult(int32_t code, const std::string& operation, const std::string& detail) {
    return std::make_shared<std::pair<int32_t, std::string>>(
        code, operation + "(): " + detail + ". Error: " + ErrorCodeToStr(code));
}

ConfigUtils::ConfigUtils(std::string path) : path_(std::move(path)) {}

ErrorResult ConfigUtils::LoadConfigFile(bool must_exist) {
    values_.clear();
    if (!CheckFileExists(path_)) {
        if (must_exist) return MakeErrorResult(ERR_FILE_NOT_FOUND, "LoadConfigFile", "File '" + path_ + "' is not found");
        return nullptr;
    }
    // The stamp is taken before the content is read: a change made while reading
    // then shows up as a newer file instead of being hidden behind the new stamp.
    timespec stamp{};
    const bool have_stamp = StatMtime(path_, stamp);
    // A FIFO would block the open until a writer comes, for ever in a server
    // that reloads its parameter file.
    std::ifstream input;
    if (!IsFifo(path_)) input.open(path_, std::ios::binary);
    if (!input.is_open()) return MakeErrorResult(ERR_OPEN_FILE, "LoadConfigFile", "Could not open file '" + path_ + "'");
    return Load(input, have_stamp, stamp);
}

ErrorResult ConfigUtils::LoadFromStream(std::istream& input) {
    timespec stamp{};
    const bool have_stamp = StatMtime(path_, stamp);
    return Load(input, have_stamp, stamp);
}

ErrorResult ConfigUtils::LoadFromString(const std::string& text) {
    std::istringstream input(text);
    return LoadFromStream(input);
}

ErrorResult ConfigUtils::Load(std::istream& input, bool have_stamp, const timespec& stamp) {
    values_.clear();
    std::string line;
    while (std::getline(input, line)) {
        const size_t start = line.find_first_not_of(kBlanks);
        if (start == std::string::npos) continue;
        if (line[start] == '#' || line[start] == ';') continue;

        bool append = false;
        std::string key;
        size_t value_pos = std::string::npos;
        const size_t plus = line.find("+=", start);
        if (plus != std::string::npos) {
            key = TrimRight(line.substr(start, plus - start), kBlanks);
            if (!key.empty()) {
                append = true;
                value_pos = plus + 2;
            }
        }
        if (!append) {
            const size_t eq = line.find('=', start);
            if (eq == std::string::npos) continue;
            key = TrimRight(line.substr(start, eq - start), kBlanks);
            if (key.empty()) continue;
            value_pos = eq + 1;
        }
        const std::string value = TrimBoth(line.substr(value_pos), kValueSpace);

        auto it = values_.find(key);
        if (append) {
            if (it == values_.end()) {
                values_.emplace(key, value);
            } else if (it->second.empty()) {
                it->second = value;
            } else {
                it->second += "\n" + value;
            }
            continue;
        }
        if (value.empty()) continue;
        if (it != values_.end()) {
            return MakeErrorResult(ERR_FORMAT, "LoadFromStream",
                                   "File '" + path_ + "' contains duplicated parameter '" + key + "'");
        }
        values_.emplace(key, value);
    }
    // getline stops on end of input and on a read error alike; only the first is
    // a complete load. A file that cannot be read through (an I/O error, or a
    // directory) must not pass for a short configuration.
    if (input.bad()) {
        return MakeErrorResult(ERR_READ_FILE, "LoadFromStream", "Could not read file '" + path_ + "'");
    }
    if (have_stamp) loaded_stamp_ = stamp;
    return nullptr;
}

ErrorResult ConfigUtils::GetValue(const std::string& key, std::string& value) const {
    const auto it = values_.find(key);
    if (it == values_.end()) {
        return MakeErrorResult(ERR_NOT_FOUND, "GetValue", "Could not find value in config by key '" + key + "'");
    }
    value = it->second;
    return nullptr;
}

void ConfigUtils::SetValue(const std::string& key, const std::string& value) {
    values_[key] = value;
}

ErrorResult ConfigUtils::SaveConfigFile() const {
    try {
        std::ofstream output;
        output.exceptions(std::ios::badbit | std::ios::failbit);
        output.open(path_, std::ios::binary | std::ios::trunc);
        for (const auto& [key, value] : values_) {
            // Line feeds inside a value would start lines of their own and be lost
            // on reload; the lines after the first go out as append lines. An empty
            // first line is written as an append line too, because "key =" with
            // nothing after it does not create the key.
            size_t begin = 0;
            size_t end = value.find('\n');
            const std::string first = value.substr(begin, end);
            output << key << (first.empty() ? " += " : " = ") << first << '\n' << std::flush;
            while (end != std::string::npos) {
                begin = end + 1;
                end = value.find('\n', begin);
                output << key << " += "
                       << value.substr(begin, end == std::string::npos ? std::string::npos : end - begin) << '\n'
                       << std::flush;
            }
        }
        output.close();
    } catch (const std::exception& e) {
        return MakeErrorResult(ERR_COMMON, "SaveConfigFile",
                               "Could not write to file '" + path_ + "'. Exception: " + e.what());
    }
    return nullptr;
}

bool ConfigUtils::LoadedIsActual() const {
    timespec mtime{};
    if (!StatMtime(path_, mtime)) return true;
    if (mtime.tv_sec != loaded_stamp_.tv_sec) return mtime.tv_sec < loaded_stamp_.tv_sec;
    return mtime.tv_nsec <= loaded_stamp_.tv_nsec;
}

}  // namespace common_routines
