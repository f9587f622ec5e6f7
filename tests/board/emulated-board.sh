#!/usr/bin/env bash
# Boots an emulated ARM board and checks the armhf package on it: Debian's own
# armmp kernel on qemu-system-arm's vexpress-a9, a Debian 12 armhf userland
# with systemd as PID 1, and QEMU's at24c EEPROM at 0x23 standing in for the
# sensor (it returns the counts placed at 0x0710 of its backing file as
# readings). Four boots of one disk, and one of the initramfs alone:
#   install   the root-run 1.0.0 package, then an upgrade to this one with
#             dpkg -i: logs kept and handed over, the service measuring as
#             light-test, exact readings in the file and the journal, stop;
#   boot      the service started at boot, as light-test, exact readings;
#   nodevice  nothing at 0x23: status 255, both messages, a restart 10 s
#             later; then a purge removes what the package made;
#   pi        the same board with a Raspberry Pi's device tree model and its
#             bus as bus 1, no bus 0: dpkg -i alone measures on bus 1; a
#             missing bus is said with the fix and picked up when it comes;
#             by hand on bus 1 with systemd-run; an upgrade from 1.0.0 stays
#             on bus 0 until switched;
#   y2038     the packaged tool run by the initramfs with the clock set to
#             2039-09-18: its lines carry that date, and the exact readings.
# The board prints its results on the serial console; this script reads
# them, prints a table, and on a failure the whole console log.
#   tests/board/emulated-board.sh [PACKAGE.deb [SET_CLOCK]]
#                                   (default: what board-test.sh built)
set -euo pipefail
cd "$(dirname "$0")/../.."
version=$(sed -n 's/^project(light_test VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
new_deb=$(realpath "${1:-build-armhf/light-test_${version}_armhf.deb}")
# Built with the armhf tool (static, 64-bit time): sets the board's clock.
set_clock=$(realpath "${2:-build-armhf/tests/set_clock}")
work=$PWD/build-board
mkdir -p "$work"
scripts/install-deps.sh emulated-board

declare -a table
started=$SECONDS
phase() { phase_name=$1; phase_start=$SECONDS; echo "== $1"; }
phase_done() { table+=("$(printf '%-44s %4d s' "$phase_name" $((SECONDS - phase_start)))"); }

# 1.0.0 as it was released: run as root, linking Debian 12's spdlog and fmt
# libraries. Built from the last commit that has it.
phase "build the 1.0.0 package"
old_deb=$work/light-test_1.0.0_armhf.deb
if [ ! -f "$old_deb" ]; then
  # A shallow clone lacks the history: fetch it if the remote can be reached.
  if [ "$(git rev-parse --is-shallow-repository)" = true ]; then
    git fetch --quiet --unshallow 2>/dev/null || true
  fi
  commit=""
  for candidate in $(git rev-list HEAD -- CMakeLists.txt); do
    if git show "$candidate:CMakeLists.txt" | grep -q 'project(light_test VERSION 1.0.0' &&
       git show "$candidate:CMakeLists.txt" | grep -q 'spdlog::spdlog)'; then
      commit=$candidate
      break
    fi
  done
fi
if [ ! -f "$old_deb" ] && [ -z "$commit" ]; then
  echo "NOTE: this clone's history has no 1.0.0 package: the board installs this one fresh"
  table+=("$(printf '%-44s %s' "upgrade from 1.0.0" "skipped: no 1.0.0 in the history")")
elif [ ! -f "$old_deb" ]; then
  rm -rf "$work/v1.0.0" "$work/v1.0.0-build"
  git worktree prune
  git worktree add --detach "$work/v1.0.0" "$commit" >/dev/null
  cmake -S "$work/v1.0.0" -B "$work/v1.0.0-build" -DBUILD_TESTING=OFF \
        -DCMAKE_TOOLCHAIN_FILE="$work/v1.0.0/cmake/armhf-toolchain.cmake" \
        -DCMAKE_BUILD_TYPE=MinSizeRel >"$work/v1.0.0-build.log" 2>&1
  cmake --build "$work/v1.0.0-build" -j "$(nproc)" >>"$work/v1.0.0-build.log" 2>&1
  (cd "$work/v1.0.0-build" && cpack >>"$work/v1.0.0-build.log" 2>&1)
  cp "$work/v1.0.0-build/light-test_1.0.0_armhf.deb" "$old_deb"
  dpkg-deb -f "$old_deb" Depends | grep -q libspdlog || { echo "$old_deb is not 1.0.0"; exit 1; }
  git worktree remove --force "$work/v1.0.0"
fi
phase_done

# The kernel, its modules and device tree, and a static busybox, as Debian
# ships them for armhf: unpacked here, never installed.
phase "kernel and initramfs"
kernel_pkg=$(apt-cache depends linux-image-armmp:armhf | sed -n 's/.*Depends: \(linux-image-[^ ]*\)/\1/p' | head -n 1)
kernel_version=${kernel_pkg#linux-image-}
kernel_version=${kernel_version%:armhf}
if [ ! -d "$work/kernel/lib/modules/$kernel_version" ]; then
  rm -rf "$work/kernel" "$work/debs"
  mkdir -p "$work/debs" "$work/kernel" "$work/busybox"
  (cd "$work/debs" && apt-get download "$kernel_pkg" busybox-static:armhf 2>/dev/null)
  dpkg-deb -x "$work"/debs/linux-image-*.deb "$work/kernel"
  dpkg-deb -x "$work"/debs/busybox-static_*.deb "$work/busybox"
fi
vmlinuz=$work/kernel/boot/vmlinuz-$kernel_version
dtb=$work/kernel/usr/lib/linux-image-$kernel_version/vexpress-v2p-ca9.dtb
modules=$work/kernel/lib/modules/$kernel_version
initrd_dir=$work/initrd
rm -rf "$initrd_dir"
mkdir -p "$initrd_dir/bin" "$initrd_dir/modules"
cp "$work/busybox/bin/busybox" "$initrd_dir/bin/"
cp tests/board/init "$initrd_dir/init"
for module in virtio_mmio virtio_blk crc16 mbcache jbd2 crc32c_generic ext4; do
  find "$modules" -name "$module.ko" -exec cp {} "$initrd_dir/modules/" \;
done
# For the stage y2038: the bus's modules, the packaged tool and a static
# helper that sets the clock.
for module in i2c-algo-bit i2c-versatile i2c-dev; do
  find "$modules" -name "$module.ko" -exec cp {} "$initrd_dir/modules/" \;
done
mkdir -p "$initrd_dir/y2038"
dpkg-deb --fsys-tarfile "$new_deb" | tar -xO ./opt/light-test/bin/light_test >"$initrd_dir/y2038/light_test"
chmod 0755 "$initrd_dir/y2038/light_test"
install -m 0755 "$set_clock" "$initrd_dir/y2038/set_clock"
(cd "$initrd_dir" && find . | cpio -o -H newc --quiet | gzip -1) >"$work/initrd.gz"

# The Raspberry Pi-like board: the same board, whose device tree's model
# reads like a Pi's, and whose I2C controller (the one QEMU emulates, with
# the sensor's stand-in) is numbered bus 1; the other controller is off, so
# there is no bus 0, as on a Pi.
dtc -q -I dtb -O dts -o "$work/board.dts" "$dtb"
python3 - "$work/board.dts" "$work/pi.dts" <<'PY'
import re, sys
dts = open(sys.argv[1]).read()
dts = re.sub(r'(?m)^(\tmodel = )"[^"]*";', r'\1"Raspberry Pi 3 Model B Rev 1.2";', dts, count=1)
dts = re.sub(r'(?m)^\t\ti2c1 = "[^"]*";\n', "", dts)
dts = re.sub(r'(?m)^(\t\t)i2c0 = ("[^"]*/i2c@16000");', r'\1i2c1 = \2;', dts)
dts, n = re.subn(r'(?m)^(\t+)(i2c@2000 \{\n)', r'\1\2\1\tstatus = "disabled";\n', dts)
assert n == 1 and 'i2c1 = "' in dts and "i2c0 =" not in dts, "unexpected device tree"
open(sys.argv[2], "w").write(dts)
PY
dtc -q -I dts -O dtb -o "$work/pi.dtb" "$work/pi.dts"
phase_done

# The userland: debootstrap for armhf, its second stage run under qemu-user
# through binfmt_misc (much faster than inside the emulated board).
phase "Debian 12 armhf userland"
rootfs=$work/rootfs
# dbus: systemd-run --pipe/--wait/--pty talks to systemd over it, as on
# Raspberry Pi OS. A userland made with another list is made again.
include=systemd-sysv,udev,kmod,adduser,i2c-tools,libspdlog1.10,libfmt9,dbus
if [ "$(cat "$work/rootfs.done" 2>/dev/null)" != "$include" ]; then
  rm -rf "$rootfs" "$work/rootfs.done"
  mirror=$(cat /etc/apt/sources.list.d/debian.sources /etc/apt/sources.list 2>/dev/null \
           | sed -n 's/^URIs: *//p; s/^deb \(http[^ ]*debian\) .*/\1/p' | head -n 1 || true)
  debootstrap --arch=armhf --variant=minbase --include="$include" \
    bookworm "$rootfs" "${mirror:-http://deb.debian.org/debian}" >"$work/debootstrap.log" 2>&1 \
    || { tail -n 30 "$work/debootstrap.log"; exit 1; }
  echo "$include" >"$work/rootfs.done"
fi
# debootstrap takes this machine for a container and links proc to /proc.
[ -L "$rootfs/proc" ] && rm "$rootfs/proc" && mkdir "$rootfs/proc"
mkdir -p "$rootfs/lib/modules"
rm -rf "${rootfs:?}/lib/modules/$kernel_version"
cp -a "$modules" "$rootfs/lib/modules/"
depmod -b "$rootfs" "$kernel_version"
echo board >"$rootfs/etc/hostname"
echo "LABEL=root / ext4 defaults 0 1" >"$rootfs/etc/fstab"
printf 'i2c-versatile\ni2c-dev\n' >"$rootfs/etc/modules-load.d/board.conf"
install -m 0755 tests/board/board-check "$rootfs/usr/local/sbin/board-check"
install -m 0644 tests/board/board-check.service "$rootfs/etc/systemd/system/"
ln -sf /etc/systemd/system/board-check.service \
  "$rootfs/etc/systemd/system/multi-user.target.wants/board-check.service"
for unit in serial-getty@ttyAMA0.service getty@tty1.service getty-static.service apt-daily.timer \
            apt-daily-upgrade.timer e2scrub_all.timer fstrim.timer; do
  ln -sf /dev/null "$rootfs/etc/systemd/system/$unit"
done
rm -f "$rootfs"/root/*.deb "$rootfs"/root/before-upgrade.log
[ ! -f "$old_deb" ] || cp "$old_deb" "$rootfs/root/light-test_1.0.0_armhf.deb"
cp "$new_deb" "$rootfs/root/light-test_new_armhf.deb"
rm -f "$work/root.img"
mkfs.ext4 -q -L root -d "$rootfs" "$work/root.img" 1G
phase_done

# The sensor's stand-in: counts 12, 24, 36, ... (10.00, 20.00, 30.00 lux)
# from 0x0710 on, high byte first.
python3 - "$work/eeprom.bin" <<'PY'
import sys
data = bytearray(8192)
for i, at in enumerate(range(0x0710, 8192 - 1, 2)):
    data[at:at + 2] = (12 * (i + 1)).to_bytes(2, "big")
open(sys.argv[1], "wb").write(data)
PY

failed=0
boot() {
  local stage=$1 console=$work/console-$1.log board_dtb=$dtb
  local -a sensor=()
  [ "$stage" != pi ] || board_dtb=$work/pi.dtb
  if [ "$stage" != nodevice ]; then
    sensor=(-drive if=none,id=eeprom,file="$work/eeprom.bin",format=raw
            -device at24c-eeprom,bus=i2c,address=0x23,rom-size=8192,drive=eeprom)
  fi
  phase "boot: $stage"
  rm -f "$console"
  timeout 300 qemu-system-arm -M vexpress-a9 -smp 2 -m 1024 -nographic -no-reboot \
    -kernel "$vmlinuz" -dtb "$board_dtb" -initrd "$work/initrd.gz" \
    -append "console=ttyAMA0 panic=-1 board.stage=$stage" \
    -drive if=none,id=root,file="$work/root.img",format=raw,cache=unsafe \
    -device virtio-blk-device,drive=root "${sensor[@]}" \
    -nic none -monitor none -serial file:"$console" >/dev/null 2>&1 || true
  grep -a "^BOARD $stage" "$console" | tr -d '\r' || true
  if ! grep -aq "^BOARD $stage done failed=0" "$console"; then
    echo "boot '$stage' failed; its console:"
    tr -d '\r' <"$console"
    failed=1
  fi
  phase_done
}
# BOARD_STAGES picks stages, in order, for a quicker look at one of them.
for stage in ${BOARD_STAGES:-install boot nodevice pi y2038}; do
  [ "$failed" -eq 0 ] && boot "$stage"
done

echo
echo "emulated board: steps and times"
printf '  %s\n' "${table[@]}"
printf '  %-44s %4d s\n' "all" $((SECONDS - started))
echo "console logs: $work/console-*.log"
exit "$failed"
