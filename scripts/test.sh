#!/usr/bin/env bash
# Builds everything and runs every test (native and Wine) in one ctest run.
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
case "$build" in /*) ;; *) build=$top/$build ;; esac
export BUILD_DIR=$build

[ -n "${SKIP_SETUP:-}" ] || "$top/scripts/setup.sh" || exit 1
"$top/scripts/build.sh" || exit 1
# A kernel without 32-bit x86 execution (ia32 emulation switched off) runs no i386 Wine
# program: the Windows test programs are then built but not run, and the native tests run.
if ! /usr/lib/wine/wineserver32 --version >/dev/null 2>&1; then
  echo "test.sh: this machine runs no 32-bit x86 programs (the kernel's ia32 emulation is off):" \
    "the Windows test programs are built but NOT run; running the native tests only." >&2
  export LC_ALL=C.UTF-8 TZ=UTC
  exec ctest --test-dir "$build/native" -j "${JOBS:-$(nproc)}" --output-on-failure --timeout 600 "$@"
fi

prefix="$build/win/wineprefix"
WINE_DESKTOP_KEEPER="$build/win/test-support/desktop-keeper/desktop_keeper.exe" \
  "$top/scripts/wine-prefix.sh" start "$prefix" || exit 1
trap '"$top/scripts/wine-prefix.sh" stop "$prefix"' EXIT
export LC_ALL=C.UTF-8 TZ=UTC
ctest --test-dir "$build/win" -j "${JOBS:-$(nproc)}" --output-on-failure --timeout 600 "$@"
