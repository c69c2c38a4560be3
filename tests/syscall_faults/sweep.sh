#!/usr/bin/env bash
# Fails every file, lock and socket system call of four control commands in
# turn (strace --inject, the Nth call of one kind per run) beside a running
# daemon and simulator, and checks each run: either it succeeded completely
# (status 0, "Hardware operation verified", the policy and the SMC keys of a
# clean run), or it failed with status 1 and one line of error, printed no
# result, and left "policy.json" as before (or as after, when only the final
# flush failed). Each run injects one fault; the summary counts them.
#
# Usage: tests/syscall_faults/sweep.sh [BIN_DIR]   (default build/release/bin)
# Runs in a bubblewrap sandbox whose /Library is a temporary folder.
set -euo pipefail

if [[ "${SWEEP_INSIDE:-}" != 1 ]]; then
  bin=$(realpath "${1:-$(dirname "$0")/../../build/release/bin}")
  # In memory: thousands of flushes need not wait for a disk.
  root=$(mktemp -d /dev/shm/ampervale-sweep.XXXXXX)
  trap 'rm -rf "$root"' EXIT
  mkdir -p "$root/Library"
  bwrap --unshare-user --uid 0 --gid 0 --die-with-parent \
    --ro-bind /usr /usr --ro-bind /etc /etc --symlink usr/lib /lib \
    --symlink usr/lib64 /lib64 --symlink usr/bin /bin \
    --symlink usr/sbin /sbin --dev /dev --proc /proc --tmpfs /tmp \
    --bind "$root/Library" /Library --ro-bind "$bin" /opt/bin \
    --ro-bind "$(realpath "$0")" /opt/sweep.sh --setenv SWEEP_INSIDE 1 \
    --setenv AMPERVALE_SIMULATOR /tmp/smc.sock --chdir /tmp \
    -- bash /opt/sweep.sh
  exit
fi

# Inside the sandbox, from here on.
PATH=/opt/bin:$PATH
policy="/Library/Application Support/Ampervale/run/policy.json"
keys=(bfF0 bfD0 bfE0 CHIE ACLC)
# KIND:ERROR[:MAX]: fail each call of KIND in turn, or only the first MAX.
# An interrupted send or receive takes the same retry path at every call of
# an exchange, so a few of them stand for all (and keep the sweep short).
injections=(openat:EIO read:EIO read:EINTR write:ENOSPC fsync:EIO
  fdatasync:EIO rename:EIO renameat:EIO renameat2:EIO flock:EIO
  flock:EINTR sendto:EIO sendto:EINTR:6 sendmsg:EIO recvfrom:EIO
  recvfrom:EINTR:6 recvmsg:EIO)

ampsim serve --socket "$AMPERVALE_SIMULATOR" >/tmp/ampsim.log 2>&1 &
ampsim wait --socket "$AMPERVALE_SIMULATOR" >/dev/null
ampctl daemon 2>/tmp/daemon.err &
trap 'kill %1 %2 2>/dev/null; wait' EXIT
until [[ -f "${policy%/*}/health.json" ]]; do sleep 0.05; done

key_state() { for key in "${keys[@]}"; do ampkey -k "$key"; done; }
policy_text() { cat "$policy" 2>/dev/null || echo "(none)"; }
fail() {
  echo "FAIL: ampctl $command with $injection N=$n: $1" >&2
  echo "  status $status, stdout: $(cat /tmp/out), stderr: $(cat /tmp/err)" >&2
  failures=$((failures + 1))
}

# Calls of each kind the command makes once the dynamic loader is done
# (glibc registers the main thread's robust list just before main).
count_calls() {
  strace -f -qq -o /tmp/count -e "trace=${kinds},set_robust_list" \
    ampctl "$@" >/dev/null
  awk '{ sub(/^[0-9]+ +/, "") }
       /^set_robust_list/ { main = 1; next }
       { split($0, call, "("); n[main + 0, call[1]]++ }
       END { for (k in n) { split(k, p, SUBSEP); print p[2], p[1], n[k] } }' \
    /tmp/count
}

check_run() {
  local before=$1
  if [[ $status == 0 ]]; then
    successes=$((successes + 1))
    [[ "$(cat /tmp/out)" == "Hardware operation verified" && ! -s /tmp/err ]] ||
      fail "success with unexpected output"
    [[ "$(policy_text)" == "$after_policy" ]] || fail "policy: $(policy_text)"
    [[ "$(key_state)" == "$after_keys" ]] || fail "keys: $(key_state)"
  elif [[ $status == 1 ]]; then
    [[ ! -s /tmp/out ]] || fail "a failure printed a result"
    [[ $(wc -l </tmp/err) == 1 && $(wc -c </tmp/err) -gt 1 ]] ||
      fail "not one line of error"
    # A failure once a pending restore was renamed in place leaves it
    # pending, as a crash there would; the daemon's next pass completes it.
    local flag='"restoreChargingRequested":' now
    local pending=${after_policy/${flag}false/${flag}true}
    now=$(policy_text)
    [[ $now == "$before" || $now == "$after_policy" || $now == "$pending" ]] ||
      fail "policy changed: $now"
  else
    fail "exit status other than 0 or 1"
  fi
}

# sweep RESET COMMAND: RESET (a command) sets the state COMMAND changes.
sweep() {
  local reset=$1 before
  command=$2
  ampctl $reset >/dev/null
  ampctl $command >/dev/null
  after_policy=$(policy_text)
  after_keys=$(key_state)
  ampctl $reset >/dev/null
  local counts
  counts=$(count_calls $command)
  for injection in "${injections[@]}"; do
    local kind error max loader main
    IFS=: read -r kind error max <<<"$injection"
    loader=$(awk -v k="$kind" '$1 == k && $2 == 0 { print $3 }' <<<"$counts")
    main=$(awk -v k="$kind" '$1 == k && $2 == 1 { print $3 }' <<<"$counts")
    main=$((${max:-999} < ${main:-0} ? max : ${main:-0}))
    for ((n = ${loader:-0} + 1; n <= ${loader:-0} + main; n++)); do
      ampctl $reset >/dev/null
      before=$(policy_text)
      status=0
      timeout 30 strace -f -qq -o /tmp/trace -e "trace=$kind" \
        -e "inject=$kind:error=$error:when=$n" \
        ampctl $command >/tmp/out 2>/tmp/err || status=$?
      grep -q INJECTED /tmp/trace || continue
      runs=$((runs + 1))
      check_run "$before"
    done
  done
}

kinds=$(printf '%s\n' "${injections[@]%%:*}" | sort -u | paste -sd,)
runs=0
successes=0
failures=0
sweep "limit 60" "limit 80"
sweep "limit 60" "disable"
sweep "adapter enable" "adapter disable"
sweep "magsafe-led amber" "magsafe-led green"
echo "system-call fault sweep: $runs injected faults, one per run;" \
  "$successes runs succeeded, $((runs - successes)) failed;" \
  "$failures broken rules"
[[ $failures == 0 ]]
