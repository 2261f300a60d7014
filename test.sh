#!/bin/bash
# Builds everything and runs every test.
set -eu
cd "$(dirname "$0")"
tools/install-deps.sh --test
cmake -S . -B build -G Ninja -DWERROR=ON >/dev/null
cmake --build build
ctest --test-dir build --output-on-failure -j2
