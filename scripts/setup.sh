#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, when
# any is missing. Needs root only when something has to be installed.
set -euo pipefail

packages=(
  g++ clang cmake ninja-build pkg-config make
  libgtest-dev libgmock-dev libbenchmark-dev
  nlohmann-json3-dev libplist-dev
  bubblewrap python3 gnuplot-nox
  clang-format clang-tidy strace mandoc
)

missing=()
for package in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$package")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

if [[ $(id -u) -ne 0 ]]; then
  echo "Missing packages: ${missing[*]}; run this script as root once." >&2
  exit 1
fi
echo "Installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
