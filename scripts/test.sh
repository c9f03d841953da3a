#!/usr/bin/env bash
# Builds and runs every test: natively with -Werror, under AddressSanitizer
# and UndefinedBehaviorSanitizer, and cross-built for 32-bit big-endian
# PowerPC under qemu-ppc, the threaded tests under ThreadSanitizer, the
# fuzz targets and the benchmarks; then installs and builds the example daemon against the
# installed prefix. Fails when any step fails or runs no test.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc 2>/dev/null || echo 2)

bash scripts/deps.sh

step() { printf '\n==== %s ====\n' "$*"; }

build_and_test() {  # name, ctest args..., -- cmake args...
  local name=$1; shift
  local ctest_args=()
  while [ $# -gt 0 ] && [ "$1" != "--" ]; do ctest_args+=("$1"); shift; done
  shift
  step "$name: configure and build"
  cmake -S . -B "build/$name" -G Ninja -DSYSLIB_WERROR=ON "$@" >/dev/null
  cmake --build "build/$name" -j "$jobs"
  step "$name: test"
  (cd "build/$name" && ctest --no-tests=error --output-on-failure -j "$jobs" "${ctest_args[@]}")
}

# The native and PowerPC trees are Release builds of everything, tools
# included, as the device and the main job build them.
# With debug information, for the interface check below; the library is
# measured stripped.
build_and_test native -- -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_FLAGS=-g -DCMAKE_CXX_FLAGS=-g
build_and_test asan -- -DCMAKE_BUILD_TYPE=Debug -DSYSLIB_SANITIZE=address,undefined
build_and_test ppc -- -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_FLAGS=-g -DCMAKE_CXX_FLAGS=-g \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/powerpc-linux-gnu.cmake"
readelf -h build/ppc/src/libsyslib.so.1 | grep -q 'PowerPC'

step "abi: the exported interface against the recorded one"
bash scripts/abi-baseline.sh --check
step "docs: docs/tqsys.md is tqsys(1)"
bash scripts/docs.sh --check

# The library's footprint on the device: stripped, at most a tenth more
# than the 67,244 bytes it had when it stopped needing the C++ runtime.
step "ppc: library size"
stripped=$(mktemp)
powerpc-linux-gnu-strip -o "$stripped" build/ppc/src/libsyslib.so.1
bytes=$(stat -c %s "$stripped")
text=$(powerpc-linux-gnu-size "$stripped" | awk 'NR == 2 { print $1 }')
rm -f "$stripped"
bound=73968
echo "libsyslib.so.1 on ppc32, Release, stripped: $bytes bytes ($text of text); bound $bound"
if [ "$bytes" -gt "$bound" ]; then
  echo "the library grew past its bound" >&2
  exit 1
fi

# The threaded reliability test once more under ThreadSanitizer.
if compgen -G "tests/reliability/CMakeLists.txt" >/dev/null; then
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
    build_and_test tsan -L concurrency -- -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSYSLIB_SANITIZE=thread \
    -DSYSLIB_BUILD_TOOLS=OFF
fi

if compgen -G "fuzz/*/CMakeLists.txt" >/dev/null; then
  build_and_test fuzz -L fuzz -- -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSYSLIB_BUILD_FUZZ=ON \
    -DSYSLIB_BUILD_TESTS=OFF -DSYSLIB_BUILD_TOOLS=OFF \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
fi
# The benchmarks are verdicts: every bound's line is shown, pass or fail.
step "bench: configure and build"
cmake -S . -B build/bench -G Ninja -DSYSLIB_WERROR=ON -DCMAKE_BUILD_TYPE=Release -DSYSLIB_BUILD_BENCH=ON \
  -DSYSLIB_BUILD_TESTS=OFF -DSYSLIB_BUILD_TOOLS=OFF >/dev/null
cmake --build build/bench -j "$jobs"
step "bench: verdicts"
bench_status=0
(cd build/bench && ctest --no-tests=error -L bench -V) > build/bench.log 2>&1 || bench_status=$?
grep -E 'verdict (PASS|FAIL|SKIP)' build/bench.log | sed 's/^[0-9]*: //'
if [ "$bench_status" -ne 0 ]; then
  tail -n 40 build/bench.log
  exit "$bench_status"
fi

step "install, then build and run the example daemon against the prefix"
# A prefix without blanks even when the checkout has one: pkg-config
# escapes a blank in the flags it prints, which the example's build
# splits as any shell would.
prefix=$(mktemp -d "${TMPDIR:-/tmp}/syslib-stage.XXXXXX")
trap 'rm -rf "$prefix"' EXIT
cmake --install build/native --prefix "$prefix" >/dev/null
bash examples/daemon/check.sh "$prefix"

step "all tests passed"
