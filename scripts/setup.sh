#!/usr/bin/env bash
# Installs, as root on Debian 12, every package that building, running and
# testing Velmora needs, and generates the German locale that the locale stage
# of scripts/test.sh runs the suites under (a comma as decimal separator);
# what is already present is left alone.
set -euo pipefail

packages=(
  build-essential cmake git pkg-config
  qtbase5-dev qtbase5-dev-tools libqt5svg5-dev
  libqwt-qt5-dev libinih-dev libgsl-dev
  libhdf5-dev python3-h5py
  clang-14 libclang-rt-14-dev clang-format
  xvfb xauth
  python3-pyvisa-py
  fonts-dejavu-core
  ca-certificates
  locales
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ "$(id -u)" -ne 0 ]; then
  SUDO=sudo
else
  SUDO=
fi

if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all packages present"
else
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -q
  $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# locale -a lists it as de_DE.utf8. Enabled in /etc/locale.gen as well, so a
# later locale-gen keeps it; localedef builds this one locale only, which is
# much quicker than locale-gen rebuilding every enabled one.
# (Read whole first: grep -q leaving a pipe early would fail it under pipefail.)
installed_locales=$(locale -a 2>/dev/null || true)
if grep -qix 'de_DE\.utf-\?8' <<< "$installed_locales"; then
  echo "setup: locale de_DE.UTF-8 present"
else
  echo "setup: generating locale de_DE.UTF-8"
  if [ -f /etc/locale.gen ]; then
    $SUDO sed -i 's/^# *\(de_DE\.UTF-8 UTF-8\)$/\1/' /etc/locale.gen
    grep -qx 'de_DE\.UTF-8 UTF-8' /etc/locale.gen ||
      echo 'de_DE.UTF-8 UTF-8' | $SUDO tee -a /etc/locale.gen > /dev/null
  fi
  $SUDO localedef -i de_DE -f UTF-8 de_DE.UTF-8
fi
