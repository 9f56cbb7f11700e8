#!/usr/bin/env bash
# Teskel's binary download against the phone simulator with the line paced at the baud rate:
# prints the measured time, the protocol's ideal wire time and their ratio.
# BUILD_DIR=build SIZES="2" SPEEDS="3" downloader/benchmarks/benchmark-download.sh
set -uo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
build=${BUILD_DIR:-$top/build}
case "$build" in /*) ;; *) build=$top/$build ;; esac
sizes=${SIZES:-2}
speeds=${SPEEDS:-3}  # speed indices: 0 115200, 1 230400, 2 460800, 3 921600

BUILD_DIR=$build "$top/scripts/build.sh" >/dev/null || exit 1
prefix=$build/win/wineprefix
"$top/scripts/wine-prefix.sh" start "$prefix" || exit 1
trap '"$top/scripts/wine-prefix.sh" stop "$prefix"' EXIT
export LC_ALL=C.UTF-8 TZ=UTC

ideal() {  # seconds on the wire for a download of $1 bytes at $2 baud, 8N1, stop-and-wait
  /usr/bin/python3 - "$1" "$2" <<'PY'
import sys
n, baud = int(sys.argv[1]), int(sys.argv[2])
pieces = max(1, (n + 2047) // 2048)
sectors = max(1, (n + 131071) // 131072)
host = 1 + 5 + 5 + 5 + sectors * 5 + n + 1      # sync, checksum, offset, length, writes, data, end
phone = 1 + 1 + 1 + 1 + pieces + sectors + 1    # their replies, one per piece and per sector
print("%.3f" % ((host + phone) * 10.0 / baud))
PY
}

bauds=(115200 230400 460800 921600)
printf '%-8s %-5s %12s %10s %7s\n' baud MiB measured_s ideal_s ratio
for size in $sizes; do
  for speed in $speeds; do
    baud=${bauds[$speed]}
    line=$(PHONE_SIM_ARGS="--wire-time" "$top/scripts/wine-run.sh" --prefix "$prefix" \
      --native "$build/native" --phone-sim -- "$build/win/downloader/tests/download_throughput.exe" \
      "$speed" "$size" | tr -d '\r' | tail -1)
    s=$(echo "$line" | sed -n 's/.*download_seconds=\([0-9.]*\).*/\1/p')
    if [ -z "$s" ]; then
      printf '%-8s %-5s %s\n' "$baud" "$size" "$line"
      continue
    fi
    i=$(ideal $((size * 1048576)) "$baud")
    printf '%-8s %-5s %12s %10s %7.3f\n' "$baud" "$size" "$s" "$i" "$(echo "$s / $i" | bc -l)"
  done
done
