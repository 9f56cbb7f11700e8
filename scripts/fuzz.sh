#!/usr/bin/env bash
# Runs every fuzz target of the native build for SECONDS each, on its corpus, under
# AddressSanitizer and UBSan, and prints the executions per target.
#   scripts/fuzz.sh SECONDS [REGEX]
# FUZZ_JOBS targets run at a time (default 2), at the lowest priority; with FUZZ_RUNS each
# target also stops after that many executions. A finding stops its target and is kept in
# $BUILD_DIR/native/fuzz-findings/<target>/; the script then fails.
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
case "$build" in /*) ;; *) build=$top/$build ;; esac
seconds=${1:?usage: scripts/fuzz.sh SECONDS [REGEX]}
filter=${2:-.}
jobs=${FUZZ_JOBS:-2}
list=$build/native/fuzz-targets.txt
[ -f "$list" ] || { echo "no $list: build the native configuration first" >&2; exit 1; }
cmake --build "$build/native" -j "${JOBS:-4}" >/dev/null || exit 1

logs=$build/native/fuzz-logs
findings=$build/native/fuzz-findings
mkdir -p "$logs"
run() {
  local runner=$1 name
  name=$(basename "$runner" _fuzz.sh)
  mkdir -p "$findings/$name"
  nice -n 19 sh "$runner" "$seconds" -artifact_prefix="$findings/$name/" ${FUZZ_RUNS:+-runs=$FUZZ_RUNS} \
    >"$logs/$name.log" 2>&1
  echo $? >"$logs/$name.rc"
}
running=0
while read -r runner; do
  [ -n "$runner" ] || continue
  basename "$runner" _fuzz.sh | grep -Eq -- "$filter" || continue
  run "$runner" &
  running=$((running + 1))
  if [ "$running" -ge "$jobs" ]; then
    wait -n
    running=$((running - 1))
  fi
done <"$list"
wait

status=0
printf '%-28s %12s %8s  %s\n' target executions exec/s result
while read -r runner; do
  [ -n "$runner" ] || continue
  name=$(basename "$runner" _fuzz.sh)
  echo "$name" | grep -Eq -- "$filter" || continue
  log=$logs/$name.log
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  result=ok
  if [ "$(cat "$logs/$name.rc" 2>/dev/null)" != 0 ]; then
    result="FINDING (see $log)"
    status=1
  fi
  printf '%-28s %12s %8s  %s\n' "$name" "${runs:-?}" "${rate:-?}" "$result"
done <"$list"
exit $status
