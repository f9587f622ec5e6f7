#!/usr/bin/env bash
# Checks the board's build: installs the cross tools, cross-builds with
# -Werror, runs the armhf tests under qemu-arm on the cross libraries and on
# roots of Debian 12 and 13 made of what the package pulls in there, builds
# the Debian packages for armhf and for this machine, checks their contents
# with lintian, the service's sandbox, and installs, upgrades and purges this
# machine's package (there is no bus here: the tool must end with status 255).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh board
step() { echo "== $1"; step_start=$SECONDS; }
took() { echo "   ($((SECONDS - step_start)) s)"; }

step "armhf: build and tests under qemu-arm"
cmake --preset armhf
cmake --build --preset armhf -j "$(nproc)"
ctest --preset armhf
file build-armhf/light_test | grep -q 'ELF 32-bit LSB .* ARM, EABI5' \
  || { echo "build-armhf/light_test is not an armhf executable"; exit 1; }
took

step "packages"
scripts/build.sh >/dev/null
(cd build && cpack)
(cd build-armhf && cpack)
version=$(sed -n 's/^project(light_test VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
native_deb=build/light-test_${version}_$(dpkg --print-architecture).deb
armhf_deb=build-armhf/light-test_${version}_armhf.deb

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
for deb in "$native_deb" "$armhf_deb"; do
  files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {sub(/^\./, "", $6); print $6}' | sort)
  if [ "$files" != "$expected_files" ]; then
    echo "unexpected file list in $deb:"; echo "$files"; exit 1
  fi
  # The C and C++ runtime only, whichever spdlog and fmt the board has.
  libraries=$(dpkg-deb -f "$deb" Depends | tr ',' '\n' | sed 's/^ *//; s/ .*//' | sort | tr '\n' ' ')
  [ "$libraries" = "adduser i2c-tools libc6 libgcc-s1 libstdc++6 " ] \
    || { echo "$deb depends on: $libraries"; exit 1; }
  lintian --fail-on error "$deb"
done
dpkg-deb -f "$armhf_deb" Architecture | grep -qx armhf
arm-linux-gnueabihf-strip -o build-armhf/light_test.stripped build-armhf/light_test
echo "armhf: stripped binary $(stat -c %s build-armhf/light_test.stripped) bytes," \
     "installed size $(dpkg-deb -f "$armhf_deb" Installed-Size) KiB"
took

# The armhf tests again on each release's own libraries: a root made of the
# packages that installing the armhf package there pulls in. qemu-arm takes
# from the build machine whatever the root lacks, so first every library the
# programs load must be found in the root itself.
for release in bookworm trixie; do
  step "armhf on Debian $release's libraries"
  root=build-armhf/root-$release
  scripts/debian-sysroot.sh "$release" "$armhf_deb" "$root"
  echo "   $(QEMU_LD_PREFIX=$root qemu-arm "$root/lib/ld-linux-armhf.so.3" --version | head -n 1)"
  for program in build-armhf/light_test build-armhf/tests/*_test; do
    loaded=$(QEMU_LD_PREFIX=$root qemu-arm -E LD_TRACE_LOADED_OBJECTS=1 "$program" \
               | sed -n 's/.*=> \(\/[^ ]*\) .*/\1/p; s/^[[:space:]]*\(\/[^ ]*\) .*/\1/p')
    [ -n "$loaded" ] || { echo "$program: no libraries traced"; exit 1; }
    for library in $loaded; do
      [ -e "$root$library" ] || { echo "$program: $library is not in the $release root"; exit 1; }
    done
  done
  QEMU_LD_PREFIX=$root ctest --test-dir build-armhf --output-on-failure
  took
done

step "the service's sandbox"
exposure=$(systemd-analyze security --offline=true packaging/light-test.service \
             | sed -n 's/.*Overall exposure level for light-test.service: \([0-9.]*\) .*/\1/p')
echo "   exposure $exposure"
awk -v e="$exposure" 'BEGIN { exit !(e != "" && e <= 1.5) }' \
  || { echo "the service's exposure is $exposure, more than 1.5"; exit 1; }
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
! getent passwd light-test >/dev/null || { echo "the purge left the user light-test"; exit 1; }
took
echo "board checks: all passed"
