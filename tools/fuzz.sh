#!/bin/bash
# Builds the fuzzers (clang, libFuzzer, ASan and UBSan, in build-fuzz) and runs them.
# Usage: tools/fuzz.sh TARGET SECONDS [libFuzzer options...]
#   TARGET: mesh (the mesh reader), tdf (3DF files through the library), draw (call
#   sequences), or all (the three side by side for SECONDS). New inputs that find new
#   paths go to build-fuzz/corpus/TARGET; crashes to build-fuzz/findings/TARGET. The seeds
#   in fuzz/corpus (written by tools/make_seeds.py) are only read. Exit status is nonzero
#   when a fuzzer found a fault.
# Long runs: nice -n 10 tools/fuzz.sh draw 14400 &   (the hours count per target)
# Races: FUZZ_SANITIZE=thread tools/fuzz.sh draw 600
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
target=${1:-}
seconds=${2:-60}
shift 2 || true
case "$target" in
mesh | tdf | draw | all) ;;
*)
    echo "usage: tools/fuzz.sh mesh|tdf|draw|all SECONDS [libFuzzer options]" >&2
    exit 2
    ;;
esac
case "$seconds" in
'' | *[!0-9]*)
    echo "tools/fuzz.sh: SECONDS must be a whole number, not '$seconds'" >&2
    exit 2
    ;;
esac

# FUZZ_SANITIZE=thread looks for data races instead (the draw target's worker threads),
# in build-fuzz-tsan.
sanitize=${FUZZ_SANITIZE:-address,undefined}
default_build=$root/build-fuzz
[ "$sanitize" = thread ] && default_build=$root/build-fuzz-tsan
build=${FUZZ_BUILD:-$default_build}
if [ ! -f "$build/build.ninja" ]; then
    CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DFUZZ=ON \
        -DSANITIZE="$sanitize" -DBUILD_TESTING=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        >/dev/null
fi
targets=$target
[ "$target" = all ] && targets="mesh tdf draw"
for t in $targets; do
    if ! ninja -C "$build" -j2 "fuzz/fuzz_$t" >"$build/fuzz-build.log" 2>&1; then
        grep -E "error|FAILED" "$build/fuzz-build.log" | head -20
        echo "tools/fuzz.sh: fuzz_$t does not build; log: $build/fuzz-build.log" >&2
        exit 2
    fi
done

# The library talks to nothing: no display, no 60 Hz wait, no dump folder.
export ACCEL_DISPLAY=none ACCEL_VSYNC=0
unset ACCEL_DUMP ACCEL_DEBUG
export ASAN_OPTIONS=${ASAN_OPTIONS:-halt_on_error=1:abort_on_error=1:detect_leaks=1:allocator_may_return_null=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1:suppressions=$root/fuzz/tsan.supp}

# One fuzzer's run; its exit status says whether it found a fault.
run_one()
{
    local t=$1
    shift
    local corpus=$build/corpus/$t findings=$build/findings/$t
    mkdir -p "$corpus" "$findings"
    local dict=()
    [ -f "$root/fuzz/$t.dict" ] && dict=(-dict="$root/fuzz/$t.dict")
    "$build/fuzz/fuzz_$t" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=20 \
        -max_len=65536 -print_final_stats=1 -artifact_prefix="$findings/" "${dict[@]}" "$@" \
        "$corpus" "$root/fuzz/corpus/$t" >"$build/fuzz_$t.log" 2>&1
}

# The fuzzers run side by side, each for SECONDS of the clock: each runs on one thread.
declare -A pid
for t in $targets; do
    echo "fuzz_$t: $seconds s, corpus $build/corpus/$t, findings in $build/findings/$t"
    run_one "$t" "$@" &
    pid[$t]=$!
done
status=0
for t in $targets; do
    if ! wait "${pid[$t]}"; then
        status=1
        echo "fuzz_$t: FOUND A FAULT; the input is in $build/findings/$t; log: $build/fuzz_$t.log"
        grep -E "^(==|SUMMARY|fuzz_|.*runtime error)" "$build/fuzz_$t.log" | head -20
    fi
    echo "fuzz_$t:"
    grep -E "^stat::(number_of_executed_units|peak_rss_mb)|cov: .*corp" "$build/fuzz_$t.log" |
        tail -3
done
exit $status
