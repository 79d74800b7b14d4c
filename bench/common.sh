# Helpers shared by the benchmark scripts; sourced after they set:
#   root (the repository), work (the working directory), json (where hyperfine's results go),
#   runs (timed runs per command) and DVCP (the dvcp binary).

# Trees are generated under a temporary name and renamed when complete, so that an interrupted
# generation is never taken for a tree.
make_tree() {  # kind name
  [ -d "$work/$2" ] && return 0
  echo "bench: generating $2" >&2
  rm -rf "$work/tmp"
  python3 "$root/bench/gen_tree.py" "$1" "$work/tmp"
  mv "$work/tmp" "$work/$2"
}

q() { printf '%q' "$1"; }

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

# dvcp with the arguments; the run must succeed.
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

# Peak memory (maximum resident set size, /usr/bin/time -v) of one run of the command, in KiB;
# the run must succeed.
peak() {
  /usr/bin/time -v "$@" >/dev/null 2>"$work/time.out" || {
    echo "bench: $* failed:" >&2
    tail -n 30 "$work/time.out" >&2
    exit 1
  }
  sed -n 's/^[[:space:]]*Maximum resident set size (kbytes): *//p' "$work/time.out"
}
median3() { printf '%s\n' "$@" | sort -n | sed -n 2p; }
mem() {  # name, then the command; each run starts from what the previous one left
  local m=()
  for _ in 1 2 3; do m+=("$(peak "${@:2}")"); done
  printf '%s\t%s\n' "$1" "$(median3 "${m[@]}")" >>"$json/memory.tsv"
}
