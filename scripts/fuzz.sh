#!/usr/bin/env bash
# Builds the fuzzers (the `fuzz` preset, Clang with AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each for RUNS inputs (default 25000:
# 100,000 in all), starting from its seed corpus in tests/fuzz/corpus/.
# A crash, a sanitizer report or a failed check fails the script; the input
# that caused it is kept in build/fuzz/findings/.
#   scripts/fuzz.sh            what scripts/test.sh runs
#   scripts/fuzz.sh 10000000   a long run
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-25000}
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
mkdir -p build/fuzz/findings
failed=()
for seeds in tests/fuzz/corpus/*/; do
  name=$(basename "$seeds")
  # New inputs go to a corpus of the build's own; the seeds stay as they are.
  corpus=build/fuzz/corpus/$name
  mkdir -p "$corpus"
  echo "== ${name}_fuzzer: $runs inputs"
  if "build/fuzz/bin/${name}_fuzzer" -runs="$runs" -max_len=4096 \
    -timeout=20 -artifact_prefix="build/fuzz/findings/$name-" \
    "$corpus" "$seeds" >"build/fuzz/$name.log" 2>&1; then
    grep -E '^#[0-9]+\s+DONE' "build/fuzz/$name.log" | tail -n 1
  else
    grep -E 'fuzz check failed|ERROR|SUMMARY|Test unit written|runtime error' \
      "build/fuzz/$name.log" | head -n 8
    failed+=("$name")
  fi
done
if [[ ${#failed[@]} -gt 0 ]]; then
  echo "Fuzzers that failed: ${failed[*]} (logs in build/fuzz/)" >&2
  exit 1
fi
