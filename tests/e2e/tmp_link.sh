#!/usr/bin/env bash
# Usage: tmp_link.sh TEST_BINARY. Runs the unit tests as an ordinary user in
# a sandbox whose /tmp is a symbolic link to private/tmp, as on a Mac: the
# store refuses a parent that is a link, so every test must work from the
# real path of its scratch folder.
set -euo pipefail
binary=$(realpath "$1")
source "$(dirname "$0")/sandbox.sh"
library=$(mktemp -d)
trap 'rm -rf "$library"' EXIT
# shellcheck disable=SC2034 # read by sandbox
sandbox_tmp=(--perms 1777 --tmpfs /private/tmp --symlink private/tmp /tmp)
sandbox 1000 "$library" --ro-bind "$PWD" "$PWD" \
  --ro-bind "$(dirname "$binary")" "$(dirname "$binary")" --chdir / \
  -- "$binary" --gtest_brief=1
