#!/bin/sh
# Installs a build tree into a scratch root as the package does (prefix /usr), then checks the
# layout, that every manual page renders without a warning, and that systemd accepts the units.
# Usage: install_test.sh BUILD_DIR SCRATCH_DIR
set -eu
build=$1
root=$2
status=0
fail() {
    echo "FAIL: $*" >&2
    status=1
}

rm -rf "$root"
mkdir -p "$root"
DESTDIR="$root" cmake --install "$build" --prefix /usr >/dev/null

# Exactly these files: the programs, their pages, the units and what paneld's unit runs, the
# schema and sample; no test, simulator or benchmark.
expected="usr/bin/bsoncat
usr/bin/sigcmd
usr/bin/sigstat
usr/bin/stationtool
usr/lib/modules-load.d/cabinet.conf
usr/lib/systemd/system/callrelayd.service
usr/lib/systemd/system/paneld.service
usr/libexec/cabinet/paneld-gpio
usr/sbin/callrelayd
usr/sbin/paneld
usr/share/cabinet/config.sql
usr/share/cabinet/sample.sql
usr/share/doc/cabinet/changelog.gz
usr/share/doc/cabinet/copyright
usr/share/man/man1/bsoncat.1.gz
usr/share/man/man1/sigcmd.1.gz
usr/share/man/man1/sigstat.1.gz
usr/share/man/man1/stationtool.1.gz
usr/share/man/man8/callrelayd.8.gz
usr/share/man/man8/paneld.8.gz"
actual=$(cd "$root" && find . ! -type d | sed 's|^\./||' | LC_ALL=C sort)
if [ "$actual" != "$expected" ]; then
    fail "installed files differ from the expected layout:"
    printf '%s\n' "$expected" >"$root.expected"
    printf '%s\n' "$actual" | diff -u "$root.expected" - >&2 || true
fi
for program in usr/sbin/callrelayd usr/sbin/paneld usr/bin/stationtool usr/bin/sigstat \
    usr/bin/sigcmd usr/bin/bsoncat usr/libexec/cabinet/paneld-gpio; do
    [ -x "$root/$program" ] || fail "$program is not executable"
done

# Manual pages, compressed: groff and man render them without a warning, mandoc finds nothing to
# complain about, and each has the sections a reader looks for.
for page in "$root"/usr/share/man/man*/*; do
    name=$(basename "$page" .gz)
    out=$(gzip -dc "$page" | groff -man -ww -z 2>&1) || fail "$name: groff failed"
    [ -z "$out" ] || fail "$name: groff warns: $out"
    text=$(MANWIDTH=80 man --warnings -l "$page" 2>"$root.err") || fail "$name: man -l failed"
    [ ! -s "$root.err" ] || fail "$name: man -l warns: $(cat "$root.err")"
    if command -v mandoc >/dev/null 2>&1; then
        out=$(mandoc -T lint -W warning "$page" 2>&1) || fail "$name: mandoc: $out"
    fi
    sections="NAME SYNOPSIS DESCRIPTION EXIT.STATUS EXAMPLES SEE.ALSO"
    case $name in
    callrelayd.8 | paneld.8 | stationtool.1) sections="$sections FILES" ;;
    esac
    for section in $sections; do
        printf '%s\n' "$text" | grep -q "^$section\$" || fail "$name: no $section section"
    done
done
rm -f "$root.err" "$root.expected"

# Units: restarted for ever after a short delay, output to the journal, confined.
units="$root/usr/lib/systemd/system"
for unit in callrelayd.service paneld.service; do
    for setting in "Restart=always" "RestartSec=2" "StartLimitIntervalSec=0" \
        "StandardError=journal" "ProtectSystem=strict" "NoNewPrivileges=yes" "PrivateTmp=yes" \
        "CapabilityBoundingSet=" "WantedBy=multi-user.target" "Type=notify"; do
        grep -qx "$setting" "$units/$unit" || fail "$unit lacks $setting"
    done
    grep -qx "ExecStart=/usr/sbin/${unit%.service}" "$units/$unit" ||
        fail "$unit does not start /usr/sbin/${unit%.service}"
done
grep -qx "WatchdogSec=10" "$units/paneld.service" || fail "paneld.service has no watchdog"
if command -v systemd-analyze >/dev/null 2>&1; then
    # Verified as installed, with the program paths moved into the scratch root (verify wants
    # them executable) and the manual pages found there (verify runs man on Documentation=).
    check="$root.units"
    rm -rf "$check"
    mkdir -p "$check"
    for unit in callrelayd.service paneld.service; do
        sed "s|=\(+\?\)/usr/|=\1$root/usr/|" "$units/$unit" >"$check/$unit"
    done
    out=$(MANPATH="$root/usr/share/man" systemd-analyze verify "$check"/*.service 2>&1) ||
        fail "systemd-analyze verify failed: $out"
    [ -z "$out" ] || fail "systemd-analyze verify complains: $out"
    rm -rf "$check"
else
    echo "systemd-analyze not installed: units not verified"
fi

[ "$status" -eq 0 ] && echo "install layout, manual pages and units: ok"
exit "$status"
