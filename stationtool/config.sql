-- Schema of the cabinet configuration database, /var/lib/vok/config.db.
--
-- Who reads what (nothing in the cabinet writes to this file):
--   stationtool  tbls_oids: setting name -> SNMP object of the station;
--                v_sendtostation: one setting of one station, sent by "stationtool ID set NAME".
--   callrelayd   v_sendtostation: when a station asks for its configuration, every column of its
--                row (id included) is sent to it as a 32-bit integer named after the column.
--   Nothing else. No program of the cabinet reads tbl_sysconfig (v_sysconfig), tbl_stations or
--   tbl_phaseio: they describe the intersection for the CID and the site engineer. stationtool's
--   configuration module can load them, but no command of it does. In particular paneld blanks
--   the display after 60 s and refreshes it every second, and every program finds the CID on
--   port 5000, whatever displaytimeout_ms, displayupdaterate_ms and cidserverport say.
--   The simulated cabinet (sim/) also reads tbl_stations, whose active stations its CID reports
--   good, and the CHECK ranges of the station settings, which its station agents enforce.
--   stationtool and callrelayd open the file for writing, never creating it, only so that
--   SQLite can roll back the journal of a writer killed mid-transaction; their statements read.
-- Every value is read as a 32-bit integer; the CHECK constraints below refuse values the
-- programs cannot use, so edit with the sqlite3 shell and let it tell you.
--
-- To add a station setting: add a column to tbl_apbsettings (NOT NULL, a DEFAULT, a CHECK on
-- its range as "name BETWEEN low AND high" or "name IN (...)"), list it in v_sendtostation,
-- and add its row to tbls_oids with the station's SNMP node and subnode. Names are plain
-- identifiers (letters, digits, underscore, no leading digit, at most 128 characters);
-- stationtool refuses anything else. Each setting adds its name length plus 6 bytes to the
-- pushed document, which must stay below 1024 bytes.
--
-- The script creates; it does not replace. Start from a missing file.

PRAGMA foreign_keys = ON;

BEGIN;

-- Cabinet-wide settings, one row, through v_sysconfig: for the CID and the site engineer; no
-- program of the cabinet reads them (see the top).
CREATE TABLE tbl_sysconfig (
    id                   INTEGER PRIMARY KEY CHECK (id = 1),
    cid                  INTEGER NOT NULL CHECK (cid BETWEEN 0 AND 255),         -- status source, a code known to the CID
    autorecall           INTEGER NOT NULL CHECK (autorecall IN (0, 1)),          -- 0 off, 1 on
    apbd                 INTEGER NOT NULL CHECK (apbd BETWEEN 0 AND 255),        -- station method, a code known to the CID
    apbtickrate          INTEGER NOT NULL CHECK (apbtickrate BETWEEN 1 AND 60000),          -- station update period, ms
    displaytimeout_ms    INTEGER NOT NULL CHECK (displaytimeout_ms BETWEEN 0 AND 3600000),  -- front panel blanking
    displayupdaterate_ms INTEGER NOT NULL CHECK (displayupdaterate_ms BETWEEN 100 AND 60000),
    ioscanrate           INTEGER NOT NULL CHECK (ioscanrate BETWEEN 1 AND 60000),           -- CID I/O scan period, ms
    cidserverport        INTEGER NOT NULL CHECK (cidserverport BETWEEN 1 AND 65535),
    pedcallouttime_tick  INTEGER NOT NULL CHECK (pedcallouttime_tick BETWEEN 0 AND 60000),  -- ped call output pulse, ms
    apscallouttime_tick  INTEGER NOT NULL CHECK (apscallouttime_tick BETWEEN 0 AND 60000),  -- APS call output pulse, ms
    maxlost              INTEGER NOT NULL CHECK (maxlost BETWEEN 1 AND 1000),     -- missed updates before a station is bad
    closuremethod        INTEGER NOT NULL CHECK (closuremethod BETWEEN 0 AND 255) -- call closure, a code known to the CID
);

CREATE VIEW v_sysconfig AS
SELECT cid, autorecall, apbd, apbtickrate, displaytimeout_ms, displayupdaterate_ms, ioscanrate,
       cidserverport, pedcallouttime_tick, apscallouttime_tick, maxlost, closuremethod
FROM tbl_sysconfig;

-- Cabinet I/O points of each pedestrian phase: the walk and don't-walk signal inputs and the
-- call output. Only phases with pedestrian signals need a row; the others read as 0.
CREATE TABLE tbl_phaseio (
    id            INTEGER PRIMARY KEY CHECK (id BETWEEN 1 AND 8),  -- phase number
    walk_uuid     INTEGER NOT NULL CHECK (walk_uuid BETWEEN 0 AND 255),
    dontwalk_uuid INTEGER NOT NULL CHECK (dontwalk_uuid BETWEEN 0 AND 255),
    callout_uuid  INTEGER NOT NULL CHECK (callout_uuid BETWEEN 0 AND 255)
);

-- The push-button stations. Station n answers at 192.168.0.(10 + n). A station calls its phase;
-- a group is the set of stations that work together (usually those on one corner). Only rows
-- with active = 1 take part in the phase and group tables, and at most 16 can be active.
CREATE TABLE tbl_stations (
    id       INTEGER PRIMARY KEY CHECK (id BETWEEN 0 AND 16),
    location TEXT NOT NULL DEFAULT '',
    active   INTEGER NOT NULL DEFAULT 1 CHECK (active IN (0, 1)),
    phase    INTEGER NOT NULL CHECK (phase BETWEEN 1 AND 8) REFERENCES tbl_phaseio (id),
    groupnum INTEGER NOT NULL CHECK (groupnum BETWEEN 1 AND 8)
);

CREATE TRIGGER trg_stations_active_insert BEFORE INSERT ON tbl_stations
WHEN NEW.active = 1 AND (SELECT count(*) FROM tbl_stations WHERE active = 1) >= 16
BEGIN
    SELECT RAISE(ABORT, 'at most 16 stations can be active');
END;

CREATE TRIGGER trg_stations_active_update BEFORE UPDATE OF active ON tbl_stations
WHEN NEW.active = 1 AND OLD.active = 0
     AND (SELECT count(*) FROM tbl_stations WHERE active = 1) >= 16
BEGIN
    SELECT RAISE(ABORT, 'at most 16 stations can be active');
END;

-- The settings of each station, one row per station; a column left out of an INSERT takes its
-- default. Volumes are percent of full scale; message numbers select recordings stored in the
-- station (0: none).
CREATE TABLE tbl_apbsettings (
    id INTEGER PRIMARY KEY REFERENCES tbl_stations (id) ON DELETE CASCADE ON UPDATE CASCADE,
    vol_min           INTEGER NOT NULL DEFAULT 30 CHECK (vol_min BETWEEN 0 AND 100),    -- in quiet surroundings
    vol_max           INTEGER NOT NULL DEFAULT 80 CHECK (vol_max BETWEEN 0 AND 100),    -- in loud traffic
    ambient_track     INTEGER NOT NULL DEFAULT 1 CHECK (ambient_track IN (0, 1)),       -- 1: follow street noise between the two
    locator_tone      INTEGER NOT NULL DEFAULT 1 CHECK (locator_tone IN (0, 1)),        -- 1: tone that leads to the button
    locator_vol       INTEGER NOT NULL DEFAULT 40 CHECK (locator_vol BETWEEN 0 AND 100),
    locator_period_ms INTEGER NOT NULL DEFAULT 1000 CHECK (locator_period_ms BETWEEN 500 AND 2000),
    walk_tone         INTEGER NOT NULL DEFAULT 0 CHECK (walk_tone IN (0, 1)),           -- 0: rapid tick, 1: walk_msg spoken
    wait_msg          INTEGER NOT NULL DEFAULT 1 CHECK (wait_msg BETWEEN 0 AND 255),    -- on a press
    walk_msg          INTEGER NOT NULL DEFAULT 2 CHECK (walk_msg BETWEEN 0 AND 255),    -- during walk
    street_msg        INTEGER NOT NULL DEFAULT 0 CHECK (street_msg BETWEEN 0 AND 255),  -- street name, on an extended press
    extpress_ms       INTEGER NOT NULL DEFAULT 1000 CHECK (extpress_ms BETWEEN 500 AND 5000), -- press this long: APS call
    vibrotactile      INTEGER NOT NULL DEFAULT 1 CHECK (vibrotactile IN (0, 1)),        -- 1: arrow vibrates during walk
    led_confirm       INTEGER NOT NULL DEFAULT 1 CHECK (led_confirm IN (0, 1)),         -- 1: light on an accepted call
    night_vol_max     INTEGER NOT NULL DEFAULT 50 CHECK (night_vol_max BETWEEN 0 AND 100), -- ceiling in the quiet hours
    night_start_min   INTEGER NOT NULL DEFAULT 1320 CHECK (night_start_min BETWEEN 0 AND 1439), -- minute of the day
    night_end_min     INTEGER NOT NULL DEFAULT 360 CHECK (night_end_min BETWEEN 0 AND 1439),
    CHECK (vol_min <= vol_max)
);

-- What a station is sent and what stationtool can write: id, then one column per setting.
CREATE VIEW v_sendtostation AS
SELECT id, vol_min, vol_max, ambient_track, locator_tone, locator_vol, locator_period_ms,
       walk_tone, wait_msg, walk_msg, street_msg, extpress_ms, vibrotactile, led_confirm,
       night_vol_max, night_start_min, night_end_min
FROM tbl_apbsettings;

-- SNMP objects of the station settings: name -> 1.3.6.1.4.1.1206.4.2.14.node.subnode. Fixed by
-- the station firmware, not by the site; one row per setting column of v_sendtostation.
CREATE TABLE tbls_oids (
    name    TEXT PRIMARY KEY
            CHECK (length(name) BETWEEN 1 AND 128
                   AND name NOT GLOB '*[^A-Za-z0-9_]*' AND name NOT GLOB '[0-9]*'),
    node    INTEGER NOT NULL CHECK (node BETWEEN 0 AND 2147483647),
    subnode INTEGER NOT NULL CHECK (subnode BETWEEN 0 AND 2147483647),
    UNIQUE (node, subnode)
);

INSERT INTO tbls_oids (name, node, subnode) VALUES
    ('vol_min', 1, 1),
    ('vol_max', 1, 2),
    ('ambient_track', 1, 3),
    ('locator_tone', 2, 1),
    ('locator_vol', 2, 2),
    ('locator_period_ms', 2, 3),
    ('walk_tone', 2, 4),
    ('wait_msg', 3, 1),
    ('walk_msg', 3, 2),
    ('street_msg', 3, 3),
    ('extpress_ms', 4, 1),
    ('vibrotactile', 5, 1),
    ('led_confirm', 5, 2),
    ('night_vol_max', 6, 1),
    ('night_start_min', 6, 2),
    ('night_end_min', 6, 3);

COMMIT;
