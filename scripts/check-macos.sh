#!/usr/bin/env bash
# Builds ampctl and ampkey for arm64 and x86_64 macOS on Linux, through the
# project's own Apple build, with zig as the compiler and the IOKit and
# CoreFoundation declarations of cmake/apple-sdk, warnings as errors. Fails
# when a source stops compiling or linking for macOS (a Linux-only call, a
# seam that no longer builds) or when a program loads anything beyond IOKit,
# CoreFoundation, libSystem and libc++.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
zig=${AMPERVALE_ZIG:-/var/cache/ampervale/zig-0.11.0/zig}
objdump=llvm-objdump-14
[[ -x "$zig" ]] || { echo "check-macos: no zig at $zig; run scripts/setup.sh" >&2; exit 1; }
export AMPERVALE_ZIG=$zig
# zig builds libc++ once per architecture; keep it beside zig when we may,
# otherwise in zig's own cache under $HOME.
shared_cache=/var/cache/ampervale/zig-cache
if [[ -z "${ZIG_GLOBAL_CACHE_DIR:-}" ]] && mkdir -p "$shared_cache" 2>/dev/null &&
  [[ -w "$shared_cache" ]]; then
  export ZIG_GLOBAL_CACHE_DIR=$shared_cache
fi

# The only files of the host a macOS build may see: nlohmann's headers and
# its package configuration, under a root of their own.
out=$root/build/macos-check
deps=$out/deps
rm -rf "$deps"
mkdir -p "$deps/usr/include" "$deps/usr/share/cmake"
ln -s /usr/include/nlohmann "$deps/usr/include/nlohmann"
cp -r /usr/share/cmake/nlohmann_json "$deps/usr/share/cmake/"

allowed='^(/usr/lib/libSystem\.B\.dylib|/usr/lib/libc\+\+\.1\.dylib|/System/Library/Frameworks/(IOKit|CoreFoundation)\.framework/Versions/A/(IOKit|CoreFoundation))$'
failures=0
fail() { echo "check-macos: $*" >&2; failures=$((failures + 1)); }

for arch in arm64 x86_64; do
  build=$out/$arch
  echo "== macOS $arch build"
  cmake -S . -B "$build" -G Ninja --log-level=WARNING \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/zig-macos.cmake" \
    -DAMPERVALE_NLOHMANN_ROOT="$deps" \
    -DCMAKE_OSX_ARCHITECTURES="$arch" -DCMAKE_OSX_DEPLOYMENT_TARGET=11.0 \
    -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DAMPERVALE_WERROR=ON \
    -DCMAKE_CXX_COMPILER_LAUNCHER= >/dev/null
  cmake --build "$build" --target ampctl ampkey -j2
  if grep -qE -- "-I ?/usr/|-isystem ?/usr/" "$build/compile_commands.json"; then
    fail "$arch: a host include folder on a macOS compile line"
  fi
  for program in ampctl ampkey; do
    binary=$build/bin/$program
    header=$("$objdump" --macho --private-header "$binary")
    grep -qiE "MH_MAGIC_64 +$(tr a-z A-Z <<<"${arch/arm64/ARM64}")" <<<"$header" ||
      fail "$program is not a $arch Mach-O executable"
    for library in $("$objdump" --macho --dylibs-used "$binary" |
                     awk '/^\t/ {print $1}'); do
      [[ "$library" =~ $allowed ]] || fail "$program ($arch) loads $library"
    done
  done
done
[[ $failures -eq 0 ]] || exit 1
echo "macOS check passed: ampctl and ampkey for arm64 and x86_64"
