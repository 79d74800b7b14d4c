#!/usr/bin/env bash
# Local copy and sync benchmark: dvcp against cp -a and rsync -a, every comparison timed in one
# hyperfine run (warm-up, then RUNS timed runs; medians compared). The trees are generated ones
# and this machine's own /usr/share and /usr, whose entry and directory counts are printed with
# the figures (they differ from machine to machine).
#
#   bench/local.sh [WORKDIR] [RUNS]
#
# WORKDIR  where the trees are generated and /usr/share is copied to. Default: a fresh directory
#          in /dev/shm (so that the disk does not dominate), removed at the end. It needs about
#          7 GiB. A WORKDIR named here keeps its source trees for the next run; destinations are
#          always removed. An empty WORKDIR ("") is the default.
#          Copies of /usr/share and of /usr are made in /dev/shm in any case, one at a time, each
#          removed right after its measurement: /dev/shm needs room for one copy of /usr (9 GiB
#          on our machines), which is checked before anything is copied.
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
shm=
cleanup() {
  rm -rf "$work/dst" "$work/huge_dst" "$work/tmp" "$work/json" "$work/time.out" "$work/dvcp.log"
  if [ -n "$shm" ]; then rm -rf "$shm"; fi
  if [ "$own_work" = 1 ]; then rm -rf "$work"; fi
}
trap cleanup EXIT
mkdir -p "$work"
work=$(cd "$work" && pwd)
# Destinations of the copies of /usr/share and /usr: always in /dev/shm, in a directory of their
# own that is removed at the end.
shm=$(mktemp -d /dev/shm/dvcp-bench-dst.XXXXXX)

# The real trees, counted once: entries (the root included) and directories.
share_entries=$(find /usr/share | wc -l)
share_dirs=$(find /usr/share -type d | wc -l)
usr_entries=$(find /usr | wc -l)
usr_dirs=$(find /usr -type d | wc -l)
# Room a copy of /usr takes: hard-linked files counted once per name, as dvcp copies them.
usr_kib=$(du -skl /usr | cut -f1)
share_kib=$(du -skl /usr/share | cut -f1)
echo "bench: /usr/share: $share_entries entries, $share_dirs directories;" \
  "/usr: $usr_entries entries, $usr_dirs directories, $((usr_kib / 1024)) MiB" >&2

# Fails, before anything is copied, unless /dev/shm and the memory that backs it have room for
# KIB more with 1 GiB to spare: a full /dev/shm would hurt everything else on the machine.
room() {  # kib what
  local free avail
  free=$(df -Pk /dev/shm | awk 'NR == 2 { print $4 }')
  avail=$(awk '$1 == "MemAvailable:" { print $2 }' /proc/meminfo)
  if [ "$avail" -lt "$free" ]; then free=$avail; fi
  if [ "$free" -lt $(($1 + 1048576)) ]; then
    printf 'bench: %s needs %d MiB in /dev/shm, and only %d MiB are free (1 GiB is kept spare)\n' \
      "$2" $(($1 / 1024)) $((free / 1024)) >&2
    exit 1
  fi
}
room $((usr_kib + 2 * share_kib)) "copying /usr and /usr/share"

"$root/scripts/setup.sh" --bench
if [ -z "${DVCP:-}" ]; then
  "$root/scripts/dv" build release >&2
  DVCP="$root/build/release/bin/dvcp"
fi
[ -x "$DVCP" ] || { echo "bench: no dvcp binary at $DVCP" >&2; exit 1; }
json="$work/json"
rm -rf "$json"
mkdir -p "$json"

. "$root/bench/common.sh"
gen="$root/bench/gen_tree.py"
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
# A copy of /usr/share, and one where 1% of its files were touched (a byte appended, a newer time).
if [ ! -d "$work/usrshare" ]; then
  echo "bench: copying /usr/share" >&2
  rm -rf "$work/tmp"
  cp -a /usr/share "$work/tmp"
  mv "$work/tmp" "$work/usrshare"
fi
if [ ! -d "$work/usrshare_touched" ]; then
  echo "bench: generating usrshare_touched" >&2
  rm -rf "$work/tmp"
  cp -a "$work/usrshare" "$work/tmp"
  python3 "$gen" touch "$work/tmp"
  mv "$work/tmp" "$work/usrshare_touched"
fi

dvcp=$(q "$DVCP")
# The least work of a no-change sync (bench/stat_floor.cc), timed beside the no-change syncs.
g++ -O2 -std=c++20 -pthread "$root/bench/stat_floor.cc" -o "$work/stat_floor"
floor=$(q "$work/stat_floor")
small=$(q "$work/small")
changed=$(q "$work/small_changed")
big=$(q "$work/big")
dst=$(q "$work/dst")
usrshare=$(q "$work/usrshare")
touched=$(q "$work/usrshare_touched")
sdst=$(q "$shm/dst")

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
  -n "rsync -a" "rsync -a $small/ $dst/" \
  -n "least work" "$floor $small $dst"

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

# /usr/share, initial copy into /dev/shm. The first run, verified, also reads /usr/share into the
# page cache if the copy into WORKDIR did not, so that no timed run reads the disk.
rm -rf "${shm:?}/dst"
run_dvcp if=/usr/share of="$shm/dst"
verify "copy of /usr/share" /usr/share "$shm/dst"
hf copy_usrshare --prepare "rm -rf $sdst" \
  -n dvcp "$dvcp if=/usr/share of=$sdst" \
  -n "cp -a" "cp -a /usr/share $sdst" \
  -n "rsync -a" "rsync -a /usr/share/ $sdst/"

# /usr/share, no-change sync onto a copy made by cp -a (kept for the peak memory below).
rm -rf "${shm:?}/dst"
cp -a /usr/share "$shm/dst"
run_dvcp mode=sync if=/usr/share of="$shm/dst"
verify "no-change sync of /usr/share" /usr/share "$shm/dst"
hf sync_usrshare \
  -n dvcp "$dvcp mode=sync if=/usr/share of=$sdst" \
  -n "rsync -a" "rsync -a /usr/share/ $sdst/" \
  -n "least work" "$floor /usr/share $sdst"

# The touched copy of /usr/share synchronised onto the untouched one, made again before every run.
rm -rf "$work/dst"
cp -a "$work/usrshare" "$work/dst"
run_dvcp mode=sync if="$work/usrshare_touched" of="$work/dst"
verify "sync after touching 1% of /usr/share" "$work/usrshare_touched" "$work/dst"
hf sync_usrshare_touched --prepare "rm -rf $dst; cp -a $usrshare $dst" \
  -n dvcp "$dvcp mode=sync if=$touched of=$dst" \
  -n "rsync -a --delete" "rsync -a --delete $touched/ $dst/"
rm -rf "$work/dst"

# Peak memory (maximum resident set size, /usr/bin/time -v), the median of three runs of each;
# every dvcp result is verified. Figures go to memory.tsv: name, KiB.
echo "bench: peak memory" >&2

# No-change sync of /usr/share, onto the copy the timed syncs above left equal to it.
mem sync_usrshare_dvcp "$DVCP" mode=sync if=/usr/share of="$shm/dst"
verify "no-change sync of /usr/share" /usr/share "$shm/dst"
mem sync_usrshare_rsync rsync -a /usr/share/ "$shm/dst/"
rm -rf "${shm:?}/dst"

# Initial copy of the 200,000-file tree, the destination removed before each run.
m=()
for _ in 1 2 3; do
  rm -rf "$work/huge_dst"
  m+=("$(peak "$DVCP" if="$work/huge" of="$work/huge_dst")")
done
verify "copy of 200k files" "$work/huge" "$work/huge_dst"
printf 'copy_huge_dvcp\t%s\n' "$(median3 "${m[@]}")" >>"$json/memory.tsv"

# No-change sync of the 200,000-file tree.
rm -rf "$work/huge_dst"
cp -a "$work/huge" "$work/huge_dst"
mem sync_huge_dvcp "$DVCP" mode=sync if="$work/huge" of="$work/huge_dst"
verify "no-change sync of 200k files" "$work/huge" "$work/huge_dst"
mem sync_huge_rsync rsync -a "$work/huge/" "$work/huge_dst/"
rm -rf "$work/huge_dst"

# Initial copy of /usr into /dev/shm: each copy is removed as soon as it was measured (and, for
# dvcp's first, verified), and the room for it is checked before each.
copy_usr() {  # dvcp|cp
  local m=() i
  for i in 1 2 3; do
    rm -rf "${shm:?}/usr_dst"
    room "$usr_kib" "copying /usr"
    if [ "$1" = dvcp ]; then
      m+=("$(peak "$DVCP" if=/usr of="$shm/usr_dst")")
      if [ "$i" = 1 ]; then verify "copy of /usr" /usr "$shm/usr_dst"; fi
    else
      m+=("$(peak cp -a /usr "$shm/usr_dst")")
    fi
    rm -rf "${shm:?}/usr_dst"
  done
  printf 'copy_usr_%s\t%s\n' "$1" "$(median3 "${m[@]}")" >>"$json/memory.tsv"
}
copy_usr dvcp
copy_usr cp

python3 - "$json" "$runs" "$share_entries" "$share_dirs" "$usr_entries" "$usr_dirs" <<'PY'
import json
import sys

d, runs = sys.argv[1], sys.argv[2]
share_entries, share_dirs, usr_entries, usr_dirs = (int(a) for a in sys.argv[3:7])
share = f"/usr/share ({share_entries:,} entries, {share_dirs:,} dirs)"
usr = f"/usr ({usr_entries:,} entries, {usr_dirs:,} dirs)"
with open(f"{d}/memory.tsv") as f:
    mem = {name: int(kib) for name, kib in (line.split("\t") for line in f)}


def medians(name):
    with open(f"{d}/{name}.json") as f:
        return {r["command"]: r["median"] for r in json.load(f)["results"]}


# work, timing set, other tool, target ratio (None: shown for comparison only)
rows = [
    ("initial copy, 20k small files", "copy_small", "cp -a", 0.5),
    ("initial copy, 20k small files", "copy_small", "rsync -a", None),
    ("initial copy, 4 x 256 MiB", "copy_big", "cp -a", 1.2),
    ("initial copy, 4 x 256 MiB", "copy_big", "rsync -a", None),
    ("no-change sync, 20k files", "sync_nochange", "rsync -a", 0.3),
    ("sync after 1% changes", "sync_changed", "rsync -a --delete", 0.5),
    (f"initial copy, {share}", "copy_usrshare", "cp -a", 0.6),
    (f"initial copy, {share}", "copy_usrshare", "rsync -a", None),
    (f"no-change sync, {share}", "sync_usrshare", "rsync -a", 0.4),
    (f"sync after touching 1% of the files, copy of {share}", "sync_usrshare_touched",
     "rsync -a --delete", 0.5),
]
print("| work | dvcp | other | other's | dvcp / other | target | met |")
print("|---|---:|---|---:|---:|---|---|")
for work, name, other, target in rows:
    m = medians(name)
    ratio = m["dvcp"] / m[other]
    goal = f"≤ {target}" if target is not None else ""
    met = ("yes" if ratio <= target else "NO") if target is not None else ""
    print(f"| {work} | {m['dvcp']:.3f} s | {other} | {m[other]:.3f} s | {ratio:.2f} | {goal} | {met} |")

# work, dvcp's figure, other tool and its figure (None: none measured), target: dvcp below a
# number of MiB, or (None) at most the other tool's figure
mem_rows = [
    (f"peak memory, initial copy of {usr}", "copy_usr_dvcp", "cp -a", "copy_usr_cp", 16),
    ("peak memory, initial copy of 200k files", "copy_huge_dvcp", None, None, 16),
    ("peak memory, no-change sync of 200k files", "sync_huge_dvcp", "rsync -a", "sync_huge_rsync", 32),
    (f"peak memory, no-change sync of {share}", "sync_usrshare_dvcp", "rsync -a",
     "sync_usrshare_rsync", None),
]
for work, name, other, other_name, limit_mib in mem_rows:
    m = mem[name]
    o = mem[other_name] if other_name else None
    if limit_mib is not None:
        goal, ok = f"dvcp < {limit_mib} MiB", m < limit_mib * 1024
    else:
        goal, ok = f"dvcp ≤ {other}", m <= o
    cells = [f"{m / 1024:.1f} MiB", other or "", f"{o / 1024:.1f} MiB" if o else "",
             f"{m / o:.2f}" if o else "", goal, "yes" if ok else "NO"]
    print(f"| {work} | " + " | ".join(cells) + " |")
print()
for work, name in [("20k files", "sync_nochange"), (share, "sync_usrshare")]:
    m = medians(name)
    print(f"Least work of a no-change sync of {work} (listing and stat of every entry of both "
          f"trees, one thread per tree, nothing compared): {m['least work']:.3f} s, "
          f"{m['least work'] / m['rsync -a']:.2f} x rsync -a; dvcp takes "
          f"{m['dvcp'] / m['least work']:.2f} x that.")
print(f"\nTimes are medians of {runs} runs after one warm-up; peak memory is the median of 3 runs.")
print(f"Real trees of this machine: /usr/share {share_entries:,} entries, {share_dirs:,} directories; "
      f"/usr {usr_entries:,} entries, {usr_dirs:,} directories.")
PY
