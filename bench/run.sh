#!/usr/bin/env bash
# Benchmark: the built tool against the simulated sensor, and the same loop
# written in Python with the standard library's logging, side by side.
#   bench/run.sh [STEADY_SECONDS]      (default 20; the run takes about 4x that)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
missing=()
for tool in python3 strace; do command -v "$tool" >/dev/null || missing+=("$tool"); done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""; [ "$(id -u)" -eq 0 ] || sudo="sudo"
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
fi
scripts/build.sh >/dev/null
exec python3 bench/bench.py --build build --seconds "${1:-20}"
