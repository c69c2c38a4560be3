#!/usr/bin/env bash
# Usage: tools.sh BIN_DIR install|daemon|ampkey|tmp_link. Runs the built
# programs in a sandbox against ampsim, as root or as an ordinary user;
# prints every expectation that does not hold and fails if one did not.
set -uo pipefail
bin=$(realpath "$1")
source "$(dirname "$0")/sandbox.sh"
root=$(mktemp -d /tmp/ampervale-e2e.XXXXXX)
trap 'kill $(jobs -p) 2>/dev/null; wait; rm -rf "$root"' EXIT
mkdir "$root/Library" "$root/sim"
library=$root/Library
run_dir="$library/Application Support/Ampervale/run"
failures=0

# in_sandbox UID PROGRAM ARG...: a built program, or a path in the sandbox.
in_sandbox() {
  local uid=$1 program=$2
  [[ $program == /* ]] || program=$bin/$program
  sandbox "$uid" "$library" --bind "$root/sim" /run/ampervale-sim \
    --ro-bind "$bin" "$bin" --chdir / \
    --setenv AMPERVALE_SIMULATOR /run/ampervale-sim/smc.sock \
    -- "$program" "${@:3}" </dev/null
}
# run [--as UID] PROGRAM ARG...: sets status, out and err, line feeds kept.
run() {
  local uid=0
  [[ $1 == --as ]] && uid=$2 && shift 2
  in_sandbox "$uid" "$@" >"$root/out" 2>"$root/err"
  status=$?
  out=$(cat "$root/out" && echo .) err=$(cat "$root/err" && echo .)
  out=${out%.} err=${err%.}
}
sim() { "$bin/ampsim" "$1" --socket "$root/sim/smc.sock" "${@:2}"; }
# Started directly, not through sim, so that the exit trap's kill reaches it.
start_simulator() {
  "$bin/ampsim" serve --socket "$root/sim/smc.sock" >"$root/ampsim.log" 2>&1 &
  sim wait >/dev/null
}
# expect WHAT EXPECTED ACTUAL
expect() {
  [[ $2 == "$3" ]] && return
  printf 'FAIL: %s\n  expected: %q\n  actual:   %q\n' "$1" "$2" "$3" >&2
  failures=$((failures + 1))
}
# Waits for what the daemon brings about within a few passes.
eventually() {
  for _ in {1..300}; do
    "$@" && return
    sleep 0.05
  done
  "$@"
}
key_is() { [[ $(sim key "$1") == "$2" ]]; }
# set_acl FOLDER [TAG ID]: an access list; TAG 2 (user) or 8 (group) gives
# ID every right, which the mode's group bits then mask.
set_acl() {
  python3 -c 'import os, struct, sys
named = [(int(sys.argv[2]), 7, int(sys.argv[3]))] if len(sys.argv) > 3 else []
entries = sorted([(1, 7, -1), (4, 5, -1), (16, 7, -1), (32, 5, -1)] + named)
os.setxattr(sys.argv[1], "system.posix_acl_access", struct.pack("<I", 2) +
            b"".join(struct.pack("<HHi", *entry) for entry in entries))' "$@"
}

# Only the installed program installs; the job is read back by another
# property list reader.
e2e_install() {
  local app="$library/Application Support/Ampervale"
  local job=$library/LaunchDaemons/chargelimitd.plist
  mkdir -p "$app/bin" "$library/LaunchDaemons" "$library/elsewhere"
  cp "$bin/ampctl" "$app/bin/"
  ln -s "/Library/Application Support/Ampervale/bin/ampctl" \
    "$library/elsewhere/ampctl"
  run /Library/elsewhere/ampctl install
  expect "install elsewhere" \
    $'Install the bundled backend through Ampervale\'s helper first\n' "$err"
  # Nothing another user could replace is registered, nor is the job written
  # through a folder they could steer, sticky or not; a link's target is walked
  # as the kernel walks it; a link in the job's place is replaced, not
  # followed. User 12345 is 65534 in the sandbox, and 4294967295 in a list.
  local setup undo want
  while IFS='|' read -r setup undo want; do
    eval "$setup"
    run "/Library${app#"$library"}/bin/ampctl" install
    expect "install after $setup" "${want:+$want$'\n'}" "$err"
    eval "$undo"
  done <<'ROWS'
chown 12345 "$app/bin"|chown 0 "$app/bin"|Refusing to register a backend that another user can replace: /Library/Application Support/Ampervale/bin is owned by user 65534
mv "$app/bin/ampctl" "$library/elsewhere/real"; ln -s ../../../elsewhere/real "$app/bin/ampctl"; chmod 777 "$library/elsewhere"|chmod 755 "$library/elsewhere"|Refusing to register a backend that another user can replace: /Library/elsewhere is writable by other users
ln -s real "$library/elsewhere/again"; ln -sf ../../../elsewhere/again "$app/bin/ampctl"|ln -sf ../../../elsewhere/real "$app/bin/ampctl"|Refusing to register a backend that another user can replace: /Library/elsewhere/again is a symbolic link
chmod 1777 "$library/elsewhere"|chmod 755 "$library/elsewhere"|Refusing to register a backend that another user can replace: /Library/elsewhere is writable by other users
ln -s LaunchDaemons "$library/lnk"; ln -sf /Library/lnk/../elsewhere/real "$app/bin/ampctl"|rm "$library/lnk"; ln -sf ../../../elsewhere/real "$app/bin/ampctl"|Refusing to register a backend that another user can replace: /Library/lnk is a symbolic link
mv "$library/LaunchDaemons" "$library/jobs"; ln -s jobs "$library/LaunchDaemons"|rm "$library/LaunchDaemons"; mv "$library/jobs" "$library/LaunchDaemons"|Cannot write the launchd job through an unsafe folder: /Library/LaunchDaemons is a symbolic link
chmod 1777 "$library/LaunchDaemons"|chmod 755 "$library/LaunchDaemons"|Cannot write the launchd job through an unsafe folder: /Library/LaunchDaemons is writable by other users
set_acl "$library/LaunchDaemons" 2 12345|set_acl "$library/LaunchDaemons"|Cannot write the launchd job through an unsafe folder: /Library/LaunchDaemons is open to user 4294967295 through its access-control list
set_acl "$library/LaunchDaemons" 8 12345|set_acl "$library/LaunchDaemons"|Cannot write the launchd job through an unsafe folder: /Library/LaunchDaemons is open to group 4294967295 through its access-control list
set_acl "$library/LaunchDaemons" 2 12345; chmod 755 "$library/LaunchDaemons"|set_acl "$library/LaunchDaemons"|
set_acl "$library/elsewhere/real" 2 12345; chmod 775 "$library/elsewhere/real"|set_acl "$library/elsewhere/real"; chmod 755 "$library/elsewhere/real"|Refusing to register a backend that another user can replace: /Library/elsewhere/real is open to user 4294967295 through its access-control list
echo kept >"$library/victim"; chmod 600 "$library/victim"; ln -sf /Library/victim "$job"||
ROWS
  # No mode is set by path; the job is on disk before it takes its name, and
  # the name is on disk after.
  expect "install's calls" "fdatasync renameat fsync" "$(in_sandbox 0 \
    /usr/bin/strace -qq -o /dev/stderr -E ASAN_OPTIONS=detect_leaks=0 \
    -e trace=chmod,fchmodat,fdatasync,fsync,rename,renameat,renameat2 \
    "/Library${app#"$library"}/bin/ampctl" install 2>&1 >/dev/null | grep -o '^[a-z]*' | xargs)"
  expect "the job alone, a file" chargelimitd.plist "$(ls -F "${job%/*}")"
  expect "a link's target" "600 kept" "$(stat -c %a "$library/victim") $(cat "$library/victim")"
  run "/Library/Application Support/Ampervale/bin/../bin/ampctl" install \
    --allow-non-root-access
  expect "install" \
    $'Native charging daemon configured at the existing backend path\n' "$out"
  expect "job mode" 644 "$(stat -c %a "$job")"
  expect "job" "[('KeepAlive', 'bool', True), ('Label', 'str', \
'chargelimitd'), ('ProgramArguments', 'list', ['/Library/Application \
Support/Ampervale/bin/ampctl', 'daemon']), ('RunAtLoad', 'bool', True), \
('ThrottleInterval', 'int', 5)]" "$(python3 -c 'import plistlib, sys
job = plistlib.load(open(sys.argv[1], "rb"))
print(sorted((k, type(v).__name__, v) for k, v in job.items()))' "$job")"
}

# The daemon enforces the limit; commands drive the hardware.
e2e_daemon() {
  start_simulator
  in_sandbox 0 ampctl daemon 2>"$root/daemon.err" &
  eventually test -s "$run_dir/health.json" ||
    expect "a heartbeat" "" "no heartbeat; $(cat "$root/daemon.err")"
  run ampctl daemon
  expect "second daemon" $'Backend daemon is already running\n' "$err"
  run ampctl limit 80
  expect "limit 80" $'Hardware operation verified\n' "$out$err"
  expect "limit 80 keys" "50000000 4f000000 02" \
    "$(sim key bfD0) $(sim key bfE0) $(sim key bfF0)"
  expect "limit 80 policy" '{"upperLimit":80,"restoreChargingRequested":false}' \
    "$(cat "$run_dir/policy.json")"
  run ampctl status
  expect "status" $'Charge backend ready (firmware); limit: 80\n' "$out$err"
  # Someone else switches the limiter off; the daemon puts it back.
  sim set-key bfF0 00
  eventually key_is bfF0 02 || expect "limiter put back" 02 "$(sim key bfF0)"
  run ampctl disable
  expect "disable" $'Hardware operation verified\n' "$out$err"
  expect "disable keys" 00 "$(sim key bfF0)"
  expect "disable policy" '{"restoreChargingRequested":false}' \
    "$(cat "$run_dir/policy.json")"
  run ampctl status
  expect "status" $'Charge backend ready (firmware); limit: disabled\n' "$out"
  # Commands started together all complete; the last to take the lock wins,
  # in the stored policy and on the SMC alike.
  local commands=() limit pid stored last
  for limit in {60..69}; do
    in_sandbox 0 ampctl limit "$limit" >/dev/null 2>&1 &
    commands+=($!)
  done
  for pid in "${commands[@]}"; do wait "$pid" || expect "limit" 0 $?; done
  stored=$(cat "$run_dir/policy.json") last=${stored:14:2}
  expect "last limit" "{\"upperLimit\":$last,\"restoreChargingRequested\":false}" \
    "$stored"
  [[ $last == 6[0-9] ]] || expect "a limit from 60 to 69" 6x "$last"
  expect "last limit on the SMC" "$(printf %02x000000 "$last")" "$(sim key bfD0)"
  expect "daemon errors" "" "$(cat "$root/daemon.err")"
}

# Before the simulated Mac starts, only what needs the SMC says it is
# unavailable; once it runs, its refusals reach the user as they are. A
# limit without the daemon changes nothing. FAULT "-": no simulator yet.
e2e_ampkey() {
  local fault uid command want_out want_err
  while IFS='|' read -r fault uid command want_out want_err; do
    [[ $fault != - && ! -e $root/sim/smc.sock ]] && start_simulator
    [[ $fault != - ]] && sim fault --clear
    # shellcheck disable=SC2086 # a fault and a command are words
    [[ $fault == - || -z $fault ]] || sim fault $fault >/dev/null
    # shellcheck disable=SC2086
    run --as "$uid" $command
    expect "$command: out" "${want_out:+$want_out$'\n'}" "$out"
    expect "$command: err" "${want_err:+$want_err$'\n'}" "$err"
    expect "$command: status" $((${#want_err} ? 1 : 0)) "$status"
  done <<'ROWS'
-|0|ampkey -k ACLC||AppleSMC is unavailable on this Mac
-|1000|ampkey -k ACLC -w 03||Permission denied: use the Ampervale privileged helper
-|1000|ampkey --version|Ampervale native backend 1.0.0|
|1000|ampkey -k bfD0|bfD0: 64000000|
|0|ampkey -k ACLC -w +25||
|1000|ampkey -k ACLC -r|ACLC: 25|
not-privileged ACLC 6|0|ampkey -k ACLC -w 04||SMC ACLC command 6: permission denied by SMC (root access may be insufficient) (IOKit 0xe00002c1, SMC 0)
refuse-open|0|ampkey -k ACLC||Cannot open AppleSMC (IOKit -536870207); use the privileged helper
refuse-open 0|0|ampkey -k ACLC||Cannot open AppleSMC (IOKit 0); use the privileged helper
disconnect ACLC 5|0|ampkey -k ACLC||SMC ACLC command 5: request failed (IOKit 0xe00002ed, SMC 0)
|1000|ampctl daemon||Permission denied: use the Ampervale privileged helper
|0|ampctl limit 80||Charge daemon not running; prepare the helper backends
ROWS
  expect "ACLC kept" 25 "$(sim key ACLC)"
  expect "bfD0 kept" 64000000 "$(sim key bfD0)"
  expect "no policy" "" "$(ls "$run_dir"/policy.json 2>/dev/null)"
}

# The unit tests as an ordinary user, with /tmp a symbolic link as on a Mac.
e2e_tmp_link() {
  # shellcheck disable=SC2034 # read by sandbox
  sandbox_tmp=(--perms 1777 --tmpfs /private/tmp --symlink private/tmp /tmp)
  sandbox 1000 "$library" --ro-bind "$PWD" "$PWD" --ro-bind "$bin" "$bin" \
    -- "$bin/ampervale_tests" --gtest_brief=1 || expect "unit tests" 0 $?
}

"e2e_$2"
[[ $failures == 0 ]]
