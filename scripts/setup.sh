#!/usr/bin/env bash
# Installs, as root on Debian 12, every package that building, running and
# testing Velmora needs; packages already present are left alone.
set -euo pipefail

packages=(
  build-essential cmake git pkg-config
  qtbase5-dev qtbase5-dev-tools libqt5svg5-dev
  libqwt-qt5-dev libinih-dev libbenchmark-dev libgsl-dev
  clang-14 libclang-rt-14-dev clang-format
  xvfb xauth
  fonts-dejavu-core
  ca-certificates
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all packages present"
  exit 0
fi

echo "setup: installing ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
  SUDO=sudo
else
  SUDO=
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
