#!/usr/bin/env bash
# Fails when a script that a Mac runs uses what only GNU's sed and grep, or
# bash 4, understand: macOS has BSD sed and grep and bash 3.2, which read
# `\S` in a regular expression as a plain S and match nothing, without an
# error. The scripts a Mac runs are the macOS workflow's own steps, the
# scripts it names, and those the tests run on a Mac (every add_test outside
# the Linux-only tests/e2e).
set -euo pipefail
cd "$(dirname "$0")/.."
workflow=.github/workflows/macos.yml

mac_scripts() {
  echo "$workflow"
  grep -oE '(scripts|tests)/[A-Za-z0-9_./-]+\.sh' "$workflow" || true
  find . -name CMakeLists.txt -not -path './build/*' -not -path './tests/e2e/*' \
    -exec grep -hoE 'COMMAND +[A-Za-z0-9_./-]+\.sh' {} + | awk '{print $2}'
}

# Each pattern (ERE) => why it breaks on a Mac.
rules=(
  '\\[SswWbB<>] => class escapes and word boundaries; use [[:space:]] and friends'
  "(sed|grep)( +-[A-DF-Za-z]+)* +'[^']*\\\\[+?|] => \\+, \\? and \\| in a basic regular expression; use -E"
  'sed( +-[A-Za-z]+)* +(-i|--in-place)( |$) => sed -i differs between GNU and BSD; write a new file and move it'
  'grep( +-[A-Za-z]+)* +-[A-Za-z]*P => grep -P; use -E'
  '(mapfile|readarray|coproc|declare -A|local -A) => a bash 4 builtin; macOS has bash 3.2'
  'find .*-printf|stat -c|xargs -r => find -printf, stat -c, xargs -r; use ls -l and plain xargs'
)

failures=0
for file in $(mac_scripts | sort -u); do
  [[ -f $file ]] || { echo "check-mac-scripts: $file is missing" >&2; exit 1; }
  for rule in "${rules[@]}"; do
    # Comments may name what they warn about.
    if grep -nE "${rule%% => *}" "$file" | grep -vE '^[0-9]+: *#'; then
      echo "check-mac-scripts: $file: ${rule#* => }" >&2
      failures=$((failures + 1))
    fi
  done
done
[[ $failures -eq 0 ]] || exit 1
echo "Scripts a Mac runs use only what macOS has"
