#include "common/file_mutex.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <utility>

#include "common/durable_file.h"
#include "common/error_code.h"

namespace common_routines {

namespace {

[[noreturn]] void ThrowErrno(int code) {
    throw std::system_error(code != 0 ? code : EBADF, std::generic_category());
}

// Asked of the kernel each time: a cached pid would hide a fork.
int CurrentPid() { return static_cast<int>(::syscall(SYS_getpid)); }

}  // namespace

file_mutex::file_mutex(std::string path) : path_(std::move(path)) {}

file_mutex::~file_mutex() {
    drop_handover();
    if (fd_ >= 0) ::close(fd_);
}

void file_mutex::lock() {
    for (;;) {
        const int pid = CurrentPid();
        if (pid != owner_pid_) {
            // A descriptor inherited across fork shares the parent's open file
            // description and so its lock; the child drops its copy (which
            // leaves the parent's lock alone) and opens the file for itself.
            if (fd_ >= 0) ::close(fd_);
            fd_ = -1;
            owner_pid_ = pid;
            fd_ = OpenLockFile();
        }
        if (fd_ < 0) ThrowErrno(EBADF);
        while (::flock(fd_, LOCK_EX) != 0) {
            if (errno != EINTR) ThrowErrno(errno);
        }
        held_ = true;
        if (LockedFileIsCurrent()) return;
        // Replaced or renamed away while we waited: start over on the file
        // that is at the path now.
        ::flock(fd_, LOCK_UN);
        held_ = false;
        ::close(fd_);
        fd_ = -1;
        owner_pid_ = -1;
    }
}

void file_mutex::unlock() {
    if (fd_ < 0) ThrowErrno(EBADF);
    // A descriptor inherited through fork shares the parent's lock: releasing
    // it here would let another holder in beside the parent.
    if (owner_pid_ != CurrentPid()) return;
    if (::flock(fd_, LOCK_UN) != 0) ThrowErrno(errno);
    held_ = false;
}

bool file_mutex::held() const { return held_ && fd_ >= 0 && owner_pid_ == CurrentPid(); }

int file_mutex::prepare_handover(int fd) {
    drop_handover();
    pending_fd_ = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (pending_fd_ < 0) return errno;
    if (::flock(pending_fd_, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        drop_handover();
        return error;
    }
    return 0;
}

void file_mutex::commit_handover() {
    if (pending_fd_ < 0) return;
    const int old = fd_;
    fd_ = pending_fd_;
    pending_fd_ = -1;
    owner_pid_ = CurrentPid();
    if (old >= 0) {
        // Released explicitly: a child forked meanwhile shares the old file's
        // open description, and closing our copy alone would keep the waiters
        // on the old file blocked until that child lets go of it as well.
        ::flock(old, LOCK_UN);
        ::close(old);
    }
}

void file_mutex::drop_handover() {
    if (pending_fd_ >= 0) ::close(pending_fd_);
    pending_fd_ = -1;
}

// Opens (creating when missing) the lock file without blocking, and refuses
// anything but a regular file: a FIFO would block the open for ever and a link
// to a device would be no lock at all.
int file_mutex::OpenLockFile() const {
    int fd = ::open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) {
        fd = ::open(path_.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_NONBLOCK | O_CLOEXEC, 0600);
        // The mode is set on the new file itself: changing the process umask
        // would affect every other thread that creates a file meanwhile.
        if (fd >= 0) {
            const int error = SetSecretFileMode(fd, path_, 0660);
            if (error != 0) {
                ::close(fd);
                ThrowErrno(error);
            }
        }
        // Created by another holder in the meantime.
        if (fd < 0 && errno == EEXIST) fd = ::open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    }
    if (fd < 0) ThrowErrno(errno);
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        throw static_cast<int>(ERR_OPEN_FILE);
    }
    return fd;
}

bool file_mutex::LockedFileIsCurrent() const {
    struct stat locked {}, current {};
    if (::fstat(fd_, &locked) != 0) ThrowErrno(errno);
    if (::stat(path_.c_str(), &current) != 0) {
        if (errno == ENOENT) return false;
        ThrowErrno(errno);
    }
    return locked.st_dev == current.st_dev && locked.st_ino == current.st_ino;
}

}  // namespace common_routines
