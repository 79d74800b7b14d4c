#!/usr/bin/env bash
# Makes the Debian package from a static or release build that is already there (CPack on that
# tree: nothing is compiled when it is up to date), then checks what it holds, runs the programs
# extracted from it, tries the unit's capabilities and the logrotate snippet on a running dvsd,
# verifies the unit, installs and purges it with dpkg and has lintian look at it.
#   deb_test.sh BUILD_TREE...     the first tree with both programs built is packaged;
#                                 DV_PACKAGE_TREE names one instead.
set -uo pipefail
[ -n "${DV_PACKAGE_TREE:-}" ] && set -- "$DV_PACKAGE_TREE"

# Outside CI a missing tool or tree skips the test; in CI it fails it.
skip() {
    if [ -n "${CI:-}" ]; then
        echo "FAIL: $*"
        exit 1
    fi
    echo "SKIP: $*"
    exit 77
}

tree=
for candidate in "$@"; do
    if [ -x "$candidate/bin/dvcp" ] && [ -x "$candidate/bin/dvsd" ] &&
        [ -f "$candidate/CPackConfig.cmake" ]; then
        tree=$candidate
        break
    fi
done
[ -n "$tree" ] || skip "no static or release build with both programs among: $* (scripts/dv build static)"
for tool in cpack dpkg-deb lintian; do
    command -v "$tool" >/dev/null || skip "$tool is not installed (scripts/setup.sh installs it)"
done

source "$(dirname "${BASH_SOURCE[0]}")/checks.sh"

work=$(mktemp -d /tmp/dv_deb_test.XXXXXX)
trap 'rm -rf "$work"' EXIT
echo "packaging $tree"

# The package's directories take their modes from the umask.
umask 022
if ! cpack -G DEB --config "$tree/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1; then
    cat "$work/cpack.log"
    echo "FAIL: cpack failed"
    exit 1
fi
debs=("$work"/out/*.deb)
if [ ${#debs[@]} -ne 1 ] || [ ! -f "${debs[0]}" ]; then
    cat "$work/cpack.log"
    echo "FAIL: expected one .deb, got: ${debs[*]}"
    exit 1
fi
deb=${debs[0]}
echo "package: $(basename "$deb")"

version=$("$tree/bin/dvcp" -v 2>/dev/null)
expect "Package is $(dpkg-deb -f "$deb" Package), not dvcp" [ "$(dpkg-deb -f "$deb" Package)" = dvcp ]
expect "Version is $(dpkg-deb -f "$deb" Version), dvcp -v says $version" \
    [ "$(dpkg-deb -f "$deb" Version)" = "$version" ]

# Exactly these files (directories aside), with these modes.
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $1, $2, $6 }' | sed 's| \./| /|' | sort >"$work/files"
sort >"$work/expected" <<'LIST'
-rw------- root/root /etc/dvsd/dvsd.ini
-rw-r--r-- root/root /etc/logrotate.d/dvsd
-rw-r--r-- root/root /lib/systemd/system/dvsd.service
-rw-r--r-- root/root /usr/share/bash-completion/completions/dvcp
-rw-r--r-- root/root /usr/share/bash-completion/completions/dvsd
-rw-r--r-- root/root /usr/share/doc/dvcp/changelog.gz
-rw-r--r-- root/root /usr/share/doc/dvcp/copyright
-rw-r--r-- root/root /usr/share/man/man1/dvcp.1.gz
-rw-r--r-- root/root /usr/share/lintian/overrides/dvcp
-rw-r--r-- root/root /usr/share/man/man8/dvsd.8.gz
-rwxr-xr-x root/root /usr/bin/dvcp
-rwxr-xr-x root/root /usr/sbin/dvsd
LIST
expect "the file list differs from the expected one:
$(diff "$work/expected" "$work/files")" cmp -s "$work/expected" "$work/files"

dpkg-deb -e "$deb" "$work/control"
expect "the configuration and the logrotate snippet are not conffiles: $(cat "$work/control/conffiles" 2>&1)" \
    diff <(printf '/etc/dvsd/dvsd.ini\n/etc/logrotate.d/dvsd\n') "$work/control/conffiles"

# The programs as installed from the package.
root=$work/root
dpkg-deb -x "$deb" "$root"
expect "the packaged dvcp -v does not say $version" [ "$("$root/usr/bin/dvcp" -v 2>/dev/null)" = "$version" ]
out=$("$root/usr/sbin/dvsd" -v 2>&1)
status=$?
expect "the packaged dvsd -v fails: $out" [ "$status" -eq 0 -a -n "$out" ]

# The shipped configuration with only the served root and the login added, its log moved here.
mkdir -p "$work/srv"
sed "s|/var/log/dvsd|$work/log|" "$root/etc/dvsd/dvsd.ini" >"$work/dvsd.ini"
out=$("$root/usr/sbin/dvsd" "conf=$work/dvsd.ini" "root=$work/srv" anonymous=1 check=1 2>&1)
expect "dvsd check=1 with the shipped configuration failed: $out" \
    grep -qx 'dvsd: configuration ok' <<<"$out"
# As shipped (no root= yet) the configuration is refused, so the unit cannot serve by accident.
out=$("$root/usr/sbin/dvsd" "conf=$work/dvsd.ini" check=1 2>&1)
expect "dvsd check=1 accepts the shipped configuration without a root: $out" \
    grep -q 'root= is required' <<<"$out"
out=$("$root/usr/sbin/dvsd" "conf=$work/dvsd.ini" "root=$work/missing" anonymous=1 check=1 2>&1)
status=$?
expect "dvsd check=1 accepts a missing root: $out" [ "$status" -ne 0 ]

# dvsd with no more capabilities than the unit leaves it: a client that logged in still gets the
# owners and modes it sends, and reads back files that only their owner may read.
caps=$(sed -n 's/^CapabilityBoundingSet=//p' "$root/lib/systemd/system/dvsd.service")
bounding=-all
for cap in $caps; do
    cap=${cap#CAP_}
    bounding+=",+${cap,,}"
done
src=$work/src back=$work/back
mkdir -p "$src/private" "$work/served" "$back"
echo "for the owner only" >"$src/private/note"
echo "shared" >"$src/open"
chmod 0600 "$src/private/note"
chmod 0700 "$src/private"
chmod 0640 "$src/open"
chown -R 65534:65534 "$src/private" "$src/open"
setpriv --bounding-set="$bounding" --no-new-privs "$root/usr/sbin/dvsd" "conf=$work/dvsd.ini" \
    "root=$work/served" listen=127.0.0.1 port=0 user=joe passwd=secret \
    >"$work/dvsd.out" 2>"$work/dvsd.err" &
dvsd_pid=$!
trap 'kill "$dvsd_pid" 2>/dev/null; wait "$dvsd_pid" 2>/dev/null; rm -rf "$work"' EXIT
url=
for _ in $(seq 300); do
    url=$(sed -n 's|^listening \(dvp://.*\)|\1|p' "$work/dvsd.out")
    [ -n "$url" ] && break
    kill -0 "$dvsd_pid" 2>/dev/null || break
    sleep 0.1
done
if [ -z "$url" ]; then
    fail "dvsd with the unit's capabilities ($bounding) did not start: $(cat "$work/dvsd.err")"
else
    remote=${url/dvp:\/\//dvp://joe:secret@}/tree
    out=$("$root/usr/bin/dvcp" "if=$src" "of=$remote" 2>&1)
    status=$?
    expect "dvcp to dvsd with the unit's capabilities failed: $out" [ "$status" -eq 0 ]
    for entry in private private/note open; do
        expect "$entry at the server: $(stat -c '%u:%g %a' "$work/served/tree/$entry")" \
            [ "$(stat -c '%u:%g %a' "$work/served/tree/$entry")" = "$(stat -c '%u:%g %a' "$src/$entry")" ]
    done
    out=$("$root/usr/bin/dvcp" "if=$remote" "of=$back" 2>&1)
    status=$?
    expect "dvcp from dvsd with the unit's capabilities failed: $out" [ "$status" -eq 0 ]
    expect "the owner-only file came back different" cmp -s "$src/private/note" "$back/private/note"

    # The logrotate snippet, on this dvsd's log: the file is moved away, dvsd told by SIGHUP (what
    # the unit's reload sends) and the next connection is logged in a new file.
    if command -v logrotate >/dev/null; then
        sed -e "s|/var/log/dvsd|$work/log|" \
            -e "s|^\([[:space:]]*\)systemctl .*|\1kill -HUP $dvsd_pid|" \
            "$root/etc/logrotate.d/dvsd" >"$work/logrotate.conf"
        out=$(logrotate -v -f -s "$work/logrotate.state" "$work/logrotate.conf" 2>&1)
        status=$?
        expect "logrotate failed: $out" [ "$status" -eq 0 ]
        expect "logrotate complained: $out" bash -c '! grep -q "^error:" <<<"$1"' _ "$out"
        expect "the log was not rotated: $(ls "$work/log")" \
            grep -q 'user=\[joe\]' "$work/log/dvsd.log.1"
        "$root/usr/bin/dvcp" mode=ls "if=$remote" "olist=$work/listing" >/dev/null 2>&1
        # The connection's line is written when the server has seen it end.
        for _ in $(seq 100); do
            grep -q 'user=\[joe\]' "$work/log/dvsd.log" 2>/dev/null && break
            sleep 0.1
        done
        expect "dvsd did not go on logging in a new file after SIGHUP: $(cat "$work/log/dvsd.log" 2>&1)" \
            grep -q 'user=\[joe\]' "$work/log/dvsd.log"
    else
        [ -z "${CI:-}" ] || fail "logrotate is not installed (scripts/setup.sh installs it)"
        echo "logrotate is not installed: the snippet is not tried"
    fi
fi

# The unit, as installed: systemd checks its keys, its ExecStart and its manual page.
if command -v systemd-analyze >/dev/null; then
    # What the unit leans on from the rest of the system, beside the package's own files: the
    # standard targets and kill(1) for ExecReload.
    mkdir -p "$root/etc/systemd/system" "$root/bin"
    cp /lib/systemd/system/*.target "$root/etc/systemd/system/"
    cp /bin/kill "$root/bin/kill"
    out=$(MANPATH="$root/usr/share/man" systemd-analyze verify --root="$root" \
        /lib/systemd/system/dvsd.service 2>&1)
    expect "systemd-analyze verify dvsd.service: $out" [ -z "$out" ]
else
    [ -z "${CI:-}" ] || fail "systemd-analyze is not installed (scripts/setup.sh installs systemd)"
    echo "systemd-analyze is not installed: the unit is not verified"
fi

# dpkg itself, into a root of its own (the maintainer scripts run outside it, with DPKG_ROOT):
# install, reinstall over a local change of the configuration, remove, purge. The libraries it
# depends on are the host's, not in that root.
droot=$work/dpkg
mkdir -p "$droot/var/lib/dpkg/info" "$droot/var/lib/dpkg/updates" "$droot/var/log/dvsd"
touch "$droot/var/lib/dpkg/status" "$droot/var/log/dvsd/dvsd.log"
in_root() {
    dpkg --root="$droot" --force-script-chrootless --force-depends "$@" >"$work/dpkg.log" 2>&1 && return 0
    cat "$work/dpkg.log"
    return 1
}
expect "dpkg -i failed" in_root -i "$deb"
expect "dpkg did not install /usr/sbin/dvsd" [ -x "$droot/usr/sbin/dvsd" ]
echo "root=/srv/here" >>"$droot/etc/dvsd/dvsd.ini"
expect "dpkg -i over the installed package failed" in_root -i "$deb"
expect "reinstalling lost the local change of dvsd.ini" grep -qx 'root=/srv/here' "$droot/etc/dvsd/dvsd.ini"
expect "dpkg -r failed" in_root -r dvcp
expect "dpkg -r removed the configuration" [ -f "$droot/etc/dvsd/dvsd.ini" ]
expect "dpkg -r left the programs" [ ! -e "$droot/usr/sbin/dvsd" ]
expect "dpkg -P failed" in_root -P dvcp
expect "dpkg -P left the configuration" [ ! -e "$droot/etc/dvsd/dvsd.ini" ]
expect "dpkg -P left the log" [ ! -e "$droot/var/log/dvsd" ]

lintian --tag-display-limit 0 "$deb" >"$work/lintian" 2>&1
sed 's/^/lintian: /' "$work/lintian"
expect "lintian reports errors" bash -c "! grep -q '^E:' '$work/lintian'"

echo "$((checks - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
