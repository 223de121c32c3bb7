#include "common/durable_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "common/common_routines.h"
#include "common/error_code.h"
#include "common/unique_handles.h"

namespace common_routines {
namespace {

// Writes the whole buffer, continuing after short writes and interruptions.
bool WriteAll(int fd, const void* data, size_t length) {
    const auto* p = static_cast<const unsigned char*>(data);
    while (length > 0) {
        ssize_t n = ::write(fd, p, length);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

// The temporary file: closed and removed unless committed by the rename.
class TempFile {
public:
    TempFile(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
    ~TempFile() {
        fd_.Close();
        if (!committed_) ::unlink(path_.c_str());
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    int fd() const { return fd_.get(); }
    const std::string& path() const { return path_; }
    bool Close() { return fd_.Close(); }
    void Commit() { committed_ = true; }

private:
    UniqueFd fd_;
    std::string path_;
    bool committed_ = false;
};

// The umask as the kernel reports it, without changing it: this code also runs
// inside the database server, where another thread may create files meanwhile.
mode_t CurrentUmask() {
    std::FILE* status = std::fopen("/proc/self/status", "re");
    if (status) {
        char line[256];
        unsigned mask = 0;
        bool found = false;
        while (!found && std::fgets(line, sizeof line, status))
            found = std::sscanf(line, "Umask: %o", &mask) == 1;
        std::fclose(status);
        if (found) return static_cast<mode_t>(mask & 0777);
    }
    // Without /proc the most restrictive usual mask is assumed.
    return 077;
}

// Permissions of a file this process has just created.
int ApplyNewFileMode(int fd, const std::string& path, const DurableWriteOptions& options) {
    if (options.secret_file) return SetSecretFileMode(fd, path, options.create_mode & 07777);
    return ::fchmod(fd, options.create_mode & ~CurrentUmask() & 07777) == 0 ? 0 : errno;
}

// The fallback: write over the file itself. The new length is reserved first,
// so that a full disk fails before any byte changes; the old content is not
// truncated before the new content is in place.
int RewriteInPlace(const std::string& path, const void* data, size_t length,
                   const DurableWriteOptions& options) {
    if (options.rewritten_in_place) *options.rewritten_in_place = true;
    // Never blocks: a FIFO opened for writing without a reader fails at once.
    const int nofollow = options.follow_symlinks ? 0 : O_NOFOLLOW;
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | nofollow));
    bool created = false;
    if (fd.get() < 0 && errno == ENOENT) {
        // A dangling symbolic link: its target is created, as a plain write would.
        fd.Reset(::open(path.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC | nofollow, 0600));
        created = fd.get() >= 0;
    }
    if (fd.get() < 0) return ERR_OPEN_FILE;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return ERR_OPEN_FILE;
    if (created && ApplyNewFileMode(fd.get(), path, options) != 0) return ERR_WRITE_FILE;

    if (length > 0 && static_cast<uint64_t>(length) > static_cast<uint64_t>(st.st_size)) {
        int rc = ::posix_fallocate(fd.get(), 0, static_cast<off_t>(length));
        if (rc != 0) {
            // A partial reservation may have grown the file; give it back.
            struct stat now {};
            if (::fstat(fd.get(), &now) == 0 && now.st_size != st.st_size)
                [[maybe_unused]] int ignored = ::ftruncate(fd.get(), st.st_size);
            return ERR_WRITE_FILE;
        }
    }
    if (!WriteAll(fd.get(), data, length)) return ERR_WRITE_FILE;
    if (::ftruncate(fd.get(), static_cast<off_t>(length)) != 0) return ERR_WRITE_FILE;
    if (::fsync(fd.get()) != 0) return ERR_WRITE_FILE;
    if (!fd.Close()) return ERR_WRITE_FILE;
    return ERR_NONE;
}

// Temporary files are named ".<name>.XXXXXX" (mkostemp fills the six X).
std::string TemporaryPrefix(const std::string& target) { return "." + ExtractFileName(target) + "."; }

// A temporary file whose writer is gone: its writer held a lock on it for as
// long as it lived. The name must still be the locked file when it is removed.
void RemoveIfStale(int dirFd, const char* name) {
    UniqueFd fd(::openat(dirFd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0) return;
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return;
    struct stat opened {}, named {};
    if (::fstat(fd.get(), &opened) != 0 || !S_ISREG(opened.st_mode)) return;
    if (::fstatat(dirFd, name, &named, AT_SYMLINK_NOFOLLOW) != 0) return;
    if (opened.st_dev != named.st_dev || opened.st_ino != named.st_ino) return;
    ::unlinkat(dirFd, name, 0);
}

void RemoveStaleTemporaries(const std::string& target) {
    std::string dirPath = DirectoryOf(target);
    std::string prefix = TemporaryPrefix(target);
    DirHandle dir(dirPath);
    if (dir.get() == nullptr) return;
    while (dirent* entry = ::readdir(dir.get())) {
        std::string name = entry->d_name;
        if (name.size() == prefix.size() + 6 && name.compare(0, prefix.size(), prefix) == 0)
            RemoveIfStale(::dirfd(dir.get()), name.c_str());
    }
}

// Creates the temporary file (mode 0600, owned by this process) and locks it,
// which marks it as in use for RemoveStaleTemporaries. A cleaner that took the
// file for stale between its creation and the lock has removed it; then a new
// one is made.
int CreateTemporary(const std::string& target, std::string& path) {
    for (int attempt = 0; attempt < 8; ++attempt) {
        path = DirectoryOf(target) + "/" + TemporaryPrefix(target) + "XXXXXX";
        int fd = ::mkostemp(path.data(), O_CLOEXEC);
        if (fd < 0) return -1;
        struct stat opened {}, named {};
        bool locked = false;
        while (!(locked = ::flock(fd, LOCK_EX) == 0) && errno == EINTR) {
        }
        if (locked && ::fstat(fd, &opened) == 0 && ::lstat(path.c_str(), &named) == 0 &&
            opened.st_dev == named.st_dev && opened.st_ino == named.st_ino)
            return fd;
        ::close(fd);
        if (!locked) {
            ::unlink(path.c_str());
            return -1;
        }
    }
    errno = EAGAIN;
    return -1;
}

}  // namespace

int SetSecretFileMode(int fd, const std::string& path, mode_t mode) {
    struct stat dir {}, file {};
    if (::stat(DirectoryOf(path).c_str(), &dir) == 0 && ::fstat(fd, &file) == 0 &&
        file.st_gid != dir.st_gid && ::fchown(fd, static_cast<uid_t>(-1), dir.st_gid) != 0) {
        // Not a member of the directory's group: the caller's own group gets
        // nothing rather than what was meant for the directory's group.
        mode &= ~static_cast<mode_t>(070);
    }
    return ::fchmod(fd, mode) == 0 ? 0 : errno;
}

int DurableReplaceFile(const std::string& path, const void* data, size_t length,
                       const DurableWriteOptions& options) {
    if (options.rewritten_in_place) *options.rewritten_in_place = false;
    if (path.empty()) return ERR_OPEN_FILE;

    // Replace the target of a symbolic link, not the link itself.
    std::string target = path;
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        if (!options.follow_symlinks) return ERR_OPEN_FILE;
        std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr),
                                                             &std::free);
        // A dangling link: let open() create the target, as a plain write would.
        if (!resolved) return RewriteInPlace(path, data, length, options);
        target = resolved.get();
    }

    // Without following, a link that appeared since the check above is no
    // regular file either.
    bool exists = (options.follow_symlinks ? ::stat(target.c_str(), &st) : ::lstat(target.c_str(), &st)) == 0;
    // A FIFO or a device is no file to keep a secret in (and may block or
    // swallow the content).
    if (exists && !S_ISREG(st.st_mode)) return ERR_OPEN_FILE;

    RemoveStaleTemporaries(target);
    std::string tempPath;
    int fd = CreateTemporary(target, tempPath);
    if (fd < 0) return RewriteInPlace(target, data, length, options);
    TempFile temp(fd, tempPath);

    // The content goes into a file only its writer can read; a writer killed
    // before the rename leaves nothing readable by others.
    if (!WriteAll(temp.fd(), data, length)) return ERR_WRITE_FILE;
    if (::fsync(temp.fd()) != 0) return ERR_WRITE_FILE;

    if (exists) {
        // Compared with the temporary file itself, not with this process's ids:
        // in a set-group-ID directory a new file takes the directory's group,
        // which would otherwise replace the old file's group unnoticed.
        struct stat created {};
        if (::fstat(temp.fd(), &created) != 0) return ERR_WRITE_FILE;
        if (created.st_uid != st.st_uid || created.st_gid != st.st_gid) {
            // The owner can only be kept by a privileged process; otherwise keep
            // it by writing into the existing file.
            if (::fchown(temp.fd(), st.st_uid, st.st_gid) != 0) {
                return RewriteInPlace(target, data, length, options);
            }
        }
        // Ownership first: chown may clear set-id bits that fchmod then restores.
        if (::fchmod(temp.fd(), st.st_mode & 07777) != 0)
            return RewriteInPlace(target, data, length, options);
    } else if (ApplyNewFileMode(temp.fd(), target, options) != 0) {
        return ERR_WRITE_FILE;
    }

    if (options.before_rename) {
        int rc = options.before_rename(temp.fd());
        if (rc != ERR_NONE) return rc;
    }
    if (::rename(temp.path().c_str(), target.c_str()) != 0) {
        // A file that is a mount point (a bind-mounted secret) or that the
        // directory does not let us replace can still be rewritten in place.
        if (errno == EBUSY || errno == EXDEV || errno == EPERM || errno == EACCES)
            return RewriteInPlace(target, data, length, options);
        return ERR_WRITE_FILE;
    }
    temp.Commit();
    temp.Close();

    // Make the rename itself durable. The new content is already in place, so
    // a failure here is not reported as a failed write.
    UniqueFd dir(::open(DirectoryOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() >= 0) ::fsync(dir.get());
    return ERR_NONE;
}

}  // namespace common_routines
