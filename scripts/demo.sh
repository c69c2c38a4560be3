#!/usr/bin/env bash
# Sets up, builds, and shows the backend at work on a simulated Mac: ampctl
# installed at its real path inside a bubblewrap sandbox whose /Library is a
# folder of the demo, its daemon holding the battery at 80 %, the adapter cut
# off, the MagSafe LED set, and system charging restored. Every ampctl and
# ampkey line it shows is what the program printed. The demo's folder stays
# under /tmp afterwards with the chart, the trace, the store and the job.
set -euo pipefail
cd "$(dirname "$0")/.."
bin=$PWD/build/release/bin

installed_ampctl="/Library/Application Support/Ampervale/bin/ampctl"
socket_inside=/run/ampervale-sim/smc.sock
simulator_pid=""
daemon_pid=""

# ---- output -------------------------------------------------------------------

if [[ -t 1 ]]; then
  bold=$'\e[1m' dim=$'\e[2m' red=$'\e[31m' plain=$'\e[0m'
else
  bold="" dim="" red="" plain=""
fi

step() { printf '\n%s==> %s%s\n' "$bold" "$*" "$plain"; }
note() { printf '%s    %s%s\n' "$dim" "$*" "$plain"; }

fail() {
  printf '\n%sDemo failed: %s%s\n' "$red" "$*" "$plain" >&2
  exit 1
}

# The command as a user would type it: words with blanks in double quotes.
show_command() {
  local shown="" word
  for word in "$@"; do
    [[ "$word" == *" "* ]] && word="\"$word\""
    shown+="${shown:+ }$word"
  done
  printf '%s$ %s%s\n' "$bold" "$shown" "$plain"
}

# ---- processes ----------------------------------------------------------------

# Sends SIGTERM to TARGETS (the process itself by default), then SIGKILL to
# the process if it is still there after five seconds; always reaps it, so
# that nothing the demo started outlives it.
stop_process() {
  local pid=$1 targets=${2:-$1}
  [[ -n "$pid" ]] || return 0
  # shellcheck disable=SC2086 # TARGETS is a list of pids.
  kill -TERM $targets 2>/dev/null || true
  for _ in {1..50}; do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

# The daemon is bwrap's child: stopping it, as launchd would, ends bwrap
# too, and once bwrap is reaped the daemon is gone. Killing bwrap instead
# would leave the daemon to die of its parent's death a moment later.
stop_daemon() {
  [[ -n "$daemon_pid" ]] || return 0
  stop_process "$daemon_pid" "$(pgrep -P "$daemon_pid" || echo "$daemon_pid")"
  daemon_pid=""
}

stop_simulator() {
  stop_process "$simulator_pid"
  simulator_pid=""
}

interrupted() {
  printf '\nDemo interrupted; stopping what it started.\n' >&2
  exit "$1"
}

clean_up() {
  stop_daemon
  stop_simulator
}

# ---- the sandbox and the simulator -------------------------------------------

# A program run with this prefix is root of a fresh user namespace, with the
# demo's Library folder as /Library and the simulator's socket folder bound
# in. The installed backend and ampkey are on PATH, so the commands read as
# they would on a Mac. Should bwrap be killed, the program dies with it.
make_sandbox_prefix() {
  sandbox=(
    bwrap --unshare-user --uid 0 --gid 0 --die-with-parent
    --ro-bind /usr /usr --symlink usr/lib /lib --symlink usr/lib64 /lib64
    --symlink usr/bin /bin --symlink usr/sbin /sbin --ro-bind /etc /etc
    --dev /dev --proc /proc --tmpfs /tmp
    --bind "$demo/Library" /Library
    --bind "$demo/sim" "$(dirname "$socket_inside")"
    --ro-bind "$bin/ampkey" /opt/ampervale/bin/ampkey
    --setenv AMPERVALE_SIMULATOR "$socket_inside"
    --setenv PATH "$(dirname "$installed_ampctl"):/opt/ampervale/bin:/usr/bin"
    --chdir / --
  )
}

# Shows a command, then runs it in the sandbox; a command that fails or
# hangs stops the demo.
run() {
  show_command "$@"
  timeout --kill-after=2 20 "${sandbox[@]}" "$@" ||
    fail "'$*' failed (exit status $?)"
}

simulator() { "$bin/ampsim" "$1" --socket "$socket" "${@:2}"; }

show_battery() {
  local summary
  summary=$(simulator summary 2>&1) || fail "ampsim stopped answering: $summary"
  printf '%s  | %s%s\n' "$dim" "$summary" "$plain"
}

# Shows the battery about once a second until it meets the condition (ampsim
# wait's arguments); after LIMIT seconds stops the demo with what it saw.
watch_battery_until() {
  local limit=$1 started=$SECONDS
  shift
  show_battery
  until simulator wait "$@" --timeout 1 >/dev/null 2>&1; do
    ((SECONDS - started < limit)) ||
      fail "the battery did not meet 'ampsim wait $*' within $limit s"
    show_battery
  done
  show_battery
}

# Shows the battery once a second for SECONDS, then checks that it is still
# held at exactly PERCENT.
watch_battery_hold() {
  local seconds=$1 percent=$2 i
  for ((i = 0; i < seconds; i++)); do
    sleep 1
    show_battery
  done
  simulator wait --power holding --at-least "$percent" --at-most "$percent" \
    --timeout 1 >/dev/null 2>&1 || fail "the battery was not held at $percent %"
}

# ---- the steps ------------------------------------------------------------------

build() {
  step "Install missing Debian packages (scripts/setup.sh)"
  scripts/setup.sh
  step "Build ampctl, ampkey and ampsim (release)"
  cmake --preset release >/dev/null
  cmake --build --preset release --target ampctl ampkey ampsim
}

make_demo_folder() {
  demo=$(mktemp -d /tmp/ampervale-demo.XXXXXX)
  socket=$demo/sim/smc.sock
  store="$demo/Library/Application Support/Ampervale/run"
  job=$demo/Library/LaunchDaemons/chargelimitd.plist
  mkdir -p "$demo/sim" "$demo/Library/LaunchDaemons"
  make_sandbox_prefix
}

start_simulator() {
  step "Start a simulated MacBook: firmware charge limiter, battery at 62 %"
  note "build/release/bin/ampsim serve --socket $socket --time-scale 600"
  note "    --level 62 --trace $demo/trace.tsv"
  note "runs outside the sandbox (log: ampsim.log); a simulated hour passes in 6 s."
  "$bin/ampsim" serve --socket "$socket" --time-scale 600 --level 62 \
    --trace "$demo/trace.tsv" >"$demo/ampsim.log" 2>&1 &
  simulator_pid=$!
  simulator wait --timeout 10 2>/dev/null ||
    fail "ampsim did not start: $(tail -n 3 "$demo/ampsim.log")"
  show_battery
}

install_backend() {
  step "Install ampctl at its installed path and write the launchd job"
  note "From here on, commands run in a bubblewrap sandbox as root, with"
  note "/Library = $demo/Library"
  note "Copying build/release/bin/ampctl to $(dirname "$installed_ampctl")/"
  install -D -m 0755 "$bin/ampctl" "$demo$installed_ampctl"
  run "$installed_ampctl" install
  note "The job it wrote, /Library/LaunchDaemons/chargelimitd.plist:"
  sed -n '/^<dict>/,/^<\/dict>/p' "$job" | expand -t 2 | sed 's/^/      /'
}

# The daemon takes its lock before its first pass, and the pass leaves the
# heartbeat: once health.json is there, commands find the daemon running.
wait_for_heartbeat() {
  for _ in {1..100}; do
    [[ -f "$store/health.json" ]] && return 0
    kill -0 "$daemon_pid" 2>/dev/null ||
      fail "ampctl daemon stopped: $(tail -n 3 "$demo/daemon.log")"
    sleep 0.1
  done
  fail "ampctl daemon wrote no heartbeat within 10 seconds"
}

start_daemon() {
  step "Start the daemon, as launchd would from that job (log: daemon.log)"
  show_command ampctl daemon "&"
  "${sandbox[@]}" ampctl daemon >"$demo/daemon.log" 2>&1 &
  daemon_pid=$!
  wait_for_heartbeat
  note "Its first pass left a heartbeat: $(<"$store/health.json")"
}

limit_charge() {
  step "Keep the battery at 80 %"
  run ampctl limit 80
  note "The battery, from ampsim summary about once a second:"
  watch_battery_until 20 --at-least 80 --power holding
  watch_battery_hold 3 80
  run ampctl status
}

drain() {
  step "Cut the adapter off and let the battery drain"
  run ampctl adapter disable
  run ampctl adapter status
  watch_battery_until 20 --at-most 72 --power draining
}

set_led() {
  step "Set the MagSafe LED"
  run ampctl magsafe-led amber
  run ampkey -k ACLC
  watch_battery_until 10 --at-most 70 --power draining
}

reconnect() {
  step "Give the adapter back: the battery charges up to the limit again"
  run ampctl adapter enable
  watch_battery_until 20 --at-least 80 --power holding
}

restore_charging() {
  step "Restore system charging"
  note "disable drops the stored limit, so the daemon stops holding the"
  note "battery; restore-system-charging hands the charge-control keys back"
  note "to the firmware directly, as before the backend is removed."
  run ampctl disable
  run ampctl restore-system-charging
  run ampctl status
  watch_battery_until 20 --at-least 88 --power charging
}

draw_chart() {
  step "Stop the daemon and the simulator, and draw the chart"
  stop_daemon
  note "ampctl daemon stopped (SIGTERM, as launchd stops it)."
  note "The stored policy: $(<"$store/policy.json")"
  stop_simulator
  note "ampsim stopped; drawing $demo/chart.png from the trace."
  "$bin/ampsim" chart --trace "$demo/trace.tsv" --out "$demo/chart.png" ||
    fail "ampsim chart could not draw $demo/chart.png"
}

# The daemon's next heartbeat after the one in health.json now.
wait_for_new_heartbeat() {
  local before
  before=$(cat "$store/health.json" 2>/dev/null || true)
  for _ in {1..100}; do
    [[ "$(cat "$store/health.json" 2>/dev/null)" != "$before" ]] && return 0
    sleep 0.1
  done
  fail "ampctl daemon wrote no heartbeat within 10 seconds"
}

night() {
  step "A night on the charger: a legacy MacBook plugged in at 40 % sleeps ten hours"
  note "Its keys know only \"charging allowed\" and \"inhibited\", and nothing runs"
  note "while a Mac sleeps: the daemon books wakes to stop the battery at the limit."
  "$bin/ampsim" serve --socket "$socket" --profile legacy-pair --level 40 \
    --trace "$demo/night.tsv" >"$demo/ampsim-night.log" 2>&1 &
  simulator_pid=$!
  simulator wait --timeout 10 2>/dev/null ||
    fail "ampsim did not start: $(tail -n 3 "$demo/ampsim-night.log")"
  show_command ampctl daemon "&"
  "${sandbox[@]}" ampctl daemon >>"$demo/daemon.log" 2>&1 &
  daemon_pid=$!
  wait_for_new_heartbeat
  run ampctl limit 80
  show_battery
  show_command build/release/bin/ampsim sleep --socket "$socket" --hours 10
  simulator sleep --hours 10 || fail "ampsim sleep failed"
  simulator wait --at-least 77 --at-most 80 --timeout 1 >/dev/null 2>&1 ||
    fail "the morning did not find the battery at the limit"
  note "Every wake and sleep of the night, from ampsim's log:"
  grep -E 'will sleep|asleep|booked wake|awake' "$demo/ampsim-night.log" |
    sed 's/^/      /'
  stop_daemon
  stop_simulator
  "$bin/ampsim" chart --trace "$demo/night.tsv" --out "$demo/night.png" ||
    fail "ampsim chart could not draw $demo/night.png"
}

print_paths() {
  step "Done in $SECONDS s, $1 s after the build. Kept in $demo:"
  printf '  chart        %s\n' "$demo/chart.png"
  printf '  night        %s\n' "$demo/night.png, $demo/night.tsv"
  printf '  trace        %s\n' "$demo/trace.tsv"
  printf '  policy       %s\n' "$store/policy.json"
  printf '  heartbeat    %s\n' "$store/health.json"
  printf '  launchd job  %s\n' "$job"
  printf '  logs         %s\n' "$demo/ampsim.log, $demo/daemon.log"
  printf 'More to try with the simulator: build/release/bin/ampsim --help\n'
}

main() {
  trap clean_up EXIT
  trap 'interrupted 130' INT
  trap 'interrupted 143' TERM
  build
  local started=$SECONDS
  make_demo_folder
  start_simulator
  install_backend
  start_daemon
  limit_charge
  drain
  set_led
  reconnect
  restore_charging
  draw_chart
  night
  print_paths $((SECONDS - started))
}

main "$@"
