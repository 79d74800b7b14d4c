#!/usr/bin/env bash
# dvsd under load: peak memory of the release build while it serves
#   - 100 concurrent dvcp jobs (copy and sync, up and down, a small tree each),
#   - 8 concurrent jobs of one 64 MiB file each (blocks of the default size in flight),
#   - 1,000 connections that never send anything, closed after the login time-out.
# Every job's result is verified. Not a test: nothing fails on a figure.
#
#   bench/dvsd_load.sh [WORKDIR]     (default /dev/shm/dvsd-load; removed at the end)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
work=${1:-/dev/shm/dvsd-load}
runs=1
json=$work/results
"$root/scripts/dv" build release >&2
DVCP=$root/build/release/bin/dvcp
DVSD=$root/build/release/bin/dvsd
source "$root/bench/common.sh"

rm -rf "$work"
mkdir -p "$work/served" "$json"
ulimit -n "$(ulimit -Hn)"
server_pid=
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

"$DVSD" root="$work/served" listen=127.0.0.1 port=0 anonymous=1 login_timeout=5 \
  >"$work/listen" 2>"$work/dvsd.log" &
server_pid=$!
for _ in $(seq 100); do grep -q listening "$work/listen" 2>/dev/null && break; sleep 0.05; done
port=$(sed -n 's/^listening dvp:\/\/127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/listen")
url=dvp://127.0.0.1:$port
hwm() { sed -n 's/^VmHWM:[[:space:]]*//p' "/proc/$server_pid/status"; }
echo "bench: dvsd pid $server_pid on port $port; at start $(hwm)" >&2

# 100 small trees, half of them on the server.
python3 - "$work" <<'EOF'
import os, random, sys
work = sys.argv[1]
for i in range(100):
    base = os.path.join(work, "local" if i % 2 == 0 else "served", f"src{i}")
    r = random.Random(i)
    for d in range(4):
        os.makedirs(os.path.join(base, f"d{d}"), exist_ok=True)
        for f in range(10):
            with open(os.path.join(base, f"d{d}", f"f{f}"), "wb") as out:
                out.write(r.randbytes(r.randrange(0, 65536)))
EOF

job() {  # i
  local i=$1 mode=cp
  [ $(((i / 2) % 2)) -eq 1 ] && mode=sync
  if [ $((i % 2)) -eq 0 ]; then
    "$DVCP" mode=$mode if="$work/local/src$i" of="$url/dst$i" 2>"$work/job$i.log"
  else
    "$DVCP" mode=$mode if="$url/src$i" of="$work/local/dst$i" 2>"$work/job$i.log"
  fi
}
pids=()
for i in $(seq 0 99); do job "$i" & pids+=($!); done
failed=0
for p in "${pids[@]}"; do wait "$p" || failed=$((failed + 1)); done
[ "$failed" -eq 0 ] || { echo "bench: $failed of 100 jobs failed" >&2; exit 1; }
for i in $(seq 0 99); do
  if [ $((i % 2)) -eq 0 ]; then verify "job $i" "$work/local/src$i" "$work/served/dst$i"
  else verify "job $i" "$work/served/src$i" "$work/local/dst$i"; fi
done
after_small=$(hwm)

# 8 big files at once, up.
for i in $(seq 0 7); do
  mkdir -p "$work/big$i"
  head -c $((64 << 20)) /dev/urandom >"$work/big$i/f"
done
pids=()
for i in $(seq 0 7); do
  "$DVCP" if="$work/big$i" of="$url/big$i" 2>"$work/big$i.log" & pids+=($!)
done
for p in "${pids[@]}"; do wait "$p"; done
for i in $(seq 0 7); do verify "big $i" "$work/big$i" "$work/served/big$i"; done
after_big=$(hwm)

# 1,000 connections that say nothing, while one more job runs.
fds=()
for _ in $(seq 1000); do
  exec {fd}<>"/dev/tcp/127.0.0.1/$port"
  fds+=("$fd")
done
held=$(find "/proc/$server_pid/fd" -mindepth 1 | wc -l)
threads=$(sed -n 's/^Threads:[[:space:]]*//p' "/proc/$server_pid/status")
"$DVCP" if="$work/local/src0" of="$url/during" 2>"$work/during.log"
verify "job during the silent connections" "$work/local/src0" "$work/served/during"
sleep 7
left=$(find "/proc/$server_pid/fd" -mindepth 1 | wc -l)
for fd in "${fds[@]}"; do exec {fd}>&-; done
after_silent=$(hwm)

printf '\n%-52s %s\n' "dvsd (release), peak resident memory" "VmHWM"
printf '%-52s %s\n' "after 100 concurrent small-tree jobs" "$after_small"
printf '%-52s %s\n' "after 8 concurrent 64 MiB uploads" "$after_big"
printf '%-52s %s\n' "after 1,000 silent connections + 1 job" "$after_silent"
printf '%-52s %s descriptors, %s threads\n' "while the 1,000 silent connections were held" "$held" \
  "$threads"
printf '%-52s %s descriptors\n' "5 s after the login time-out" "$left"
