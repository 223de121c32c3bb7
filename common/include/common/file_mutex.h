#pragma once

// Inter-process exclusive lock on a file path, built on flock(). The lock file
// is created on the first lock() with mode 0660 whatever the umask, and never
// removed. The object is fork-aware: a process that inherited it opens the file
// again before locking, so that its lock is its own and not its parent's.
// Failures are thrown as std::system_error (generic category, errno value).
// One object is meant for one thread at a time.

#include <string>

namespace common_routines {

class file_mutex {
public:
    explicit file_mutex(std::string path);
    ~file_mutex();
    file_mutex(const file_mutex&) = delete;
    file_mutex& operator=(const file_mutex&) = delete;

    // Blocks until this process holds the exclusive lock. Repeated calls in the
    // owning process return at once. When opening the file fails the object stays
    // unusable (every later lock() in this process throws) and should be dropped.
    void lock();

    // Releases the lock; throws EBADF when the file was never opened.
    void unlock();

private:
    int fd_ = -1;
    int owner_pid_ = -1;
    std::string path_;
};

}  // namespace common_routines
