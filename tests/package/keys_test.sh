#!/usr/bin/env bash
# Every key a program's usage text names is in its manual page and in the bash completion, and
# each of dvsd's keys is in the shipped configuration file, so none of them can drift from the
# programs. The manual pages must format without warnings.
#   keys_test.sh DVCP DVSD PACKAGING_DIR
set -uo pipefail
dvcp=$1 dvsd=$2 pkg=$3
source "$(dirname "${BASH_SOURCE[0]}")/checks.sh"

# The keys of a usage text: every "key=" in it, once each.
usage_keys() {
    "$1" -h 2>/dev/null | grep -o '[a-z_][a-z_]*=' | sed 's/=$//' | sort -u
}

# The manual page's source without font changes, so that "\fBkey=\fR" reads "key=".
man_text() {
    sed -e 's/\\f[BIRP]//g' -e 's/\\f(..//g' "$1"
}

# What the completion offers for the arguments of `program` typed so far.
complete_line() {
    local line=$1
    bash -c 'source "$1"; COMP_LINE=$2; COMP_POINT=${#COMP_LINE}; set -- ${2%% *}
             _dv_complete "$1"; printf "%s\n" "${COMPREPLY[@]}"' _ "$pkg/dv.bash-completion" "$line"
}

check_program() {
    local program=$1 bin=$2 page=$3
    local keys
    keys=$(usage_keys "$bin")
    if [ "$(wc -l <<<"$keys")" -lt 10 ]; then
        fail "$program -h names too few keys: $keys"
        return
    fi
    local page_text offered
    page_text=$(man_text "$page")
    offered=$(complete_line "$program ")
    for key in $keys; do
        expect "$program: $key= is missing from $(basename "$page")" \
            grep -Eq "(^|[^a-z_])$key=" <<<"$page_text"
        expect "$program: $key= is not offered by the completion" grep -qx "$key=" <<<"$offered"
    done
    local version
    version=$("$bin" -v 2>/dev/null)
    expect "$(basename "$page") does not name $program $version in its title" \
        grep -q "^\\.TH .* \"$program $version\"" "$page"
    local warnings
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
    expect "$(basename "$page") formats with warnings: $warnings" [ -z "$warnings" ]
}

check_program dvcp "$dvcp" "$pkg/dvcp.1"
check_program dvsd "$dvsd" "$pkg/dvsd.8"

# The configuration file lists every key dvsd reads from it, commented out with its default.
for key in $(usage_keys "$dvsd"); do
    case $key in conf | check) continue ;; esac
    expect "dvsd.ini does not list $key=" grep -Eq "^;$key=" "$pkg/dvsd.ini"
done

# Values: a table of what is typed and what must be among the offers.
while IFS='|' read -r typed expected; do
    [ -n "$typed" ] || continue
    offers=$(complete_line "$typed")
    expect "completing \"$typed\" does not offer \"$expected\"" grep -qx -- "$expected" <<<"$offers"
done <<'TABLE'
dvcp mode=sync_diff_size_date_r|sync_diff_size_date_rsync
dvcp mode=copy_n|copy_newer
dvcp mode=copy_n|copy_no_overwrite
dvcp level=no|noti
dvcp dry_run=|1
dvcp if=/tmp/x of=/u|/usr
dvcp max_dir_|max_dir_bytes=
dvsd login=k|key
dvsd port=o|off
dvsd root=/u|/usr
dvsd conf=/etc/host|/etc/hostname
TABLE

# Every mode the completion offers is one dvcp takes.
for mode in $(complete_line "dvcp mode="); do
    out=$("$dvcp" "mode=$mode" 2>&1 | head -1)
    expect "the completion offers mode=$mode, which dvcp refuses ($out)" \
        grep -q 'missing if=' <<<"$out"
done

echo "$((checks - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
