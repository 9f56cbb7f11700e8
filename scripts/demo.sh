#!/usr/bin/env bash
# The main job: Quarrion against the phone simulator, driven through its window.
# Writes a sample file into the master chip's NOR at an offset, dumps the range back, erases
# it, and says what happened. Everything lands in $BUILD_DIR/demo.
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
case "$build" in /*) ;; *) build=$top/$build ;; esac
export BUILD_DIR=$build

[ -n "${SKIP_SETUP:-}" ] || "$top/scripts/setup.sh" >/dev/null || exit 1
build_all() {
  echo "Building ..."
  mkdir -p "$build"
  "$top/scripts/build.sh" >"$build/demo-build.log" 2>&1 || { tail -30 "$build/demo-build.log"; exit 1; }
}
# A kernel without 32-bit x86 execution runs Quarrion in an emulated machine.
if ! /usr/lib/wine/wineserver32 --version >/dev/null 2>&1; then
  echo "demo.sh: this machine runs no 32-bit x86 programs (the kernel's ia32 emulation is off):" \
    "Quarrion runs in an emulated machine (scripts/wine-vm.sh; its first start builds its disk)." >&2
  build_all
  "$top/scripts/wine-vm.sh" run env SKIP_SETUP=1 SKIP_BUILD=1 WINE_VM_GUEST=1 BUILD_DIR="$build" \
    "$top/scripts/demo.sh"
  rc=$?
  [ ! -L "$build/demo/wineprefix" ] || rm "$build/demo/wineprefix"
  exit $rc
fi
[ -n "${SKIP_BUILD:-}" ] || build_all

demo=$build/demo
rm -rf "$demo/out"; mkdir -p "$demo/out"
out=$demo/out
prefix=$demo/wineprefix
if [ -n "${WINE_VM_GUEST:-}" ]; then
  # The prefix lives on the emulated machine's own disk: the shared folder is slow for it.
  mkdir -p /var/tmp/demo-prefix
  rm -rf "$prefix"
  ln -s /var/tmp/demo-prefix "$prefix"
fi
offset=00040000

pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  wait 2>/dev/null
  "$top/scripts/wine-prefix.sh" stop "$prefix"
}
trap cleanup EXIT

if [ -z "${DISPLAY:-}" ]; then
  exec 9>"$out/displayfd"
  Xvfb -displayfd 9 -screen 0 1024x768x24 -nolisten tcp >"$out/xvfb.log" 2>&1 &
  pids+=($!)
  for _ in $(seq 200); do [ -s "$out/displayfd" ] && break; sleep 0.05; done
  export DISPLAY=":$(head -1 "$out/displayfd")"
fi

echo "Preparing a Wine prefix on display $DISPLAY ..."
WINE_DESKTOP_DISPLAY=$DISPLAY "$top/scripts/wine-prefix.sh" start "$prefix" || exit 1
export WINEPREFIX=$prefix WINEARCH=win32 WINEDEBUG=-all LC_ALL=C.UTF-8 TZ=UTC

# A sample file: 300000 bytes (two full 128 KiB sectors and a part), deterministic.
/usr/bin/python3 - "$out/sample.bin" <<'PY'
import hashlib, sys
data = bytearray()
i = 0
while len(data) < 300000:
    data += hashlib.sha256(b"sample %d" % i).digest(); i += 1
open(sys.argv[1], "wb").write(bytes(data[:300000]))
PY
length=$(printf '%08X' "$(stat -c %s "$out/sample.bin")")

echo "Starting the phone simulator ..."
"$build/native/phone-sim/phone-sim" --prefix "$prefix" --com auto --images "$build/native/phone-images" \
  --ready-file "$out/sim-ready" --log "$out/phone-sim-frames.log" >"$out/phone-sim.log" 2>&1 &
pids+=($!)
for _ in $(seq 200); do [ -s "$out/sim-ready" ] && break; sleep 0.05; done
[ -s "$out/sim-ready" ] || { echo "The phone simulator did not start:"; cat "$out/phone-sim.log"; exit 1; }
. "$out/sim-ready"
export PHONE_SIM_COM PHONE_SIM_CONTROL
# The port list Quarrion reads.
wine reg add 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' /v Serial0 /d "$PHONE_SIM_COM" /f >/dev/null 2>&1

shim="$build/native/test-support/pty-modem-lines/\$LIB/libptymodem.so"
echo "Starting Quarrion.exe on display $DISPLAY; the phone is on $PHONE_SIM_COM ..."
LD_PRELOAD=$shim wine "$build/win/flasher/Quarrion.exe" >"$out/quarrion.log" 2>&1 &
pids+=($!)

winpath() { echo "Z:$(echo "$1" | sed 's|/|\\|g')"; }
echo "Driving the window:"
wine "$build/win/demo/quarrion_demo.exe" "$PHONE_SIM_COM" "$(winpath "$out/sample.bin")" "$offset" \
  "$length" "$(winpath "$out/dump.bin")" "$out/nor-after-write.bin" "$out/nor-after-erase.bin"
rc=$?
sleep 0.5
import -display "$DISPLAY" -window root "$out/quarrion.png" 2>/dev/null

echo
/usr/bin/python3 - "$out" "$offset" "$rc" <<'PY'
import os, sys
out, offset, rc = sys.argv[1], int(sys.argv[2], 16), int(sys.argv[3])
def read(name):
    p = os.path.join(out, name)
    return open(p, "rb").read() if os.path.exists(p) else None
sample, dump = read("sample.bin"), read("dump.bin")
written, erased = read("nor-after-write.bin"), read("nor-after-erase.bin")
n = len(sample)
checks = [
    ("Quarrion reported success for write, dump and erase", rc == 0),
    ("the dump file begins with the sample file's %d bytes" % n, dump is not None and dump[:n] == sample),
    ("the phone's NOR holds the sample at 0x%08X after the write" % offset,
     written is not None and written[offset:offset + n] == sample),
    ("the range reads as erased flash (0xFF) after the erase",
     erased is not None and set(erased[offset:offset + n]) == {0xFF}),
]
for text, ok in checks:
    print(("  ok    " if ok else "  FAIL  ") + text)
good = all(ok for _, ok in checks)
print()
if good:
    print("It worked: Quarrion wrote %d bytes into the simulated phone's master NOR at 0x%08X," % (n, offset))
    print("read them back into the dump file, and erased them again.")
else:
    print("Something went wrong; see the lines above and the logs in %s." % out)
print("  sample file:  %s" % os.path.join(out, "sample.bin"))
print("  dump file:    %s (%s bytes)" % (os.path.join(out, "dump.bin"), len(dump) if dump else "no"))
print("  screenshot:   %s" % os.path.join(out, "quarrion.png"))
print("  NOR images:   %s, %s" % (os.path.join(out, "nor-after-write.bin"), os.path.join(out, "nor-after-erase.bin")))
print("  phone frames: %s" % os.path.join(out, "phone-sim-frames.log"))
sys.exit(0 if good else 1)
PY
