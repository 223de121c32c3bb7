#include "common/common_routines.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <ios>
#include <stdexcept>

#include "common/error_code.h"
#include "common/unique_handles.h"

namespace common_routines {

namespace {

constexpr size_t kPathBufferSize = 4096;

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

std::string DirectoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
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

    // The working directory is never changed: this runs inside the database
    // server too, where another thread or a failed change back would see the
    // process elsewhere. A relative path is resolved against the resolved
    // directory instead, which gives what chdir and realpath would.
    char saved[kPathBufferSize];
    if (getcwd(saved, sizeof(saved)) == nullptr) return ERR_GET_CWD;

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
    // The directory must be one that chdir would enter: existing, a directory
    // and searchable.
    char dirResolved[sizeof resolved];
    struct stat st {};
    if (realpath(dir.c_str(), dirResolved) == nullptr || stat(dirResolved, &st) != 0 ||
        !S_ISDIR(st.st_mode) || faccessat(AT_FDCWD, dirResolved, X_OK, AT_EACCESS) != 0)
        return ERR_CHANGE_DIR;
    if (path.empty()) return ERR_EXPAND_PATH;
    const std::string full = path.front() == '/' ? path : JoinPath(dirResolved, path);
    if (realpath(full.c_str(), resolved) == nullptr) return ERR_EXPAND_PATH;
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

bool IsFifo(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode);
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
    // The open would wait for a writer for ever (the database server reads its
    // parameter files through here).
    if (IsFifo(path)) return ERR_OPEN_FILE;
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

int OpenRegularFile(const std::string& path, int& code, struct stat& info) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        code = errno == ENOENT ? ERR_FILE_NOT_FOUND : ERR_OPEN_FILE;
        return -1;
    }
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        code = ERR_OPEN_FILE;
        return -1;
    }
    return fd;
}

int ReadExactly(int fd, void* data, size_t size) {
    auto* bytes = static_cast<char*>(data);
    for (size_t done = 0; done < size;) {
        const ssize_t n = ::read(fd, bytes + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return ERR_READ_FILE;
        done += static_cast<size_t>(n);
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

bool ParsePortText(const std::string& text, int32_t& port) {
    try {
        port = std::stoi(text);
        return true;
    } catch (const std::invalid_argument&) {
        return false;
    } catch (const std::out_of_range&) {
        return false;
    }
}

bool IsStorableText(const std::string& text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    while (p < end) {
        const unsigned char c = *p;
        size_t length = 0;
        uint32_t code = 0;
        uint32_t minimum = 0;
        if (c == 0) return false;
        if (c < 0x80) {
            ++p;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            length = 2, code = c & 0x1F, minimum = 0x80;
        } else if ((c & 0xF0) == 0xE0) {
            length = 3, code = c & 0x0F, minimum = 0x800;
        } else if ((c & 0xF8) == 0xF0) {
            length = 4, code = c & 0x07, minimum = 0x10000;
        } else {
            return false;
        }
        if (static_cast<size_t>(end - p) < length) return false;
        for (size_t i = 1; i < length; ++i) {
            if ((p[i] & 0xC0) != 0x80) return false;
            code = (code << 6) | (p[i] & 0x3F);
        }
        // Overlong forms, UTF-16 surrogates and values beyond Unicode.
        if (code < minimum || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) return false;
        p += length;
    }
    return true;
}

bool DisableCoreDumps() {
    // The hard limit stays: programs started later may have their own needs.
    rlimit core{};
    const bool limited = getrlimit(RLIMIT_CORE, &core) == 0 &&
                         (core.rlim_cur = 0, setrlimit(RLIMIT_CORE, &core) == 0);
    return prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) == 0 && limited;
}

bool CloseStandardOutput() {
    std::cout.flush();
    bool ok = !std::cout.fail();
    // A failed write may only show at the flush or the close of the descriptor.
    ok = std::fflush(stdout) == 0 && ok;
    ok = !std::ferror(stdout) && ok;
    ok = std::fclose(stdout) == 0 && ok;
    return ok;
}

}  // namespace common_routines
