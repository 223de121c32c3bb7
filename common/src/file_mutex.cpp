#include "common/file_mutex.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <utility>

namespace common_routines {

namespace {

[[noreturn]] void ThrowErrno(int code) {
    throw std::system_error(code, std::generic_category());
}

}  // namespace

file_mutex::file_mutex(std::string path) : path_(std::move(path)) {}

file_mutex::~file_mutex() {
    if (fd_ >= 0) close(fd_);
}

void file_mutex::lock() {
    // Asked of the kernel each time: a cached pid would hide a fork.
    const int pid = static_cast<int>(syscall(SYS_getpid));
    if (pid != owner_pid_) {
        // A descriptor inherited across fork shares the parent's open file
        // description and so its lock; the child drops its copy (which leaves the
        // parent's lock alone) and opens the file for itself.
        if (fd_ >= 0 && owner_pid_ >= 0) close(fd_);
        errno = 0;
        fd_ = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd_ < 0 && errno == ENOENT) {
            // The mode is set on the new file itself: changing the process umask
            // would affect every other thread that creates a file meanwhile.
            fd_ = open(path_.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
            if (fd_ >= 0 && fchmod(fd_, 0660) != 0) {
                const int chmod_errno = errno;
                close(fd_);
                fd_ = -1;
                errno = chmod_errno;
            } else if (fd_ < 0 && errno == EEXIST) {
                fd_ = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
            }
        }
        owner_pid_ = pid;
    }
    if (fd_ < 0) ThrowErrno(errno != 0 ? errno : EBADF);
    if (flock(fd_, LOCK_EX) != 0) ThrowErrno(errno);
}

void file_mutex::unlock() {
    if (fd_ < 0) ThrowErrno(EBADF);
    if (flock(fd_, LOCK_UN) != 0) ThrowErrno(errno);
}

}  // namespace common_routines
