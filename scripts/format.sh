#!/usr/bin/env bash
# Formats every C++ file in place; with --check, only reports the ones that
# are not formatted and fails.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files '*.h' '*.cc' 2>/dev/null || true)
[[ ${#files[@]} -eq 0 ]] && exit 0
if [[ "${1:-}" == "--check" ]]; then
  clang-format --dry-run --Werror "${files[@]}"
else
  clang-format -i "${files[@]}"
fi
