#!/usr/bin/env bash
# Local copy and sync benchmark: dvcp against cp -a and rsync -a, in one run.
#   bench/local.sh [WORKDIR] [RUNS]
# WORKDIR defaults to a fresh directory in /dev/shm (so that the disk does not dominate); it needs
# about 4 GiB. Prints one table of medians and ratios dvcp / other. Never run by CI.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
work=${1:-$(mktemp -d /dev/shm/dvcp-bench.XXXXXX)}
runs=${2:-5}
mkdir -p "$work"

"$root/scripts/setup.sh" --bench
"$root/scripts/dv" build release >/dev/null
dvcp="$root/build/release/bin/dvcp"
gen="$root/bench/gen_tree.py"
json="$work/json"; mkdir -p "$json"

echo "trees in $work" >&2
[ -d "$work/small" ] || python3 "$gen" small "$work/small"
[ -d "$work/big" ] || python3 "$gen" big "$work/big"
[ -d "$work/huge" ] || python3 "$gen" huge "$work/huge"
if [ ! -d "$work/small_changed" ]; then
  cp -a "$work/small" "$work/small_changed"
  python3 "$gen" change "$work/small_changed"
fi

hf() { hyperfine --style basic --warmup 1 --runs "$runs" "$@"; }

# Initial copies: the destination is removed before every run.
hf --export-json "$json/copy_small.json" --prepare "rm -rf $work/dst" \
  -n dvcp "$dvcp if=$work/small of=$work/dst" \
  -n cp "cp -a $work/small $work/dst" \
  -n rsync "rsync -a $work/small/ $work/dst/"
hf --export-json "$json/copy_big.json" --prepare "rm -rf $work/dst" \
  -n dvcp "$dvcp if=$work/big of=$work/dst" \
  -n cp "cp -a $work/big $work/dst"

# No-change sync: the destination is already equal.
rm -rf "$work/dst"; cp -a "$work/small" "$work/dst"
hf --export-json "$json/sync_nochange.json" \
  -n dvcp "$dvcp mode=sync if=$work/small of=$work/dst" \
  -n rsync "rsync -a $work/small/ $work/dst/"

# Sync after 1% modified, 1% deleted, 1% added: the destination is reset before every run.
hf --export-json "$json/sync_changed.json" --prepare "rm -rf $work/dst; cp -a $work/small $work/dst" \
  -n dvcp "$dvcp mode=sync if=$work/small_changed of=$work/dst" \
  -n rsync "rsync -a --delete $work/small_changed/ $work/dst/"

# Peak memory of a no-change sync of 200,000 files.
rm -rf "$work/huge_dst"; cp -a "$work/huge" "$work/huge_dst"
peak() { /usr/bin/time -f %M "$@" >/dev/null 2>"$work/time.out" || true; tail -n 1 "$work/time.out"; }
mem_dvcp=$(peak "$dvcp" mode=sync if="$work/huge" of="$work/huge_dst")
mem_rsync=$(peak rsync -a "$work/huge/" "$work/huge_dst/")

python3 - "$json" "$mem_dvcp" "$mem_rsync" <<'PY'
import json, sys, statistics
d, mem_dvcp, mem_rsync = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
def med(name):
    res = json.load(open(f"{d}/{name}.json"))["results"]
    return {r["command"]: r["median"] for r in res}
rows = [
    ("initial copy, 20k small files", "copy_small", "cp", "≤ 1.1"),
    ("initial copy, 20k small files", "copy_small", "rsync", ""),
    ("initial copy, 4 x 256 MiB", "copy_big", "cp", "≤ 1.2"),
    ("no-change sync, 20k files", "sync_nochange", "rsync", "≤ 0.5"),
    ("sync after 1% changes", "sync_changed", "rsync", "≤ 0.5"),
]
print(f"{'work':34} {'dvcp s':>9} {'other':>6} {'other s':>9} {'ratio':>7}  target")
for title, f, other, target in rows:
    m = med(f)
    print(f"{title:34} {m['dvcp']:9.3f} {other:>6} {m[other]:9.3f} {m['dvcp']/m[other]:7.2f}  {target}")
print(f"{'peak memory, no-change sync 200k':34} {mem_dvcp/1024:7.1f}Mi {'rsync':>6} {mem_rsync/1024:7.1f}Mi {mem_dvcp/mem_rsync:7.2f}  dvcp < 32 MiB")
PY
