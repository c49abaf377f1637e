#!/usr/bin/env bash
# Makes the README's pictures of a first measurement (docs/tour-*.png): the
# program on the simulated device, driven and grabbed by velmora_tour
# (scripts/tour.cpp) at the window's first size on a virtual 1366 x 768
# laptop screen (Xvfb). It also prints the head of each exported file.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${VELMORA_BUILD_DIR:-$here/build}
"$here/scripts/setup.sh"
cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORA_BUILD_TOUR=ON
cmake --build "$build" -j "${VELMORA_JOBS:-$(nproc)}" --target velmora_tour
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$here/docs"
# The program opens tdc_qv5.ini from its working folder, where the build puts it.
cd "$build/bin"
QT_QPA_PLATFORM=xcb XDG_CONFIG_HOME="$scratch" \
  xvfb-run -a -s "-screen 0 1366x768x24" ./velmora_tour "$here/docs"
