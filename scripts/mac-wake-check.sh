#!/usr/bin/env bash
# On a Mac, as root: books a wake an hour ahead through the platform layer,
# checks that `pmset -g sched` lists it, cancels it and checks that it is
# gone; then books it again and, from a second registration, books one of
# its own and cancels the leftover wakes: exactly one is listed then, and
# none once the program has exited. A refused booking fails the check:
# powerd refuses root only for bad arguments, a full table of scheduled
# events or a failed disk write, none of them a virtual machine's. Usage:
#   sudo scripts/mac-wake-check.sh [build/macos-native/bin/mac_wake_check]
set -euo pipefail
cd "$(dirname "$0")/.."
program=${1:-build/macos-native/bin/mac_wake_check}
owner=chargelimitd

listed() { pmset -g sched | grep -c "$owner" || true; }
status=0
expect_listed() {
  local count
  count=$(listed)
  if [[ $count -ne $1 ]]; then
    echo "mac-wake-check: $2: $count wakes of $owner listed, not $1" >&2
    status=1
  fi
}

if [[ $(listed) -ne 0 ]]; then
  echo "mac-wake-check: a wake of $owner is booked already; cancel it first" >&2
  exit 1
fi
# The program books, says so, and waits for a line before each next step;
# it talks through two FIFOs (macOS's bash 3.2 has no coproc).
pipes=$(mktemp -d)
trap 'rm -rf "$pipes"' EXIT
mkfifo "$pipes/to" "$pipes/from"
"$program" <"$pipes/to" >"$pipes/from" &
check_pid=$!
exec 3>"$pipes/to" 4<"$pipes/from"

# step WANTED: reads the program's next line; fails unless it says WANTED.
step() {
  local outcome code
  read -r outcome code <&4 || outcome=nothing
  echo "$outcome $code"
  if [[ $outcome != "$1" ]]; then
    echo "mac-wake-check: $program said '$outcome $code', not $1" >&2
    exec 3>&-
    wait "$check_pid" || true
    exit 1
  fi
}

step booked
pmset -g sched
expect_listed 1 "after the booking"
echo cancel >&3
step cancelled
expect_listed 0 "after the cancel"
echo sweep >&3
step swept
pmset -g sched
expect_listed 1 "after the second registration cancelled the leftover wakes"
exec 3>&-
wait "$check_pid" || status=1
expect_listed 0 "after the program exited"
[[ $status -eq 0 ]] &&
  echo "mac-wake-check: booked, listed, cancelled, leftovers swept, gone"
exit $status
