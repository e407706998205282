#!/usr/bin/env bash
# Installs what is missing, builds and runs every test twice: an optimised build in
# build-test/ (GCC, as the package is built), then the same tests built with clang,
# AddressSanitizer and UndefinedBehaviorSanitizer in build-asan/, which also links the libFuzzer
# targets from its objects; and a fuzz smoke: each libFuzzer target replays its corpus and runs
# a few seconds (TOLVERN_FUZZ_SECONDS, default 5; longer: scripts/fuzz.sh).
# The sanitizer tree and the benchmarks compile, and the fuzzers run, at the lowest priority
# while the tests of the tree before run, since those mostly wait on sockets and disks: the
# tests keep the processor whenever they want it. Both trees link with lld.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
source scripts/configure.sh
tolvern_install_deps build run test fuzz

jobs="$(nproc)"
export QT_QPA_PLATFORM=offscreen
start=$SECONDS
step() { echo "== $1 ($((SECONDS - start)) s)"; }
# A failing step leaves no compiler running behind it.
trap 'kill $(jobs -p) 2>/dev/null || true' EXIT

# background NAME COMMAND...: runs COMMAND niced with its output in NAME.log.
background() {
    local name="$1"
    shift
    (nice -n 19 "$@" > "$name.log" 2>&1; echo $? > "$name.rc") &
}
# finish NAME: waits for it; on failure shows its output and fails.
finish() {
    wait
    if [ "$(cat "$1.rc")" != 0 ]; then
        tail -n 60 "$1.log"
        echo "== $1 failed"
        exit 1
    fi
}

# lld links the tests' executables in a fraction of the time of GNU ld.
lld=(-DCMAKE_EXE_LINKER_FLAGS=-fuse-ld=lld -DCMAKE_SHARED_LINKER_FLAGS=-fuse-ld=lld)

step "build (optimised): what the tests need"
tolvern_configure build-test -DCMAKE_BUILD_TYPE=Release "-DCMAKE_CXX_FLAGS_RELEASE=-O1 -DNDEBUG" \
    "${lld[@]}"
cmake --build build-test -j"$jobs" --target tests/all

step "tests, while the sanitizer build compiles"
# clang compiles this tree in half GCC's time and links the fuzz targets in it.
tolvern_configure build-asan -DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_FLAGS_DEBUG=-O0 -g1" \
    -DTOLVERN_SANITIZE=ON -DTOLVERN_BENCH=OFF -DCMAKE_CXX_COMPILER=clang++ "${lld[@]}"
background build-asan/compile cmake --build build-asan -j"$jobs"
ctest --test-dir build-test --output-on-failure -j"$jobs"
finish build-asan/compile

step "tests (ASan + UBSan), while the benchmarks compile and the fuzz targets run"
background build-asan/fuzz bash -c "cmake --build build-test -j$jobs && \
    scripts/fuzz.sh --run-only ${TOLVERN_FUZZ_SECONDS:-5} --tree build-asan"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build-asan --output-on-failure -j"$jobs"

step "benchmarks built, fuzz smoke"
finish build-asan/fuzz
grep -E '^fuzz' build-asan/fuzz.log
step "done"
