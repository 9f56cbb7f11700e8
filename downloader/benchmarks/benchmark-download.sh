#!/usr/bin/env bash
# Teskel's boot and binary download against the phone simulator, every message paced at the
# wire's rate (--wire-strict: no line time is banked while the line is idle, so the host's own
# time shows). Prints per run:
#  - the download: measured time, the protocol's time on the wire, their ratio, and the host's
#    turnaround per 2048-byte piece (from the end of the phone's acknowledgement on the wire to
#    the first byte of the next piece, as the simulator saw it: mean and longest);
#  - the boot: the pre-loader's 465 one-word frames at 115200 8E1 and the boot-loader's
#    blocks at the chosen speed, each against its time on the wire, and the host's mean
#    turnaround in the boot ROM stage.
# BUILD_DIR=build SIZES="2" SPEEDS="3" downloader/benchmarks/benchmark-download.sh
# NO_BUILD=1 runs what is built (a machine that only runs the programs).
set -uo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
build=${BUILD_DIR:-$top/build}
case "$build" in /*) ;; *) build=$top/$build ;; esac
sizes=${SIZES:-2}
speeds=${SPEEDS:-3}  # speed indices: 0 115200, 1 230400, 2 460800, 3 921600

[ -n "${NO_BUILD:-}" ] || BUILD_DIR=$build "$top/scripts/build.sh" >/dev/null || exit 1
prefix=$build/win/wineprefix
"$top/scripts/wine-prefix.sh" start "$prefix" || exit 1
trap '"$top/scripts/wine-prefix.sh" stop "$prefix"' EXIT
export LC_ALL=C.UTF-8 TZ=UTC

wire() {  # seconds on the wire: download of $1 bytes, pre-loader, boot-loader at $2 baud
  /usr/bin/python3 - "$1" "$2" <<'PY'
import sys
n, baud = int(sys.argv[1]), int(sys.argv[2])
pieces = max(1, (n + 2047) // 2048)
sectors = max(1, (n + 131071) // 131072)
host = 1 + 5 + 5 + 5 + sectors * 5 + n + 1      # sync, checksum, offset, length, writes, data, end
phone = 1 + 1 + 1 + 1 + pieces + sectors + 1    # their replies, one per piece and per sector
download = (host + phone) * 10.0 / baud
preloader = 465 * (6 + 1) * 11.0 / 115200       # BOOT_LOAD frames and their 0x4F, 8E1
blocks = (241968 + 2047) // 2048
bootloader = (241968 + blocks * 3) * 10.0 / baud  # 0xF7, its echo, the block, its sum
print("%.3f %.3f %.3f" % (download, preloader, bootloader))
PY
}

field() { echo "$1" | tr ' ' '\n' | sed -n "s/^$2=\([0-9.]*\)$/\1/p" | head -1; }
ratio() { echo "$1 / $2" | bc -l; }

bauds=(115200 230400 460800 921600)
printf '%-7s %-4s %11s %8s %6s %14s %13s | %-28s %-28s %s\n' baud MiB download_s wire_s ratio \
  turn_us/piece max_turn_us "pre-loader s (wire, ratio)" "boot-loader s (wire, ratio)" \
  "boot ROM turn_us"
for size in $sizes; do
  for speed in $speeds; do
    baud=${bauds[$speed]}
    line=$(PHONE_SIM_ARGS="--wire-strict" "$top/scripts/wine-run.sh" --prefix "$prefix" \
      --native "$build/native" --phone-sim -- "$build/win/downloader/tests/download_throughput.exe" \
      "$speed" "$size" | tr -d '\r' | tail -1)
    s=$(field "$line" download_seconds)
    if [ -z "$s" ]; then
      printf '%-7s %-4s %s\n' "$baud" "$size" "$line"
      continue
    fi
    read -r w pw bw <<<"$(wire $((size * 1048576)) "$baud")"
    p=$(field "$line" preloader_seconds)
    b=$(field "$line" bootloader_seconds)
    dl=${line#*download_turns: }
    bt=${line#*boot_turns: }
    bt=${bt%% download_turns:*}
    printf '%-7s %-4s %11s %8s %6.3f %14s %13s | %6s (%5s, %5.3f)          %6s (%5s, %5.3f)          %s\n' \
      "$baud" "$size" "$s" "$w" "$(ratio "$w" "$s")" "$(field "$dl" piece_gap_us)" \
      "$(field "$dl" piece_gap_max_us)" "$p" "$pw" "$(ratio "$pw" "$p")" "$b" "$bw" \
      "$(ratio "$bw" "$b")" "$(field "$bt" gap_us)"
  done
done
