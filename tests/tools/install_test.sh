#!/bin/sh
# Installs a build into a scratch prefix and builds the C example against
# the installed tree only: once through pkg-config, once through
# find_package(Corvus). Both binaries and the installed tool must run.
#
#   install_test.sh BUILD_DIR SOURCE_DIR WORK_DIR C_COMPILER [EXTRA_CFLAGS]
#
# EXTRA_CFLAGS carries the sanitizer flags of a sanitized build: its
# library needs the sanitizer runtime linked into the program.
set -eu
build=$1 src=$(cd "$2" && pwd) work=$3 cc=$4 extra=${5:-}
prefix=$work/prefix
digits=$src/examples/digits
rm -rf "$work" && mkdir -p "$work/pkgconfig" "$work/cmake"
cmake --install "$build" --prefix "$prefix" >/dev/null

lib=$(find "$prefix" -name 'libcorvus.so.*.*.*')
libdir=$(dirname "$lib")
soname=$(readelf -d "$lib" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[ "$soname" = libcorvus.so.0 ] || { echo "soname is '$soname', expected libcorvus.so.0"; exit 1; }
[ "$(readlink "$libdir/libcorvus.so")" = libcorvus.so.0 ] && [ -e "$libdir/libcorvus.so.0" ] ||
  { echo "libcorvus.so -> libcorvus.so.0 links missing in $libdir"; exit 1; }
[ -f "$prefix/include/corvus/corvus.h" ] || { echo "headers not under include/corvus"; exit 1; }

check() { # a program must classify the held-out digits
  out=$("$@" "$digits/model.json" "$digits/weights.bin" "$digits/heldout_x.npy" "$digits/heldout_y.npy")
  echo "$out" | grep -q '^accuracy: [0-9]*/[0-9]*$' || { echo "$1 printed:"; echo "$out"; exit 1; }
}

# The source tree's include/ must not be reachable: only the prefix is given.
PKG_CONFIG_PATH=$libdir/pkgconfig
export PKG_CONFIG_PATH
# shellcheck disable=SC2046,SC2086
"$cc" -std=c99 -pedantic-errors -Werror $extra $(pkg-config --cflags corvus) "$digits/classify.c" \
  -o "$work/pkgconfig/classify" $(pkg-config --libs corvus)
LD_LIBRARY_PATH=$libdir check "$work/pkgconfig/classify"

cat > "$work/cmake/CMakeLists.txt" <<CML
cmake_minimum_required(VERSION 3.16)
project(consumer C)
find_package(Corvus 0.1 REQUIRED)
add_executable(classify $digits/classify.c)
target_link_libraries(classify PRIVATE Corvus::corvus)
CML
cmake -S "$work/cmake" -B "$work/cmake/build" -DCMAKE_C_COMPILER="$cc" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_C_FLAGS="$extra" >/dev/null
cmake --build "$work/cmake/build" >/dev/null
check "$work/cmake/build/classify" # found through its run path

"$prefix/bin/corvus" info "$digits/model.json" "$digits/weights.bin" | grep -q '^output 0: ' ||
  { echo "the installed corvus tool does not run"; exit 1; }
echo "install test passed: $prefix"
