#pragma once

// Path, file and string helpers shared by the programs and the KMS connectors.
// Paths are byte strings with '/' as the only separator. Nothing here throws on
// an expected failure: each function reports through a truth value, a status from
// error_code.h, or an empty result, as noted per function.

#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace common_routines {

// Joins two paths, adding or dropping at most one '/' at the seam. An empty
// part yields the other part unchanged; nothing else is normalised.
std::string JoinPath(const std::string& a, const std::string& b);

// True when the path itself (not a final link's target) is a directory.
bool IsFolder(const std::string& path);

// Text before the last '/'. A path without '/' is returned whole; "/name" gives "".
std::string ExtractParentPath(const std::string& path);

// The directory a path names its file in: text before the last '/', "." for a
// bare name and "/" for a name in the root.
std::string DirectoryOf(const std::string& path);

// Text after the last '/'. A path without '/' is returned whole; "dir/" gives "".
std::string ExtractFileName(const std::string& path);

// Textual check: false when the path contains "../", "/..", "./" or "/.".
bool IsPathCanonical(const std::string& path);

// Resolves `path` (links and dot segments removed) relative to `base`: the
// current directory when `base` is empty, the directory `base` when it is one,
// otherwise the directory that holds `base`. Returns 0, ERR_EXPAND_PATH,
// ERR_GET_CWD (the current directory is gone) or ERR_CHANGE_DIR (the base's
// directory cannot be entered); `out` is written only on success. The working
// directory of the process is never changed.
int MakePathCanonical(const std::string& path, const std::string& base, std::string& out);

// True when the path itself is a symbolic link.
bool IsSymLink(const std::string& path);

// True when the path exists after following links (a dangling link does not).
bool CheckFileExists(const std::string& path);

// True when the path (after following links) is a FIFO. Opening one blocks
// until its other end is opened, so readers of whole files refuse it.
bool IsFifo(const std::string& path);

// Reads a link's target into `out`. Returns 0 or ERR_READ_SYMLINK.
int ReadSymLink(const std::string& path, std::string& out);

// Copies `src` to `dst` (created or truncated) byte for byte. False when either
// file cannot be opened or the copy fails.
bool CopyFile(const std::string& src, const std::string& dst);

// Size in bytes after following links; `size` is written only on success.
bool GetFileSize(const std::string& path, uint64_t& size);

// Reads the whole file into `out`. Returns 0, ERR_FILE_NOT_FOUND, ERR_OPEN_FILE,
// ERR_FILE_SIZE or ERR_READ_FILE.
int ReadFile(const std::string& path, std::string& out);

// Opens `path` for reading only when it is a regular file, and without waiting:
// a FIFO would block the open or the read for ever (inside the database server
// too), and a device such as /dev/zero would feed a reader without end.
// Returns the descriptor, which the caller closes, and fills `info` with its
// fstat; or -1 with `code` set to ERR_FILE_NOT_FOUND or ERR_OPEN_FILE.
int OpenRegularFile(const std::string& path, int& code, struct stat& info);

// Reads exactly `size` bytes from `fd` into `data`, going on after EINTR.
// Returns 0, or ERR_READ_FILE on an error or an early end of the file.
int ReadExactly(int fd, void* data, size_t size);

// Writes `length` bytes to `path`, creating it (0666 less the umask) or
// truncating it. Returns 0, ERR_OPEN_FILE or ERR_WRITE_FILE.
int WriteFile(const std::string& path, const void* data, size_t length);

using PathComparator = std::function<bool(const std::string&, const std::string&)>;

// Full paths (JoinPath(dir, name)) of every entry of `dir` except "." and "..",
// without recursion. Sorted with `comparator` when one is given, otherwise in
// directory order. An unreadable directory gives an empty list.
std::vector<std::string> GetFilePathListFromDir(const std::string& dir,
                                                const PathComparator& comparator = nullptr);

// Copy without leading and trailing " \f\n\r\t\v". A string made only of those
// characters is returned unchanged.
std::string TrimString(const std::string& s);

// Tokens between separators, where any character of `delimiters` separates.
// Empty tokens are kept except a trailing one; "" gives an empty list.
std::vector<std::string> SplitString(const std::string& s, const std::string& delimiters);

// True for an IPv4 address in dotted-decimal form; false for null, host names
// and IPv6 addresses.
bool IsIpAddressValid(const char* address);

// True for 1 ... 65535.
bool IsPortValid(int32_t port);

// Reads port text the way every port the tools take or store is read (as
// std::stoi does): leading white space skipped, an optional sign, the digits up
// to the first other character. False when there is no number or it is out of
// the 32-bit range; the range of a TCP port is left to IsPortValid.
bool ParsePortText(const std::string& text, int32_t& port);

// True when `text` is well-formed UTF-8 without a zero byte: text that the JSON
// documents of the credential store keep byte for byte and that a C string
// carries whole. (The JSON writer replaces malformed sequences, and a zero byte
// ends the text early, so such input would be stored other than typed.)
bool IsStorableText(const std::string& text);

// Turns core dumps off for the rest of the process (RLIMIT_CORE 0 and not
// dumpable), so that a crash does not write typed secrets to disk. For the
// programs only: code that runs inside the database server never calls it.
// False when either step failed.
bool DisableCoreDumps();

// Flushes and closes standard output (std::cout and stdout). False when any
// output was lost: a full disk, a closed or unwritable descriptor. Called
// once, at the end of a program whose output is its result.
bool CloseStandardOutput();

}  // namespace common_routines
