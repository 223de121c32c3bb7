#pragma once

// The database credentials table: (host, port, database, user name) -> password,
// kept as one JSON array encrypted with the host-bound key of the POSTGRESQL
// domain in "/etc/postgres/enc_utils_auth_settings.cfg".
//
// CredTabOpen takes an exclusive inter-process lock on the table file and holds
// it until CredTabClose, so editors in different processes never overlap.
// Changes stay in memory until CredTabSave. Every operation returns 0, a
// negative error code, or a positive errno from the lock; none lets an
// exception out.

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
#include <string>
extern "C" {
#endif

#define CRED_TAB_EXPORT __attribute__((visibility("default")))

// Opaque handle of an open table (a JSON value owned by the library).
typedef void* CredTabHandle;
// Opaque iteration state.
typedef void* CredTabIterator;

// One record as seen by iteration. The strings point into the open table and
// stay valid until it is changed or closed; a member of the wrong type gives a
// null string or port 0.
typedef struct CredTabRecord {
    const char* host;
    uint32_t port;
    const char* database;
    const char* username;
} CredTabRecord;

// Initialises the encryption wrapper (default plug-in location), takes the lock
// and loads the table. On failure no lock is held.
CRED_TAB_EXPORT int CredTabOpen(CredTabHandle* table);
// Releases the lock and frees the table (which may be null).
CRED_TAB_EXPORT int CredTabClose(CredTabHandle table);
// Encrypts and writes the whole table.
CRED_TAB_EXPORT int CredTabSave(CredTabHandle table);
// The first matching record's password (points into the table).
// ERR_NOT_FOUND when there is none.
CRED_TAB_EXPORT int CredTabGetPassword(CredTabHandle table, const char* host, uint32_t port,
                                       const char* database, const char* username, const char** password);
// Sets the first matching record's password, or appends a new record;
// *isNew tells which.
CRED_TAB_EXPORT int CredTabAddRecord(CredTabHandle table, const char* host, uint32_t port,
                                     const char* database, const char* username, const char* password,
                                     bool* isNew);
// Removes the first matching record. ERR_NOT_FOUND when there is none.
CRED_TAB_EXPORT int CredTabRemoveRecord(CredTabHandle table, const char* host, uint32_t port,
                                        const char* database, const char* username);
// Renames the table file to "<name>.reset" (replacing an earlier one). Takes no
// lock; succeeds without doing anything when there is no table file.
CRED_TAB_EXPORT int CredTabReset(void);
CRED_TAB_EXPORT int CredTabBegin(CredTabHandle table, CredTabIterator* iterator);
// 1 when a record was stored in *record, 0 at the end, negative on failure.
CRED_TAB_EXPORT int CredTabNext(CredTabIterator iterator, CredTabRecord* record);
CRED_TAB_EXPORT int CredTabEnd(CredTabIterator iterator);

#ifdef __cplusplus
}  // extern "C"

namespace cred_tab {

// "/etc/postgres/enc_utils_auth_settings.cfg".
std::string DefaultTablePath();
// The table file used by this process; tests point it into a scratch
// directory before the first CredTabOpen.
std::string TablePath();
void SetTablePath(const std::string& path);

}  // namespace cred_tab
#endif
