#!/usr/bin/env bash
# Builds everything and runs every test (native and Wine) in one ctest run.
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
case "$build" in /*) ;; *) build=$top/$build ;; esac
export BUILD_DIR=$build

[ -n "${SKIP_SETUP:-}" ] || "$top/scripts/setup.sh" || exit 1
# A kernel without 32-bit x86 execution (ia32 emulation switched off) runs no i386 Wine
# program: the native tests run here and the Windows tests in an emulated machine.
# WINE_VM=1: the end-to-end checks there (label end_to_end), WINE_VM=all: every Windows test,
# WINE_VM=0: none.
wine_vm=${WINE_VM:-1}
[ "$wine_vm" != 1 ] || wine_vm=end_to_end
vm_image=""
if [ "$wine_vm" != 0 ] && ! /usr/lib/wine/wineserver32 --version >/dev/null 2>&1; then
  # The emulated machine's disk is made from Debian's packages while the build compiles.
  vm_log=$(mktemp)
  "$top/scripts/wine-vm.sh" image >"$vm_log" 2>&1 &
  vm_image=$!
fi
[ -n "${SKIP_BUILD:-}" ] || "$top/scripts/build.sh" || exit 1
if [ -n "$vm_image" ] && ! wait "$vm_image"; then
  echo "test.sh: the emulated machine's disk could not be made:" >&2
  tail -30 "$vm_log" >&2
  exit 1
fi
if ! /usr/lib/wine/wineserver32 --version >/dev/null 2>&1; then
  export LC_ALL=C.UTF-8 TZ=UTC
  if [ "$wine_vm" = 0 ]; then
    echo "test.sh: this machine runs no 32-bit x86 programs (the kernel's ia32 emulation is off):" \
      "the Windows test programs are built but NOT run (WINE_VM=1 runs their end-to-end checks" \
      "in an emulated machine, WINE_VM=all all of them); running the native tests only." >&2
    exec ctest --test-dir "$build/native" -j "${JOBS:-$(nproc)}" --output-on-failure --timeout 600 "$@"
  fi
  echo "test.sh: this machine runs no 32-bit x86 programs (the kernel's ia32 emulation is off):" \
    "native tests here, Windows tests ($wine_vm) in an emulated machine (scripts/wine-vm.sh)" >&2
  ctest --test-dir "$build/native" -j "${JOBS:-$(nproc)}" --output-on-failure --timeout 600 \
    --no-tests=ignore "$@"
  native=$?
  # Emulated, everything runs several times slower: the tests' waits for the programs grow.
  "$top/scripts/wine-vm.sh" run env SKIP_SETUP=1 SKIP_BUILD=1 WINE_TESTS_ONLY=1 WINE_VM_GUEST=1 \
    TEST_WAIT_FACTOR="${TEST_WAIT_FACTOR:-4}" BUILD_DIR="$build" WINE_VM_SET="$wine_vm" \
    "$top/scripts/test.sh" "$@"
  windows=$?
  [ ! -L "$build/win/wineprefix" ] || rm "$build/win/wineprefix"
  [ $native -eq 0 ] && [ $windows -eq 0 ]
  exit
fi

prefix="$build/win/wineprefix"
if [ -n "${WINE_VM_GUEST:-}" ]; then
  # The shared folder is slow for the prefix's many small writes: the prefix lives on the
  # machine's own disk.
  mkdir -p /var/tmp/wineprefix
  rm -rf "$prefix"
  ln -s /var/tmp/wineprefix "$prefix"
fi
# The desktop's display gives every program of the prefix its graphics driver: without one
# they would all draw on the null driver, and no test could read a pixel.
xvfb=""
if [ -z "${WINE_DESKTOP_DISPLAY:-}" ]; then
  fdfile=$(mktemp)
  exec 8>"$fdfile"
  Xvfb -displayfd 8 -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
  xvfb=$!
  for _ in $(seq 200); do [ -s "$fdfile" ] && break; sleep 0.05; done
  export WINE_DESKTOP_DISPLAY=":$(head -1 "$fdfile")"
  exec 8>&-
  rm -f "$fdfile"
fi
WINE_DESKTOP_KEEPER="$build/win/test-support/desktop-keeper/desktop_keeper.exe" \
  "$top/scripts/wine-prefix.sh" start "$prefix" || exit 1
trap '"$top/scripts/wine-prefix.sh" stop "$prefix"; [ -z "$xvfb" ] || kill "$xvfb"' EXIT
export LC_ALL=C.UTF-8 TZ=UTC
# CTest lists each program's cases when it starts, one program after another (minutes under
# emulation): list them all at once first, CTest then reads the lists.
find "$build/win" -name '*\[1\]_include.cmake' -print0 |
  xargs -0 -P "${JOBS:-$(nproc)}" -I{} cmake -DINCLUDE={} -P "$top/cmake/ListTests.cmake"
selection=()
[ "${WINE_VM_SET:-all}" = all ] || selection=(-L "$WINE_VM_SET")
# Checks of faults not mended yet carry the label pending: left out unless RUN_PENDING=1.
if [ -z "${RUN_PENDING:-}" ]; then
  selection+=(-LE pending)
  pending=$(ctest --test-dir "$build/win" -N -L pending 2>/dev/null | sed -n 's/^ *Test *#[0-9]*: //p')
  [ -z "$pending" ] || echo "test.sh: not run (label pending, RUN_PENDING=1 runs them):" $pending >&2
fi
# The Windows programs share one desktop (foreground window, pointer) under a full machine: a
# test that fails runs once more, and counts as failed only if it fails again (its first output
# stays in the log).
ctest --test-dir "$build/win" -j "${JOBS:-$(nproc)}" --output-on-failure --timeout 600 \
  --repeat until-pass:2 "${selection[@]}" "$@"
