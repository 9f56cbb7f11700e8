#!/usr/bin/env bash
# Unpacks Debian's minizip source package into .deps/minizip (not part of the repository).
# Uses an apt state of its own so the system's lists and sources stay untouched; its one source
# entry is the system's Debian entry turned into a deb-src entry.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
dest="$top/.deps/minizip"
[ -f "$dest/zip.c" ] && exit 0

state="$top/.deps/apt"
mkdir -p "$state/lists/partial" "$state/cache/archives/partial" "$state/sources.list.d" "$state/work"
: >"$state/sources.list"

src_entry() {
  # Deb822 files: the stanza whose URIs end in /debian (not -security); one-line files as a fall-back.
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    awk 'BEGIN{RS="";FS="\n"} /URIs:[^\n]*\/debian[ \t]*(\n|$)/ {
           for (i=1;i<=NF;i++) { if ($i ~ /^Types:/) print "Types: deb-src"; else if ($i !~ /^#/) print $i }
           print ""; exit }' "$f" && return 0
  done
  return 1
}
src_entry >"$state/sources.list.d/debian-src.sources" || true
if [ ! -s "$state/sources.list.d/debian-src.sources" ]; then
  grep -hE '^deb[[:space:]]' /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null \
    | grep -v security | head -1 | sed 's/^deb /deb-src /' >"$state/sources.list"
  rm -f "$state/sources.list.d/debian-src.sources"
fi

opts=(-o "Dir::State=$state" -o "Dir::State::Lists=$state/lists" -o "Dir::Cache=$state/cache"
      -o "Dir::Etc::SourceList=$state/sources.list" -o "Dir::Etc::SourceParts=$state/sources.list.d"
      -o "Debug::NoLocking=1" -o "APT::Sandbox::User=root")
apt-get "${opts[@]}" update -q >/dev/null
(cd "$state/work" && apt-get "${opts[@]}" source -q --only-source minizip >/dev/null 2>&1 || \
  apt-get "${opts[@]}" source -q minizip)
srcdir=$(find "$state/work" -maxdepth 1 -mindepth 1 -type d -name 'minizip*' | head -1)
[ -n "$srcdir" ] || { echo "minizip source not found" >&2; exit 1; }
rm -rf "$dest"; mkdir -p "$dest"
cp "$srcdir"/*.c "$srcdir"/*.h "$dest"/ 2>/dev/null || true
[ -f "$dest/zip.c" ] || cp -r "$srcdir"/. "$dest"/
echo "minizip source in $dest"
