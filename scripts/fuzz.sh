#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan and UBSan) in build-fuzz/ and runs each for
# the given number of seconds (default 30) after replaying its seed corpus fuzz/<target>/corpus/
# and what earlier runs found (build-fuzz/corpus/<target>/). Crashes go to build-fuzz/artifacts/.
#   scripts/fuzz.sh [SECONDS]          build, then run
#   scripts/fuzz.sh --build-only       build only (test.sh builds while other tests run)
#   scripts/fuzz.sh --run-only SECONDS run what was built
#   scripts/fuzz.sh --run-only SECONDS --tree DIR
#                                      run the targets of another clang tree, such as test.sh's
#                                      sanitizer tree, which links them from its own objects
set -euo pipefail
cd "$(dirname "$0")/.."
build=1
run=1
case "${1:-}" in
--build-only) run=0; shift ;;
--run-only) build=0; shift ;;
esac
seconds="${1:-30}"
tree=build-fuzz
if [ "${2:-}" = --tree ] && [ -n "${3:-}" ]; then
    tree="$3"
fi

if [ "$build" -eq 1 ]; then
    source scripts/deps.sh
    source scripts/configure.sh
    tolvern_install_deps build fuzz
    # -O1 with line tables: the instrumented build costs a fifth less to compile than -O2 -g,
    # and findings still come with their lines.
    tolvern_configure build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOLVERN_FUZZ=ON \
        "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG" \
        -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
    cmake --build build-fuzz -j"$(nproc)"
fi
[ "$run" -eq 1 ] || exit 0

export ASAN_OPTIONS=abort_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export QT_QPA_PLATFORM=offscreen
# Every target at once: each runs for the same wall-clock time, so together they take one
# target's time; logs and results per target in the tree.
ran=0
targets=()
for binary in "$tree"/fuzz/fuzz_*; do
    [ -f "$binary" ] && [ -x "$binary" ] || continue
    target="${binary##*/fuzz_}"
    mkdir -p "$tree/corpus/$target" "$tree/artifacts"
    seeds=()
    [ -d "fuzz/$target/corpus" ] && seeds=("fuzz/$target/corpus")
    ("$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 -max_len=200000 \
        -print_final_stats=1 -artifact_prefix="$tree/artifacts/$target-" \
        "$tree/corpus/$target" "${seeds[@]}" > "$tree/$target.log" 2>&1
        echo $? > "$tree/$target.rc") &
    targets+=("$target")
    ran=$((ran + 1))
done
wait
if [ "$ran" -eq 0 ]; then
    echo "fuzz: no target was built"
    exit 1
fi
failed=()
for target in "${targets[@]}"; do
    runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$tree/$target.log")"
    if [ "$(cat "$tree/$target.rc")" != 0 ]; then
        tail -n 40 "$tree/$target.log"
        failed+=("$target")
    fi
    echo "fuzz_$target: corpus replayed, ${runs:-?} inputs in ${seconds}s"
done
if [ ${#failed[@]} -ne 0 ]; then
    echo "fuzz: failed: ${failed[*]} (inputs in $tree/artifacts/)"
    exit 1
fi
echo "fuzz: $ran targets ran ${seconds}s each without a finding"
