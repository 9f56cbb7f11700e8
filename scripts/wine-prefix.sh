#!/usr/bin/env bash
# Usage: wine-prefix.sh start|stop PREFIX
# start: creates and boots the test prefix once, then keeps one wineserver running for the run.
# Wine's desktop takes its graphics driver from the display it starts on, and every program
# of the prefix draws through it: with WINE_DESKTOP_DISPLAY set, programs draw on that X
# display; without it they run on the null driver (windows and messages, no pixels).
# WINE_DESKTOP_KEEPER names a Windows program that holds the desktop open for the run.
set -euo pipefail
action=$1
export WINEPREFIX=$2 WINEARCH=win32 WINEDEBUG=-all LC_ALL=C.UTF-8 TZ=UTC
unset DISPLAY
[ -n "${WINE_DESKTOP_DISPLAY:-}" ] && export DISPLAY=$WINE_DESKTOP_DISPLAY
case "$action" in
start)
  mkdir -p "$WINEPREFIX"
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
  wineserver -p >/dev/null 2>&1
  if [ ! -f "$WINEPREFIX/.booted" ]; then
    wineboot -i >/dev/null 2>&1
    # X11 when a display is given, else the null driver; window frames drawn by Wine under Xvfb.
    wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d 'x11,null' /f >/dev/null 2>&1
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d Y /f >/dev/null 2>&1
    wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
    wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowAssertDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
    wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Auto /d 1 /f >/dev/null 2>&1
    wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /d 'false' /f >/dev/null 2>&1
    touch "$WINEPREFIX/.booted"
    # The desktop started during the boot took the old graphics setting: start again.
    wineserver -k >/dev/null 2>&1 || true
    wineserver -w >/dev/null 2>&1 || true
    wineserver -p >/dev/null 2>&1
  fi
  # Start the prefix's services and its desktop now: else test processes start them, racing
  # (a window then fails with "The explorer process failed to start"), and the services keep
  # a test's output pipe open, so ctest waits for that test until its time-out. The desktop
  # would also end whenever no window is left; this one stays until the server stops.
  wineboot >/dev/null 2>&1
  setsid wine explorer.exe /desktop >/dev/null 2>&1 < /dev/null &
  for _ in $(seq 100); do
    pgrep -f 'explorer.exe /desktop' >/dev/null && break
    sleep 0.1
  done
  # The server closes the desktop soon after its last program has ended; a program of ours
  # (WINE_DESKTOP_KEEPER) holds it open between tests.
  if [ -n "${WINE_DESKTOP_KEEPER:-}" ] && [ -f "$WINE_DESKTOP_KEEPER" ]; then
    setsid wine "$WINE_DESKTOP_KEEPER" >/dev/null 2>&1 < /dev/null &
  fi
  ;;
stop)
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
  ;;
esac
