#include "common/durable_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>

#include "common/error_code.h"

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

// Closes a descriptor on scope exit.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    // Closes now and reports whether the close succeeded (a deferred write
    // error may surface only here).
    bool Close() {
        int fd = fd_;
        fd_ = -1;
        return fd < 0 || ::close(fd) == 0;
    }

private:
    int fd_;
};

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
    Descriptor fd_;
    std::string path_;
    bool committed_ = false;
};

mode_t CurrentUmask() {
    mode_t mask = ::umask(0);
    ::umask(mask);
    return mask;
}

std::string DirectoryOf(const std::string& path) {
    auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The fallback: truncate and rewrite the file itself, then flush it.
int RewriteInPlace(const std::string& path, const void* data, size_t length,
                   const DurableWriteOptions& options) {
    if (options.rewritten_in_place) *options.rewritten_in_place = true;
    Descriptor fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC,
                         options.create_mode));
    if (fd.get() < 0) return ERR_OPEN_FILE;
    if (!WriteAll(fd.get(), data, length)) return ERR_WRITE_FILE;
    // Devices and pipes cannot be flushed; that is not a write failure.
    if (::fsync(fd.get()) != 0 && errno != EINVAL && errno != EROFS) return ERR_WRITE_FILE;
    if (!fd.Close()) return ERR_WRITE_FILE;
    return ERR_NONE;
}

// Temporary files are named ".<name>.XXXXXX" (mkostemp fills the six X).
std::string TemporaryPrefix(const std::string& target) { return "." + NameOf(target) + "."; }

void RemoveStaleTemporaries(const std::string& target) {
    std::string dirPath = DirectoryOf(target);
    std::string prefix = TemporaryPrefix(target);
    struct DirCloser {
        void operator()(DIR* d) const { ::closedir(d); }
    };
    std::unique_ptr<DIR, DirCloser> dir(::opendir(dirPath.c_str()));
    if (!dir) return;
    while (dirent* entry = ::readdir(dir.get())) {
        std::string name = entry->d_name;
        if (name.size() == prefix.size() + 6 && name.compare(0, prefix.size(), prefix) == 0) {
            ::unlinkat(::dirfd(dir.get()), name.c_str(), 0);
        }
    }
}

}  // namespace

int DurableReplaceFile(const std::string& path, const void* data, size_t length,
                       const DurableWriteOptions& options) {
    if (options.rewritten_in_place) *options.rewritten_in_place = false;
    if (path.empty()) return ERR_OPEN_FILE;

    // Replace the target of a symbolic link, not the link itself.
    std::string target = path;
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr),
                                                             &std::free);
        // A dangling link: let open() create the target, as a plain write would.
        if (!resolved) return RewriteInPlace(path, data, length, options);
        target = resolved.get();
    }

    bool exists = ::stat(target.c_str(), &st) == 0;
    if (exists && !S_ISREG(st.st_mode)) return RewriteInPlace(target, data, length, options);

    if (options.remove_stale_temporaries) RemoveStaleTemporaries(target);
    std::string tmpl = DirectoryOf(target) + "/" + TemporaryPrefix(target) + "XXXXXX";
    // mkostemp creates the file with mode 0600 owned by this process, so it is
    // private until its final owner and mode are set below.
    int fd = ::mkostemp(tmpl.data(), O_CLOEXEC);
    if (fd < 0) return RewriteInPlace(target, data, length, options);
    TempFile temp(fd, tmpl);

    mode_t mode = exists ? (st.st_mode & 07777) : (options.create_mode & ~CurrentUmask() & 07777);
    if (exists && (st.st_uid != ::geteuid() || st.st_gid != ::getegid())) {
        // The owner can only be kept by a privileged process; otherwise keep it
        // by writing into the existing file.
        if (::fchown(temp.fd(), st.st_uid, st.st_gid) != 0) {
            return RewriteInPlace(target, data, length, options);
        }
    }
    // Ownership first: chown may clear set-id bits that fchmod then restores.
    if (::fchmod(temp.fd(), mode) != 0) return RewriteInPlace(target, data, length, options);

    if (!WriteAll(temp.fd(), data, length)) return ERR_WRITE_FILE;
    if (::fsync(temp.fd()) != 0) return ERR_WRITE_FILE;
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
    Descriptor dir(::open(DirectoryOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() >= 0) ::fsync(dir.get());
    return ERR_NONE;
}

}  // namespace common_routines
