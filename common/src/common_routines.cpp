#include "common/common_routines.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <fstream>
#include <ios>

#include "common/error_code.h"

namespace common_routines {

namespace {

constexpr size_t kPathBufferSize = 4096;

// Returns the process to a saved working directory when it goes out of scope,
// so that every exit from MakePathCanonical, exceptions included, restores it.
class WorkingDirGuard {
public:
    explicit WorkingDirGuard(std::string saved) : saved_(std::move(saved)) {}
    ~WorkingDirGuard() {
        // Nothing sensible can be done when the way back has gone away.
        [[maybe_unused]] int rc = chdir(saved_.c_str());
    }
    WorkingDirGuard(const WorkingDirGuard&) = delete;
    WorkingDirGuard& operator=(const WorkingDirGuard&) = delete;

private:
    std::string saved_;
};

class DirHandle {
public:
    explicit DirHandle(const std::string& path) : dir_(opendir(path.c_str())) {}
    ~DirHandle() {
        if (dir_ != nullptr) closedir(dir_);
    }
    DirHandle(const DirHandle&) = delete;
    DirHandle& operator=(const DirHandle&) = delete;
    DIR* get() const { return dir_; }

private:
    DIR* dir_;
};

bool IsTrimmed(char c) {
    return c == ' ' || c == '\f' || c == '\n' || c == '\r' || c == '\t' || c == '\v';
}

}  // namespace

std::string JoinPath(const std::string& a, const std::string& b) {
    if (a.empty()) return b;
    if (b.empty()) return a;
    const bool a_slash = a.back() == '/';
    const bool b_slash = b.front() == '/';
    if (a_slash && b_slash) return a.substr(0, a.size() - 1) + b;
    if (a_slash || b_slash) return a + b;
    return a + "/" + b;
}

bool IsFolder(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string ExtractParentPath(const std::string& path) {
    const size_t pos = path.rfind('/');
    if (pos == std::string::npos) return path;
    return path.substr(0, pos);
}

std::string ExtractFileName(const std::string& path) {
    const size_t pos = path.rfind('/');
    if (pos == std::string::npos) return path;
    return path.substr(pos + 1);
}

bool IsPathCanonical(const std::string& path) {
    for (const char* pattern : {"../", "/..", "./", "/."}) {
        if (path.find(pattern) != std::string::npos) return false;
    }
    return true;
}

int MakePathCanonical(const std::string& path, const std::string& base, std::string& out) {
    char resolved[kPathBufferSize > PATH_MAX ? kPathBufferSize : PATH_MAX];
    if (base.empty()) {
        if (realpath(path.c_str(), resolved) == nullptr) return ERR_EXPAND_PATH;
        out = resolved;
        return ERR_NONE;
    }

    char saved[kPathBufferSize];
    if (getcwd(saved, sizeof(saved)) == nullptr) return ERR_GET_CWD;
    WorkingDirGuard guard{std::string(saved)};

    // A base that is not a directory names a file; its directory is used. A bare
    // file name lives in the current directory and "/name" in the root, which
    // ExtractParentPath renders as the name itself and as "".
    std::string dir = base;
    if (!IsFolder(base)) {
        if (base.find('/') == std::string::npos) {
            dir = ".";
        } else {
            dir = ExtractParentPath(base);
            if (dir.empty()) dir = "/";
        }
    }
    if (chdir(dir.c_str()) != 0) return ERR_CHANGE_DIR;
    if (realpath(path.c_str(), resolved) == nullptr) return ERR_EXPAND_PATH;
    out = resolved;
    return ERR_NONE;
}

bool IsSymLink(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

bool CheckFileExists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

int ReadSymLink(const std::string& path, std::string& out) {
    char target[kPathBufferSize];
    const ssize_t n = readlink(path.c_str(), target, sizeof(target));
    if (n < 0) return ERR_READ_SYMLINK;
    out.assign(target, static_cast<size_t>(n));
    return ERR_NONE;
}

bool CopyFile(const std::string& src, const std::string& dst) {
    // The source is opened first so that a missing source leaves `dst` alone.
    std::ifstream in(src, std::ios::binary);
    if (!in.is_open()) return false;
    std::ofstream out(dst, std::ios::binary | std::ios::trunc);
    if (!out.is_open()) return false;
    char buffer[8192];
    while (in) {
        in.read(buffer, sizeof(buffer));
        const std::streamsize got = in.gcount();
        if (got > 0 && !out.write(buffer, got)) return false;
    }
    if (in.bad()) return false;
    out.close();
    return !out.fail();
}

bool GetFileSize(const std::string& path, uint64_t& size) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return false;
    size = static_cast<uint64_t>(st.st_size);
    return true;
}

int ReadFile(const std::string& path, std::string& out) {
    if (!CheckFileExists(path)) return ERR_FILE_NOT_FOUND;
    std::ifstream in(path, std::ios::binary);
    if (!in.is_open()) return ERR_OPEN_FILE;
    in.exceptions(std::ios::badbit | std::ios::failbit | std::ios::eofbit);
    uint64_t size = 0;
    if (!GetFileSize(path, size)) return ERR_FILE_SIZE;
    try {
        out.resize(static_cast<size_t>(size));
        if (size > 0) in.read(out.data(), static_cast<std::streamsize>(size));
    } catch (const std::ios_base::failure&) {
        return ERR_READ_FILE;
    }
    return ERR_NONE;
}

int WriteFile(const std::string& path, const void* data, size_t length) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out.is_open()) return ERR_OPEN_FILE;
    out.exceptions(std::ios::badbit | std::ios::failbit | std::ios::eofbit);
    try {
        if (length > 0) out.write(static_cast<const char*>(data), static_cast<std::streamsize>(length));
        // Closing here (not in the destructor) lets a failed final flush, such as a
        // full disk, be reported instead of passing as success.
        out.close();
    } catch (const std::ios_base::failure&) {
        return ERR_WRITE_FILE;
    }
    return ERR_NONE;
}

std::vector<std::string> GetFilePathListFromDir(const std::string& dir, const PathComparator& comparator) {
    std::vector<std::string> paths;
    DirHandle handle(dir);
    if (handle.get() == nullptr) return paths;
    while (const dirent* entry = readdir(handle.get())) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        paths.push_back(JoinPath(dir, name));
    }
    if (comparator) std::sort(paths.begin(), paths.end(), comparator);
    return paths;
}

std::string TrimString(const std::string& s) {
    size_t first = 0;
    while (first < s.size() && IsTrimmed(s[first])) ++first;
    if (first == s.size()) return s;
    size_t last = s.size();
    while (last > first && IsTrimmed(s[last - 1])) --last;
    return s.substr(first, last - first);
}

std::vector<std::string> SplitString(const std::string& s, const std::string& delimiters) {
    std::vector<std::string> tokens;
    size_t pos = 0;
    while (true) {
        const size_t next = delimiters.empty() ? std::string::npos : s.find_first_of(delimiters, pos);
        if (next == std::string::npos) {
            if (pos < s.size()) tokens.push_back(s.substr(pos));
            return tokens;
        }
        tokens.push_back(s.substr(pos, next - pos));
        pos = next + 1;
    }
}

bool IsIpAddressValid(const char* address) {
    if (address == nullptr) return false;
    in_addr parsed{};
    return inet_pton(AF_INET, address, &parsed) == 1;
}

bool IsPortValid(int32_t port) {
    return port >= 1 && port <= 65535;
}

}  // namespace common_routines
