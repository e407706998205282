#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan and UBSan) in build-fuzz/ and runs each for
# the given number of seconds (default 30), starting from its seed corpus in
# fuzz/<target>/corpus/. New inputs go to build-fuzz/corpus/, crashes to build-fuzz/artifacts/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-30}"
source scripts/deps.sh
tolvern_install_deps

cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOLVERN_FUZZ=ON \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
cmake --build build-fuzz -j"$(nproc)"

export ASAN_OPTIONS=abort_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
failed=()
for target in protoconn controlconn serverfileconn clientreply inifile; do
    mkdir -p "build-fuzz/corpus/$target" build-fuzz/artifacts
    echo "== fuzz_$target for ${seconds}s"
    if ! "build-fuzz/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=10 \
        -rss_limit_mb=4096 -max_len=200000 -print_final_stats=1 \
        -artifact_prefix="build-fuzz/artifacts/$target-" \
        "build-fuzz/corpus/$target" "fuzz/$target/corpus"; then
        failed+=("$target")
    fi
done
if [ ${#failed[@]} -ne 0 ]; then
    echo "fuzz: failed: ${failed[*]} (inputs in build-fuzz/artifacts/)"
    exit 1
fi
echo "fuzz: every target ran ${seconds}s without a finding"
