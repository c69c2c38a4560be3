#!/usr/bin/env bash
# Usage: sweep.sh [BIN_DIR=build/release/bin]. Fails each file, lock and socket
# system call of four control commands in turn (strace --inject, one per run)
# beside a daemon and simulator; each run is a complete success, or status 1
# with one line of error, no result and "policy.json" byte for byte as before
# (a failed command puts the previous file back; one fault per run never
# fails that rollback too).
set -euo pipefail

if [[ "${SWEEP_INSIDE:-}" != 1 ]]; then
  bin=$(realpath "${1:-$(dirname "$0")/../../build/release/bin}")
  root=$(mktemp -d /dev/shm/ampervale-sweep.XXXXXX) # flushes need no disk
  trap 'rm -rf "$root"' EXIT
  source "$(dirname "$0")/../e2e/sandbox.sh"
  sandbox 0 "$root" --ro-bind "$bin" /opt/bin \
    --ro-bind "$(realpath "$0")" /opt/sweep.sh --setenv SWEEP_INSIDE 1 \
    --setenv AMPERVALE_SIMULATOR /tmp/smc.sock --chdir /tmp -- bash /opt/sweep.sh
  exit
fi

PATH=/opt/bin:$PATH
policy="/Library/Application Support/Ampervale/run/policy.json"
# KIND:ERROR[:MAX]: fail each KIND call, or the first MAX (EINTR retries alike)
injections=(openat:EIO read:EIO read:EINTR write:ENOSPC fsync:EIO fdatasync:EIO
  rename:EIO renameat:EIO renameat2:EIO flock:EIO flock:EINTR sendto:EIO
  sendto:EINTR:6 sendmsg:EIO recvfrom:EIO recvfrom:EINTR:6 recvmsg:EIO)
kinds=$(printf '%s\n' "${injections[@]%%:*}" | sort -u | paste -sd,)

ampsim serve --socket "$AMPERVALE_SIMULATOR" >/tmp/ampsim.log 2>&1 &
ampsim wait --socket "$AMPERVALE_SIMULATOR" >/dev/null
ampctl daemon 2>/tmp/daemon.err &
trap 'kill %1 %2 2>/dev/null; wait' EXIT
until [[ -f "${policy%/*}/health.json" ]]; do sleep 0.05; done

key_state() { for key in bfF0 bfD0 bfE0 CHIE ACLC; do ampkey -k "$key"; done; }
policy_text() { cat "$policy" 2>/dev/null && echo . || echo "(none)"; }
fail() {
  echo "FAIL: ampctl $command with $injection N=$n: $1" >&2
  echo "  status $status, stdout: $(cat /tmp/out), stderr: $(cat /tmp/err)" >&2
  failures=$((failures + 1))
}

# "KIND LOADER MAIN": calls before and after glibc's set_robust_list (main).
count_calls() {
  strace -f -qq -o /tmp/count -e "trace=${kinds},set_robust_list" \
    ampctl "$@" >/dev/null
  awk -F '[ (]+' -v kinds="$kinds" '$2 == "set_robust_list" { main = 1; next }
    { n[$2, main + 0]++ }
    END { split(kinds, names, ","); for (i in names) print names[i], \
      n[names[i], 0] + 0, n[names[i], 1] + 0 }' /tmp/count
}

# sweep RESET COMMAND (RESET sets what COMMAND changes).
sweep() {
  reset=$1 command=$2
  ampctl $reset >/dev/null
  counts=$(count_calls $command)
  after_policy=$(policy_text)
  after_keys=$(key_state)
  for injection in "${injections[@]}"; do
    IFS=: read -r kind error max <<<"$injection"
    read -r _ loader main < <(grep "^$kind " <<<"$counts")
    last=$((loader + (${max:-main} < main ? max : main)))
    for ((n = loader + 1; n <= last; n++)); do
      ampctl $reset >/dev/null
      before=$(policy_text)
      timeout 30 strace -f -qq -o /tmp/trace -e "trace=$kind" \
        -e "inject=$kind:error=$error:when=$n" \
        ampctl $command >/tmp/out 2>/tmp/err && status=0 || status=$?
      grep -q INJECTED /tmp/trace || continue
      runs=$((runs + 1)) now=$(policy_text)
      if [[ $status == 0 ]]; then
        successes=$((successes + 1))
        [[ $(cat /tmp/out) == "Hardware operation verified" && ! -s /tmp/err &&
          $now == "$after_policy" && "$(key_state)" == "$after_keys" ]] ||
          fail "an incomplete success: policy $now, keys $(key_state)"
        continue
      fi
      [[ $status == 1 && ! -s /tmp/out && $(wc -l </tmp/err) == 1 &&
        $(wc -c </tmp/err) -gt 1 ]] || fail "not status 1 and one line of error"
      [[ $now == "$before" ]] || fail "policy changed: $now"
    done
  done
}

runs=0 successes=0 failures=0
sweep "limit 60" "limit 80"
sweep "limit 60" "disable"
sweep "adapter enable" "adapter disable"
sweep "magsafe-led amber" "magsafe-led green"
echo "system-call fault sweep: $runs injected faults, one per run; $successes" \
  "runs succeeded, $((runs - successes)) failed; $failures broken rules"
[[ $failures == 0 ]]
