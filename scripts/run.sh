#!/usr/bin/env bash
# Installs what is needed, builds, and runs the tool: on the real bus when this
# machine has /dev/i2c-0, else against the simulated sensor with changing
# light. Stop it with Ctrl-C. The log is build/logs/light_test.log.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh
if [ -e /dev/i2c-0 ]; then
  exec build/light_test
fi
echo "No /dev/i2c-0 here: measuring the simulated sensor."
exec build/tests/sensor_runner --wave -- build/light_test
