#!/usr/bin/env bash
# Sets up, builds and runs every test: in the release build, built with
# Clang, and with AddressSanitizer and UndefinedBehaviorSanitizer; lints the
# manual pages and the scripts a Mac runs; cross-builds for macOS.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/format.sh --check
scripts/check-mac-scripts.sh
scripts/check-macos.sh
echo "== manual pages"
mandoc -T lint -W warning man/*
for preset in release clang sanitize; do
  echo "== $preset build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done
tests/syscall_faults/sweep.sh build/release/bin
scripts/fuzz.sh
