#!/usr/bin/env bash
# Checks the boards' builds: installs the cross tools, cross-builds with
# -Werror the armhf tool (static, ARMv6 with VFPv2) and the arm64 one, runs
# their tests under qemu-user as the Pi 1/Zero's ARM1176 and a Cortex-A7, and
# as the Pi 3's Cortex-A53; builds the Debian packages for armhf, arm64 and
# this machine, checks their contents with lintian, runs each packaged tool
# without a bus under each processor, checks that the packages install on
# Debian 12 and 13 and runs the arm64 tests on roots of those releases made of
# what the package pulls in there; checks the service's sandbox, and installs,
# upgrades and purges this machine's package (there is no bus here: the tool
# must end with status 255).
set -euo pipefail
cd "$(dirname "$0")/../.."
scripts/install-deps.sh board
step() { echo "== $1"; step_start=$SECONDS; }
took() { echo "   ($((SECONDS - step_start)) s)"; }

step "armhf: build, and tests under qemu-arm as ARM1176 and as Cortex-A7"
cmake --preset armhf
cmake --build --preset armhf -j "$(nproc)"
ctest --preset armhf  # QEMU_CPU=arm1176
QEMU_CPU=cortex-a7 ctest --test-dir build-armhf --output-on-failure
file build-armhf/light_test | grep -q 'ELF 32-bit LSB .* ARM, EABI5 .* statically linked' \
  || { echo "build-armhf/light_test is not a static 32-bit ARM executable"; exit 1; }
# What the processor must have: ARMv6 and VFPv2 at most, no Thumb-2.
attributes=$(readelf -A build-armhf/light_test)
grep -qx '  Tag_CPU_arch: v6' <<<"$attributes" && grep -qx '  Tag_FP_arch: VFPv2' <<<"$attributes" \
  && ! grep -q 'Thumb-2' <<<"$attributes" \
  || { echo "build-armhf/light_test needs more than ARMv6 with VFPv2:"; echo "$attributes"; exit 1; }
echo "$attributes" | grep -E 'Tag_(CPU_arch|THUMB_ISA_use|FP_arch):' | sed 's/^ */   /'
took

step "arm64: build and tests under qemu-aarch64 as Cortex-A53"
cmake --preset arm64
cmake --build --preset arm64 -j "$(nproc)"
ctest --preset arm64  # QEMU_CPU=cortex-a53
file build-arm64/light_test | grep -q 'ELF 64-bit LSB .* ARM aarch64' \
  || { echo "build-arm64/light_test is not an arm64 executable"; exit 1; }
took

step "packages"
scripts/build.sh >/dev/null
(cd build && cpack)
(cd build-armhf && cpack)
(cd build-arm64 && cpack)
version=$(sed -n 's/^project(light_test VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
native_deb=build/light-test_${version}_$(dpkg --print-architecture).deb
armhf_deb=build-armhf/light-test_${version}_armhf.deb
arm64_deb=build-arm64/light-test_${version}_arm64.deb

expected_files="/etc/mtail/light_test.mtail
/lib/systemd/system/light-test.service
/lib/systemd/system/mtail.service.d/light-test.conf
/opt/light-test/bin/light_test
/usr/lib/modules-load.d/light-test.conf
/usr/share/doc/light-test/README.md
/usr/share/doc/light-test/changelog.gz
/usr/share/doc/light-test/copyright
/usr/share/light-test/monitoring/consoles/light.html
/usr/share/light-test/monitoring/light_test.rules.yml
/usr/share/lintian/overrides/light-test"
for deb in "$native_deb" "$armhf_deb" "$arm64_deb"; do
  files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {sub(/^\./, "", $6); print $6}' | sort)
  if [ "$files" != "$expected_files" ]; then
    echo "unexpected file list in $deb:"; echo "$files"; exit 1
  fi
  # The C and C++ runtime only, whichever spdlog and fmt the board has; the
  # static armhf tool not even that.
  expected="adduser debconf i2c-tools libc6 libgcc-s1 libstdc++6 "
  [ "$deb" != "$armhf_deb" ] || expected="adduser debconf i2c-tools "
  libraries=$(dpkg-deb -f "$deb" Depends | tr ',' '\n' | sed 's/^ *//; s/ .*//' | sort | tr '\n' ' ')
  [ "$libraries" = "$expected" ] || { echo "$deb depends on: $libraries"; exit 1; }
  lintian --fail-on error "$deb"
done
dpkg-deb -f "$armhf_deb" Architecture | grep -qx armhf
dpkg-deb -f "$arm64_deb" Architecture | grep -qx arm64
# The same unit, configuration and maintainer scripts in every package.
for deb in "$armhf_deb" "$arm64_deb"; do
  for file in config templates postinst prerm postrm conffiles; do
    cmp -s <(dpkg-deb -I "$deb" "$file") <(dpkg-deb -I "$native_deb" "$file") \
      || { echo "$deb: its $file differs from $native_deb's"; exit 1; }
  done
  cmp -s <(dpkg-deb --fsys-tarfile "$deb" | tar -xO ./lib/systemd/system/light-test.service) \
    packaging/light-test.service || { echo "$deb: another unit"; exit 1; }
done
arm-linux-gnueabi-strip -o build-armhf/light_test.stripped build-armhf/light_test
aarch64-linux-gnu-strip -o build-arm64/light_test.stripped build-arm64/light_test
armhf_size=$(stat -c %s build-armhf/light_test.stripped)
echo "armhf: stripped binary $armhf_size bytes (static)," \
     "installed size $(dpkg-deb -f "$armhf_deb" Installed-Size) KiB"
echo "arm64: stripped binary $(stat -c %s build-arm64/light_test.stripped) bytes," \
     "installed size $(dpkg-deb -f "$arm64_deb" Installed-Size) KiB"
[ "$armhf_size" -le 1572864 ] || { echo "the armhf tool is over 1.5 MiB"; exit 1; }
took

# Each packaged tool, as the board gets it, on a machine without a bus: its
# one error line and status 255, on every processor it is meant for.
step "the packaged tools without a bus, processor by processor"
if [ -e /dev/i2c-0 ]; then
  echo "   skipped: this machine has a bus"
else
  unpacked=$(mktemp -d)
  no_bus() {  # deb, then the emulator's command line
    local deb=$1 dir out status=0
    shift
    dir=$unpacked/$(basename "$deb" .deb)-$RANDOM
    dpkg-deb -x "$deb" "$dir"
    out=$(cd "$dir" && "$@" "$dir/opt/light-test/bin/light_test" 2>&1) || status=$?
    [ "$status" -eq 255 ] && [ "$(wc -l <<<"$out")" -eq 1 ] \
      && grep -q '\[error\] \[illuminance.cc:[0-9]*\] Open /dev/i2c-0 error!$' <<<"$out" \
      || { echo "$(basename "$deb") under $*: status $status, output: $out"; exit 1; }
    echo "   $(basename "$deb") under $*: status 255, ${out#*] }"
  }
  for cpu in arm1176 cortex-a7 cortex-a9; do no_bus "$armhf_deb" qemu-arm -cpu "$cpu"; done
  no_bus "$arm64_deb" env QEMU_LD_PREFIX=/usr/aarch64-linux-gnu qemu-aarch64 -cpu cortex-a53
  rm -rf "$unpacked"
fi
took

# The packages install on each release: their Depends resolve there. The
# arm64 tests run again on each release's own libraries: a root made of the
# packages that installing the package there pulls in. qemu-aarch64 takes
# from the build machine whatever the root lacks, so first every library the
# programs load must be found in the root itself. (The armhf tool is static:
# it loads no library of the release.)
for release in bookworm trixie; do
  step "Debian $release: the packages install; arm64 tests on its libraries"
  tests/board/debian-sysroot.sh "$release" "$armhf_deb"
  root=build-arm64/root-$release
  tests/board/debian-sysroot.sh "$release" "$arm64_deb" "$root"
  echo "   $(QEMU_LD_PREFIX=$root qemu-aarch64 "$root/lib/ld-linux-aarch64.so.1" --version | head -n 1)"
  for program in build-arm64/light_test build-arm64/tests/*_test; do
    loaded=$(QEMU_LD_PREFIX=$root qemu-aarch64 -E LD_TRACE_LOADED_OBJECTS=1 "$program" \
               | sed -n 's/.*=> \(\/[^ ]*\) .*/\1/p; s/^[[:space:]]*\(\/[^ ]*\) .*/\1/p')
    [ -n "$loaded" ] || { echo "$program: no libraries traced"; exit 1; }
    for library in $loaded; do
      [ -e "$root$library" ] || { echo "$program: $library is not in the $release root"; exit 1; }
    done
  done
  QEMU_LD_PREFIX=$root QEMU_CPU=cortex-a53 ctest --test-dir build-arm64 --output-on-failure
  took
done

step "the service's sandbox, with systemd 252 (Debian 12) and 257 (Debian 13)"
# 257 is Debian 13's own systemd-analyze, from the arm64 root made above.
trixie=$PWD/build-arm64/root-trixie
analyze_252=(systemd-analyze)
analyze_257=(env QEMU_LD_PREFIX="$trixie" QEMU_CPU=cortex-a53 qemu-aarch64 "$trixie/usr/bin/systemd-analyze")
"${analyze_257[@]}" --version | grep -q '^systemd 257' || { echo "no systemd 257 in $trixie"; exit 1; }
# The unit as a board has it: with the drop-in that chooses bus 1.
units=$(mktemp -d)
sed 's|^ExecStart=.*|ExecStart=/bin/true|' packaging/light-test.service >"$units/light-test.service"
mkdir "$units/light-test.service.d"
printf '[Service]\nEnvironment=LIGHT_TEST_I2C_BUS=1\nBindPaths=\nBindPaths=-/dev/i2c-1:/dev/i2c-0\nDeviceAllow=\nDeviceAllow=/dev/i2c-1 rw\n' \
  >"$units/light-test.service.d/i2c-bus.conf"
for version in 252 257; do
  analyze="analyze_$version[@]"
  verified=$("${!analyze}" verify "$units/light-test.service" 2>&1) \
    || { echo "systemd $version rejects the unit: $verified"; exit 1; }
  [ -z "$verified" ] || { echo "systemd $version on the unit: $verified"; exit 1; }
  exposure=$("${!analyze}" security --offline=true "$units/light-test.service" \
               | sed -n 's/.*Overall exposure level for light-test.service: \([0-9.]*\) .*/\1/p')
  echo "   systemd $version: exposure $exposure"
  awk -v e="$exposure" 'BEGIN { exit !(e != "" && e <= 1.5) }' \
    || { echo "the service's exposure is $exposure, more than 1.5"; exit 1; }
done
rm -rf "$units"
took

step "install, upgrade and purge on this machine"
# What the root-run version left: logs owned by root.
rm -rf /opt/light-test
mkdir -p /opt/light-test/bin/logs
echo "[2026-12-01 10:00:00.000] [log] [info] [light_test.cc:14] current illuminance: 1.00" \
  >/opt/light-test/bin/logs/light_test.log
echo "older" >/opt/light-test/bin/logs/light_test.1.log
dpkg -i "$native_deb"
trap 'dpkg --purge light-test >/dev/null 2>&1 || true' EXIT
systemd-analyze verify /lib/systemd/system/light-test.service
# Not a Raspberry Pi: bus 0.
grep -qx 'BindPaths=-/dev/i2c-0:/dev/i2c-0' /etc/systemd/system/light-test.service.d/i2c-bus.conf \
  || { echo "the service is not on bus 0"; exit 1; }
# The documented command chooses another bus; a word that is no number
# leaves the bus as it was.
echo "light-test light-test/i2c-bus string 3" | debconf-set-selections
dpkg-reconfigure -f noninteractive light-test
echo "light-test light-test/i2c-bus string three" | debconf-set-selections
dpkg-reconfigure -f noninteractive light-test 2>/dev/null
grep -qx 'DeviceAllow=/dev/i2c-3 rw' /etc/systemd/system/light-test.service.d/i2c-bus.conf \
  || { echo "dpkg-reconfigure did not choose bus 3"; exit 1; }
dpkg -i "$native_deb" >/dev/null
grep -qx 'Environment=LIGHT_TEST_I2C_BUS=3' /etc/systemd/system/light-test.service.d/i2c-bus.conf \
  || { echo "an upgrade lost the chosen bus"; exit 1; }
systemd-analyze verify /lib/systemd/system/light-test.service
[ -L /etc/systemd/system/multi-user.target.wants/light-test.service ] \
  || { echo "the unit is not enabled at boot"; exit 1; }
getent passwd light-test >/dev/null || { echo "no user light-test"; exit 1; }
owners=$(stat -c %U:%G /opt/light-test/bin/logs /opt/light-test/bin/logs/* | sort -u)
[ "$owners" = "light-test:light-test" ] || { echo "logs owned by $owners"; exit 1; }
grep -q 'current illuminance: 1.00$' /opt/light-test/bin/logs/light_test.log \
  || { echo "the upgrade lost the existing log"; exit 1; }
# The drop-in that has Debian's mtail follow the log: the unit verifies, and
# its command line, run as systemd would, serves the log's metrics.
systemd-analyze verify mtail.service
mtail_port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
mtail_command=$(sed -n 's/^ExecStart=\(.\+\)$/\1/p' /lib/systemd/system/mtail.service.d/light-test.conf \
                  | sed 's/\$\$/$/g')
(cd / && HOST=127.0.0.1 PORT=$mtail_port LOGS="" EXTRA_ARGS="" \
   eval "exec $mtail_command" >/tmp/light-test-mtail.log 2>&1) &
mtail_pid=$!
for try in $(seq 50); do curl -sf "http://127.0.0.1:$mtail_port/metrics" >/dev/null && break; sleep 0.2; done
echo "[2026-12-09 12:00:00.500] [log] [info] [light_test.cc:14] current illuminance: 12.50" \
  >>/opt/light-test/bin/logs/light_test.log
sleep 1
metrics=$(curl -sf "http://127.0.0.1:$mtail_port/metrics" || true)
kill "$mtail_pid"
grep -q '^light_readings_total{prog="light_test.mtail"} 1$' <<<"$metrics" \
  && grep -q '^light_illuminance_lux{prog="light_test.mtail"} 12.5$' <<<"$metrics" \
  || { echo "mtail as the drop-in runs it:"; cat /tmp/light-test-mtail.log; echo "$metrics" | grep light; exit 1; }
if [ ! -e /dev/i2c-0 ]; then
  # As the service's user: it may write its logs and nothing else.
  status=0
  out=$(cd / && timeout 10 setpriv --reuid=light-test --regid=light-test --clear-groups \
          /opt/light-test/bin/light_test 2>/tmp/light-test.err) || status=$?
  log=$(tail -n 1 /opt/light-test/bin/logs/light_test.log)
  [ "$status" -eq 255 ] || { echo "installed tool: status $status, not 255"; exit 1; }
  [ ! -s /tmp/light-test.err ] || { echo "installed tool wrote to stderr"; exit 1; }
  [ "$(wc -l <<<"$out")" -eq 1 ] && grep -q '\[error\] .*Open /dev/i2c-0 error!$' <<<"$out" \
    || { echo "installed tool's output: $out"; exit 1; }
  grep -q '\[log\] \[error\] .*Open /dev/i2c-0 error!$' <<<"$log" \
    || { echo "installed tool's log: $log"; exit 1; }
fi
dpkg --purge light-test
trap - EXIT
[ ! -e /opt/light-test ] || { echo "the purge left /opt/light-test"; exit 1; }
[ ! -e /etc/systemd/system/light-test.service.d ] || { echo "the purge left the bus drop-in"; exit 1; }
[ -z "$(debconf-show light-test)" ] || { echo "the purge left the bus setting"; exit 1; }
! getent passwd light-test >/dev/null || { echo "the purge left the user light-test"; exit 1; }
took
echo "board checks: all passed"
