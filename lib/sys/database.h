// How the programs open the configuration database: for reading and writing where the file
// allows it, so that SQLite rolls back the journal of a writer that died mid-transaction, never
// creating a missing file, and waiting up to DATABASE_BUSY_WAIT_MS for a writer's lock. Header
// only, for the programs that link SQLite.
#pragma once

#include <sqlite3.h>

constexpr int DATABASE_BUSY_WAIT_MS = 1000;

// Opens the database file at `path` into *db, which the caller closes whatever the result (a
// failed open leaves a handle for the error text): SQLITE_OK, or the failing call's code.
inline int database_open(const char* path, sqlite3** db) {
    const int opened = sqlite3_open_v2(path, db, SQLITE_OPEN_READWRITE, nullptr);
    return opened != SQLITE_OK ? opened : sqlite3_busy_timeout(*db, DATABASE_BUSY_WAIT_MS);
}
