#pragma once

// Key-value configuration files ("key = value" lines), held in memory.
//
// Syntax, line by line: lines of only blanks (space, \f, \t, \v) and lines whose
// first non-blank character is '#' or ';' are skipped. "key += value" appends
// (joined to an earlier value with a line feed), "key = value" sets; the first
// "+=" in the line wins over "=". Keys lose trailing blanks, values lose
// surrounding white space; there is no quoting. "key =" with nothing after it is
// ignored, a second set of a key is an error. Other lines are ignored.

#include <cstdint>
#include <ctime>
#include <istream>
#include <map>
#include <memory>
#include <string>
#include <utility>

namespace common_routines {

// Empty on success; otherwise (status from error_code.h, message). Messages read
// "<Operation>(): <detail>. Error: <message of the status>".
using ErrorResult = std::shared_ptr<std::pair<int32_t, std::string>>;

// Builds a failure result with the message layout above.
ErrorResult MakeErrorResult(int32_t code, const std::string& operation, const std::string& detail);

class ConfigUtils {
public:
    explicit ConfigUtils(std::string path);

    // Reloads from the file. A missing file is an error (ERR_FILE_NOT_FOUND) when
    // `must_exist`, otherwise an empty configuration.
    ErrorResult LoadConfigFile(bool must_exist);

    // Replaces the contents with what the stream holds. A duplicated key stops
    // the load with ERR_FORMAT, keeping the entries read before it.
    ErrorResult LoadFromStream(std::istream& input);
    ErrorResult LoadFromString(const std::string& text);

    // Copies the value of `key` into `value`; ERR_NOT_FOUND leaves it untouched.
    ErrorResult GetValue(const std::string& key, std::string& value) const;

    // Inserts or overwrites.
    void SetValue(const std::string& key, const std::string& value);

    // Writes every entry in key order as "key = value". A value holding line
    // feeds is written as its first line followed by "key += line" lines, and an
    // empty value as "key += ", so that they load back unchanged (except a value
    // that begins with a line feed, which the syntax cannot express).
    ErrorResult SaveConfigFile() const;

    // False when the file on disk is newer than the last complete load (and
    // before any load); true when it is not, or when it cannot be examined.
    bool LoadedIsActual() const;

    const std::string& Path() const { return path_; }
    const std::map<std::string, std::string>& Values() const { return values_; }

private:
    ErrorResult Load(std::istream& input, bool have_stamp, const timespec& stamp);

    std::string path_;
    std::map<std::string, std::string> values_;
    timespec loaded_stamp_{0, 0};
};

}  // namespace common_routines
