#!/bin/sh
# Runs the package's maintainer scripts against a scratch root (DPKG_ROOT), with stand-ins for
# deb-systemd-helper that record their calls, and checks what a site relies on: the database is
# created from the schema when missing, left byte for byte when present (also on upgrade and
# purge), never left half made, and the units are enabled on install and forgotten on purge.
# Also runs paneld's GPIO preparation against a scratch sysfs.
# Usage: maintscript_test.sh SCRIPT_DIR SCHEMA_DIR PANELD_GPIO SCRATCH_DIR
set -eu
scripts=$1
schemas=$2
gpio_script=$3
scratch=$4
status=0
fail() {
    echo "FAIL: $*" >&2
    status=1
}
command -v sqlite3 >/dev/null 2>&1 || {
    echo "sqlite3 not installed"
    exit 77
}

rm -rf "$scratch"
mkdir -p "$scratch/bin"
calls="$scratch/calls"
for tool in deb-systemd-helper deb-systemd-invoke systemctl; do
    printf '#!/bin/sh\necho "%s $*" >>"%s"\n' "$tool" "$calls" >"$scratch/bin/$tool"
    chmod +x "$scratch/bin/$tool"
done
export PATH="$scratch/bin:$PATH"

# A root holding what the package installs for the scripts: the schema.
new_root() {
    root="$scratch/root$1"
    mkdir -p "$root/usr/share/cabinet"
    cp "$schemas/config.sql" "$schemas/sample.sql" "$root/usr/share/cabinet/"
    : >"$calls"
}
run() {
    DPKG_ROOT=$root sh "$scripts/$1" "$2" ${3:+"$3"} >/dev/null
}
db() { echo "$root/var/lib/vok/config.db"; }

# First installation: an empty configuration of the full schema, readable by the daemons, and
# both units enabled.
new_root 1
run postinst configure || fail "postinst configure failed on a fresh root"
[ -f "$(db)" ] || fail "no database after the first installation"
if [ -f "$(db)" ]; then
    [ "$(sqlite3 "$(db)" 'SELECT count(*) FROM tbls_oids')" = 16 ] ||
        fail "the new database lacks the schema's settings"
    [ "$(sqlite3 "$(db)" 'SELECT count(*) FROM v_sendtostation')" = 0 ] ||
        fail "the new database is not empty"
    [ "$(stat -c %a "$(db)")" = 644 ] || fail "the new database is not 0644"
    # The sample applies to it as its comment says.
    sqlite3 -bail "$(db)" <"$schemas/sample.sql" || fail "the sample does not load"
fi
for unit in callrelayd.service paneld.service; do
    grep -qx "deb-systemd-helper enable $unit" "$calls" || fail "$unit not enabled on install"
done
[ -z "$(find "$root/var/lib/vok" -name '*.dpkg-new')" ] || fail "a scratch database was left"

# Present database: left alone on reconfiguration, upgrade, removal and purge.
new_root 2
mkdir -p "$root/var/lib/vok"
printf 'the site engineer'"'"'s database\n' >"$(db)"
chmod 0600 "$(db)"
cp -p "$(db)" "$scratch/before"
run postinst configure || fail "postinst configure failed with a database present"
run postinst configure 1.0.0 || fail "postinst upgrade failed"
run prerm remove || fail "prerm remove failed"
run postrm remove || fail "postrm remove failed"
run postrm purge || fail "postrm purge failed"
cmp -s "$scratch/before" "$(db)" || fail "an existing database was changed"
[ "$(stat -c %a "$(db)")" = 600 ] || fail "an existing database's mode was changed"
grep -q "deb-systemd-helper mask callrelayd.service paneld.service" "$calls" ||
    fail "units not masked on removal"
grep -q "deb-systemd-helper purge callrelayd.service paneld.service" "$calls" ||
    fail "units not purged"

# A dangling symbolic link counts as present: the site points it somewhere.
new_root 3
mkdir -p "$root/var/lib/vok"
ln -s /nowhere/config.db "$(db)"
run postinst configure || fail "postinst failed with a dangling database link"
[ "$(readlink "$(db)")" = /nowhere/config.db ] || fail "a database link was replaced"

# A schema that fails leaves no database, so that the next configure tries again.
new_root 4
echo "CREATE TABLE broken (" >"$root/usr/share/cabinet/config.sql"
if run postinst configure 2>/dev/null; then
    fail "postinst succeeded though the database could not be made"
fi
[ ! -e "$(db)" ] || fail "a half-made database was left"
[ -z "$(find "$root/var/lib/vok" -name '*.dpkg-new')" ] || fail "a scratch database was left"

# paneld's GPIO preparation: exports what is missing, makes inputs, edges on the button.
sysfs="$scratch/gpio"
mkdir -p "$sysfs/gpio70"
: >"$sysfs/export"
: >"$sysfs/gpio70/direction"
# Line 70 is exported already, 63 is not (a scratch sysfs does not make its directory appear).
PANELD_GPIO_SYSFS=$sysfs sh "$gpio_script" || fail "paneld-gpio failed"
[ "$(cat "$sysfs/export")" = 63 ] || fail "paneld-gpio exported '$(cat "$sysfs/export")', not 63"
[ "$(cat "$sysfs/gpio70/direction")" = in ] || fail "gpio70 not made an input"
[ ! -e "$sysfs/gpio63" ] || fail "paneld-gpio wrote into a line that is not exported"
[ "$(cat "$sysfs/gpio70/edge")" = both ] || fail "gpio70 does not report both edges"
# Its check, the unit's condition: the board is there once the device exists and the lines are
# exported or can be; without either it says why and exits 1, so that systemd skips paneld.
check() { PANELD_GPIO_SYSFS=$1 PANELD_I2C_DEVICE=$2 PANELD_HARDWARE_WAIT=0 sh "$gpio_script" check; }
check "$sysfs" "$sysfs/export" || fail "paneld-gpio check refused a board that is there"
for board in "$sysfs $scratch/no-i2c-0" "$scratch/no-gpio $sysfs/export"; do
    status_of_check=0
    # shellcheck disable=SC2086
    out=$(check $board 2>&1) || status_of_check=$?
    [ "$status_of_check" -eq 1 ] && [ -n "$out" ] ||
        fail "paneld-gpio check without a board ($board): status $status_of_check, '$out'"
done

[ "$status" -eq 0 ] && echo "maintainer scripts: ok"
exit "$status"
