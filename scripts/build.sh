#!/usr/bin/env bash
# Configures and builds both configurations: $BUILD_DIR/native (Linux) and $BUILD_DIR/win (i686 Windows).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
case "$build" in /*) ;; *) build=$top/$build ;; esac
jobs=${JOBS:-$(nproc)}

[ -f "$top/.deps/minizip/zip.c" ] || "$top/scripts/fetch-minizip.sh"

if [ ! -f "$build/native/build.ninja" ]; then
  cmake -S "$top" -B "$build/native" -G Ninja ${NATIVE_CMAKE_ARGS:-}
fi
cmake --build "$build/native" -j "$jobs"

if [ ! -f "$build/win/build.ninja" ]; then
  cmake -S "$top" -B "$build/win" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$top/cmake/toolchain-i686-mingw.cmake" \
    -DNATIVE_BUILD_DIR="$build/native" ${WIN_CMAKE_ARGS:-}
fi
cmake --build "$build/win" -j "$jobs"
