#!/usr/bin/env bash
# Figures of the exception library's leak tracker and freeze watchdog, Windows build under Wine:
# the allocation loop with and without the tracker, and the watchdog's CPU time on an idle
# program with an answering window (on a display of its own); a throw caught at once in a
# program linked as Quarrion is against the same program without the library, and the time
# from a fault to the finished report text with 20 other threads running.
# THROWS=20000 THREADS=20 RUNS=5 scripts/benchmark-vantorlog.sh
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
case "$build" in /*) ;; *) build=$top/$build ;; esac

[ -n "${SKIP_BUILD:-}" ] || BUILD_DIR=$build "$top/scripts/build.sh" >/dev/null || exit 1
# A kernel without 32-bit x86 execution runs the figures in an emulated machine (slower, and
# shared with the rest of the host's work: its figures are those of that machine).
if ! /usr/lib/wine/wineserver32 --version >/dev/null 2>&1; then
  echo "benchmark-vantorlog.sh: this machine runs no 32-bit x86 programs: the Windows figures" \
    "come from an emulated machine (scripts/wine-vm.sh)" >&2
  "$top/scripts/wine-vm.sh" run env SKIP_BUILD=1 WINE_VM_GUEST=1 BUILD_DIR="$build" \
    THROWS="${THROWS:-20000}" THREADS="${THREADS:-20}" RUNS="${RUNS:-5}" \
    "$top/scripts/benchmark-vantorlog.sh"
  rc=$?
  [ ! -L "$build/win/wineprefix" ] || rm "$build/win/wineprefix"
  exit $rc
fi

prefix=$build/win/wineprefix
if [ -n "${WINE_VM_GUEST:-}" ]; then
  # The prefix lives on the machine's own disk: the shared folder is slow for it.
  mkdir -p /var/tmp/wineprefix
  rm -rf "$prefix"
  ln -s /var/tmp/wineprefix "$prefix"
fi
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

throws=${THROWS:-20000}
threads=${THREADS:-20}
runs=${RUNS:-5}
bin=$build/win/benchmarks
# The report log of the fault runs goes beside a scratch copy of the program.
scratch=$(mktemp -d)
cp "$bin/vantorlog_costs.exe" "$scratch/"
cost() { "${run[@]}" -- "$@" | tr -d '\r' | awk '{print $3}'; }
median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
with=$(for _ in $(seq "$runs"); do cost "$bin/vantorlog_costs.exe" throws "$throws"; done | median)
without=$(for _ in $(seq "$runs"); do cost "$bin/vantorlog_costs_plain.exe" throws "$throws"; done | median)
report=$(for _ in $(seq "$runs"); do cost "$scratch/vantorlog_costs.exe" report "$threads"; done | median)
rm -rf "$scratch"
echo "Windows build: caught throw, library active: $with us (median of $runs runs of $throws)"
echo "Windows build: caught throw, without library: $without us"
/usr/bin/python3 -c "import sys; print('Windows build: ratio %.2f (goal <= 1.5)' % (float(sys.argv[1]) / float(sys.argv[2])))" "$with" "$without"
echo "Windows build: fault to report text, $threads threads: $report ms (median of $runs runs, goal <= 200)"
