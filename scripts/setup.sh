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
  wine wine32 xvfb x11-utils imagemagick
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

# Without 32-bit x86 execution the Windows tests run in an emulated machine (scripts/wine-vm.sh).
if ! /usr/lib/wine/wineserver32 --version >/dev/null 2>&1; then
  vm_need=()
  for p in qemu-system-x86 mmdebstrap e2fsprogs; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || vm_need+=("$p")
  done
  if [ ${#vm_need[@]} -gt 0 ]; then
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends "${vm_need[@]}"
  fi
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

# minizip has no mingw package: fetch Debian's source package through an isolated apt state.
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/scripts/fetch-minizip.sh"
