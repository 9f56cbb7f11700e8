#!/usr/bin/env bash
# Figures of the exception library's leak tracker and freeze watchdog, Windows build under Wine:
# the allocation loop with and without the tracker, and the watchdog's CPU time on an idle
# program with an answering window (on a display of its own).
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
case "$build" in /*) ;; *) build=$top/$build ;; esac

BUILD_DIR=$build "$top/scripts/build.sh" >/dev/null || exit 1

prefix=$build/win/wineprefix
if ! WINE_DESKTOP_KEEPER="$build/win/test-support/desktop-keeper/desktop_keeper.exe" \
    "$top/scripts/wine-prefix.sh" start "$prefix"; then
  echo "Windows build: not measured (the Wine prefix did not start)"
  exit 1
fi
trap '"$top/scripts/wine-prefix.sh" stop "$prefix"' EXIT
run=("$top/scripts/wine-run.sh" --prefix "$prefix" --native "$build/native")
echo "Windows build: $("${run[@]}" -- "$build/win/benchmarks/leak_tracker_cost.exe" | tr -d '\r')"
"${run[@]}" --display -- "$build/win/benchmarks/freeze_watchdog_cost.exe" | tr -d '\r' |
  sed 's/^/Windows build: /'
