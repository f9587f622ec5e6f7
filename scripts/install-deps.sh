#!/usr/bin/env bash
# Installs, from Debian's archive, what building and testing the tool needs;
# does nothing when everything is already there.
set -euo pipefail

packages=(g++ make cmake pkg-config libspdlog-dev libfmt-dev libgtest-dev libgmock-dev
          umockdev libumockdev-dev)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update
$sudo apt-get install -y --no-install-recommends "${missing[@]}"
