#!/usr/bin/env bash
# Runs one Windows program of the test build under Wine.
# Usage: wine-run.sh --prefix P --native N [--phone-sim] [--display] -- program.exe [args]
#  --phone-sim: starts a phone simulator on a fresh COM port for this process
#               (PHONE_SIM_COM, PHONE_SIM_CONTROL in the environment).
#  --display:   runs the program on an Xvfb display of its own (else on the desktop's,
#               WINE_DESKTOP_DISPLAY, when there is one).
set -u
prefix="" native="" sim=0 display=0
while [ $# -gt 0 ]; do
  case "$1" in
    --prefix) prefix=$2; shift 2 ;;
    --native) native=$2; shift 2 ;;
    --phone-sim) sim=1; shift ;;
    --display) display=1; shift ;;
    --) shift; break ;;
    *) break ;;
  esac
done
export WINEPREFIX=$prefix WINEARCH=win32 WINEDEBUG=${WINEDEBUG:--all}
export LC_ALL=${LC_ALL:-C.UTF-8} TZ=${TZ:-UTC}
# Every program of the prefix loads the graphics driver of its desktop: on an X11 desktop a
# program without a display of its own draws on the desktop's, else it could open no window.
unset DISPLAY
[ -z "${WINE_DESKTOP_DISPLAY:-}" ] || export DISPLAY=$WINE_DESKTOP_DISPLAY

listing=0
for a in "$@"; do [ "$a" = "--gtest_list_tests" ] && listing=1; done

tmp=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null; done
  rm -rf "$tmp"
}
trap cleanup EXIT

if [ $listing -eq 0 ] && [ $display -eq 1 ]; then
  exec 9>"$tmp/displayfd"
  Xvfb -displayfd 9 -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
  pids+=($!)
  for _ in $(seq 200); do [ -s "$tmp/displayfd" ] && break; sleep 0.05; done
  export DISPLAY=":$(head -1 "$tmp/displayfd")"
fi

if [ $listing -eq 0 ] && [ $sim -eq 1 ]; then
  "$native/phone-sim/phone-sim" --prefix "$WINEPREFIX" --com auto \
    --images "$native/phone-images" --ready-file "$tmp/sim-ready" ${PHONE_SIM_ARGS:-} >"$tmp/sim.log" 2>&1 &
  pids+=($!)
  for _ in $(seq 200); do [ -s "$tmp/sim-ready" ] && break; sleep 0.05; done
  if [ ! -s "$tmp/sim-ready" ]; then
    echo "phone simulator did not start:" >&2; cat "$tmp/sim.log" >&2; exit 1
  fi
  # shellcheck disable=SC1091
  . "$tmp/sim-ready"
  export PHONE_SIM_COM PHONE_SIM_CONTROL
fi

shim='$LIB/libptymodem.so'
# The serial shim reports a purge of bytes not drained first there (a test may read it).
export PTY_SHIM_LOG="$tmp/pty-shim.log"
LD_PRELOAD="$native/test-support/pty-modem-lines/$shim" wine "$@"
rc=$?
if [ $rc -ne 0 ] && [ $sim -eq 1 ] && [ -s "$tmp/sim.log" ]; then
  echo "--- phone simulator log ---" >&2; tail -50 "$tmp/sim.log" >&2
fi
exit $rc
