#!/usr/bin/env bash
# Makes the README's pictures of a first measurement (docs/tour-*.png): the
# program on the simulated device, driven and grabbed by velmora_tour
# (scripts/tour.cpp) on the offscreen platform. It also prints the head of
# each exported file.
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
QT_QPA_PLATFORM=offscreen XDG_CONFIG_HOME="$scratch" ./velmora_tour "$here/docs"
