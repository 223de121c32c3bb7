#include "common/file_mutex.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <string>
#include <system_error>

#include "common/error_code.h"
#include "common/result_guard.h"
#include "test_support.h"

using common_routines::file_mutex;
using testsupport::ScratchDir;

namespace {

// The child locks `mutex` (the inherited object when `inherited`, a new one on
// the same path otherwise), reports through the pipe, then exits.
pid_t ForkLocker(file_mutex& inherited, const std::string& path, bool use_inherited, int report_fd) {
    const pid_t pid = fork();
    if (pid == 0) {
        try {
            if (use_inherited) {
                inherited.lock();
            } else {
                file_mutex own(path);
                own.lock();
                if (write(report_fd, "x", 1) != 1) _exit(3);
                _exit(0);
            }
            if (write(report_fd, "x", 1) != 1) _exit(3);
            inherited.unlock();
        } catch (...) {
            _exit(2);
        }
        _exit(0);
    }
    return pid;
}

// True once `pid` waits for a flock: the kernel lists a blocked request in
// /proc/locks with "->" before it.
bool WaitsForLock(pid_t pid) {
    const std::string owner = " " + std::to_string(pid) + " ";
    for (int attempt = 0; attempt < 2000; ++attempt) {
        std::ifstream locks("/proc/locks");
        for (std::string line; std::getline(locks, line);) {
            if (line.find("-> FLOCK") != std::string::npos && line.find(owner) != std::string::npos) return true;
        }
        usleep(5000);
    }
    return false;
}

class FileMutexFork : public ::testing::TestWithParam<bool> {};

TEST_P(FileMutexFork, ChildWaitsForTheParentsLock) {
    ScratchDir dir;
    const std::string path = dir / "table.cfg";
    file_mutex mutex(path);
    mutex.lock();

    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t pid = ForkLocker(mutex, path, GetParam(), fds[1]);
    ASSERT_GT(pid, 0);
    EXPECT_FALSE(testsupport::ByteArrives(fds[0], 300)) << "child got the lock while the parent held it";
    mutex.unlock();
    EXPECT_TRUE(testsupport::ByteArrives(fds[0], 10000)) << "child never got the lock";
    EXPECT_EQ(testsupport::WaitForChild(pid), 0);

    // The parent's descriptor still works after the child dropped its copy.
    mutex.lock();
    mutex.unlock();
    close(fds[0]);
    close(fds[1]);
}

INSTANTIATE_TEST_SUITE_P(InheritedOrOwnObject, FileMutexFork, ::testing::Bool());

TEST(FileMutex, WaitersFollowTheLockToAReplacingFile) {
    ScratchDir dir;
    const std::string path = dir / "table.cfg";
    file_mutex mutex(path);
    mutex.lock();
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t pid = ForkLocker(mutex, path, false, fds[1]);
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(WaitsForLock(pid)) << "the child never waited for the lock";

    // Replaced the way a writer saves: the new file is locked before it is
    // renamed over the path, and its lock kept; the old file is let go.
    const std::string next = dir / "table.cfg.new";
    testsupport::WriteFileOrDie(next, "new");
    const int fd = open(next.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(mutex.prepare_handover(fd), 0);
    ASSERT_EQ(rename(next.c_str(), path.c_str()), 0);
    mutex.commit_handover();
    close(fd);
    EXPECT_TRUE(mutex.held());

    EXPECT_FALSE(testsupport::ByteArrives(fds[0], 300)) << "the waiter took the lock of the replaced file";
    mutex.unlock();
    EXPECT_TRUE(testsupport::ByteArrives(fds[0], 10000)) << "the waiter never got the new file's lock";
    EXPECT_EQ(testsupport::WaitForChild(pid), 0);
    close(fds[0]);
    close(fds[1]);
}

TEST(FileMutex, ParentWaitsForTheChildsLock) {
    ScratchDir dir;
    const std::string path = dir / "lock";
    file_mutex mutex(path);
    int to_parent[2];
    int to_child[2];
    ASSERT_EQ(pipe(to_parent), 0);
    ASSERT_EQ(pipe(to_child), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        mutex.lock();
        char c;
        if (write(to_parent[1], "l", 1) != 1 || read(to_child[0], &c, 1) != 1) _exit(3);
        mutex.unlock();
        _exit(0);
    }
    ASSERT_TRUE(testsupport::ByteArrives(to_parent[0], 10000));
    int locked[2];
    ASSERT_EQ(pipe(locked), 0);
    const pid_t waiter = fork();
    if (waiter == 0) {
        mutex.lock();
        _exit(write(locked[1], "x", 1) == 1 ? 0 : 3);
    }
    EXPECT_FALSE(testsupport::ByteArrives(locked[0], 300));
    ASSERT_EQ(write(to_child[1], "u", 1), 1);
    EXPECT_TRUE(testsupport::ByteArrives(locked[0], 10000));
    EXPECT_EQ(testsupport::WaitForChild(pid), 0);
    EXPECT_EQ(testsupport::WaitForChild(waiter), 0);
}

// The inherited descriptor shares the parent's open file description and with it
// the parent's lock; a child that kept it would hold that lock alive after the
// parent is gone and then wait for itself.
TEST(FileMutex, ChildLocksAfterTheLockingParentDied) {
    ScratchDir dir;
    const std::string path = dir / "lock";
    int report[2];
    ASSERT_EQ(pipe(report), 0);
    const pid_t parent = fork();
    if (parent == 0) {
        file_mutex mutex(path);
        mutex.lock();
        int go[2];
        if (pipe(go) != 0) _exit(3);
        const pid_t child = fork();
        if (child == 0) {
            char c;
            // Wait until the locking parent has exited (its end of the pipe closes).
            close(go[1]);
            if (read(go[0], &c, 1) != 0) _exit(3);
            alarm(10);
            try {
                mutex.lock();
            } catch (...) {
                _exit(2);
            }
            _exit(write(report[1], "x", 1) == 1 ? 0 : 3);
        }
        _exit(child > 0 ? 0 : 3);  // still locked, no unlock and no destructor
    }
    close(report[1]);
    EXPECT_EQ(testsupport::WaitForChild(parent), 0);
    EXPECT_TRUE(testsupport::ByteArrives(report[0], 10000)) << "child never got the lock its dead parent held";
    close(report[0]);
}

TEST(FileMutex, RepeatedLockInOneProcessDoesNotBlock) {
    ScratchDir dir;
    file_mutex mutex(dir / "lock");
    mutex.lock();
    mutex.lock();
    mutex.unlock();
    mutex.unlock();
}

TEST(FileMutex, CreatesLockFileWithMode0660WhateverTheUmask) {
    // Under 077 a mode left to the umask shows as 0600; under 0 as 0660.
    for (const mode_t mask : {mode_t{077}, mode_t{0}, mode_t{027}}) {
        ScratchDir dir;
        const std::string path = dir / "lock";
        const mode_t previous = umask(mask);
        {
            file_mutex mutex(path);
            mutex.lock();
            EXPECT_EQ(umask(mask), mask) << "the process umask must stay as it is";
        }
        umask(previous);
        struct stat st {};
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0660u) << "umask " << std::oct << mask;
    }
}

TEST(FileMutex, ExistingFileKeepsItsContentAndMode) {
    ScratchDir dir;
    const std::string path = dir / "table";
    testsupport::WriteFileOrDie(path, "[]", 0600);
    file_mutex mutex(path);
    mutex.lock();
    mutex.unlock();
    EXPECT_EQ(testsupport::ReadFileOrDie(path), "[]");
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST(FileMutex, FailuresAreSystemErrors) {
    ScratchDir dir;
    file_mutex never_locked(dir / "lock");
    try {
        never_locked.unlock();
        FAIL() << "unlock before lock must throw";
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code(), std::error_code(EBADF, std::generic_category()));
    }

    file_mutex unreachable(dir / "no/such/dir/lock");
    try {
        unreachable.lock();
        FAIL() << "lock in a missing directory must throw";
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code(), std::error_code(ENOENT, std::generic_category()));
    }
    // The object is spent: it does not try to open again in this process.
    EXPECT_THROW(unreachable.lock(), std::system_error);
    EXPECT_THROW(unreachable.unlock(), std::system_error);

    // A FIFO would block the open for ever: anything but a regular file is
    // refused (as ERR_OPEN_FILE at an entry point).
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    file_mutex fifo(dir / "fifo");
    EXPECT_EQ(common_routines::CallReturningCode([&] {
                  fifo.lock();
                  return 0;
              }),
              ERR_OPEN_FILE);
}

}  // namespace
