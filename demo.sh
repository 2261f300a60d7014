#!/bin/bash
# Builds the demo and runs it on the bundled assets. Any key ends it.
set -eu
cd "$(dirname "$0")"
tools/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build --target demo
cd assets && exec ../build/src/demo
