#!/bin/bash
# Builds the library, its tests and the frame test for another architecture with Debian's
# cross compiler (into build-<arch>/, with the toolchain file in cmake/), and runs them
# under qemu-user. Installs what it needs first: the cross compiler, qemu-user and the
# target's libraries through multiarch.
# Usage: tools/cross-test.sh aarch64
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
case "${1:-}" in
aarch64) deb=arm64 triple=aarch64-linux-gnu ;;
*)
    echo "usage: tools/cross-test.sh aarch64" >&2
    exit 2
    ;;
esac
arch=$1

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
pkgs="g++-$triple qemu-user"
for p in libhwy-dev libgtest-dev libgmp-dev zlib1g-dev libsdl2-dev libx11-dev libxext-dev libchafa-dev \
    libstb-dev; do
    pkgs="$pkgs $p:$deb"
done
missing=""
for p in $pkgs; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
    echo "cross-test: installing:$missing"
    dpkg --print-foreign-architectures | grep -qx "$deb" || $sudo dpkg --add-architecture "$deb"
    $sudo apt-get update -q >/dev/null
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends $missing >/dev/null
fi

# Optimised as a release, without debug information or link-time optimisation: they
# cost build time and the emulated tests do not need them.
build=$root/build-$arch
cmake -S "$root" -B "$build" -G Ninja -DWERROR=ON -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_CXX_FLAGS_RELEASE=-O2 -DCMAKE_C_FLAGS_RELEASE=-O2 \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$triple.cmake" >/dev/null
ninja -C "$build" -j"${JOBS:-2}" tests/accel/all tests/frames/all

# Emulated, everything runs some fifty times slower, so within a few minutes: the fill
# rule's and the dust's pictures with every SIMD target against the exact reference,
# clipping, planes and sampling against it with the best target, and the program's frames
# (frame 0) against the kept pictures with every target. The big random-triangle and
# whole-frame reference tests, and those about threads, bad values or the window, are
# left to the native build.
ctest --test-dir "$build" --output-on-failure -j"${JOBS:-2}" \
    -R 'FillRule\.|Planes\.|Clip\.|Sample\.(Weights|Wrap|Level|Missing)|Frames\.'
echo "cross-test: $arch passed"
