#!/usr/bin/env bash
# Measures the charging daemon at rest, in one command:
#   1. the micro-benchmarks of one pass (build/release/bin/ampervale_bench);
#   2. a real `ampctl daemon` against a real `ampsim serve` in a bubblewrap
#      sandbox whose /Library is a scratch folder: system calls per pass
#      (strace), CPU time per pass and resident memory;
#   3. the wall time of `ampctl status` against starting /bin/true (and
#      `ampctl version`, the same program doing nothing).
# Sizes: PASSES (default 30), TRACED_PASSES (10), RUNS (200);
# BENCHMARK_FILTER picks micro-benchmarks by regular expression. Everything it
# starts is stopped, and the scratch folder removed, however it ends.
set -euo pipefail
cd "$(dirname "$0")/.."
readonly passes=${PASSES:-30} traced_passes=${TRACED_PASSES:-10}
readonly runs=${RUNS:-200} filter=${BENCHMARK_FILTER:-.}

scripts/setup.sh
if ! command -v strace >/dev/null; then
  if [[ $(id -u) -ne 0 ]]; then
    echo "strace is missing; install Debian's strace package as root." >&2
    exit 1
  fi
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
    --no-install-recommends strace >/dev/null
fi
cmake --preset release >/dev/null
cmake --build --preset release --target ampervale_bench ampctl ampsim
readonly bin=$PWD/build/release/bin

work=$(mktemp -d /tmp/ampervale-bench-XXXXXX)
readonly work
readonly health="$work/Library/Application Support/Ampervale/run/health.json"
started=()  # pids, stopped in reverse order
cleanup() {
  for ((i = ${#started[@]} - 1; i >= 0; i--)); do
    kill "${started[i]}" 2>/dev/null || true
    wait "${started[i]}" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
mkdir -p "$work/Library" "$work/sim" "$work/logs"
mkfifo "$work/pause"
exec 9<>"$work/pause"

fail() {
  echo "bench: $*" >&2
  exit 1
}
# Sleeps without starting a process: nothing is ever written to the FIFO.
pause() { read -r -t "$1" -u 9 _ || true; }

readonly sandbox=(
  bwrap --unshare-user --uid 0 --gid 0 --die-with-parent
  --ro-bind /usr /usr --symlink usr/lib /lib --symlink usr/lib64 /lib64
  --symlink usr/bin /bin --symlink usr/sbin /sbin --ro-bind /etc /etc
  --dev /dev --proc /proc --tmpfs /tmp
  --bind "$work/Library" /Library --bind "$work/sim" /run/ampervale-sim
  --ro-bind "$bin" "$bin"
  --setenv AMPERVALE_SIMULATOR /run/ampervale-sim/smc.sock --chdir / --)
# Both run in the foreground only: in the background $! would be a subshell.
ampctl() { "${sandbox[@]}" "$bin/ampctl" "$@"; }
ampsim() { "$bin/ampsim" "$1" --socket "$work/sim/smc.sock" "${@:2}"; }

# Each pass leaves a new heartbeat; waits for `count` of them.
beat=''
read_heartbeat() {
  beat=''
  if [[ -f $health ]]; then read -r beat <"$health" || true; fi
}
await_passes() {
  local count=$1 previous deadline=$((SECONDS + 5 * $1 + 10))
  read_heartbeat
  previous=$beat
  while ((count > 0)); do
    pause 0.005
    read_heartbeat
    if [[ $beat != "$previous" ]]; then
      previous=$beat
      count=$((count - 1))
    fi
    ((SECONDS < deadline)) || fail "no pass: $(cat "$work/logs/daemon.err")"
  done
}

# The descendant of `pid` that runs `name` (bwrap starts it as a child).
find_program() {
  local pid=$1 name=$2 comm child
  for _ in {1..500}; do
    comm=$(cat "/proc/$pid/comm" 2>/dev/null || true)
    [[ $comm == "$name" ]] && { echo "$pid"; return; }
    child=''
    read -r child _ <"/proc/$pid/task/$pid/children" 2>/dev/null || true
    if [[ -n $child ]]; then pid=$child; else pause 0.01; fi
  done
  fail "$name did not start"
}

memory() { awk '/^Vm(RSS|HWM)/ {printf "%s %s kB  ", $1, $2}' "$1"; }
cpu_ns() { read -r ns _ <"/proc/$1/schedstat" && echo "$ns"; }

echo "== 1. Micro-benchmarks (in process, simulated SMC, scratch dir in /tmp)"
"$bin/ampervale_bench" --benchmark_filter="$filter" --benchmark_repetitions=3 \
  --benchmark_display_aggregates_only=true 2>&1 |
  grep -v -e '_mean ' -e '_stddev ' -e '_cv '

echo
echo "== 2. ampctl daemon against ampsim serve (firmware profile)"
"$bin/ampsim" serve --socket "$work/sim/smc.sock" >"$work/logs/ampsim.out" \
  2>&1 &
started+=($!)
ampsim wait >/dev/null
"${sandbox[@]}" "$bin/ampctl" daemon >/dev/null 2>"$work/logs/daemon.err" &
started+=($!)
daemon=$(find_program "$!" ampctl)
started+=("$daemon")
await_passes 1
report() { printf '%-36s %s\n' "$1" "$2"; }
report "memory after the first pass:" "$(memory "/proc/$daemon/status")"
for command in "limit 80" "adapter enable" "magsafe-led amber"; do
  # shellcheck disable=SC2086 # the command's words
  ampctl $command >/dev/null || fail "ampctl $command failed"
done
await_passes 2
ampsim clear-writes
report "policy:" "$(cat "${health%/*}/policy.json")"
report "memory after 2 passes with it:" "$(memory "/proc/$daemon/status")"
first_beat=$beat
cpu_before=$(cpu_ns "$daemon")
await_passes "$passes"
cpu_after=$(cpu_ns "$daemon")
report "memory after $passes more passes:" "$(memory "/proc/$daemon/status")"
report "CPU time per loop iteration:" \
  "$(((cpu_after - cpu_before) / passes / 1000)) us (schedstat)"
timestamp() {
  local rest=${1#*'"timestamp":'}
  echo "${rest%%[,\}]*}"
}
report "heartbeat period minus 2 s:" "$(awk -v a="$(timestamp "$first_beat")" \
  -v b="$(timestamp "$beat")" -v n="$passes" \
  'BEGIN { printf "%.0f us (pass + sleep overshoot)", ((b - a) / n - 2) * 1e6 }')"
report "SMC writes during those passes:" "$(ampsim state | python3 -c \
  'import json, sys; print(len(json.load(sys.stdin)["writes"]))')"

strace -f -qq -o "$work/strace.txt" -p "$daemon" &
started+=($!)
await_passes $((traced_passes + 2))
kill -INT "${started[-1]}"
wait "${started[-1]}" || true
unset 'started[-1]'
echo "system calls per pass (strace -f, between the pass-ending sleeps):"
awk '{
  name = $2; sub(/\(.*/, "", name)
  if (name !~ /^[a-z_0-9]+$/) next
  if (!started) { started = name ~ /nanosleep$/; next }
  pass[name]++
  if (name ~ /nanosleep$/) {
    passes++
    for (n in pass) total[n] += pass[n]
    delete pass
  }
}
END {
  if (passes == 0) { print "  no complete pass traced"; exit 1 }
  for (n in total) {
    sum += total[n]
    printf "  %-16s %6.1f\n", n, total[n] / passes | "sort -k2 -nr"
  }
  close("sort -k2 -nr")
  printf "  %-16s %6.1f  (mean of %d passes)\n", "total", sum / passes, passes
}' "$work/strace.txt"
[[ -s $work/logs/daemon.err ]] && echo "daemon errors: $(cat "$work/logs/daemon.err")"

echo
echo "== 3. Whole processes, $runs runs each, alternating, inside the sandbox"
echo "ampctl status says: $(ampctl status)"
# Timed inside one sandbox so that neither side pays for starting bwrap.
# `ampctl version` starts the same program but does no work: it separates
# loading the program from what status does.
"${sandbox[@]}" /usr/bin/python3 - "$runs" "ampctl status" \
  "$bin/ampctl status" "ampctl version" "$bin/ampctl version" \
  /bin/true /bin/true <bench/time_runs.py
echo
echo "Machine: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"
