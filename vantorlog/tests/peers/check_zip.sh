#!/usr/bin/env bash
# Runs the zip writer (through the given launcher for Windows programs), then checks the
# archives with unzip and zipinfo.
# Usage: check_zip.sh [--plain-only] <output folder> <command...>
#  --plain-only: skip the encrypted archive (minizip 1.1's cipher reads zlib's CRC table with
#                the wrong element size where long is 64 bits, so only the 32-bit build has it).
set -u
plain_only=0
[ "$1" = "--plain-only" ] && { plain_only=1; shift; }
out=$1; shift
rm -rf "$out"; mkdir -p "$out"
"$@" "$out" || { echo "zip writer failed"; exit 1; }
fail() { echo "FAIL: $*"; exit 1; }
unzip -tq "$out/plain.zip" || fail "plain archive does not test"
[ "$(zipinfo -1 "$out/plain.zip" | tr -d '\r')" = "$(printf 'report.txt\nsecond.log\nempty.dat')" ] || fail "entry names"
[ "$(zipinfo "$out/plain.zip" | grep -cE '^-.* [tb][-xl] ')" = 3 ] || fail "plain entries encrypted"
zipinfo -v "$out/plain.zip" | grep -q 'compression method:.*deflated' || fail "not deflated"
unzip -p "$out/plain.zip" report.txt | cmp -s - "$out/report.txt" || fail "report.txt differs"
unzip -p "$out/plain.zip" second.log | cmp -s - "$out/second.log" || fail "second.log differs"
if [ $plain_only -eq 1 ]; then echo "zip archives check (plain only)"; exit 0; fi
unzip -P pw -tq "$out/secret.zip" || fail "encrypted archive does not test with its password"
unzip -P wrong -tq "$out/secret.zip" >/dev/null 2>&1 && fail "a wrong password was accepted"
# zipinfo marks encrypted entries with an upper-case text/binary letter.
[ "$(zipinfo "$out/secret.zip" | grep -cE '^-.* [TB][-xl] ')" = 2 ] || fail "entries not both encrypted"
unzip -P pw -p "$out/secret.zip" second.log | cmp -s - "$out/second.log" || fail "secret second.log differs"
echo "zip archives check"
