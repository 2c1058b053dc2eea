-- Sample configuration: an eight-phase intersection of Main Street (east-west, phases 2 and 6)
-- and Elm Avenue (north-south, phases 4 and 8) with a crosswalk on each leg and a push-button
-- station at each end of every crosswalk. Groups are the corners: 1 NW, 2 NE, 3 SE, 4 SW.
--
-- Create the database (as root, from the repository root; the file must not exist yet):
--   mkdir -p /var/lib/vok && cat stationtool/config.sql stationtool/sample.sql | sqlite3 -bail /var/lib/vok/config.db

PRAGMA foreign_keys = ON;

BEGIN;

INSERT INTO tbl_sysconfig (id, cid, autorecall, apbd, apbtickrate, displaytimeout_ms,
                           displayupdaterate_ms, ioscanrate, cidserverport, pedcallouttime_tick,
                           apscallouttime_tick, maxlost, closuremethod)
VALUES (1, 1, 0, 1, 100, 60000, 1000, 50, 5000, 500, 1000, 5, 0);

-- Walk and don't-walk inputs and the call output of the four pedestrian phases.
INSERT INTO tbl_phaseio (id, walk_uuid, dontwalk_uuid, callout_uuid) VALUES
    (2, 3, 4, 18),
    (4, 7, 8, 20),
    (6, 11, 12, 22),
    (8, 15, 16, 24);

-- Phase 2 and 6 pedestrians cross Elm Avenue (north and south crosswalks), phase 4 and 8
-- pedestrians cross Main Street (east and west crosswalks).
INSERT INTO tbl_stations (id, location, active, phase, groupnum) VALUES
    (1, 'NW corner, north crosswalk', 1, 2, 1),
    (2, 'NE corner, north crosswalk', 1, 2, 2),
    (3, 'NE corner, east crosswalk', 1, 4, 2),
    (4, 'SE corner, east crosswalk', 1, 4, 3),
    (5, 'SE corner, south crosswalk', 1, 6, 3),
    (6, 'SW corner, south crosswalk', 1, 6, 4),
    (7, 'SW corner, west crosswalk', 1, 8, 4),
    (8, 'NW corner, west crosswalk', 1, 8, 1);

-- Every station starts from the defaults; message 11 names Elm Avenue, message 12 Main Street.
INSERT INTO tbl_apbsettings (id, street_msg) VALUES
    (1, 11), (2, 11), (5, 11), (6, 11),
    (3, 12), (4, 12), (7, 12), (8, 12);

-- Main Street is loud; the west side faces houses, so it stays quieter at night.
UPDATE tbl_apbsettings SET vol_max = 90 WHERE id IN (3, 4, 7, 8);
UPDATE tbl_apbsettings SET night_vol_max = 30 WHERE id IN (1, 6, 7, 8);

COMMIT;
