#!/usr/bin/env bash
# Sets up, builds and runs every test: once in the release build and once
# with AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/format.sh --check
scripts/check-macos.sh
for preset in release sanitize; do
  echo "== $preset build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done
tests/syscall_faults/sweep.sh build/release/bin
scripts/fuzz.sh
