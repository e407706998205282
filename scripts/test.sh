#!/usr/bin/env bash
# Installs what is missing, builds and runs every test twice: a normal build in build/,
# then the same tests built with AddressSanitizer and UndefinedBehaviorSanitizer in build-asan/;
# last, each fuzz target runs for 30 seconds (scripts/fuzz.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
tolvern_install_deps

jobs="$(nproc)"
export QT_QPA_PLATFORM=offscreen

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DTOLVERN_SANITIZE=ON
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build-asan --output-on-failure -j"$jobs"

scripts/fuzz.sh 30
