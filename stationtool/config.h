// Configuration module: reads the cabinet's settings from the SQLite configuration database.
// Every operation opens the file (database_open: never created, opened for writing only so that
// a dead writer's journal can be rolled back), reads, and closes it again before returning; no
// connection outlives a call. Messages go to standard error, led by the failing step's name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

struct sqlite3;

constexpr const char* CONFIG_DB_PATH = "/var/lib/vok/config.db";
constexpr size_t CONFIG_NAME_MAX = 128;  // longest setting name accepted
constexpr int CONFIG_STATIONS = 17;      // station IDs 0..16
constexpr int CONFIG_PHASES = 8;         // phases and groups 1..8
// The result of an operation whose database would not close again: reported, not recoverable;
// main ends the process with exit status -1 and says no more.
constexpr int CONFIG_CLOSE_FAILED = -2;

// The whole system configuration. The caller hands it in zero-filled; the loader sets only what
// the rows name and ORs into the group/phase tables. Masks: bit n - 1 is phase (or group) n.
struct config_t {
    int32_t ioscanrate;
    int32_t apbtickrate;
    int32_t displaytimeout_ms;
    int32_t displayupdaterate_ms;
    uint16_t cidserverport;
    int32_t cid;
    int32_t apbd;
    int32_t closuremethod;
    int32_t autorecall;
    int32_t pedcallouttime_tick;
    int32_t apscallouttime_tick;
    int32_t maxlost;
    uint8_t group_phasemask[CONFIG_PHASES];      // by group - 1: phases of its stations
    uint8_t phase_groupmask[CONFIG_PHASES];      // by phase - 1: groups of its stations
    uint8_t station_phase[CONFIG_STATIONS];      // by station ID: phase - 1
    uint8_t station_phasemask[CONFIG_STATIONS];  // by station ID: its phase bit; slot 0 is 0xFF
    uint8_t station_groupmask[CONFIG_STATIONS];  // by station ID: its group bit
    uint8_t station_ids[CONFIG_STATIONS];        // slot k >= 1: ID of the k-th active station
    int32_t station_count;                       // active stations loaded
    int32_t phase_dontwalk[CONFIG_PHASES];       // by phase - 1: I/O point of don't walk
    int32_t phase_walk[CONFIG_PHASES];           // by phase - 1: I/O point of walk
    int32_t phase_callout[CONFIG_PHASES];        // by phase - 1: I/O point of the call output
};

// Each operation that opens the database may also fail with CONFIG_CLOSE_FAILED.

// Loads sysconfig, active stations and phase I/O into config; 0, or -1 (null config: no message).
int config_init(config_t* config);
// Writes the SNMP object identifier of setting name into buf (size bytes); 0 or -1.
int config_getOID(const char* name, char* buf, size_t size);
// Reads the configured value of setting name for station id into *value; 0 or -1.
int config_getSetting(const char* name, unsigned id, int32_t* value);
// Writes the setting names of tbls_oids, in the order of their objects and separated by ", ",
// into buf, cut short with "..." when it does not fit; the number of names written, or -1.
// Silent: it serves as a hint after a failure that has been reported already.
int config_listSettings(char* buf, size_t size);
// Prints the record as labelled lines and tables.
void config_dump(FILE* out, const config_t* config);
// Phases served by the groups in groupmask; 0 for a null config.
uint8_t config_groupToPhase(const config_t* config, uint8_t groupmask);
// Groups serving the phases in phasemask; 0 for a null config.
uint8_t config_phaseToGroup(const config_t* config, uint8_t phasemask);

// The same three operations on the database file at path (messages name the operation as above).
int config_initAt(const char* path, config_t* config);
int config_getOIDAt(const char* path, const char* name, char* buf, size_t size);
int config_getSettingAt(const char* path, const char* name, unsigned id, int32_t* value);
int config_listSettingsAt(const char* path, char* buf, size_t size);

// Internal steps over an open connection; each reports its own failure and returns 0 or -1.
int _loadSysconfig(sqlite3* db, config_t* config);
int _loadStations(sqlite3* db, config_t* config);
int _loadIO(sqlite3* db, config_t* config);
int _getOID(sqlite3* db, const char* name, char* buf, size_t size);
int _getSetting(sqlite3* db, unsigned id, const char* name, int32_t* value);
// Closes db; 0, or CONFIG_CLOSE_FAILED after its message.
int _close(sqlite3* db, const char* operation);
