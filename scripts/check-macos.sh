#!/usr/bin/env bash
# Builds ampctl, ampkey and the wake check's program (tests/mac) for arm64
# and x86_64 macOS on Linux, and the unit tests for arm64 with IOKit and
# with the simulated platform, through the project's own Apple build, with
# zig as the compiler and the IOKit and CoreFoundation declarations of
# cmake/apple-sdk, warnings as errors. Fails
# when a source or a test stops compiling or linking for macOS (a Linux-only
# call, a seam that no longer builds, a call newer than macOS 11) or when a
# program loads anything beyond IOKit, CoreFoundation, libSystem and libc++.
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

# configure SOURCE BUILD ARCH [CMAKE OPTION ...]: a Release build for macOS
# 11 on ARCH, warnings as errors.
configure() {
  local source=$1 build=$2 arch=$3
  shift 3
  cmake -S "$source" -B "$build" -G Ninja --log-level=WARNING \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/zig-macos.cmake" \
    -DAMPERVALE_NLOHMANN_ROOT="$deps" \
    -DCMAKE_OSX_ARCHITECTURES="$arch" -DCMAKE_OSX_DEPLOYMENT_TARGET=11.0 \
    -DCMAKE_BUILD_TYPE=Release -DAMPERVALE_WERROR=ON \
    -DCMAKE_CXX_COMPILER_LAUNCHER= "$@" >/dev/null
}
check_compile_lines() {
  if grep -qE -- "-I ?/usr/|-isystem ?/usr/" "$1/compile_commands.json"; then
    fail "$1: a host include folder on a macOS compile line"
  fi
  grep -qF -- -Werror=unguarded-availability-new "$1/compile_commands.json" ||
    fail "$1: calls newer than macOS 11 are not refused"
}

# The unit tests are built for one architecture, against GoogleTest and
# GoogleMock compiled for it from Debian's source package; they cannot run
# here, but a test that stops compiling for macOS fails the check.
tests_arch=arm64
gtest=$out/googletest-$tests_arch
echo "== GoogleTest for macOS $tests_arch"
configure /usr/src/googletest "$gtest/build" "$tests_arch" -DAMPERVALE_WERROR=OFF
cmake --build "$gtest/build" -j2
cmake --install "$gtest/build" --prefix "$gtest/root/usr" >/dev/null
# Discovering the tests would run them: that waits for ctest on a Mac.
with_tests=(-DBUILD_TESTING=ON -DAMPERVALE_GTEST_ROOT="$gtest/root"
  -DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST)

for arch in arm64 x86_64; do
  build=$out/$arch
  targets=(ampctl ampkey mac_wake_check)
  options=(-DBUILD_TESTING=OFF)
  if [[ $arch == "$tests_arch" ]]; then
    targets+=(ampervale_tests)
    options=("${with_tests[@]}")
  fi
  echo "== macOS $arch build: ${targets[*]}"
  configure . "$build" "$arch" "${options[@]}"
  cmake --build "$build" --target "${targets[@]}" -j2
  check_compile_lines "$build"
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

echo "== macOS $tests_arch build with the simulated platform: ampervale_tests"
build=$out/simulated-$tests_arch
configure . "$build" "$tests_arch" "${with_tests[@]}" \
  -DAMPERVALE_SIMULATED_PLATFORM=ON
cmake --build "$build" --target ampervale_tests -j2
check_compile_lines "$build"

# The declarations are as strict as Apple's: each probe, DIAGNOSTIC|CODE,
# must fail to compile with that diagnostic.
probes=(
  "-Wunguarded-availability-new|#include <IOKit/IOKitLib.h>
mach_port_t Port() { return kIOMainPortDefault; }"
  "no known conversion from 'int' to 'CFNumberType'|#include <CoreFoundation/CoreFoundation.h>
CFNumberRef Number(long value) { return CFNumberCreate(0, 4, &value); }"
)
for probe in "${probes[@]}"; do
  diagnostic=${probe%%|*} code=${probe#*|}
  if "$root/cmake/zig-c++" -arch arm64 -mmacosx-version-min=11.0 \
    -F "$root/cmake/apple-sdk" -Werror=unguarded-availability-new \
    -fsyntax-only -x c++ - <<<"$code" >"$out/probe.log" 2>&1; then
    fail "compiled, but should not: $code"
  elif ! grep -qF -- "$diagnostic" "$out/probe.log"; then
    fail "no $diagnostic for: $code"
    cat "$out/probe.log" >&2
  fi
done
[[ $failures -eq 0 ]] || exit 1
echo "macOS check passed: ampctl, ampkey and mac_wake_check for arm64 and" \
  "x86_64, ampervale_tests for $tests_arch with IOKit and with the simulated platform"
