#!/bin/bash
# Usage: test_install.sh BUILD_DIR hello.c CC
set -eu
build=$1 src=$2 cc=$3
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null

pc=$(find "$prefix" -name accel.pc)
[ -n "$pc" ] || { echo "no accel.pc installed"; exit 1; }
export PKG_CONFIG_PATH=$(dirname "$pc")
lib=$(pkg-config --variable=libdir accel)
soname=$(readelf -d "$lib/libaccel.so" | sed -n 's/.*SONAME.*\[\(.*\)\]/\1/p')
[ "$soname" = libaccel.so.1 ] || { echo "SONAME is '$soname'"; exit 1; }

# The program must see only the installed header and library, none of the build's.
"$cc" -std=c11 -Wall -Wextra -Werror -o "$prefix/hello" "$src" $(pkg-config --cflags --libs accel)
out=$(ACCEL_DISPLAY=none LD_LIBRARY_PATH="$lib" "$prefix/hello")
[ "$out" = "hello: drawn" ] || { echo "hello printed '$out'"; exit 1; }

# The installed demo finds its library by itself and ends on a key.
cd "$prefix/share/accel-demo"
echo q | ACCEL_DISPLAY=none ACCEL_VSYNC=0 "$prefix/bin/demo"
echo "installed: $(cd "$prefix" && find . -type f -o -type l | sort | tr '\n' ' ')"
