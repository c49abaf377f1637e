#!/usr/bin/env bash
# Installs the build into a scratch prefix and starts the program the way the
# desktop entry does: its Exec in its Path. The program must find the
# installed simulated device library and its tdc_qv5.ini there, and keep
# running until it is stopped.
set -euo pipefail

build=$1
# A staged install: the files land below $stage with the configured prefix,
# so the paths written into the desktop entry are found there.
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT

DESTDIR="$stage" cmake --install "$build" > "$stage/install.log"

entry=$(find "$stage" -name velmora.desktop -path '*/applications/*')
test -n "$entry" || { echo "no desktop entry installed"; exit 1; }
test -n "$(find "$stage" -path '*/icons/hicolor/128x128/apps/velmora.png')" || { echo "no icon"; exit 1; }

exec_line=$(sed -n 's/^Exec=//p' "$entry")
path_line=$stage$(sed -n 's/^Path=//p' "$entry")
program=$stage${exec_line%% *}
test -x "$program" || { echo "Exec does not name an installed program: $exec_line"; exit 1; }
test -f "$path_line/tdc_qv5.ini" || { echo "no tdc_qv5.ini in the entry's Path $path_line"; exit 1; }

# The installed program resolves the installed device library.
# (ldd's output is kept first: grep -q stopping early would break the pipe.)
libraries=$(ldd "$program")
case "$libraries" in
  *"liboxTDC1.so => $stage/"*) ;;
  *) echo "$libraries"; echo "liboxTDC1.so not from the install"; exit 1 ;;
esac

cd "$path_line"
set +e
QT_QPA_PLATFORM=offscreen XDG_CONFIG_HOME="$stage/config" timeout 3 "$program"
rc=$?
set -e
# 124: still running when the timeout stopped it, as it should be.
test "$rc" = 124 || { echo "the installed program ended early with $rc"; exit 1; }
echo "installed program starts from its desktop entry"
