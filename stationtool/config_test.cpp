#include "config.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "capture.h"
#include "scratch.h"

namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// What an operation returned and what it wrote to standard error.
struct Outcome {
    int rc;
    std::string err;
};

Outcome captured(const std::function<int()>& call) {
    testing::internal::CaptureStderr();
    int rc = call();
    return {rc, testing::internal::GetCapturedStderr()};
}

// The smallest schema the module reads, without the constraints of config.sql, so that tests
// can store the rows the real schema refuses.
const char* const BARE_SCHEMA = R"(
CREATE TABLE tbl_sysconfig (cid, autorecall, apbd, apbtickrate, displaytimeout_ms,
    displayupdaterate_ms, ioscanrate, cidserverport, pedcallouttime_tick, apscallouttime_tick,
    maxlost, closuremethod);
CREATE VIEW v_sysconfig AS SELECT * FROM tbl_sysconfig;
INSERT INTO tbl_sysconfig VALUES (1, 0, 1, 100, 60000, 1000, 50, 5000, 500, 1000, 5, 0);
CREATE TABLE tbl_stations (id, phase, groupnum, active DEFAULT 1);
CREATE TABLE tbl_phaseio (id, walk_uuid, dontwalk_uuid, callout_uuid);
CREATE TABLE tbls_oids (name, node, subnode);
CREATE TABLE tbl_settings (id, a);
CREATE VIEW v_sendtostation AS SELECT * FROM tbl_settings;
)";

class ConfigTest : public testing::Test {
  protected:
    // Runs sql on the database file, creating it when missing.
    void exec(const std::string& sql) { ASSERT_EQ(execSql(path, sql), ""); }
    void loadSample() {
        exec(readFile(STATIONTOOL_SOURCE_DIR "/config.sql"));
        exec(readFile(STATIONTOOL_SOURCE_DIR "/sample.sql"));
    }

    Outcome init(config_t* config) {
        return captured([&] { return config_initAt(path.c_str(), config); });
    }
    Outcome getOID(const std::string& name, char* buf, size_t size) {
        return captured([&] { return config_getOIDAt(path.c_str(), name.c_str(), buf, size); });
    }
    Outcome getSetting(const std::string& name, unsigned id, int32_t* value) {
        return captured([&] { return config_getSettingAt(path.c_str(), name.c_str(), id, value); });
    }

    ScratchDirectory scratch;
    std::string dir = scratch.path();
    std::string path = dir + "/config.db";
};

const char* const SAMPLE_DUMP =
    "CID scan rate: 50\n"
    "APB update rate:: 100\n"
    "IIS Source: 1\n"
    "APB method: 1\n"
    "Closure method: 0\n"
    "Autorecall: 0\n"
    "CID Server Port: 5000\n"
    "Ped call out time (ms): 500\n"
    "APS call out time (ms): 1000\n"
    "Max missed update count: 5\n"
    "Station ID table\n"
    "Index | ID       \n"
    "-----------------\n"
    "    0 | 0\n    1 | 1\n    2 | 2\n    3 | 3\n    4 | 4\n    5 | 5\n    6 | 6\n"
    "    7 | 7\n    8 | 8\n    9 | 0\n   10 | 0\n   11 | 0\n   12 | 0\n   13 | 0\n"
    "   14 | 0\n   15 | 0\n   16 | 0\n"
    "Station ID to phasemask table\n"
    "ID    | Phasemask\n"
    "-----------------\n"
    "    0 | 0xFF\n    1 | 0x02\n    2 | 0x02\n    3 | 0x08\n    4 | 0x08\n    5 | 0x20\n"
    "    6 | 0x20\n    7 | 0x80\n    8 | 0x80\n    9 | 0x00\n   10 | 0x00\n   11 | 0x00\n"
    "   12 | 0x00\n   13 | 0x00\n   14 | 0x00\n   15 | 0x00\n   16 | 0x00\n"
    "Station ID to groupmask table\n"
    "ID    | Groupmask\n"
    "-----------------\n"
    "    0 | 0x00\n    1 | 0x01\n    2 | 0x02\n    3 | 0x02\n    4 | 0x04\n    5 | 0x04\n"
    "    6 | 0x08\n    7 | 0x08\n    8 | 0x01\n    9 | 0x00\n   10 | 0x00\n   11 | 0x00\n"
    "   12 | 0x00\n   13 | 0x00\n   14 | 0x00\n   15 | 0x00\n   16 | 0x00\n"
    "Group to phase table\n"
    "Group | Phasemask\n"
    "-----------------\n"
    "    1 | 0x82\n    2 | 0x0A\n    3 | 0x28\n    4 | 0xA0\n"
    "    5 | 0x00\n    6 | 0x00\n    7 | 0x00\n    8 | 0x00\n"
    "phase to group table\n"
    "phase | groupmask\n"
    "-----------------\n"
    "    1 | 0x00\n    2 | 0x03\n    3 | 0x00\n    4 | 0x06\n"
    "    5 | 0x00\n    6 | 0x0c\n    7 | 0x00\n    8 | 0x09\n"
    "phase to I/O table\n"
    "phase | W  | DW | C\n"
    "-----------------\n"
    "    1 |  0 |  0 |  0\n"
    "    2 |  3 |  4 | 18\n"
    "    3 |  0 |  0 |  0\n"
    "    4 |  7 |  8 | 20\n"
    "    5 |  0 |  0 |  0\n"
    "    6 | 11 | 12 | 22\n"
    "    7 |  0 |  0 |  0\n"
    "    8 | 15 | 16 | 24\n";

std::string dump(const config_t& config) {
    return ::captured([&](FILE* out) { config_dump(out, &config); });
}

// The one-line creation documented at the top of sample.sql, with the sqlite3 shell.
TEST_F(ConfigTest, ShellCreatesTheSampleDatabase) {
    if (std::system("command -v sqlite3 >/dev/null") != 0) {
        GTEST_SKIP() << "no sqlite3 shell";
    }
    std::string command =
        "cd '" STATIONTOOL_SOURCE_DIR "' && cat config.sql sample.sql | sqlite3 -bail '" + path +
        "' && sqlite3 '" + path + "' 'PRAGMA integrity_check; PRAGMA foreign_key_check;' > '" +
        dir + "/check.txt'";
    ASSERT_EQ(std::system(command.c_str()), 0);
    EXPECT_EQ(readFile(dir + "/check.txt"), "ok\n");
    config_t config{};
    EXPECT_EQ(init(&config).rc, 0);
    EXPECT_EQ(config.station_count, 8);
}

// Every setting the stations are sent can also be written by stationtool, and the pushed
// document (length, "t", then an int32 per column) fits the daemon's 1024-byte buffer.
TEST_F(ConfigTest, EverySampleSettingHasAnObjectAndTheDocumentFits) {
    loadSample();
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    sqlite3_stmt* stmt = nullptr;
    const char* sql =
        "SELECT (SELECT count(*) FROM pragma_table_info('v_sendtostation') WHERE name <> 'id' "
        "        AND name NOT IN (SELECT name FROM tbls_oids)),"
        "       (SELECT count(*) FROM tbls_oids WHERE name NOT IN "
        "        (SELECT name FROM pragma_table_info('v_sendtostation'))),"
        "       (SELECT count(*) FROM tbls_oids),"
        "       (SELECT sum(length(name) + 6) FROM pragma_table_info('v_sendtostation'))";
    ASSERT_EQ(sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(stmt, 0), 0) << "view columns without an object";
    EXPECT_EQ(sqlite3_column_int(stmt, 1), 0) << "objects without a view column";
    EXPECT_GE(sqlite3_column_int(stmt, 2), 10);
    EXPECT_LT(4 + 7 + sqlite3_column_int(stmt, 3) + 1, 1024);
    sqlite3_finalize(stmt);
    sqlite3_close(db);
}

TEST_F(ConfigTest, InitLoadsTheSampleIntersection) {
    loadSample();
    config_t config{};
    Outcome out = init(&config);
    ASSERT_EQ(out.rc, 0) << out.err;
    EXPECT_EQ(out.err, "");
    EXPECT_EQ(config.station_count, 8);
    EXPECT_EQ(config.displaytimeout_ms, 60000);
    EXPECT_EQ(config.displayupdaterate_ms, 1000);
    EXPECT_EQ(config.station_phase[3], 3);  // station 3 calls phase 4
    EXPECT_EQ(dump(config), SAMPLE_DUMP);
    // The north-west and south-east corners between them serve all four pedestrian phases.
    EXPECT_EQ(config_groupToPhase(&config, 0x05), 0xAA);
    EXPECT_EQ(config_phaseToGroup(&config, 0x02), 0x03);
    EXPECT_EQ(config_phaseToGroup(&config, 0xFF), 0x0F);
}

TEST_F(ConfigTest, GetOIDAndSettingReadTheSample) {
    loadSample();
    char oid[64];
    Outcome out = getOID("night_start_min", oid, sizeof oid);
    ASSERT_EQ(out.rc, 0) << out.err;
    EXPECT_EQ(out.err, "");
    EXPECT_STREQ(oid, "1.3.6.1.4.1.1206.4.2.14.6.2");

    struct Case {
        const char* name;
        unsigned id;
        int32_t value;
    };
    for (Case c : {Case{"street_msg", 3, 12}, Case{"street_msg", 5, 11}, Case{"vol_max", 3, 90},
                   Case{"vol_max", 2, 80}, Case{"night_vol_max", 1, 30}, Case{"id", 8, 8}}) {
        int32_t value = -7;
        out = getSetting(c.name, c.id, &value);
        EXPECT_EQ(out.rc, 0) << c.name << " " << out.err;
        EXPECT_EQ(out.err, "");
        EXPECT_EQ(value, c.value) << c.name << " of station " << c.id;
    }
}

TEST_F(ConfigTest, MissingFileIsReportedAndNotCreated) {
    config_t config{};
    char oid[64];
    int32_t value = 0;
    std::string sqlite = "sqlite3: unable to open database file\n";
    Outcome out = init(&config);
    EXPECT_EQ(out.rc, -1);
    EXPECT_EQ(out.err, "config_init: Unable to open " + path + "\n" + sqlite);
    out = getOID("vol_min", oid, sizeof oid);
    EXPECT_EQ(out.rc, -1);
    EXPECT_EQ(out.err, "config_getOID: Unable to open " + path + "\n" + sqlite);
    out = getSetting("vol_min", 1, &value);
    EXPECT_EQ(out.rc, -1);
    EXPECT_EQ(out.err, "config_getSetting: Unable to open " + path + "\n" + sqlite);
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST_F(ConfigTest, NamesUpTo128CharactersAreAccepted) {
    std::string longest(128, 'n');
    exec(BARE_SCHEMA);
    exec(
        "DROP VIEW v_sendtostation;"
        "CREATE VIEW v_sendtostation AS SELECT id, a AS " +
        longest +
        " FROM tbl_settings;"
        "INSERT INTO tbl_settings VALUES (4, 77);"
        "INSERT INTO tbls_oids VALUES ('" +
        longest + "', 9, 1);");
    char oid[64];
    int32_t value = 0;
    Outcome out = getOID(longest, oid, sizeof oid);
    EXPECT_EQ(out.rc, 0) << out.err;
    EXPECT_STREQ(oid, "1.3.6.1.4.1.1206.4.2.14.9.1");
    out = getSetting(longest, 4, &value);
    EXPECT_EQ(out.rc, 0) << out.err;
    EXPECT_EQ(value, 77);

    // One more character fails at once, silently, whatever the database holds.
    std::string tooLong(129, 'n');
    out = getOID(tooLong, oid, sizeof oid);
    EXPECT_EQ(out.rc, -1);
    EXPECT_EQ(out.err, "");
    out = getSetting(tooLong, 4, &value);
    EXPECT_EQ(out.rc, -1);
    EXPECT_EQ(out.err, "");
}

TEST_F(ConfigTest, NullArgumentsFailSilently) {
    Outcome out = captured([] { return config_init(nullptr); });
    EXPECT_EQ(out.rc, -1);
    EXPECT_EQ(out.err, "");
    out = captured([] { return config_getOID(std::string(129, 'x').c_str(), nullptr, 0); });
    EXPECT_EQ(out.rc, -1);
    EXPECT_EQ(out.err, "");
    EXPECT_EQ(config_groupToPhase(nullptr, 0xFF), 0);
    EXPECT_EQ(config_phaseToGroup(nullptr, 0xFF), 0);
}

TEST_F(ConfigTest, NameWithoutObjectFailsInTheStep) {
    loadSample();
    char oid[64];
    // The name is bound, never pasted: quotes only make it a name that matches nothing.
    for (const char* name : {"volume", "vol_min' OR '1'='1", ""}) {
        Outcome out = getOID(name, oid, sizeof oid);
        EXPECT_EQ(out.rc, -1);
        EXPECT_EQ(out.err,
                  "_getOID: Unable to step statment\n"
                  "sqlite3: no more rows available\n"
                  "config_getOID: Unable to load OID\n")
            << name;
    }
}

TEST_F(ConfigTest, SettingWithoutColumnOrRowFailsInItsStep) {
    loadSample();
    const struct {
        const char* name;
        int station;
        const char* step;
    } cases[] = {{"volume", 1, "prepare statment\nsqlite3: no such column: volume"},
                 {"vol_min", 9, "step statment\nsqlite3: no more rows available"}};
    for (const auto& c : cases) {
        int32_t value = 5;
        Outcome out = getSetting(c.name, c.station, &value);
        EXPECT_EQ(out.rc, -1);
        EXPECT_EQ(out.err, std::string("_getSetting: Unable to ") + c.step +
                               "\nconfig_getSetting: Unable to load setting\n");
        EXPECT_EQ(value, 5);
    }
}

TEST_F(ConfigTest, EmptySysconfigFailsInit) {
    loadSample();
    exec("DELETE FROM tbl_sysconfig;");
    config_t config{};
    Outcome out = init(&config);
    EXPECT_EQ(out.rc, -1);
    EXPECT_EQ(out.err,
              "_loadSysconfig: Unable to step statment\n"
              "sqlite3: no more rows available\n"
              "config_init: Unable to load sysconfig\n");
}

TEST_F(ConfigTest, MissingTablesNameTheFailingLoad) {
    struct Case {
        const char* drop;
        const char* err;
    };
    for (Case c : {Case{"DROP TABLE tbl_stations;",
                        "_loadStations: Unable to prepare statment\n"
                        "sqlite3: no such table: tbl_stations\n"
                        "config_init: Unable to load station info\n"},
                   Case{"DROP TABLE tbl_phaseio;",
                        "_loadIO: Unable to prepare statment\n"
                        "sqlite3: no such table: tbl_phaseio\n"
                        "config_init: Unable to load IO info\n"}}) {
        std::filesystem::remove(path);
        exec(BARE_SCHEMA);
        exec(c.drop);
        config_t config{};
        Outcome out = init(&config);
        EXPECT_EQ(out.rc, -1);
        EXPECT_EQ(out.err, c.err);
        EXPECT_EQ(config.ioscanrate, 50) << "what loaded before the failure stays";
    }
}

TEST_F(ConfigTest, PhaseIORowsOutsidePhasesAreSkipped) {
    exec(BARE_SCHEMA);
    exec(
        "UPDATE tbl_sysconfig SET cidserverport = 65536 + 5001;"
        "INSERT INTO tbl_phaseio VALUES (0, 1, 1, 1), (2, 3, 4, 18), (9, 9, 9, 9), (8, 15, 16, "
        "24);");
    config_t config{};
    Outcome out = init(&config);
    EXPECT_EQ(out.rc, 0);
    EXPECT_EQ(out.err,
              "_loadIO: phase from database is too high. Skipping it."
              "_loadIO: phase from database is too high. Skipping it.");
    config_t expected{};
    expected.phase_walk[1] = 3;
    expected.phase_dontwalk[1] = 4;
    expected.phase_callout[1] = 18;
    expected.phase_walk[7] = 15;
    expected.phase_dontwalk[7] = 16;
    expected.phase_callout[7] = 24;
    EXPECT_EQ(0, memcmp(config.phase_walk, expected.phase_walk, sizeof expected.phase_walk));
    EXPECT_EQ(
        0, memcmp(config.phase_dontwalk, expected.phase_dontwalk, sizeof expected.phase_dontwalk));
    EXPECT_EQ(0,
              memcmp(config.phase_callout, expected.phase_callout, sizeof expected.phase_callout));
    EXPECT_EQ(config.cidserverport, 5001);  // low 16 bits
}

TEST_F(ConfigTest, OIDBufferMustHoldTheTerminator) {
    exec(BARE_SCHEMA);
    exec("INSERT INTO tbls_oids VALUES ('a', 7, 3);");
    const std::string text = "1.3.6.1.4.1.1206.4.2.14.7.3";
    char oid[64];
    Outcome out = getOID("a", oid, text.size());
    EXPECT_EQ(out.rc, -1);
    EXPECT_EQ(out.err,
              "_getOID: Destination buffer was too small\n"
              "config_getOID: Unable to load OID\n");
    out = getOID("a", oid, text.size() + 1);
    EXPECT_EQ(out.rc, 0) << out.err;
    EXPECT_EQ(oid, text);
}

TEST_F(ConfigTest, MaskTablesForOneGroupOnTwoPhases) {
    exec(BARE_SCHEMA);
    config_t empty{};
    ASSERT_EQ(init(&empty).rc, 0);
    EXPECT_EQ(empty.station_count, 0);
    EXPECT_EQ(empty.station_ids[0], 0);
    EXPECT_EQ(empty.station_phasemask[0], 0xFF);
    config_t blank{};
    blank.station_phasemask[0] = 0xFF;
    EXPECT_EQ(0, memcmp(&empty.group_phasemask, &blank.group_phasemask,
                        offsetof(config_t, station_count) - offsetof(config_t, group_phasemask)));

    exec(
        "INSERT INTO tbl_stations (id, phase, groupnum, active) VALUES"
        " (3, 2, 1, 1), (5, 4, 1, 1), (6, 6, 2, 0);");
    config_t config{};
    ASSERT_EQ(init(&config).rc, 0);
    EXPECT_EQ(config.station_count, 2);
    EXPECT_EQ(config.station_ids[1], 3);
    EXPECT_EQ(config.station_ids[2], 5);
    EXPECT_EQ(config.group_phasemask[0], 0x0A);
    EXPECT_EQ(config.phase_groupmask[1], 0x01);
    EXPECT_EQ(config.phase_groupmask[3], 0x01);
    EXPECT_EQ(config.station_phasemask[6], 0x00) << "inactive station loaded";
    EXPECT_EQ(config_groupToPhase(&config, 0x01), 0x0A);
    EXPECT_EQ(config_groupToPhase(&config, 0xFE), 0x00);
    EXPECT_EQ(config_phaseToGroup(&config, 0x08), 0x01);
    EXPECT_EQ(config_phaseToGroup(&config, 0x04), 0x00);
}

// Rows the record has no place for are skipped: the result equals loading the good rows alone.
TEST_F(ConfigTest, StationRowsOutsideTheRecordAreSkipped) {
    exec(BARE_SCHEMA);
    exec("INSERT INTO tbl_stations (id, phase, groupnum) VALUES (1, 2, 1), (4, 6, 3);");
    config_t expected{};
    ASSERT_EQ(init(&expected).rc, 0);

    exec(
        "INSERT INTO tbl_stations (id, phase, groupnum) VALUES"
        " (17, 2, 1), (-1, 2, 1), (4294967298, 2, 1), (5, 0, 1), (5, 9, 1), (5, 2, 0),"
        " (5, 2, 9), (5, 258, 1);");
    config_t config{};
    Outcome out = init(&config);
    EXPECT_EQ(out.rc, 0);
    EXPECT_EQ(0, memcmp(&config, &expected, sizeof config));
    EXPECT_EQ(out.err,
              "_loadStations: station id 17 from database is out of range. Skipping it.\n"
              "_loadStations: station id -1 from database is out of range. Skipping it.\n"
              "_loadStations: station id 4294967298 from database is out of range. Skipping it.\n"
              "_loadStations: phase 0 or group 1 of station 5 from database is out of range. "
              "Skipping it.\n"
              "_loadStations: phase 9 or group 1 of station 5 from database is out of range. "
              "Skipping it.\n"
              "_loadStations: phase 2 or group 0 of station 5 from database is out of range. "
              "Skipping it.\n"
              "_loadStations: phase 2 or group 9 of station 5 from database is out of range. "
              "Skipping it.\n"
              "_loadStations: phase 258 or group 1 of station 5 from database is out of range. "
              "Skipping it.\n");
}

TEST_F(ConfigTest, SeventeenthActiveStationIsSkipped) {
    exec(BARE_SCHEMA);
    exec(
        "WITH RECURSIVE n(id) AS (SELECT 0 UNION ALL SELECT id + 1 FROM n WHERE id < 16)"
        " INSERT INTO tbl_stations (id, phase, groupnum) SELECT id, 1 + id % 8, 1 FROM n;");
    config_t config{};
    Outcome out = init(&config);
    EXPECT_EQ(out.rc, 0);
    EXPECT_EQ(out.err,
              "_loadStations: more than 16 active stations in database. Skipping station 16.\n");
    EXPECT_EQ(config.station_count, 16);
    for (int k = 1; k <= 16; ++k) {
        EXPECT_EQ(config.station_ids[k], k - 1);
    }
    EXPECT_EQ(config.station_phasemask[16], 0);
    EXPECT_EQ(config.station_groupmask[16], 0);
    EXPECT_EQ(config.station_phasemask[0], 0x01);  // station 0 is an ordinary station on phase 1
}

TEST_F(ConfigTest, SettingNamesThatAreNotIdentifiersNeverReachTheDatabase) {
    loadSample();
    const std::string refusal =
        "config_getSetting: Invalid setting name. Use letters, digits and underscores, not "
        "starting with a digit\n";
    for (const char* name :
         {"id FROM v_sendtostation UNION SELECT node FROM tbls_oids WHERE name='vol_max' --",
          "vol_min FROM v_sendtostation; DROP TABLE tbl_stations; --", "vol_min'", "vol_min\"",
          "\"vol_min\"", "vol min", "vol-min", "1vol", "", "vol_min;", "völ"}) {
        int32_t value = 5;
        Outcome out = getSetting(name, 1, &value);
        EXPECT_EQ(out.rc, -1) << name;
        EXPECT_EQ(out.err, refusal) << name;
        EXPECT_EQ(value, 5);
        // Not even opened: a missing file would otherwise be reported.
        out = captured(
            [&] { return config_getSettingAt((dir + "/none.db").c_str(), name, 1, &value); });
        EXPECT_EQ(out.err, refusal) << name;
    }

    // The step refuses them too when called on an open connection.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    int32_t value = 5;
    Outcome out = captured([&] { return _getSetting(db, 1, "id FROM tbls_oids --", &value); });
    EXPECT_EQ(out.rc, -1);
    EXPECT_EQ(out.err,
              "_getSetting: Invalid setting name. Use letters, digits and underscores, not "
              "starting with a digit\n");
    out = captured([&] { return _getSetting(db, 1, "_vol_min", &value); });
    EXPECT_EQ(out.rc, -1);
    EXPECT_NE(out.err.find("no such column: _vol_min"), std::string::npos);
    sqlite3_close(db);
}

TEST_F(ConfigTest, WriteLockIsWaitedForAboutOneSecond) {
    loadSample();
    sqlite3* writer = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &writer), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(writer, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    int32_t value = 5;
    auto start = std::chrono::steady_clock::now();
    Outcome out = getSetting("vol_min", 1, &value);
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    sqlite3_exec(writer, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(writer);
    EXPECT_EQ(out.rc, -1);
    EXPECT_EQ(out.err,
              "_getSetting: Unable to prepare statment\n"
              "sqlite3: database is locked\n"
              "config_getSetting: Unable to load setting\n");
    EXPECT_GT(seconds, 0.8);
    EXPECT_LT(seconds, 5.0);
}

TEST(ConfigCloseTest, FailureIsReportedForMainToEndTheProcess) {
    sqlite3* db = nullptr;
    sqlite3_open(":memory:", &db);
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db, "SELECT 1", -1, &stmt, nullptr);  // keeps the close busy
    Outcome out = captured([&] { return _close(db, "config_getOID"); });
    EXPECT_EQ(out.rc, CONFIG_CLOSE_FAILED);
    EXPECT_EQ(out.err,
              "config_getOID: Unable to close sqlite3 database. This error is not recoverable.\n");
    sqlite3_finalize(stmt);
    EXPECT_EQ(_close(db, "config_getOID"), 0);
}

}  // namespace
