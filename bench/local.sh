#!/usr/bin/env bash
# Local copy and sync benchmark: dvcp against cp -a and rsync -a, every comparison timed in one
# hyperfine run (warm-up, then RUNS timed runs; medians compared).
#
#   bench/local.sh [WORKDIR] [RUNS]
#
# WORKDIR  where the trees are generated. Default: a fresh directory in /dev/shm (so that the disk
#          does not dominate), removed at the end. It needs about 5 GiB. A WORKDIR named here
#          keeps its source trees for the next run; destinations are always removed. An empty
#          WORKDIR ("") is the default.
# RUNS     timed runs per command, default 10.
# DVCP     (environment) a dvcp binary to measure instead of building build/release.
#
# Standard output gets one table (markdown) of medians and ratios dvcp / other for the same
# work; hyperfine's own report goes to standard error. Before timing, each dvcp result is
# checked against its source, so a fast but wrong run cannot pass. Never run by CI.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
runs=${2:-10}
if [ -n "${1:-}" ]; then
  work=$1
  own_work=0
else
  work=$(mktemp -d /dev/shm/dvcp-bench.XXXXXX)
  own_work=1
fi
mkdir -p "$work"
work=$(cd "$work" && pwd)
cleanup() {
  rm -rf "$work/dst" "$work/huge_dst" "$work/tmp" "$work/json" "$work/time.out"
  if [ "$own_work" = 1 ]; then rm -rf "$work"; fi
}
trap cleanup EXIT

"$root/scripts/setup.sh" --bench
if [ -z "${DVCP:-}" ]; then
  "$root/scripts/dv" build release >&2
  DVCP="$root/build/release/bin/dvcp"
fi
[ -x "$DVCP" ] || { echo "bench: no dvcp binary at $DVCP" >&2; exit 1; }
gen="$root/bench/gen_tree.py"
json="$work/json"
mkdir -p "$json"

# Trees are generated under a temporary name and renamed when complete, so that an interrupted
# generation is never taken for a tree.
make_tree() {  # kind name
  [ -d "$work/$2" ] && return 0
  echo "bench: generating $2" >&2
  rm -rf "$work/tmp"
  python3 "$gen" "$1" "$work/tmp"
  mv "$work/tmp" "$work/$2"
}
make_tree small small
make_tree big big
make_tree huge huge
if [ ! -d "$work/small_changed" ]; then
  echo "bench: generating small_changed" >&2
  rm -rf "$work/tmp"
  cp -a "$work/small" "$work/tmp"
  python3 "$gen" change "$work/tmp"
  mv "$work/tmp" "$work/small_changed"
fi

q() { printf '%q' "$1"; }
dvcp=$(q "$DVCP")
small=$(q "$work/small")
changed=$(q "$work/small_changed")
big=$(q "$work/big")
dst=$(q "$work/dst")

# dvcp's result must equal its source: contents (by checksum), modes, owners, times, links, and
# no extra file. Directory times are left out: a sync restores none, by design.
verify() {  # what src dst
  local diff
  diff=$(rsync -a -n -i -c -O --delete "$2/" "$3/" | head -n 5)
  if [ -n "$diff" ]; then
    printf 'bench: %s left a destination that differs from its source:\n%s\n' "$1" "$diff" >&2
    exit 1
  fi
}
run_dvcp() {
  "$DVCP" "$@" 2>"$work/dvcp.log" || {
    echo "bench: dvcp $* failed:" >&2
    tail -n 20 "$work/dvcp.log" >&2
    exit 1
  }
  rm -f "$work/dvcp.log"
}

hf() {  # name, then hyperfine arguments
  local name=$1
  shift
  echo "bench: $name" >&2
  hyperfine --style basic --warmup 1 --runs "$runs" --export-json "$json/$name.json" "$@" >&2
}

# Initial copies: the destination is removed before every run, warm-up included.
for tree in small big; do
  rm -rf "$work/dst"
  run_dvcp if="$work/$tree" of="$work/dst"
  verify "copy of $tree" "$work/$tree" "$work/dst"
  src=$(q "$work/$tree")
  hf "copy_$tree" --prepare "rm -rf $dst" \
    -n dvcp "$dvcp if=$src of=$dst" \
    -n "cp -a" "cp -a $src $dst" \
    -n "rsync -a" "rsync -a $src/ $dst/"
done

# No-change sync: the destination already equals the source, and no run changes it.
rm -rf "$work/dst"
cp -a "$work/small" "$work/dst"
run_dvcp mode=sync if="$work/small" of="$work/dst"
verify "no-change sync" "$work/small" "$work/dst"
hf sync_nochange \
  -n dvcp "$dvcp mode=sync if=$small of=$dst" \
  -n "rsync -a" "rsync -a $small/ $dst/"

# Sync after 1% of the files were modified, 1% deleted and 1% added: the destination is the
# unchanged tree again before every run.
rm -rf "$work/dst"
cp -a "$work/small" "$work/dst"
run_dvcp mode=sync if="$work/small_changed" of="$work/dst"
verify "sync after changes" "$work/small_changed" "$work/dst"
hf sync_changed --prepare "rm -rf $dst; cp -a $small $dst" \
  -n dvcp "$dvcp mode=sync if=$changed of=$dst" \
  -n "rsync -a --delete" "rsync -a --delete $changed/ $dst/"
rm -rf "$work/dst"

# Peak memory (maximum resident set size, /usr/bin/time -v) of a no-change sync of the
# 200,000-file tree; the median of three runs of each.
rm -rf "$work/huge_dst"
cp -a "$work/huge" "$work/huge_dst"
peak() {
  /usr/bin/time -v "$@" >/dev/null 2>"$work/time.out" || {
    echo "bench: $* failed:" >&2
    tail -n 30 "$work/time.out" >&2
    exit 1
  }
  sed -n 's/^[[:space:]]*Maximum resident set size (kbytes): *//p' "$work/time.out"
}
median3() { printf '%s\n' "$@" | sort -n | sed -n 2p; }
echo "bench: peak memory" >&2
m=()
for _ in 1 2 3; do m+=("$(peak "$DVCP" mode=sync if="$work/huge" of="$work/huge_dst")"); done
mem_dvcp=$(median3 "${m[@]}")
verify "no-change sync of 200k files" "$work/huge" "$work/huge_dst"
m=()
for _ in 1 2 3; do m+=("$(peak rsync -a "$work/huge/" "$work/huge_dst/")"); done
mem_rsync=$(median3 "${m[@]}")

python3 - "$json" "$mem_dvcp" "$mem_rsync" "$runs" <<'PY'
import json
import sys

d, mem_dvcp, mem_rsync, runs = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]


def medians(name):
    with open(f"{d}/{name}.json") as f:
        return {r["command"]: r["median"] for r in json.load(f)["results"]}


# work, timing set, other tool, target ratio (None: shown for comparison only)
rows = [
    ("initial copy, 20k small files", "copy_small", "cp -a", 1.1),
    ("initial copy, 20k small files", "copy_small", "rsync -a", None),
    ("initial copy, 4 x 256 MiB", "copy_big", "cp -a", 1.2),
    ("initial copy, 4 x 256 MiB", "copy_big", "rsync -a", None),
    ("no-change sync, 20k files", "sync_nochange", "rsync -a", 0.5),
    ("sync after 1% changes", "sync_changed", "rsync -a --delete", 0.5),
]
print("| work | dvcp | other | other's | dvcp / other | target | met |")
print("|---|---:|---|---:|---:|---|---|")
for work, name, other, target in rows:
    m = medians(name)
    ratio = m["dvcp"] / m[other]
    goal = f"≤ {target}" if target is not None else ""
    met = ("yes" if ratio <= target else "NO") if target is not None else ""
    print(f"| {work} | {m['dvcp']:.3f} s | {other} | {m[other]:.3f} s | {ratio:.2f} | {goal} | {met} |")
limit_kib = 32 * 1024
met = "yes" if mem_dvcp < limit_kib else "NO"
print(f"| peak memory, no-change sync of 200k files | {mem_dvcp / 1024:.1f} MiB | rsync -a "
      f"| {mem_rsync / 1024:.1f} MiB | {mem_dvcp / mem_rsync:.2f} | dvcp < 32 MiB | {met} |")
print(f"\nTimes are medians of {runs} runs after one warm-up; peak memory is the median of 3 runs.")
PY
