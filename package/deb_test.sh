#!/bin/sh
# Makes the Debian package of a build tree into a scratch directory, as `cpack` in the tree does,
# and checks what dpkg will see: the files (programs, units, pages, schema, and no database),
# root ownership, the architecture, the SQLite run-time library among the dependencies, stripped
# programs, the maintainer scripts, a changelog of the package's version, and lintian's verdict:
# no error and no warning.
# Usage: deb_test.sh BUILD_DIR SCRATCH_DIR ARCHITECTURE
set -eu
build=$1
out=$2
arch=$3
status=0
fail() {
    echo "FAIL: $*" >&2
    status=1
}
for tool in cpack dpkg dpkg-deb dpkg-shlibdeps file; do
    command -v "$tool" >/dev/null 2>&1 || {
        echo "$tool not installed: package not checked"
        exit 77
    }
done

rm -rf "$out"
mkdir -p "$out"
if ! cpack -G DEB -B "$out" --config "$build/CPackConfig.cmake" >"$out/cpack.log" 2>&1; then
    cat "$out/cpack.log" >&2
    fail "cpack failed"
    exit 1
fi
set -- "$out"/*.deb
[ $# -eq 1 ] && [ -f "$1" ] || {
    fail "cpack made $# packages"
    exit 1
}
deb=$1

contents=$(dpkg-deb --contents "$deb")
for path in usr/sbin/callrelayd usr/sbin/paneld usr/bin/stationtool usr/bin/sigstat \
    usr/bin/sigcmd usr/bin/bsoncat usr/lib/systemd/system/callrelayd.service \
    usr/lib/systemd/system/paneld.service usr/share/man/man8/callrelayd.8.gz \
    usr/share/man/man8/paneld.8.gz usr/share/man/man1/stationtool.1.gz \
    usr/share/man/man1/sigstat.1.gz usr/share/man/man1/sigcmd.1.gz \
    usr/share/man/man1/bsoncat.1.gz usr/share/cabinet/config.sql usr/share/cabinet/sample.sql \
    usr/share/doc/cabinet/copyright usr/share/doc/cabinet/changelog.gz; do
    printf '%s\n' "$contents" | grep -q " \./$path\$" || fail "the package lacks /$path"
done
# The database is the site's: the package must not own it, or dpkg would replace or remove it.
if printf '%s\n' "$contents" | grep -q ' \./var/'; then
    fail "the package ships files under /var: $(printf '%s\n' "$contents" | grep ' \./var/')"
fi
printf '%s\n' "$contents" | awk '$2 != "root/root" { bad = 1 } END { exit bad }' ||
    fail "the package has files not owned by root"

[ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ] ||
    fail "architecture $(dpkg-deb -f "$deb" Architecture), expected $arch"
depends=$(dpkg-deb -f "$deb" Depends)
for package in libsqlite3-0 libc6 sqlite3; do
    printf '%s\n' "$depends" | tr ',' '\n' | grep -q "^ *$package\( \|$\)" ||
        fail "Depends lacks $package: $depends"
done

mkdir -p "$out/root" "$out/control"
dpkg-deb --extract "$deb" "$out/root"
dpkg-deb --control "$deb" "$out/control"
for program in usr/sbin/callrelayd usr/sbin/paneld usr/bin/stationtool usr/bin/sigstat \
    usr/bin/sigcmd usr/bin/bsoncat; do
    file -b "$out/root/$program" | grep -q ', stripped' || fail "/$program is not stripped"
done
for script in postinst prerm postrm; do
    [ -x "$out/control/$script" ] || fail "no executable $script"
    sh -n "$out/control/$script" || fail "$script is not valid sh"
done
grep -q '/usr/share/cabinet/config.sql' "$out/control/postinst" ||
    fail "postinst does not create the database from the shipped schema"
grep -qx 'ExecStart=/usr/sbin/callrelayd' "$out/root/usr/lib/systemd/system/callrelayd.service" ||
    fail "the packaged unit does not start /usr/sbin/callrelayd"
# A new version needs its own changelog entry.
if command -v dpkg-parsechangelog >/dev/null 2>&1; then
    gzip -dc "$out/root/usr/share/doc/cabinet/changelog.gz" >"$out/changelog"
    logged=$(dpkg-parsechangelog -l "$out/changelog" -S Version)
    [ "$logged" = "$(dpkg-deb -f "$deb" Version)" ] ||
        fail "the changelog's latest entry is $logged, the package $(dpkg-deb -f "$deb" Version)"
fi
if command -v lintian >/dev/null 2>&1; then
    lintian --no-cfg --fail-on error,warning "$deb" >"$out/lintian.log" 2>&1 ||
        fail "lintian finds errors or warnings: $(grep -E '^[EW]: ' "$out/lintian.log")"
else
    echo "lintian not installed: package not linted"
fi

# dpkg itself, into a scratch root (the scripts run unchrooted with DPKG_ROOT, the libraries
# are not there): install, reinstall over a site's database, purge.
root="$out/dpkg-root"
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/var/lib/dpkg/triggers"
: >"$root/var/lib/dpkg/status"
: >"$root/var/lib/dpkg/available"
dpkg_root() {
    dpkg --root="$root" --force-script-chrootless --force-depends --force-architecture \
        --log=/dev/null "$@" >>"$out/dpkg.log" 2>&1
}
wants="$root/etc/systemd/system/multi-user.target.wants"
database="$root/var/lib/vok/config.db"
if ! command -v sqlite3 >/dev/null 2>&1 || ! command -v deb-systemd-helper >/dev/null 2>&1; then
    echo "sqlite3 or deb-systemd-helper not installed: dpkg install not tried"
elif ! dpkg_root --install "$deb"; then
    cat "$out/dpkg.log" >&2
    fail "dpkg --install failed"
else
    [ -L "$wants/callrelayd.service" ] && [ -L "$wants/paneld.service" ] ||
        fail "the units are not enabled after installation"
    [ "$(sqlite3 "$database" 'SELECT count(*) FROM tbls_oids' 2>&1)" = 16 ] ||
        fail "installation did not create the database from the schema"
    sqlite3 -bail "$database" <"$out/root/usr/share/cabinet/sample.sql"
    cp "$database" "$out/site.db"
    dpkg_root --install "$deb" || fail "dpkg reinstallation failed"
    cmp -s "$database" "$out/site.db" || fail "reinstallation changed the site's database"
    dpkg_root --purge cabinet || fail "dpkg --purge failed"
    [ ! -e "$wants/callrelayd.service" ] && [ ! -e "$wants/paneld.service" ] ||
        fail "the units are still enabled after purge"
    [ ! -e "$root/usr/sbin/callrelayd" ] || fail "purge left the programs"
    cmp -s "$database" "$out/site.db" || fail "purge removed or changed the site's database"
fi

[ "$status" -eq 0 ] && echo "package $(basename "$deb"): ok"
exit "$status"
