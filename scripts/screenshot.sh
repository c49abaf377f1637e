#!/usr/bin/env bash
# Makes the README's picture: the main window after an accumulating run on
# the simulated device, saved as resources/screenshot.png (not compiled in).
# Runs the walkthrough test's user session on the offscreen platform.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/scripts/setup.sh"
cmake -S "$here" -B "$here/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$here/build" -j "$(nproc)" --target tst_walkthrough
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
QT_QPA_PLATFORM=offscreen XDG_CONFIG_HOME="$scratch" VELMORA_SCREENSHOT="$here/resources/screenshot.png" \
  "$here/build/bin/tst_walkthrough" user_session
echo "wrote $here/resources/screenshot.png"
