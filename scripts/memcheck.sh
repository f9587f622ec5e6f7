#!/usr/bin/env bash
# Runs the whole suite once more under AddressSanitizer and
# UndefinedBehaviorSanitizer, then the tool under valgrind against the
# simulated sensor: a few measuring cycles, and the path that ends with 255.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

echo "== the suite under ASan and UBSan"
cmake --preset sanitize
cmake --build --preset sanitize -j "$(nproc)"
ctest --preset sanitize

echo "== the tool under valgrind"
scripts/build.sh >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp build/light_test "$work/"
valgrind=(valgrind --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite)

# Measuring: the tool never ends by itself, so it is stopped after about five
# cycles and valgrind's summary is read.
status=0
timeout -s INT 7 build/tests/sensor_runner --count 300 -- \
  "${valgrind[@]}" --log-file="$work/measuring.log" "$work/light_test" >"$work/out" || status=$?
[ "$status" -eq 124 ] || { echo "valgrind run ended early with $status"; cat "$work/measuring.log"; exit 1; }
cycles=$(grep -c 'current illuminance: 250.00' "$work/out" || true)
[ "$cycles" -ge 3 ] || { echo "only $cycles cycles under valgrind"; cat "$work/out"; exit 1; }
grep -q 'ERROR SUMMARY: 0 errors' "$work/measuring.log" || { cat "$work/measuring.log"; exit 1; }
echo "measuring, $cycles cycles: $(grep 'ERROR SUMMARY' "$work/measuring.log")"

# No sensor: the tool ends by itself with 255, exit handlers and all.
status=0
build/tests/sensor_runner --address none -- \
  "${valgrind[@]}" --log-file="$work/no_sensor.log" "$work/light_test" >/dev/null || status=$?
[ "$status" -eq 255 ] || { echo "no-sensor run under valgrind: status $status"; cat "$work/no_sensor.log"; exit 1; }
echo "no sensor: $(grep 'ERROR SUMMARY' "$work/no_sensor.log")"
