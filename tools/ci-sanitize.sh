#!/bin/bash
# The whole suite again under the sanitizers: everything built with ASan and UBSan
# (build-asan) runs every test; the rasterizer's threads built with TSan (build-tsan) run
# the rasterizer's tests (label "accel"). Any failing test or any sanitizer report, even
# from a child process whose test passed, makes the exit status nonzero.
# Usage: tools/ci-sanitize.sh [asan|tsan|all]   (default all)
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
which=${1:-all}
case "$which" in
asan | tsan | all) ;;
*)
    echo "usage: tools/ci-sanitize.sh [asan|tsan|all]" >&2
    exit 2
    ;;
esac
jobs=${JOBS:-2}
failed=0

# LeakSanitizer stops the process's threads with ptrace; some sandboxes forbid that. Find
# out once with a program that leaks on purpose, and only then turn leak checks off.
leaks_work()
{
    local dir
    dir=$(mktemp -d)
    printf '#include <stdlib.h>\nint main(void){void *volatile p = malloc(7); p = 0; return 0;}\n' \
        >"$dir/leak.c"
    local out=""
    if cc -fsanitize=address -g "$dir/leak.c" -o "$dir/leak" 2>/dev/null; then
        out=$(ASAN_OPTIONS=detect_leaks=1 "$dir/leak" 2>&1)
    fi
    rm -rf "$dir"
    case "$out" in
    *"detected memory leaks"*) return 0 ;;
    *) return 1 ;;
    esac
}

# Reports go to files as well as failing the process, so that a report from a program a
# test started (the demo on a terminal) is never lost in a test that expected a failure.
report_dir_check()
{
    local dir=$1 name=$2
    if compgen -G "$dir/*" >/dev/null; then
        echo "ci-sanitize: $name reports:"
        for f in "$dir"/*; do
            echo "---- $f"
            head -60 "$f"
        done
        failed=1
    fi
}

build_suite()
{
    local build=$1 sanitize=$2 target=$3
    echo "ci-sanitize: building $build (-DSANITIZE=$sanitize)"
    mkdir -p "$build"
    # Warnings are the plain build's business (-DWERROR=ON there): GCC's flow analysis
    # under the sanitizers warns about library code (std::regex's std::function members
    # "maybe uninitialized") that is fine.
    if ! cmake -S "$root" -B "$build" -G Ninja -DWERROR=OFF -DSANITIZE="$sanitize" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$build/configure.log" 2>&1; then
        cat "$build/configure.log"
        return 1
    fi
    if ! ninja -C "$build" -j"$jobs" "$target" >"$build/build.log" 2>&1; then
        grep -E "error|FAILED" "$build/build.log" | head -40
        return 1
    fi
    rm -rf "$build/sanitizer-reports"
    mkdir -p "$build/sanitizer-reports"
}

test_suite()
{
    local build=$1
    shift
    echo "ci-sanitize: testing $build $*"
    ctest --test-dir "$build" --output-on-failure -j"$jobs" "$@" || failed=1
}

# Tests whose programs open an SDL window: SDL unloads the X11 and GL libraries it
# loaded at SDL_Quit, and what those libraries never freed is reported as leaked from an
# unknown module, which no suppression can name. Those run with leak checks off.
WINDOW_TESTS='DesktopWindow'

if [ "$which" = asan ] || [ "$which" = all ]; then
    leaks=1
    if ! leaks_work; then
        leaks=0
        echo "ci-sanitize: LeakSanitizer cannot run here (ptrace refused); leak checks are off"
    fi
    build=$root/build-asan
    reports=$build/sanitizer-reports
    common="halt_on_error=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1:log_path=$reports/asan"
    export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$reports/ubsan"
    export LSAN_OPTIONS="print_suppressions=0"
    if build_suite "$build" address,undefined all; then
        ASAN_OPTIONS="$common:detect_leaks=$leaks" test_suite "$build" -E "$WINDOW_TESTS"
        ASAN_OPTIONS="$common:detect_leaks=0" test_suite "$build" -R "$WINDOW_TESTS"
        report_dir_check "$reports" address,undefined
    else
        failed=1
    fi
    unset UBSAN_OPTIONS LSAN_OPTIONS
fi

if [ "$which" = tsan ] || [ "$which" = all ]; then
    build=$root/build-tsan
    reports=$build/sanitizer-reports
    if build_suite "$build" thread tests/accel/all; then
        TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:log_path=$reports/tsan" \
            test_suite "$build" -L accel
        report_dir_check "$reports" thread
    else
        failed=1
    fi
fi

if [ $failed -ne 0 ]; then
    echo "ci-sanitize: FAILED"
    exit 1
fi
echo "ci-sanitize: clean"
