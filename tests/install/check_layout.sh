#!/usr/bin/env bash
# Installs a build into scratch DESTDIRs, component by component, under two
# prefixes and checks every file that lands, and its mode: no more, no less.
# Usage: check_layout.sh CMAKE BUILD_DIR HAS_SIMULATOR(1|0)
set -euo pipefail
readonly cmake=$1 build=$2 has_simulator=$3
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

backend() {
  printf -- '-rwxr-xr-x %s\n' "$1"/bin/amp{ctl,key}
  printf -- '-rw-r--r-- %s\n' "$1"/share/man/man8/amp{ctl,key}.8
}
simulator() {
  [[ $has_simulator == 1 ]] || return 0
  printf -- '-rwxr-xr-x %s\n' "$1/bin/ampsim"
  printf -- '-rw-r--r-- %s\n' "$1/share/man/man1/ampsim.1"
}

failures=0
# check PREFIX COMPONENT (empty: all) EXPECTED
check() {
  destdir=$(mktemp -d "$scratch/root.XXXXXX")
  DESTDIR=$destdir "$cmake" --install "$build" --prefix "$1" \
    ${2:+--component "$2"} >/dev/null
  # ls -l rather than stat or find -printf, which differ between systems.
  actual=$(cd "$destdir" && find . -type f -exec ls -l {} + |
    sed -E 's/^(.{10})[^[:space:]]* +([^[:space:]]+ +){7}\./\1 /' | sort)
  diff -u --label "expected: prefix $1, component ${2:-(all)}" \
    --label installed <(sort <<<"$3") <(echo "$actual") ||
    failures=$((failures + 1))
}

readonly product="/Library/Application Support/Ampervale"
check "$product" backend "$(backend "$product")"
check "$product" simulator "$(simulator "$product")"
check /usr/local "" "$(backend /usr/local; simulator /usr/local)"
exit $((failures > 0))
