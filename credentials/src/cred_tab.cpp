#include "credentials/cred_tab.h"

#include <json/json.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <system_error>

#include "common/common_routines.h"
#include "common/durable_file.h"
#include "common/error_code.h"
#include "common/file_mutex.h"
#include "common/json_wipe.h"
#include "common/result_guard.h"
#include "common/secure_buffer.h"
#include "credentials/credential_store.h"
#include "encryption_wrapper/encryption_wrapper.h"

namespace cred_tab {
namespace {

// The table file is its own lock, held from CredTabOpen to CredTabClose. Saving
// renames a new file over it and hands the lock over to that file, so editors
// waiting on the old file move on to the new one.
using TableLock = common_routines::file_mutex;

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
    if (record.isObject() && record.isMember("password")) common_routines::WipeJsonStrings(record["password"]);
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

using common_routines::CallReturningCode;

extern "C" int CredTabOpen(CredTabHandle* out) {
    return CallReturningCode([&]() -> int {
        if (!out) return ERR_NULL_POINTER;
        int rc = EncryptionInit(nullptr, nullptr, nullptr, nullptr);
        if (rc != ERR_NONE) return rc;

        auto& lock = cred_tab::LockObject();
        if (!lock) lock = std::make_unique<cred_tab::TableLock>(cred_tab::TablePath());
        rc = CallReturningCode([&] {
            lock->lock();
            return static_cast<int>(ERR_NONE);
        });
        if (rc != ERR_NONE) {
            lock.reset();
            return rc;
        }

        auto table = std::make_unique<Json::Value>();
        rc = CallReturningCode([&] { return cred_tab::CredTabLoad(*table); });
        if (rc != ERR_NONE) {
            // The load failure is the one to report, whatever the unlock says.
            CallReturningCode([&] {
                lock->unlock();
                return static_cast<int>(ERR_NONE);
            });
            return rc;
        }
        *out = table.release();
        return ERR_NONE;
    });
}

extern "C" int CredTabClose(CredTabHandle handle) {
    return CallReturningCode([&]() -> int {
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
    return CallReturningCode([&]() -> int {
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
        if (moveLock) options.before_rename = [lock](int fd) { return lock->prepare_handover(fd); };

        bool inPlace = false;
        options.rewritten_in_place = &inPlace;
        int rc = credential_store::WriteEncryptedFile(POSTGRESQL, cred_tab::TablePath(), text, options);
        common_routines::SecureWipe(text);
        if (moveLock) {
            // After an in-place rewrite the locked file is still the table.
            if (rc == ERR_NONE && !inPlace) {
                lock->commit_handover();
            } else {
                lock->drop_handover();
            }
        }
        return rc;
    });
}

extern "C" int CredTabGetPassword(CredTabHandle handle, const char* host, uint32_t port, const char* database,
                                  const char* username, const char** password) {
    return CallReturningCode([&]() -> int {
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
    return CallReturningCode([&]() -> int {
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
    return CallReturningCode([&]() -> int {
        if (!handle || !cred_tab::ArgumentsPresent(host, database, username)) return ERR_NULL_POINTER;
        auto& table = *static_cast<Json::Value*>(handle);
        if (!table.isArray()) return ERR_FORMAT;
        for (Json::ArrayIndex i = 0; i < table.size(); ++i) {
            if (!cred_tab::CredTabMatches(table[i], host, port, database, username)) continue;
            // jsoncpp's removeIndex copies every later record one place up and
            // frees the originals, passwords included, unwiped. The array is
            // rebuilt by moving the records instead, so no password is copied.
            Json::Value kept(Json::arrayValue);
            for (Json::ArrayIndex j = 0; j < table.size(); ++j) {
                if (j != i) kept.append(std::move(table[j]));
            }
            cred_tab::WipePassword(table[i]);
            table.swap(kept);
            return ERR_NONE;
        }
        return ERR_NOT_FOUND;
    });
}

extern "C" int CredTabReset(void) {
    return CallReturningCode([&]() -> int {
        std::string path = cred_tab::TablePath();
        if (!common_routines::CheckFileExists(path)) return ERR_NONE;
        return std::rename(path.c_str(), (path + ".reset").c_str());
    });
}

extern "C" int CredTabBegin(CredTabHandle handle, CredTabIterator* out) {
    return CallReturningCode([&]() -> int {
        if (!out) return ERR_NULL_POINTER;
        const auto* table = static_cast<const Json::Value*>(handle);
        if (!table || !table->isArray()) return ERR_FORMAT;
        *out = new cred_tab::Iteration{table, 0, table->size()};
        return ERR_NONE;
    });
}

extern "C" int CredTabNext(CredTabIterator iterator, CredTabRecord* record) {
    return CallReturningCode([&]() -> int {
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
