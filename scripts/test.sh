#!/usr/bin/env bash
# Installs what it needs, then builds and runs every test: a normal build, an
# AddressSanitizer + UndefinedBehaviorSanitizer build, the thread tests under
# ThreadSanitizer, and each fuzz target for a bounded time. The desktop tests
# (tests/gui: the program on a private Xvfb display with a tray host) run in
# the normal build only: under the sanitizers Qt's and fontconfig's own
# allocations would be reported as leaks. Last, the packager's build: a
# Release build, its .deb inspected, installed, tried and removed
# (scripts/package.sh; the installing part only as root).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
jobs=$(nproc)
fuzz_seconds=${FUZZ_SECONDS:-30}

step() { printf '\n=== %s ===\n' "$*"; }

step "normal build"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVINA_WERROR=ON >/dev/null
cmake --build build -j"$jobs"
step "tests (normal build)"
ctest --test-dir build --output-on-failure

step "ASan+UBSan build"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTARVINA_SANITIZE=asan -DTARVINA_BENCH=OFF -DTARVINA_WERROR=ON >/dev/null
cmake --build build-asan -j"$jobs"
step "tests (ASan+UBSan)"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure

step "TSan build (thread tests)"
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTARVINA_SANITIZE=tsan -DTARVINA_BENCH=OFF -DTARVINA_WERROR=ON >/dev/null
cmake --build build-tsan -j"$jobs" --target tarvina_thread_tests
step "thread tests (TSan)"
# Newer kernels randomise mmap beyond what this TSan runtime maps; run without ASLR.
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 setarch "$(uname -m)" -R build-tsan/bin/tarvina_thread_tests

if ls fuzz/*.cpp >/dev/null 2>&1; then
  step "fuzz targets (clang + libFuzzer, ${fuzz_seconds}s each)"
  cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
    -DTARVINA_FUZZ=ON -DTARVINA_SANITIZE=asan -DTARVINA_BENCH=OFF -DTARVINA_WERROR=ON >/dev/null
  cmake --build build-fuzz -j"$jobs" --target fuzzers
  for f in build-fuzz/bin/fuzz_*; do
    name=$(basename "$f")
    corpus="build-fuzz/corpus/$name"
    mkdir -p "$corpus"
    seeds="fuzz/seeds/${name#fuzz_}"
    [ -d "$seeds" ] || seeds=""
    echo "--- $name"
    "$f" -max_total_time="$fuzz_seconds" -print_final_stats=1 "$corpus" $seeds 2>&1 | tail -n 3
  done
fi
step "Release build and Debian package"
scripts/package.sh build-release

step "all tests passed"
