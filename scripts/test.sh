#!/usr/bin/env bash
# Installs what is missing, builds and runs every test twice: an optimised build in
# build-test/, then the same tests built with AddressSanitizer and UndefinedBehaviorSanitizer
# in build-asan/ (without the benchmarks); last a fuzz smoke: each libFuzzer target replays
# its corpus and runs a few seconds (scripts/fuzz.sh; longer runs: scripts/fuzz.sh 600).
# Each step prints its time, so a slow step shows. TOLVERN_FUZZ_SECONDS sets the fuzz run.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
source scripts/configure.sh
tolvern_install_deps build run test fuzz

jobs="$(nproc)"
export QT_QPA_PLATFORM=offscreen
start=$SECONDS
step() { echo "== $1 ($((SECONDS - start)) s)"; }

step "build (optimised)"
tolvern_configure build-test -DCMAKE_BUILD_TYPE=Release "-DCMAKE_CXX_FLAGS_RELEASE=-O2 -DNDEBUG"
cmake --build build-test -j"$jobs"
step "tests"
ctest --test-dir build-test --output-on-failure -j"$jobs"

step "build (ASan + UBSan)"
tolvern_configure build-asan -DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_FLAGS_DEBUG=-O0 -g1" \
    -DTOLVERN_SANITIZE=ON -DTOLVERN_BENCH=OFF
cmake --build build-asan -j"$jobs"
step "tests (ASan + UBSan)"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build-asan --output-on-failure -j"$jobs"

step "fuzz smoke"
scripts/fuzz.sh "${TOLVERN_FUZZ_SECONDS:-5}"
step "done"
