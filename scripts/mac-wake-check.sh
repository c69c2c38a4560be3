#!/usr/bin/env bash
# On a Mac, as root: books a wake an hour ahead through the platform layer,
# checks that `pmset -g sched` lists it, cancels it and checks that it is
# gone. A machine that refuses to book (a virtual Mac may) prints the IOKit
# code and passes; the check fails only when a booking that succeeded is not
# listed, or is still listed after the cancel. Usage:
#   sudo scripts/mac-wake-check.sh [build/macos-native/bin/mac_wake_check]
set -euo pipefail
cd "$(dirname "$0")/.."
program=${1:-build/macos-native/bin/mac_wake_check}
owner=chargelimitd

listed() { pmset -g sched | grep -q "$owner"; }

if listed; then
  echo "mac-wake-check: a wake of $owner is booked already; cancel it first" >&2
  exit 1
fi
# The program books, says so, and waits for a line before it cancels; it
# talks through two FIFOs (macOS's bash 3.2 has no coproc).
pipes=$(mktemp -d)
trap 'rm -rf "$pipes"' EXIT
mkfifo "$pipes/to" "$pipes/from"
"$program" <"$pipes/to" >"$pipes/from" &
check_pid=$!
exec 3>"$pipes/to" 4<"$pipes/from"
read -r outcome code <&4
case "$outcome" in
  refused)
    echo "The system refused to book a wake (IOKit code $code); nothing to check."
    exec 3>&-
    wait "$check_pid"
    exit 0 ;;
  booked) ;;
  *)
    echo "mac-wake-check: $program said '$outcome $code'" >&2
    exit 1 ;;
esac
status=0
pmset -g sched
listed || { echo "mac-wake-check: the booked wake is not listed" >&2; status=1; }
echo cancel >&3
read -r outcome code <&4
echo "$outcome $code"
exec 3>&-
wait "$check_pid" || true  # the listing is what counts
if listed; then
  echo "mac-wake-check: the wake is still listed after the cancel" >&2
  status=1
fi
[[ $status -eq 0 ]] && echo "mac-wake-check: booked, listed, cancelled, gone"
exit $status
