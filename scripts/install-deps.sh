#!/usr/bin/env bash
# Installs, from Debian's archive, what building and testing the tool needs;
# does nothing when everything is already there.
#   scripts/install-deps.sh          the build machine's build and tests
#   scripts/install-deps.sh board    also the armhf cross build, qemu and packaging
#   scripts/install-deps.sh emulated-board
#                                    the emulated ARM board (qemu-system-arm, debootstrap)
set -euo pipefail

packages=(g++ make cmake pkg-config libspdlog-dev libfmt-dev libgtest-dev libgmock-dev
          umockdev libumockdev-dev valgrind gnuplot-nox fonts-dejavu-core
          mtail prometheus chromium python3 curl)
if [ "${1:-}" = board ]; then
  # Not umockdev:armhf: it would replace the build machine's umockdev.
  # The armhf tool is built static with the armel toolchain (its libraries
  # are ARMv5TE, so the tool runs on ARMv6); the armhf toolchain builds the
  # 1.0.0 package for the emulated board's upgrade.
  packages+=(crossbuild-essential-armhf libspdlog-dev:armhf libfmt-dev:armhf libgtest-dev:armhf
             g++-arm-linux-gnueabi libspdlog-dev:armel libfmt-dev:armel libgtest-dev:armel
             crossbuild-essential-arm64 libspdlog-dev:arm64 libfmt-dev:arm64 libgtest-dev:arm64
             qemu-user dpkg-dev lintian systemd file i2c-tools adduser)
fi

if [ "${1:-}" = emulated-board ]; then
  # qemu-user-static with binfmt-support runs the armhf userland's second
  # stage of debootstrap on this machine.
  packages=(qemu-system-arm qemu-user-static binfmt-support debootstrap e2fsprogs cpio kmod
            python3 git device-tree-compiler)
fi

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
if [ "${1:-}" != "" ]; then
  for arch in armhf armel arm64; do
    dpkg --print-foreign-architectures | grep -qx "$arch" || $sudo dpkg --add-architecture "$arch"
  done
fi

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
enable_binfmt() {
  [ "${1:-}" = emulated-board ] || return 0
  [ -e /proc/sys/fs/binfmt_misc/register ] \
    || $sudo mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
  [ -e /proc/sys/fs/binfmt_misc/qemu-arm ] || $sudo update-binfmts --enable qemu-arm
}
if [ ${#missing[@]} -eq 0 ]; then
  enable_binfmt "${1:-}"
  exit 0
fi

echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# A mirror caught mid-sync fails one index now and then: try again, and go on
# with what there is when only that index stays out of reach.
for attempt in 1 2 3; do
  $sudo apt-get update && break
  echo "apt-get update failed (attempt $attempt)"
  sleep 10
done
$sudo apt-get install -y --no-install-recommends "${missing[@]}"
enable_binfmt "${1:-}"
