// Configuration module: one connection per call, statements prepared, stepped and finalized
// within the step that needs them.
#include "config.h"

#include <sqlite3.h>

#include <cstring>

#include "database.h"

static const char* const SQL_SYSCONFIG =
    "SELECT cid,autorecall,apbd,apbtickrate,displaytimeout_ms,displayupdaterate_ms,ioscanrate,"
    "cidserverport,pedcallouttime_tick,apscallouttime_tick,maxlost,closuremethod FROM "
    "v_sysconfig;";
static const char* const SQL_STATIONS =
    "SELECT id,phase,groupnum FROM tbl_stations WHERE active=1;";
static const char* const SQL_IO = "SELECT id,walk_uuid,dontwalk_uuid,callout_uuid FROM tbl_phaseio";
static const char* const SQL_OID = "SELECT node,subnode FROM tbls_oids WHERE name=?1;";
// The name goes in as a bare column name: it is checked to be a plain identifier first, and it
// is not double-quoted because SQLite would quietly read an unknown quoted name as a string.
static const char* const SQL_SETTING = "SELECT %s FROM v_sendtostation WHERE id=?1;";
static const char* const SQL_NAMES = "SELECT name FROM tbls_oids ORDER BY node,subnode;";
static const char* const OID_FORMAT = "1.3.6.1.4.1.1206.4.2.14.%u.%u";

static const char* const PREPARE_FAILED = "Unable to prepare statment";
static const char* const BIND_FAILED = "Unable to bind to statment";
static const char* const STEP_FAILED = "Unable to step statment";
static const char* const FINALIZE_FAILED = "Unable to finalize statment";

// "STEP: TEXT" and the library's error text for the connection.
static void _reportSqlite(sqlite3* db, const char* step, const char* text) {
    fprintf(stderr, "%s: %s\n", step, text);
    fprintf(stderr, "sqlite3: %s\n", sqlite3_errmsg(db));
}

static int _prepare(sqlite3* db, const char* step, const char* sql, sqlite3_stmt** stmt) {
    if (sqlite3_prepare_v2(db, sql, static_cast<int>(strlen(sql)), stmt, nullptr) != SQLITE_OK) {
        _reportSqlite(db, step, PREPARE_FAILED);
        return -1;
    }
    return 0;
}

static int _finalize(sqlite3* db, const char* step, sqlite3_stmt* stmt) {
    if (sqlite3_finalize(stmt) != SQLITE_OK) {
        _reportSqlite(db, step, FINALIZE_FAILED);
        return -1;
    }
    return 0;
}

// Steps stmt to its first row once binding it gave `bound`; false after a report, with stmt
// finalized.
static bool _firstRow(sqlite3* db, const char* step, sqlite3_stmt* stmt, int bound) {
    const char* failed = bound != SQLITE_OK                 ? BIND_FAILED
                         : sqlite3_step(stmt) != SQLITE_ROW ? STEP_FAILED
                                                            : nullptr;
    if (failed != nullptr) {
        _reportSqlite(db, step, failed);
        sqlite3_finalize(stmt);
    }
    return failed == nullptr;
}

// Ends an operation on db: after a failed step its `failure` line and the connection closed
// (-1), else the result of _close.
static int _end(sqlite3* db, const char* operation, int result, const char* failure) {
    if (result < 0) {
        fprintf(stderr, "%s: %s\n", operation, failure);
        sqlite3_close(db);
        return -1;
    }
    return _close(db, operation);
}

// Opens path with database_open; nullptr after a report.
static sqlite3* _open(const char* path, const char* operation) {
    sqlite3* db = nullptr;
    if (database_open(path, &db) != SQLITE_OK) {
        fprintf(stderr, "%s: Unable to open %s\n", operation, path);
        fprintf(stderr, "sqlite3: %s\n", sqlite3_errmsg(db));
        sqlite3_close(db);
        return nullptr;
    }
    return db;
}

int _close(sqlite3* db, const char* operation) {
    if (sqlite3_close(db) != SQLITE_OK) {
        fprintf(stderr, "%s: Unable to close sqlite3 database. This error is not recoverable.\n",
                operation);
        return CONFIG_CLOSE_FAILED;
    }
    return 0;
}

static bool _isPlainName(const char* name) {
    auto letter = [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
    };
    if (!letter(name[0])) {
        return false;
    }
    for (const char* c = name + 1; *c != '\0'; ++c) {
        if (!letter(*c) && !(*c >= '0' && *c <= '9')) {
            return false;
        }
    }
    return true;
}

// Refuses a setting name that is not a plain identifier, before it can reach any SQL text.
static bool _checkName(const char* step, const char* name) {
    if (_isPlainName(name)) {
        return true;
    }
    fprintf(stderr,
            "%s: Invalid setting name. Use letters, digits and underscores, not starting with a "
            "digit\n",
            step);
    return false;
}

static bool _nameTooLong(const char* name) {
    return strnlen(name, CONFIG_NAME_MAX + 1) > CONFIG_NAME_MAX;
}

int _loadSysconfig(sqlite3* db, config_t* config) {
    const char* step = "_loadSysconfig";
    sqlite3_stmt* stmt = nullptr;
    if (_prepare(db, step, SQL_SYSCONFIG, &stmt) < 0 || !_firstRow(db, step, stmt, SQLITE_OK)) {
        return -1;
    }
    config->cid = sqlite3_column_int(stmt, 0);
    config->autorecall = sqlite3_column_int(stmt, 1);
    config->apbd = sqlite3_column_int(stmt, 2);
    config->apbtickrate = sqlite3_column_int(stmt, 3);
    config->displaytimeout_ms = sqlite3_column_int(stmt, 4);
    config->displayupdaterate_ms = sqlite3_column_int(stmt, 5);
    config->ioscanrate = sqlite3_column_int(stmt, 6);
    config->cidserverport = static_cast<uint16_t>(sqlite3_column_int(stmt, 7));
    config->pedcallouttime_tick = sqlite3_column_int(stmt, 8);
    config->apscallouttime_tick = sqlite3_column_int(stmt, 9);
    config->maxlost = sqlite3_column_int(stmt, 10);
    config->closuremethod = sqlite3_column_int(stmt, 11);
    return _finalize(db, step, stmt);
}

// Rows that do not fit the record (ID above 16, phase or group outside 1..8, a 17th active
// station) are skipped with a message instead of indexing past the tables. The numbers are read
// as 64-bit so that a huge value cannot wrap into range.
int _loadStations(sqlite3* db, config_t* config) {
    const char* step = "_loadStations";
    sqlite3_stmt* stmt = nullptr;
    if (_prepare(db, step, SQL_STATIONS, &stmt) < 0) {
        return -1;
    }
    config->station_phasemask[0] = 0xFF;
    config->station_ids[0] = 0;
    int count = 0;
    // A failed step ends the loop; finalize then reports the error.
    while (sqlite3_step(stmt) == SQLITE_ROW) {
        sqlite3_int64 id = sqlite3_column_int64(stmt, 0);
        sqlite3_int64 phase = sqlite3_column_int64(stmt, 1);
        sqlite3_int64 group = sqlite3_column_int64(stmt, 2);
        if (id < 0 || id >= CONFIG_STATIONS) {
            fprintf(stderr, "%s: station id %lld from database is out of range. Skipping it.\n",
                    step, static_cast<long long>(id));
            continue;
        }
        if (phase < 1 || phase > CONFIG_PHASES || group < 1 || group > CONFIG_PHASES) {
            fprintf(stderr,
                    "%s: phase %lld or group %lld of station %lld from database is out of range. "
                    "Skipping it.\n",
                    step, static_cast<long long>(phase), static_cast<long long>(group),
                    static_cast<long long>(id));
            continue;
        }
        if (count == CONFIG_STATIONS - 1) {
            fprintf(stderr,
                    "%s: more than %d active stations in database. Skipping station %lld.\n", step,
                    CONFIG_STATIONS - 1, static_cast<long long>(id));
            continue;
        }
        count++;
        config->station_ids[count] = static_cast<uint8_t>(id);
        auto p = static_cast<uint8_t>(phase - 1);
        auto g = static_cast<uint8_t>(group - 1);
        config->station_phase[id] = p;
        config->station_phasemask[id] = static_cast<uint8_t>(1u << p);
        config->station_groupmask[id] = static_cast<uint8_t>(1u << g);
        config->group_phasemask[g] |= config->station_phasemask[id];
        config->phase_groupmask[p] |= config->station_groupmask[id];
    }
    config->station_count = count;
    return _finalize(db, step, stmt);
}

int _loadIO(sqlite3* db, config_t* config) {
    const char* step = "_loadIO";
    sqlite3_stmt* stmt = nullptr;
    if (_prepare(db, step, SQL_IO, &stmt) < 0) {
        return -1;
    }
    while (sqlite3_step(stmt) == SQLITE_ROW) {
        sqlite3_int64 phase = sqlite3_column_int64(stmt, 0);
        if (phase < 1 || phase > CONFIG_PHASES) {
            fprintf(stderr, "%s: phase from database is too high. Skipping it.", step);
            continue;
        }
        config->phase_walk[phase - 1] = sqlite3_column_int(stmt, 1);
        config->phase_dontwalk[phase - 1] = sqlite3_column_int(stmt, 2);
        config->phase_callout[phase - 1] = sqlite3_column_int(stmt, 3);
    }
    return _finalize(db, step, stmt);
}

int _getOID(sqlite3* db, const char* name, char* buf, size_t size) {
    const char* step = "_getOID";
    sqlite3_stmt* stmt = nullptr;
    if (_prepare(db, step, SQL_OID, &stmt) < 0 ||
        !_firstRow(db, step, stmt, sqlite3_bind_text(stmt, 1, name, -1, SQLITE_STATIC))) {
        return -1;
    }
    auto node = static_cast<unsigned>(sqlite3_column_int(stmt, 0));
    auto subnode = static_cast<unsigned>(sqlite3_column_int(stmt, 1));
    if (_finalize(db, step, stmt) < 0) {
        return -1;
    }
    int length = snprintf(buf, size, OID_FORMAT, node, subnode);
    if (length < 0 || static_cast<size_t>(length) >= size) {
        fprintf(stderr, "%s: Destination buffer was too small\n", step);
        return -1;
    }
    return 0;
}

int _getSetting(sqlite3* db, unsigned id, const char* name, int32_t* value) {
    const char* step = "_getSetting";
    if (!_checkName(step, name)) {
        return -1;
    }
    char sql[1024];
    int length = snprintf(sql, sizeof sql, SQL_SETTING, name);
    if (length < 0 || static_cast<size_t>(length) >= sizeof sql) {
        fprintf(stderr, "%s: sqlstr was too long\n", step);
        return -1;
    }
    sqlite3_stmt* stmt = nullptr;
    if (_prepare(db, step, sql, &stmt) < 0 ||
        !_firstRow(db, step, stmt, sqlite3_bind_int64(stmt, 1, id))) {
        return -1;
    }
    *value = sqlite3_column_int(stmt, 0);
    return _finalize(db, step, stmt);
}

int config_initAt(const char* path, config_t* config) {
    const char* operation = "config_init";
    if (config == nullptr) {
        return -1;
    }
    sqlite3* db = _open(path, operation);
    if (db == nullptr) {
        return -1;
    }
    const char* failure = _loadSysconfig(db, config) < 0  ? "Unable to load sysconfig"
                          : _loadStations(db, config) < 0 ? "Unable to load station info"
                          : _loadIO(db, config) < 0       ? "Unable to load IO info"
                                                          : nullptr;
    return _end(db, operation, failure == nullptr ? 0 : -1, failure);
}

int config_getOIDAt(const char* path, const char* name, char* buf, size_t size) {
    const char* operation = "config_getOID";
    if (name == nullptr || buf == nullptr || _nameTooLong(name)) {
        return -1;
    }
    sqlite3* db = _open(path, operation);
    if (db == nullptr) {
        return -1;
    }
    return _end(db, operation, _getOID(db, name, buf, size), "Unable to load OID");
}

int config_getSettingAt(const char* path, const char* name, unsigned id, int32_t* value) {
    const char* operation = "config_getSetting";
    if (name == nullptr || value == nullptr || _nameTooLong(name)) {
        return -1;
    }
    // Refused before the database is opened; _getSetting checks again for its direct callers.
    if (!_checkName(operation, name)) {
        return -1;
    }
    sqlite3* db = _open(path, operation);
    if (db == nullptr) {
        return -1;
    }
    return _end(db, operation, _getSetting(db, id, name, value), "Unable to load setting");
}

// Joins the names that stmt yields into buf (at least 4 bytes), "..." where they stop fitting;
// the count written, or -1 when a step fails.
static int _joinNames(sqlite3_stmt* stmt, char* buf, size_t size) {
    const size_t room = size - 4;  // "..." and its terminator always fit after the last name
    size_t used = 0;
    int count = 0;
    buf[0] = '\0';
    int step;
    while ((step = sqlite3_step(stmt)) == SQLITE_ROW) {
        const char* name = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
        size_t length = name == nullptr ? 0 : strlen(name);
        const char* separator = count > 0 ? ", " : "";
        if (used + strlen(separator) + length >= room) {
            memcpy(buf + used, "...", 4);
            return count;
        }
        used += static_cast<size_t>(snprintf(buf + used, size - used, "%s%s", separator, name));
        ++count;
    }
    return step == SQLITE_DONE ? count : -1;
}

int config_listSettingsAt(const char* path, char* buf, size_t size) {
    if (buf == nullptr || size < 4) {
        return -1;
    }
    sqlite3* db = nullptr;
    if (database_open(path, &db) != SQLITE_OK) {
        sqlite3_close(db);
        return -1;
    }
    sqlite3_stmt* stmt = nullptr;
    int count = -1;
    if (sqlite3_prepare_v2(db, SQL_NAMES, -1, &stmt, nullptr) == SQLITE_OK) {
        count = _joinNames(stmt, buf, size);
    }
    sqlite3_finalize(stmt);
    return _close(db, "config_listSettings") < 0 ? CONFIG_CLOSE_FAILED : count;
}

int config_init(config_t* config) {
    return config_initAt(CONFIG_DB_PATH, config);
}

int config_getOID(const char* name, char* buf, size_t size) {
    return config_getOIDAt(CONFIG_DB_PATH, name, buf, size);
}

int config_getSetting(const char* name, unsigned id, int32_t* value) {
    return config_getSettingAt(CONFIG_DB_PATH, name, id, value);
}

int config_listSettings(char* buf, size_t size) {
    return config_listSettingsAt(CONFIG_DB_PATH, buf, size);
}

static uint8_t _orMasks(const uint8_t* table, uint8_t mask) {
    uint8_t result = 0;
    for (int bit = 0; bit < CONFIG_PHASES; ++bit) {
        if (mask & (1u << bit)) {
            result |= table[bit];
        }
    }
    return result;
}

uint8_t config_groupToPhase(const config_t* config, uint8_t groupmask) {
    return config == nullptr ? 0 : _orMasks(config->group_phasemask, groupmask);
}

uint8_t config_phaseToGroup(const config_t* config, uint8_t phasemask) {
    return config == nullptr ? 0 : _orMasks(config->phase_groupmask, phasemask);
}

// A titled table of `count` masks, row k showing first + k and the mask of slot k.
static void _table(FILE* out, const char* title, const char* header, const char* row,
                   const uint8_t* masks, int count, int first) {
    fprintf(out, "%s\n%s\n-----------------\n", title, header);
    for (int k = 0; k < count; ++k) {
        fprintf(out, row, first + k, masks[k]);
    }
}

// The station mask tables show, in row k, station ID k and the mask stored for it, so that a
// row never pairs one station's ID with another station's mask.
void config_dump(FILE* out, const config_t* config) {
    if (out == nullptr || config == nullptr) {
        return;
    }
    fprintf(out, "CID scan rate: %d\n", config->ioscanrate);
    fprintf(out, "APB update rate:: %d\n", config->apbtickrate);
    fprintf(out, "IIS Source: %d\n", config->cid);
    fprintf(out, "APB method: %d\n", config->apbd);
    fprintf(out, "Closure method: %d\n", config->closuremethod);
    fprintf(out, "Autorecall: %d\n", config->autorecall);
    fprintf(out, "CID Server Port: %d\n", config->cidserverport);
    fprintf(out, "Ped call out time (ms): %d\n", config->pedcallouttime_tick);
    fprintf(out, "APS call out time (ms): %d\n", config->apscallouttime_tick);
    fprintf(out, "Max missed update count: %d\n", config->maxlost);
    _table(out, "Station ID table", "Index | ID       ", "%5d | %d\n", config->station_ids,
           CONFIG_STATIONS, 0);
    _table(out, "Station ID to phasemask table", "ID    | Phasemask", "%5d | 0x%02X\n",
           config->station_phasemask, CONFIG_STATIONS, 0);
    _table(out, "Station ID to groupmask table", "ID    | Groupmask", "%5d | 0x%02X\n",
           config->station_groupmask, CONFIG_STATIONS, 0);
    _table(out, "Group to phase table", "Group | Phasemask", "%5d | 0x%02X\n",
           config->group_phasemask, CONFIG_PHASES, 1);
    _table(out, "phase to group table", "phase | groupmask", "%5d | 0x%02x\n",
           config->phase_groupmask, CONFIG_PHASES, 1);
    fprintf(out, "%s\n%s\n-----------------\n", "phase to I/O table", "phase | W  | DW | C");
    for (int phase = 1; phase <= CONFIG_PHASES; ++phase) {
        fprintf(out, "%5d | %2d | %2d | %2d\n", phase, config->phase_walk[phase - 1],
                config->phase_dontwalk[phase - 1], config->phase_callout[phase - 1]);
    }
}
