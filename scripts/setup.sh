#!/usr/bin/env bash
# Installs everything the build and the tests need on a Debian 12 machine. Safe to run again.
set -euo pipefail

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"

packages=(
  cmake ninja-build pkg-config git dpkg-dev
  g++-mingw-w64-i686-posix mingw-w64-i686-dev libz-mingw-w64-dev
  googletest zlib1g-dev
  gcc-multilib
  clang libclang-rt-14-dev
  wine wine32 xvfb x11-utils imagemagick qemu-user-static
  fonts-dejavu fonts-nanum fonts-wine
  python3-aiosmtpd python3-pyftpdlib python3-dnslib
  bc unzip libxml2-utils openssl iproute2 procps pngcheck
)

need=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || need+=("$p")
done

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
  need+=(wine32)
fi

if [ ${#need[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -q
  $SUDO apt-get install -y -q --no-install-recommends "${need[@]}"
fi

# The posix-thread variant of the cross compiler must be the one CMake finds.
for tool in gcc g++; do
  if [ -x "/usr/bin/i686-w64-mingw32-$tool-posix" ]; then
    cur=$(readlink -f "/usr/bin/i686-w64-mingw32-$tool" || true)
    case "$cur" in
      *-posix) ;;
      *) $SUDO update-alternatives --set "i686-w64-mingw32-$tool" "/usr/bin/i686-w64-mingw32-$tool-posix" >/dev/null ;;
    esac
  fi
done

# Some kernels run no 32-bit x86 code at all (ia32 emulation switched off, as on some virtual
# machines): Wine's i386 programs then run under qemu's user-mode emulator, registered for
# i386 ELF programs. The probe is Wine's own i386 server.
if ! /usr/lib/wine/wineserver32 --version >/dev/null 2>&1; then
  binfmt=/proc/sys/fs/binfmt_misc
  [ -e "$binfmt/register" ] || $SUDO mount -t binfmt_misc binfmt_misc "$binfmt"
  if [ ! -e "$binfmt/i386-qemu" ]; then
    echo ':i386-qemu:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F' |
      $SUDO tee "$binfmt/register" >/dev/null
  fi
  /usr/lib/wine/wineserver32 --version >/dev/null 2>&1 || { echo "setup: this machine runs no i386 programs, not even under qemu" >&2; exit 1; }
  echo "setup: i386 programs run under qemu-i386 (the kernel runs no 32-bit code)"
fi

# minizip has no mingw package: fetch Debian's source package through an isolated apt state.
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/scripts/fetch-minizip.sh"
