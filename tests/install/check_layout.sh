#!/usr/bin/env bash
# Installs a build into scratch DESTDIRs, component by component, under the
# product's prefix and under /usr/local, and compares every file that lands,
# with its permissions, with what the installation must hold: nothing
# missing, nothing extra, nothing outside the prefix.
# Usage: check_layout.sh CMAKE BUILD_DIR HAS_SIMULATOR(1|0)
set -euo pipefail
readonly cmake=$1 build=$2 has_simulator=$3
scratch=$(mktemp -d)
readonly scratch
trap 'rm -rf "$scratch"' EXIT

backend() {
  printf -- '-rwxr-xr-x %s\n' "$1/bin/ampctl" "$1/bin/ampkey"
  printf -- '-rw-r--r-- %s\n' "$1/share/man/man8/ampctl.8" \
    "$1/share/man/man8/ampkey.8"
}
simulator() {
  [[ $has_simulator == 1 ]] || return 0
  printf -- '-rwxr-xr-x %s\n' "$1/bin/ampsim"
  printf -- '-rw-r--r-- %s\n' "$1/share/man/man1/ampsim.1"
}

failures=0
# check PREFIX COMPONENT (empty: all) EXPECTED
check() {
  local destdir actual
  destdir=$(mktemp -d "$scratch/root.XXXXXX")
  DESTDIR=$destdir "$cmake" --install "$build" --prefix "$1" \
    ${2:+--component "$2"} >/dev/null
  # ls -l rather than stat or find -printf, which differ between systems.
  actual=$(cd "$destdir" && find . -type f | while IFS= read -r file; do
    echo "$(ls -l "$file" | cut -c1-10) ${file#.}"
  done | sort)
  if [[ "$actual" != "$(sort <<<"$3")" ]]; then
    echo "prefix $1, component ${2:-(all)}:"
    diff <(sort <<<"$3") <(echo "$actual") || true
    failures=$((failures + 1))
  fi
}

readonly product="/Library/Application Support/Ampervale"
check "$product" backend "$(backend "$product")"
check "$product" simulator "$(simulator "$product")"
check /usr/local "" "$(backend /usr/local; simulator /usr/local)"
exit $((failures > 0))
