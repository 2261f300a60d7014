#!/bin/bash
# Installs the Debian packages that building (and, with --test, testing) needs, only
# those missing. Usage: tools/install-deps.sh [--test]
set -eu
# The build: the toolchain; zlib (the frame dump's PNG files); SDL2, X11 and Xext (the
# window); chafa (the terminal); stb (texconv's image reader); Highway (the library's SIMD).
pkgs="cmake ninja-build g++ pkg-config zlib1g-dev libsdl2-dev libx11-dev libxext-dev libchafa-dev libstb-dev libhwy-dev"
if [ "${1:-}" = --test ]; then
    # The tests: the format check; GoogleTest; GMP (the reference rasterizer's exact
    # arithmetic); clang and its runtimes (fuzzers, LeakSanitizer); Xvfb and xdotool
    # (the window on a private X server, keys and closes sent to it).
    pkgs="$pkgs clang-format libgtest-dev libgmp-dev clang libclang-rt-14-dev xvfb xdotool"
fi
missing=""
for p in $pkgs; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
echo "installing:$missing"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
$sudo apt-get update -q >/dev/null
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends $missing >/dev/null
