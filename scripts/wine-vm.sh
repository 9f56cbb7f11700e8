#!/usr/bin/env bash
# A Debian 12 virtual machine, emulated in software, for hosts whose kernel runs no 32-bit x86
# code: Wine's i386 programs run inside it. The project tree is shared at the same path.
# Usage: wine-vm.sh image          builds the machine's disk once (Debian's packages)
#        wine-vm.sh run CMD [ARG]  boots it, runs CMD in the project tree, powers off;
#                                  the exit status is CMD's
# VM_DIR (default /var/tmp/r4417-wine-vm) keeps the disk; VM_CPUS, VM_MEM size the machine.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
vm=${VM_DIR:-/var/tmp/r4417-wine-vm}
mirror=${VM_MIRROR:-http://deb.debian.org/debian}

packages=(
  linux-image-amd64 initramfs-tools kmod udev mount procps iproute2 cmake
  wine wine64 wine32:i386 fonts-wine fonts-dejavu fonts-nanum
  xvfb x11-utils imagemagick pngcheck unzip libxml2-utils openssl bc binutils-mingw-w64-i686
  python3 python3-aiosmtpd python3-pyftpdlib python3-dnslib libasan8 libubsan1
)

# Mounts the shared trees and runs the job named on the kernel's command line.
write_init() {
  cat >"$1/vm-init" <<'EOF'
#!/bin/bash
export HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
mount -t proc proc /proc
mount -t devtmpfs dev /dev 2>/dev/null
mkdir -p /dev/pts /dev/shm
mount -t devpts devpts /dev/pts -o ptmxmode=666
mount -t tmpfs shm /dev/shm; mount -t tmpfs tmp /tmp; mount -t tmpfs run /run
mount -t sysfs sys /sys 2>/dev/null
modprobe 9pnet_virtio
for arg in $(cat /proc/cmdline); do
  case $arg in
    vmshare=*) IFS=: read -r tag path <<<"${arg#vmshare=}"; mkdir -p "$path"
      mount -t 9p -o trans=virtio,version=9p2000.L,msize=1048576,cache=loose "$tag" "$path" ;;
    vmjob=*) job=${arg#vmjob=} ;;
  esac
done
ip link set lo up
rc=127
# Through a pipe: Wine's console writes terminal controls to a terminal.
stty -F /dev/ttyS0 -onlcr 2>/dev/null
[ -n "${job:-}" ] && { bash "$job" </dev/null 2>&1 | cat >/dev/ttyS0; rc=${PIPESTATUS[0]}; }
echo "$rc" >"$job.rc"
sync
echo o >/proc/sysrq-trigger
EOF
  chmod +x "$1/vm-init"
}

image() {
  [ -f "$vm/disk.img" ] && return 0
  mkdir -p "$vm"
  rm -rf "$vm/root" "$vm/disk.tmp"
  local list
  list=$(IFS=,; echo "${packages[*]}")
  mmdebstrap --variant=apt --architectures=amd64,i386 --include="$list" \
    --setup-hook='mkdir -p "$1/etc/initramfs-tools"; printf "virtio_blk\nvirtio_pci\next4\n9p\n9pnet_virtio\n" >"$1/etc/initramfs-tools/modules"' \
    bookworm "$vm/root" "$mirror"
  write_init "$vm/root"
  cp "$vm/root"/boot/vmlinuz-* "$vm/vmlinuz"
  cp "$vm/root"/boot/initrd.img-* "$vm/initrd"
  mkfs.ext4 -q -d "$vm/root" "$vm/disk.tmp" 8G
  rm -rf "$vm/root"
  mv "$vm/disk.tmp" "$vm/disk.img"
}

run() {
  image
  local jobdir rc share="" build=${BUILD_DIR:-$top/build} append=""
  # A build folder outside the tree is shared too.
  case "$build" in
    "$top"/*) ;;
    *) share="-virtfs local,path=$build,mount_tag=build,security_model=passthrough,id=build"
       append=" vmshare=build:$build" ;;
  esac
  jobdir=$(mktemp -d "$top/.vm-job.XXXXXX")
  {
    echo "cd $(printf %q "$PWD") || exit 127"
    printf '%q ' "$@"
    echo
  } >"$jobdir/job.sh"
  local mem=${VM_MEM:-$(awk '/MemTotal/ { m = int($2 / 1048576 * 0.6); print (m > 16 ? 16 : m) "G" }' /proc/meminfo)}
  # -smap: TCG faults Wine's return to 32-bit code through iretq with it.
  qemu-system-x86_64 -accel tcg,thread=multi,tb-size=1024 -cpu max,-smap \
    -smp "${VM_CPUS:-$(nproc)}" -m "$mem" -display none -monitor none -serial stdio -no-reboot \
    -kernel "$vm/vmlinuz" -initrd "$vm/initrd" \
    -append "root=/dev/vda rw console=ttyS0 quiet panic=1 init=/vm-init vmshare=top:$top vmjob=$jobdir/job.sh$append" \
    -drive file="$vm/disk.img",format=raw,if=virtio,cache=unsafe -snapshot \
    -virtfs local,path="$top",mount_tag=top,security_model=passthrough,id=top $share
  rc=$(cat "$jobdir/job.sh.rc" 2>/dev/null || echo 125)
  rm -rf "$jobdir"
  return "$rc"
}

case "${1:-}" in
image) image ;;
run) shift; run "$@" ;;
*) echo "usage: $0 image | run CMD [ARG...]" >&2; exit 2 ;;
esac
