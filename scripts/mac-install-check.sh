#!/usr/bin/env bash
# Usage: scripts/mac-install-check.sh BUILD_DIR, on a Mac, as a user who may
# sudo. Installs the backend of BUILD_DIR as the README says, lets launchd
# start the daemon, looks, and removes everything again. Hosted runners are
# virtual machines that may have no AppleSMC: with it, the daemon leaves a
# heartbeat; without it, every command that needs the SMC says so and launchd
# sees the daemon end with status 1 before its loop. Either outcome passes
# when its texts are exact; the log and the job summary say which one this
# Mac gave. Written for the bash 3.2 and BSD tools that macOS ships.
set -euo pipefail
build=$1
readonly app="/Library/Application Support/Ampervale"
readonly ampctl="$app/bin/ampctl" ampkey="$app/bin/ampkey"
readonly job=/Library/LaunchDaemons/chargelimitd.plist service=system/chargelimitd
readonly heartbeat="$app/run/health.json"
readonly version="Ampervale native backend 1.0.0"
readonly no_smc="AppleSMC is unavailable on this Mac"
failures=0

fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
# expect WHAT EXPECTED ACTUAL
expect() { [[ $2 == "$3" ]] || fail "$1: expected [$2], got [$3]"; }
# run [sudo] PROGRAM ARG...: sets status, out and err, and logs all three.
run() {
  status=0
  "$@" >"$scratch/out" 2>"$scratch/err" || status=$?
  out=$(cat "$scratch/out") err=$(cat "$scratch/err")
  echo "\$ $* (status $status)"
  cat "$scratch/out" "$scratch/err"
}
# member NAME: a member of the capabilities document in $out; an object
# gives its sorted key names.
member() {
  python3 -c 'import json, sys
value = json.load(sys.stdin)
for name in sys.argv[1].split("."):
    value = value[name]
print(" ".join(sorted(value)) if isinstance(value, dict) else value)' \
    "$1" <<<"$out"
}
job_info() { sudo launchctl print "$service" 2>&1; }
# Waits up to 30 seconds for COMMAND to succeed.
eventually() {
  local tries=0
  until "$@"; do
    tries=$((tries + 1))
    [[ $tries -lt 60 ]] || return 1
    sleep 0.5
  done
}
# The version a program built here is told: macOS 26 tells one built with
# an older SDK its compatibility number, 16.0.
product_version() {
  local version sdk
  version=$(sw_vers -productVersion)
  sdk=$(xcrun --show-sdk-version 2>/dev/null || echo 0)
  if [[ ${version%%.*} -ge 26 && ${sdk%%.*} -lt 26 ]]; then version=16.0; fi
  echo "$version"
}
exited_with_1() { job_info | grep -Eq 'last exit code = 1([^0-9]|$)'; }
has_heartbeat() { sudo test -s "$heartbeat"; }

scratch=$(mktemp -d)
cleanup() {
  sudo launchctl bootout "$service" 2>/dev/null || true
  sudo rm -rf "$job" "$app" "$scratch"
}
trap cleanup EXIT

echo "== install"
sudo "$(command -v cmake)" --install "$build" --component backend --prefix "$app"
run sudo "$ampctl" install
expect "install" "Native charging daemon configured at the existing backend path" \
  "$out$err"
expect "job mode and owner" "644 root" "$(stat -f '%Lp %Su' "$job")"
plutil -lint "$job"
plutil -p "$job"
# The system's own reader reads back what our CoreFoundation writer wrote.
read_back=
for key in Label ProgramArguments.0 ProgramArguments.1 RunAtLoad KeepAlive \
  ThrottleInterval; do
  read_back+="$(plutil -extract "$key" raw -o - "$job");"
done
expect "job read back" "chargelimitd;$ampctl;daemon;true;true;5;" "$read_back"

echo "== reports before the daemon"
run "$ampkey" --version
expect "ampkey --version" "$version" "$out"
run "$ampctl" capabilities
if [[ $status -ne 0 ]]; then
  smc=absent
  expect "capabilities without AppleSMC" "1 $no_smc" "$status $out$err"
  run "$ampkey" -k ACLC
  expect "ampkey -k ACLC without AppleSMC" "1 $no_smc" "$status $out$err"
else
  smc=present
  expect "backend" "$version" "$(member backend)"
  expect "effectiveUID" "$(id -u)" "$(member effectiveUID)"
  expect "macOS" "Version $(product_version) (Build $(sw_vers -buildVersion))" \
    "$(member macOS)"
  expect "probed keys" "ACLC CH0B CH0C CH0I CH0J CHIE CHTE bfD0 bfE0 bfF0" \
    "$(member keys)"
  [[ " firmware legacyPair legacySingle unsupported " == *" $(member chargeMode) "* ]] ||
    fail "chargeMode $(member chargeMode)"
  # ampkey reads ACLC as the probe did: its bytes, or the probe's error.
  aclc=$(member keys.ACLC)
  run "$ampkey" -k ACLC
  if [[ $aclc == "available (1 bytes)" ]]; then
    [[ $status -eq 0 && $out =~ ^ACLC:\ [0-9a-f]{2}$ ]] || fail "ampkey -k ACLC: $out$err"
  elif [[ $aclc == "unexpected payload width "* ]]; then
    [[ $status -eq 0 && $out =~ ^ACLC:\ ([0-9a-f]{2})+$ ]] || fail "ampkey -k ACLC: $out$err"
  else
    expect "ampkey -k ACLC" "1 $aclc" "$status $out$err"
  fi
fi
echo "AppleSMC on this Mac: $smc"

echo "== launchd runs the job"
sudo launchctl bootstrap system "$job"
if [[ $smc == present ]]; then
  eventually has_heartbeat || fail "no heartbeat in $heartbeat"
  job_info
  expect "heartbeat from launchd's daemon" \
    "$(job_info | sed -nE 's/^[[:space:]]*pid = ([0-9]+)$/\1/p')" \
    "$(sudo cat "$heartbeat" | python3 -c 'import json, sys
print(json.load(sys.stdin)["pid"])')"
else
  eventually exited_with_1 || fail "launchd saw no exit with status 1"
  job_info
  has_heartbeat && fail "a heartbeat without AppleSMC"
fi
job_info | grep -qF "program = $ampctl" || fail "launchd does not run $ampctl"
run sudo "$ampctl" capabilities
run sudo "$ampctl" status
[[ $smc == present ]] || expect "status without AppleSMC" "1 $no_smc" "$status $out$err"

echo "== the way back"
sudo launchctl bootout "$service"
job_info >/dev/null && fail "the job is still loaded after bootout"
run sudo "$ampctl" restore-system-charging
[[ $smc == present ]] ||
  expect "restore without AppleSMC" "1 $no_smc" "$status $out$err"
sudo rm "$job"
sudo rm -r "$app"
[[ ! -e $job && ! -e $app ]] || fail "files left behind"

summary="Install check: AppleSMC $smc, $failures failure(s)"
echo "$summary"
[[ -z ${GITHUB_STEP_SUMMARY:-} ]] || echo "$summary" >>"$GITHUB_STEP_SUMMARY"
[[ $failures -eq 0 ]]
