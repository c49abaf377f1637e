#!/usr/bin/env bash
# Sets up a Debian 12 machine (as root), builds Velmora in build/ and starts
# it in build/bin, the folder that holds the device configuration tdc_qv5.ini.
# Extra arguments go to the CMake configuration, for example
#   scripts/run.sh -DVELMORA_DEVICE_LIBRARY=/opt/vendor/lib/liboxTDC1.so
# Without a display the program runs under xvfb-run on a virtual screen.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build="$here/build"
jobs=${VELMORA_JOBS:-$(nproc)}

"$here/scripts/setup.sh"

cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
cmake --build "$build" --target velmora -j "$jobs"
if [ ! -f "$build/bin/tdc_qv5.ini" ]; then
  # The configuration file is copied by the full build.
  cmake --build "$build" -j "$jobs"
fi
if [ ! -x "$build/bin/velmora" ]; then
  echo "run: $build/bin/velmora was not built" >&2
  exit 1
fi
if [ ! -f "$build/bin/tdc_qv5.ini" ]; then
  echo "run: note: no tdc_qv5.ini in $build/bin; \"Connect\" will report the device library's error" >&2
fi

cd "$build/bin"
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "run: no display (DISPLAY and WAYLAND_DISPLAY are empty);" \
       "starting velmora under xvfb-run on a virtual 1920x1080 screen, where it is not visible."
  echo "run: end it with Ctrl+C."
  exec xvfb-run -a -s "-screen 0 1920x1080x24" ./velmora
fi
echo "run: starting velmora in $build/bin"
exec ./velmora
