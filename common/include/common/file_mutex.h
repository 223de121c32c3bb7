#pragma once

// Inter-process exclusive lock on a file path, built on flock(). The lock file
// is created on the first lock() when missing (empty, mode 0660 with the group
// of its directory, whatever the umask) and never removed; anything but a
// regular file at the path is refused.
//
// The locked file may be replaced by renaming another file over the path (a
// writer that saves the file that is also the lock does so). Two rules keep the
// lock meaningful across such a replacement: after every acquisition the
// locked file is checked to still be the one at the path, and when it is not
// the file now at the path is opened and locked instead; and the replacing
// holder hands its lock over to the new file (prepare_handover before the
// rename, commit_handover after it), so that it never lets go of the path.
//
// The object is fork-aware: a process that inherited it opens the file again
// before locking, so that its lock is its own and not its parent's, and its
// unlock() never releases the parent's lock.
// Failures are thrown as std::system_error (generic category, errno value); a
// path that is not a regular file as the int ERR_OPEN_FILE.
// One object is meant for one thread at a time.

#include <string>

namespace common_routines {

class file_mutex {
public:
    explicit file_mutex(std::string path);
    ~file_mutex();
    file_mutex(const file_mutex&) = delete;
    file_mutex& operator=(const file_mutex&) = delete;

    // Blocks until this process holds the exclusive lock on the file that is at
    // the path. Repeated calls in the owning process return at once. When
    // opening the file fails the object stays unusable (every later lock() in
    // this process throws) and should be dropped.
    void lock();

    // Releases the lock; throws EBADF when the file was never opened. In a
    // process that inherited the object and never locked, it does nothing.
    void unlock();

    // Whether this process holds the lock.
    bool held() const;

    const std::string& path() const { return path_; }

    // Locks fd, the file about to be renamed over the path, without waiting
    // (nobody else can know it yet). Returns 0 or the errno value.
    int prepare_handover(int fd);
    // The prepared file is in place: keep its lock and let go of the old file;
    // waiters on the old file notice the replacement and wait on the new one.
    void commit_handover();
    // The replacement did not happen: forget the prepared file.
    void drop_handover();

private:
    int OpenLockFile() const;
    bool LockedFileIsCurrent() const;

    int fd_ = -1;
    int owner_pid_ = -1;
    int pending_fd_ = -1;
    bool held_ = false;
    std::string path_;
};

}  // namespace common_routines
