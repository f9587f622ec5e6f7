#!/usr/bin/env bash
# Checks the board's build: installs the cross tools, cross-builds with
# -Werror, runs the armhf tests under qemu-arm, builds the Debian packages for
# armhf and for this machine, checks their contents with lintian, verifies
# the systemd unit, installs this machine's package and runs the installed
# tool (there is no bus here: it must end with status 255).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh board

echo "== armhf: build and tests under qemu-arm"
cmake --preset armhf
cmake --build --preset armhf -j "$(nproc)"
ctest --preset armhf
file build-armhf/light_test | grep -q 'ELF 32-bit LSB .* ARM, EABI5' \
  || { echo "build-armhf/light_test is not an armhf executable"; exit 1; }

echo "== packages"
scripts/build.sh >/dev/null
(cd build && cpack)
(cd build-armhf && cpack)
native_deb=build/light-test_1.0.0_$(dpkg --print-architecture).deb
armhf_deb=build-armhf/light-test_1.0.0_armhf.deb

expected_files="/lib/systemd/system/light-test.service
/opt/light-test/bin/light_test
/usr/share/doc/light-test/README.md
/usr/share/doc/light-test/changelog.gz
/usr/share/doc/light-test/copyright
/usr/share/lintian/overrides/light-test"
for deb in "$native_deb" "$armhf_deb"; do
  files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {sub(/^\./, "", $6); print $6}' | sort)
  if [ "$files" != "$expected_files" ]; then
    echo "unexpected file list in $deb:"; echo "$files"; exit 1
  fi
  dpkg-deb -f "$deb" Depends | grep -q libspdlog || { echo "$deb: no spdlog dependency"; exit 1; }
  lintian --fail-on error "$deb"
done
dpkg-deb -f "$armhf_deb" Architecture | grep -qx armhf

echo "== install and run the package on this machine"
dpkg -i "$native_deb"
trap 'dpkg --purge light-test >/dev/null' EXIT
systemd-analyze verify /lib/systemd/system/light-test.service
[ -L /etc/systemd/system/multi-user.target.wants/light-test.service ] \
  || { echo "the unit is not enabled at boot"; exit 1; }
if [ ! -e /dev/i2c-0 ]; then
  rm -rf /opt/light-test/bin/logs
  status=0
  out=$(cd / && timeout 10 /opt/light-test/bin/light_test 2>/tmp/light-test.err) || status=$?
  log=$(cat /opt/light-test/bin/logs/light_test.log)
  [ "$status" -eq 255 ] || { echo "installed tool: status $status, not 255"; exit 1; }
  [ ! -s /tmp/light-test.err ] || { echo "installed tool wrote to stderr"; exit 1; }
  [ "$(wc -l <<<"$out")" -eq 1 ] && grep -q '\[error\] .*Open /dev/i2c-0 error!$' <<<"$out" \
    || { echo "installed tool's output: $out"; exit 1; }
  [ "$(wc -l <<<"$log")" -eq 1 ] && grep -q '\[log\] \[error\] .*Open /dev/i2c-0 error!$' <<<"$log" \
    || { echo "installed tool's log: $log"; exit 1; }
fi
echo "board checks: all passed"
