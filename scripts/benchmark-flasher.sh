#!/usr/bin/env bash
# Flasher throughput against the phone simulator: NOR write and dump of 1 and 8 MiB at each
# offered speed, with the simulator pacing the line at the baud rate and without.
# Prints, per run, the measured time, the protocol's ideal wire time and their ratio.
# SIZES="1 8" SPEEDS="115200 460800 921600" READS="many" scripts/benchmark-flasher.sh
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
case "$build" in /*) ;; *) build=$top/$build ;; esac
sizes=${SIZES:-1 8}
speeds=${SPEEDS:-115200 460800 921600}
reads=${READS:-many}

BUILD_DIR=$build "$top/scripts/build.sh" >/dev/null || exit 1
prefix=$build/win/wineprefix
"$top/scripts/wine-prefix.sh" start "$prefix" || exit 1
trap '"$top/scripts/wine-prefix.sh" stop "$prefix"' EXIT

ideal() {  # ideal seconds of write and dump of $1 bytes at $2 baud, 8N1 (10 bits a byte)
  /usr/bin/python3 - "$1" "$2" <<'PY'
import sys
n, baud = int(sys.argv[1]), int(sys.argv[2])
rate = baud / 10.0
pieces = (n + 2047) // 2048
sectors = (n + 131071) // 131072
write = (1 + 5 + 5 + sectors * 5 + pieces * 2048) + (3 + pieces + sectors)
blocks = (n + 8191) // 8192
dump = blocks * 5 + blocks * 8193
print("%.3f %.3f" % (write / rate, dump / rate))
PY
}

printf '%-8s %-5s %-7s %-6s %10s %10s %7s %10s %10s %7s\n' baud MiB paced reads \
  write_s ideal_s ratio dump_s ideal_s ratio
for size in $sizes; do
  for baud in $speeds; do
    for paced in on off; do
      for mode in $reads; do
        args=""
        [ "$paced" = on ] && args="--wire-time"
        line=$(PHONE_SIM_ARGS="$args" "$top/scripts/wine-run.sh" --prefix "$prefix" \
          --native "$build/native" --phone-sim -- "$build/win/benchmarks/flasher_throughput.exe" \
          - "$baud" "$size" "$mode" | tr -d '\r' | tail -1)
        w=$(echo "$line" | sed -n 's/.*write_seconds=\([0-9.]*\).*/\1/p')
        d=$(echo "$line" | sed -n 's/.*dump_seconds=\([0-9.]*\).*/\1/p')
        if [ -z "$w" ]; then
          printf '%-8s %-5s %-7s %-6s %s\n' "$baud" "$size" "$paced" "$mode" "$line"
          continue
        fi
        read -r iw id <<<"$(ideal $((size * 1048576)) "$baud")"
        if [ "$paced" = on ]; then
          printf '%-8s %-5s %-7s %-6s %10s %10s %7.3f %10s %10s %7.3f\n' "$baud" "$size" "$paced" "$mode" \
            "$w" "$iw" "$(echo "$w / $iw" | bc -l)" "$d" "$id" "$(echo "$d / $id" | bc -l)"
        else
          printf '%-8s %-5s %-7s %-6s %10s %10s %7s %10s %10s %7s   write %.2f MiB/s, dump %.2f MiB/s\n' \
            "$baud" "$size" "$paced" "$mode" "$w" "-" "-" "$d" "-" "-" \
            "$(echo "$size / $w" | bc -l)" "$(echo "$size / $d" | bc -l)"
        fi
      done
    done
  done
done
