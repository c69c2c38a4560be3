#!/usr/bin/env bash
# The night benchmark: plays nights as a Mac has them (dark wakes, full
# wakes, lagging levels, changing rates, macOS's 80 % hold, the adapter
# plugged in or pulled out asleep, keys lost, bookings refused) against the
# built daemon on ampsim, and prints one table: night, start, end, highest,
# full wakes, dark wakes, late answers. A chart of each night goes to the
# output folder. Nights run in parallel; a benchmark, not a test.
#
# Usage: scripts/nights.sh [BUILD_BIN [OUT_DIR]]   (default build/release/bin)
set -euo pipefail
cd "$(dirname "$0")/.."
bin=$(realpath "${1:-build/release/bin}")
out=$(realpath -m "${2:-build/nights}")
jobs=${NIGHTS_JOBS:-4}
scale=${NIGHTS_TIME_SCALE:-4}
mkdir -p "$out"
for program in ampctl ampsim; do
  [[ -x "$bin/$program" ]] || { echo "nights: no $bin/$program" >&2; exit 1; }
done

# name|profile|start|limit|rate %/h|sleep options (hours default 10)
matrix() {
  local profile
  for profile in legacy-pair legacy-single; do
    cat <<ROWS
plain, slow charger|$profile|40|80|20|
plain, fast charger|$profile|40|80|100|
plain|$profile|40|80|50|
plain, limit 90|$profile|40|90|50|
dark wakes hourly (night)|$profile|40|80|50|--dark-wake-every 60 --dark-wake-seconds 20 --linger 15
dark wakes from 79 (night)|$profile|79|80|50|--dark-wake-every 60 --dark-wake-seconds 20 --linger 15
rate doubles after 25 min|$profile|40|80|50|--rate-change-at 25 --rate-after 100
slower above 80, limit 90|$profile|40|90|50|--above-80 20
level lags each wake|$profile|40|80|50|--level-lag 10
80 % hold for 3 h, limit 90|$profile|70|90|50|--hold-80-hours 3
on battery all night|$profile|60|80|50|--pull-out-at 0
plugged in after 2 h, with a wake|$profile|40|80|50|--unplugged --plug-in-at 120 --plug-wake
plugged in after 2 h, asleep|$profile|40|80|50|--unplugged --plug-in-at 120
every booked wake 40 s awake|$profile|40|80|50|--full-wake-seconds 40
keys reset after 3 h|$profile|40|80|50|--keys-reset-at 180
bookings refused|$profile|40|80|50|--refuse-bookings
ROWS
  done
  echo "plain|firmware|40|80|50|"
  echo "dark wakes hourly (night)|firmware|40|80|50|--dark-wake-every 60 --dark-wake-seconds 20"
}

sandbox() {
  local dir=$1
  shift
  bwrap --unshare-user --uid 0 --gid 0 --die-with-parent \
    --ro-bind /usr /usr --symlink usr/lib /lib --symlink usr/lib64 /lib64 \
    --symlink usr/bin /bin --symlink usr/sbin /sbin --ro-bind /etc /etc \
    --dev /dev --proc /proc --tmpfs /tmp --bind "$dir/Library" /Library \
    --bind "$dir/sim" /sim --ro-bind "$bin/ampctl" /opt/ampervale/ampctl \
    --setenv AMPERVALE_SIMULATOR /sim/smc.sock --chdir / -- "$@"
}

# Prints one row of the table for the night described by $1.
night() {
  local name profile start limit rate options unplugged=false
  IFS='|' read -r name profile start limit rate options <<<"$1"
  local dir
  dir=$(mktemp -d "$out/night.XXXXXX")
  mkdir -p "$dir/Library" "$dir/sim"
  # Two options set the machine, not the sleep: --unplugged, --above-80 N.
  local above80=""
  if [[ "$options" == *--unplugged* ]]; then
    unplugged=true
    options=${options//--unplugged/}
  fi
  if [[ "$options" =~ --above-80\ ([0-9.]+) ]]; then
    above80=${BASH_REMATCH[1]}
    options=${options//"--above-80 $above80"/}
  fi
  "$bin/ampsim" profile "$profile" | python3 -c '
import json, sys
machine = json.load(sys.stdin)
machine["battery"]["chargePercentPerHour"] = float(sys.argv[1])
machine["adapter"]["connected"] = sys.argv[2] != "true"
if sys.argv[3]:
    machine["battery"]["chargePercentPerHourAbove80"] = float(sys.argv[3])
print(json.dumps(machine))' "$rate" "$unplugged" "$above80" >"$dir/machine.json"
  local socket="$dir/sim/smc.sock"
  "$bin/ampsim" serve --socket "$socket" --machine "$dir/machine.json" \
    --level "$start" --time-scale "$scale" --trace "$dir/night.tsv" \
    >"$dir/ampsim.log" 2>&1 &
  local simulator=$!
  "$bin/ampsim" wait --socket "$socket" --timeout 10 >/dev/null
  sandbox "$dir" /opt/ampervale/ampctl daemon >"$dir/daemon.log" 2>&1 &
  local daemon=$!
  local tries=0
  until sandbox "$dir" /opt/ampervale/ampctl limit "$limit" >/dev/null 2>&1; do
    ((++tries < 50)) || { echo "$name: the daemon did not start" >&2; break; }
    sleep 0.2
  done
  sleep 2  # a pass at the limit before the night
  # shellcheck disable=SC2086
  "$bin/ampsim" sleep --socket "$socket" --hours 10 $options >"$dir/sleep.log"
  "$bin/ampsim" state --socket "$socket" >"$dir/state.json"
  kill "$daemon" "$simulator" 2>/dev/null || true
  wait "$daemon" "$simulator" 2>/dev/null || true
  "$bin/ampsim" chart --trace "$dir/night.tsv" --out "$dir/night.png" \
    >/dev/null 2>&1 || true
  local slug
  slug=$(tr -c 'a-z0-9\n' '-' <<<"$profile-$name-$start-$limit-$rate" | tr -s '-')
  rm -rf "${out:?}/$slug"
  mv "$dir" "$out/$slug"
  python3 - "$out/$slug/state.json" "$name" "$profile" "$start" "$limit" \
    "$rate" <<'PY'
import json, sys
path, name, profile, start, limit, rate = sys.argv[1:]
state = json.load(open(path))
sleep = state["sleep"]
print("| %s, %s, limit %s, %s %%/h | %s | %.1f | %.1f | %s | %s | %s |" % (
    name, profile, limit, rate, start, state["battery"]["level"],
    sleep.get("highestLevel", float("nan")), sleep.get("fullWakes", "?"),
    sleep.get("darkWakes", "?"), sleep.get("lateAnswers", "?")))
PY
}

export -f night sandbox
export bin out scale
echo "| night | start | end | highest | full wakes | dark wakes | late answers |"
echo "| --- | --- | --- | --- | --- | --- | --- |"
matrix | tr '\n' '\0' | xargs -0 -P "$jobs" -I{} bash -c 'night "$1"' _ {} |
  sort
