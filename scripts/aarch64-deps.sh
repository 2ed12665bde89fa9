#!/usr/bin/env bash
# Builds GoogleTest from /usr/src/googletest with the aarch64 cross compiler
# and installs it under PREFIX, beside a link to the host's RapidJSON headers.
#   scripts/aarch64-deps.sh PREFIX BUILD_DIR
set -euo pipefail
cd "$(dirname "$0")/.."
prefix=$(realpath -m "$1") build=$(realpath -m "$2")
toolchain=$PWD/cmake/aarch64-linux-gnu.cmake
if [ ! -f "$prefix/lib/cmake/GTest/GTestConfig.cmake" ]; then
  cmake -S /usr/src/googletest -B "$build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_GMOCK=ON
  cmake --build "$build" -j "${JOBS:-2}"
  cmake --install "$build"
fi
mkdir -p "$prefix/include"
ln -sfn /usr/include/rapidjson "$prefix/include/rapidjson"
