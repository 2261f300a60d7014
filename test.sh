#!/bin/bash
# Builds everything and runs every test:
#   0. the sources' formatting against .clang-format;
#   1. the whole suite, built with warnings as errors (build/);
#   2. the whole suite again under AddressSanitizer and UndefinedBehaviorSanitizer, and the
#      rasterizer's tests under ThreadSanitizer (tools/ci-sanitize.sh);
#   3. the library, its tests and the frame test built for aarch64 and run under qemu-user
#      (tools/cross-test.sh);
#   4. each fuzzer for a short while from its kept seeds (tools/fuzz.sh).
# ./test.sh --quick runs only the first.
set -eu
cd "$(dirname "$0")"
tools/install-deps.sh --test
git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format --dry-run --Werror
cmake -S . -B build -G Ninja -DWERROR=ON >/dev/null
cmake --build build
ctest --test-dir build --output-on-failure -j2
[ "${1:-}" = --quick ] && exit 0
tools/ci-sanitize.sh all
tools/cross-test.sh aarch64
tools/fuzz.sh all "${FUZZ_SECONDS:-20}"
echo "test.sh: every test passed"
