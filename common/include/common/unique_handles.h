#pragma once

// Owners of a file descriptor and of a directory stream that close them when
// they go out of scope.

#include <dirent.h>
#include <unistd.h>

#include <string>

namespace common_routines {

class UniqueFd {
public:
    explicit UniqueFd(int fd = -1) noexcept : fd_(fd) {}
    ~UniqueFd() {
        if (fd_ >= 0) ::close(fd_);
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const noexcept { return fd_; }
    void Reset(int fd = -1) noexcept {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }
    // Closes now and reports whether the close succeeded (a deferred write
    // error may surface only here).
    bool Close() noexcept {
        const int fd = fd_;
        fd_ = -1;
        return fd < 0 || ::close(fd) == 0;
    }

private:
    int fd_;
};

class DirHandle {
public:
    explicit DirHandle(const std::string& path) : dir_(::opendir(path.c_str())) {}
    ~DirHandle() {
        if (dir_ != nullptr) ::closedir(dir_);
    }
    DirHandle(const DirHandle&) = delete;
    DirHandle& operator=(const DirHandle&) = delete;

    // Null when the directory could not be opened.
    DIR* get() const noexcept { return dir_; }

private:
    DIR* dir_;
};

}  // namespace common_routines
