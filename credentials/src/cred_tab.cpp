#include "credentials/cred_tab.h"

#include <fcntl.h>
#include <json/json.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <system_error>

#include "common/common_routines.h"
#include "common/durable_file.h"
#include "common/error_code.h"
#include "common/result_guard.h"
#include "common/secure_buffer.h"
#include "credentials/credential_store.h"
#include "encryption_wrapper/encryption_wrapper.h"

namespace cred_tab {
namespace {

[[noreturn]] void ThrowErrno(int error) {
    throw std::system_error(error != 0 ? error : EBADF, std::generic_category());
}

// Exclusive flock on the table file, held from CredTabOpen to CredTabClose.
//
// Saving replaces the table file by renaming a new file over it, so a lock on
// the old file alone would not exclude an editor that opens the new one. Two
// rules keep the lock meaningful across replacement: the saver locks the new
// file before it is renamed into place and keeps that lock, and after every
// acquisition the locked file is checked to still be the one at the path; if
// it was replaced while we waited, the new file is opened and locked instead.
//
// The lock file is created (empty, mode 0660 whatever the umask, group of its
// directory) when missing.
// A process that inherited the object through fork opens the file again, so
// that its lock is its own.
class TableLock {
public:
    explicit TableLock(std::string path) : path_(std::move(path)) {}
    ~TableLock() {
        DropPending();
        if (fd_ >= 0) ::close(fd_);
    }
    TableLock(const TableLock&) = delete;
    TableLock& operator=(const TableLock&) = delete;

    void lock() {
        for (;;) {
            int pid = static_cast<int>(::syscall(SYS_getpid));
            if (pid != owner_) {
                // An inherited descriptor shares the parent's lock; closing our
                // copy leaves the parent's lock in place.
                if (fd_ >= 0) ::close(fd_);
                fd_ = -1;
                owner_ = pid;
                fd_ = OpenTableFile();
            }
            if (fd_ < 0) ThrowErrno(errno);
            while (::flock(fd_, LOCK_EX) != 0) {
                if (errno != EINTR) ThrowErrno(errno);
            }
            held_ = true;
            if (LockedFileIsCurrent()) return;
            // Replaced or renamed away while we waited: start over on the
            // file that is at the path now.
            ::flock(fd_, LOCK_UN);
            held_ = false;
            ::close(fd_);
            fd_ = -1;
            owner_ = -1;
        }
    }

    void unlock() {
        if (fd_ < 0) ThrowErrno(EBADF);
        // A descriptor inherited through fork shares the parent's lock:
        // releasing it here would let another editor in beside the parent.
        // This process never locked anything, so there is nothing to release.
        if (owner_ != static_cast<int>(::syscall(SYS_getpid))) return;
        if (::flock(fd_, LOCK_UN) != 0) ThrowErrno(errno);
        held_ = false;
    }

    bool held() const { return held_ && fd_ >= 0 && owner_ == static_cast<int>(::syscall(SYS_getpid)); }

    // Locks the file that is about to replace the table. Nobody else can know
    // the new file yet, so the lock is taken without waiting.
    int PrepareReplacement(int fd) {
        DropPending();
        pending_ = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
        if (pending_ < 0) return errno;
        if (::flock(pending_, LOCK_EX | LOCK_NB) != 0) {
            int error = errno;
            DropPending();
            return error;
        }
        return ERR_NONE;
    }

    // The new file is in place: hold its lock and let go of the old file, which
    // wakes waiters on it; they notice the replacement and wait on ours.
    void CommitReplacement() {
        if (pending_ < 0) return;
        int old = fd_;
        fd_ = pending_;
        pending_ = -1;
        owner_ = static_cast<int>(::syscall(SYS_getpid));
        if (old >= 0) ::close(old);
    }

    void DropPending() {
        if (pending_ >= 0) ::close(pending_);
        pending_ = -1;
    }

    const std::string& path() const { return path_; }

private:
    // Opens (creating when missing) the table file without blocking, and
    // refuses anything but a regular file: a FIFO would block the open for
    // ever and a link to a device would swallow every save.
    int OpenTableFile() const {
        int fd = ::open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0 && errno == ENOENT) {
            fd = ::open(path_.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_NONBLOCK | O_CLOEXEC, 0600);
            // Set on the descriptor: the process umask is never changed, as this
            // code also runs inside the database server.
            if (fd >= 0 && common_routines::SetSecretFileMode(fd, path_, 0660) != 0) {
                int error = errno;
                ::close(fd);
                ThrowErrno(error);
            }
            // Created by another editor in the meantime.
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

    bool LockedFileIsCurrent() const {
        struct stat locked {}, current {};
        if (::fstat(fd_, &locked) != 0) ThrowErrno(errno);
        if (::stat(path_.c_str(), &current) != 0) {
            if (errno == ENOENT) return false;
            ThrowErrno(errno);
        }
        return locked.st_dev == current.st_dev && locked.st_ino == current.st_ino;
    }

    int fd_ = -1;
    int owner_ = -1;
    int pending_ = -1;
    bool held_ = false;
    std::string path_;
};

std::string& PathSetting() {
    static std::string path = DefaultTablePath();
    return path;
}

// Created by the first open of the process and kept for the next one; dropped
// when locking fails so that the next open starts afresh.
std::unique_ptr<TableLock>& LockObject() {
    static std::unique_ptr<TableLock> lock;
    return lock;
}

struct Iteration {
    const Json::Value* table;
    Json::ArrayIndex current;
    Json::ArrayIndex end;
};

template <typename F>
int Guarded(F&& body) noexcept {
    return common_routines::CallReturningCode(std::forward<F>(body));
}

bool StringEquals(const Json::Value* value, const char* expected) {
    if (!value || !value->isString()) return false;
    const char* begin = nullptr;
    const char* end = nullptr;
    value->getString(&begin, &end);
    size_t length = std::strlen(expected);
    return static_cast<size_t>(end - begin) == length && std::memcmp(begin, expected, length) == 0;
}

const Json::Value* Member(const Json::Value& object, const char* name) {
    return object.find(name, name + std::strlen(name));
}

bool CredTabMatches(const Json::Value& record, const char* host, uint32_t port, const char* database,
                    const char* username) {
    if (!record.isObject()) return false;
    const Json::Value* storedPort = Member(record, "port");
    return StringEquals(Member(record, "host"), host) && storedPort && storedPort->isUInt() &&
           storedPort->asUInt() == port && StringEquals(Member(record, "database"), database) &&
           StringEquals(Member(record, "username"), username);
}

const char* StringOrNull(const Json::Value& record, const char* name) {
    const Json::Value* value = Member(record, name);
    return value && value->isString() ? value->asCString() : nullptr;
}

// Overwrites a password held by the table before the table lets go of it.
void WipePassword(Json::Value& record) {
    if (!record.isObject()) return;
    const Json::Value* password = Member(record, "password");
    if (!password || !password->isString()) return;
    const char* begin = nullptr;
    const char* end = nullptr;
    password->getString(&begin, &end);
    // The characters live in a heap block owned by the (non-const) value.
    common_routines::SecureWipe(const_cast<char*>(begin), static_cast<size_t>(end - begin));
}

void WipeTable(Json::Value& table) {
    if (!table.isArray()) return;
    for (auto& record : table) WipePassword(record);
}

int CredTabLoad(Json::Value& table) {
    const std::string& path = TablePath();
    uint64_t size = 0;
    if (!common_routines::GetFileSize(path, size) || size == 0) {
        table = Json::Value(Json::arrayValue);
        return ERR_NONE;
    }
    std::string text;
    int rc = StoreReadFile(POSTGRESQL, path, text);
    if (rc == ERR_NONE) {
        // The decrypted text ends with the zero bytes of the block padding.
        size_t end = text.find('\0');
        if (end == std::string::npos) end = text.size();
        Json::Reader reader(Json::Features::strictMode());
        if (!reader.parse(text.data(), text.data() + end, table, false)) rc = ERR_FORMAT;
    }
    common_routines::SecureWipe(text);
    return rc;
}

bool ArgumentsPresent(const char* host, const char* database, const char* username) {
    return host && database && username;
}

}  // namespace

std::string DefaultTablePath() { return common_routines::JoinPath("/etc/postgres", "enc_utils_auth_settings.cfg"); }

std::string TablePath() { return PathSetting(); }

void SetTablePath(const std::string& path) {
    if (path == PathSetting()) return;
    PathSetting() = path;
    LockObject().reset();
}

}  // namespace cred_tab

using cred_tab::Guarded;

extern "C" int CredTabOpen(CredTabHandle* out) {
    return Guarded([&]() -> int {
        if (!out) return ERR_NULL_POINTER;
        int rc = EncryptionInit(nullptr, nullptr, nullptr, nullptr);
        if (rc != ERR_NONE) return rc;

        auto& lock = cred_tab::LockObject();
        if (!lock) lock = std::make_unique<cred_tab::TableLock>(cred_tab::TablePath());
        try {
            lock->lock();
        } catch (const std::system_error& e) {
            lock.reset();
            return e.code().value();
        } catch (int code) {
            lock.reset();
            return code;
        } catch (...) {
            lock.reset();
            return ERR_EXCEPTION;
        }

        auto table = std::make_unique<Json::Value>();
        try {
            rc = cred_tab::CredTabLoad(*table);
        } catch (...) {
            rc = ERR_EXCEPTION;
        }
        if (rc != ERR_NONE) {
            try {
                lock->unlock();
            } catch (...) {
                // The load failure is the one to report.
            }
            return rc;
        }
        *out = table.release();
        return ERR_NONE;
    });
}

extern "C" int CredTabClose(CredTabHandle handle) {
    return Guarded([&]() -> int {
        // A failed unlock is returned as its code, and the table stays open.
        if (auto& lock = cred_tab::LockObject()) lock->unlock();
        if (handle) {
            auto* table = static_cast<Json::Value*>(handle);
            cred_tab::WipeTable(*table);
            delete table;
        }
        return ERR_NONE;
    });
}

extern "C" int CredTabSave(CredTabHandle handle) {
    return Guarded([&]() -> int {
        if (!handle) return ERR_NULL_POINTER;
        Json::StyledWriter writer;
        std::string text = writer.write(*static_cast<Json::Value*>(handle));

        common_routines::DurableWriteOptions options;
        // A table file created here is for the database owner's group at most.
        options.create_mode = 0660;
        cred_tab::TableLock* lock = cred_tab::LockObject().get();
        bool moveLock = lock && lock->held() && lock->path() == cred_tab::TablePath();
        // Writers are serialised by the table lock, so any temporary file of
        // the table that exists now was left by a writer that died.
        options.remove_stale_temporaries = moveLock;
        if (moveLock) options.before_rename = [lock](int fd) { return lock->PrepareReplacement(fd); };

        bool inPlace = false;
        options.rewritten_in_place = &inPlace;
        int rc = credential_store::WriteEncryptedFile(POSTGRESQL, cred_tab::TablePath(), text, options);
        common_routines::SecureWipe(text);
        if (moveLock) {
            // After an in-place rewrite the locked file is still the table.
            if (rc == ERR_NONE && !inPlace) {
                lock->CommitReplacement();
            } else {
                lock->DropPending();
            }
        }
        return rc;
    });
}

extern "C" int CredTabGetPassword(CredTabHandle handle, const char* host, uint32_t port, const char* database,
                                  const char* username, const char** password) {
    return Guarded([&]() -> int {
        if (!password || !cred_tab::ArgumentsPresent(host, database, username)) return ERR_NULL_POINTER;
        // No table at all holds no password either.
        if (!handle) return ERR_NOT_FOUND;
        const auto& table = *static_cast<const Json::Value*>(handle);
        if (table.isNull()) return ERR_NOT_FOUND;
        if (!table.isArray()) return ERR_FORMAT;
        for (const auto& record : table) {
            if (!cred_tab::CredTabMatches(record, host, port, database, username)) continue;
            const Json::Value* stored = cred_tab::Member(record, "password");
            if (!stored || !stored->isString()) return ERR_FORMAT;
            *password = stored->asCString();
            return ERR_NONE;
        }
        return ERR_NOT_FOUND;
    });
}

extern "C" int CredTabAddRecord(CredTabHandle handle, const char* host, uint32_t port, const char* database,
                                const char* username, const char* password, bool* isNew) {
    return Guarded([&]() -> int {
        if (!handle || !password || !isNew || !cred_tab::ArgumentsPresent(host, database, username))
            return ERR_NULL_POINTER;
        auto& table = *static_cast<Json::Value*>(handle);
        if (!table.isNull() && !table.isArray()) return ERR_FORMAT;
        Json::ArrayIndex index = 0;
        while (index < table.size() && !cred_tab::CredTabMatches(table[index], host, port, database, username))
            ++index;
        Json::Value& record = table[index];
        if (record.isNull()) {
            record["host"] = host;
            record["port"] = static_cast<Json::UInt>(port);
            record["database"] = database;
            record["username"] = username;
            *isNew = true;
        } else {
            cred_tab::WipePassword(record);
            *isNew = false;
        }
        record["password"] = password;
        return ERR_NONE;
    });
}

extern "C" int CredTabRemoveRecord(CredTabHandle handle, const char* host, uint32_t port, const char* database,
                                   const char* username) {
    return Guarded([&]() -> int {
        if (!handle || !cred_tab::ArgumentsPresent(host, database, username)) return ERR_NULL_POINTER;
        auto& table = *static_cast<Json::Value*>(handle);
        if (!table.isArray()) return ERR_FORMAT;
        for (Json::ArrayIndex i = 0; i < table.size(); ++i) {
            if (!cred_tab::CredTabMatches(table[i], host, port, database, username)) continue;
            Json::Value removed;
            table.removeIndex(i, &removed);
            cred_tab::WipePassword(removed);
            return ERR_NONE;
        }
        return ERR_NOT_FOUND;
    });
}

extern "C" int CredTabReset(void) {
    return Guarded([&]() -> int {
        std::string path = cred_tab::TablePath();
        if (!common_routines::CheckFileExists(path)) return ERR_NONE;
        return std::rename(path.c_str(), (path + ".reset").c_str());
    });
}

extern "C" int CredTabBegin(CredTabHandle handle, CredTabIterator* out) {
    return Guarded([&]() -> int {
        if (!out) return ERR_NULL_POINTER;
        const auto* table = static_cast<const Json::Value*>(handle);
        if (!table || !table->isArray()) return ERR_FORMAT;
        *out = new cred_tab::Iteration{table, 0, table->size()};
        return ERR_NONE;
    });
}

extern "C" int CredTabNext(CredTabIterator iterator, CredTabRecord* record) {
    return Guarded([&]() -> int {
        if (!iterator || !record) return ERR_NULL_POINTER;
        auto* it = static_cast<cred_tab::Iteration*>(iterator);
        if (it->current >= it->end || it->current >= it->table->size()) return 0;
        const Json::Value& element = (*it->table)[it->current];
        *record = CredTabRecord{};
        if (element.isObject()) {
            record->host = cred_tab::StringOrNull(element, "host");
            record->database = cred_tab::StringOrNull(element, "database");
            record->username = cred_tab::StringOrNull(element, "username");
            const Json::Value* port = cred_tab::Member(element, "port");
            record->port = port && port->isUInt() ? port->asUInt() : 0;
        }
        ++it->current;
        return 1;
    });
}

extern "C" int CredTabEnd(CredTabIterator iterator) {
    delete static_cast<cred_tab::Iteration*>(iterator);
    return ERR_NONE;
}
