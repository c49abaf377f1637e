#!/usr/bin/env bash
# Redraws resources/logo.png and the desktop icon resources/velmora.png from scripts/make_logo.cpp (needs qtbase5-dev,
# pkg-config and the DejaVu fonts). The PNG is committed; run this only to
# change the mark.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# shellcheck disable=SC2046
c++ -std=c++17 -O1 -fPIC -o "$work/make_logo" "$here/scripts/make_logo.cpp" \
    $(pkg-config --cflags --libs Qt5Gui)
QT_QPA_PLATFORM=offscreen "$work/make_logo" "$here/resources/logo.png" "$here/resources/velmora.png"
echo "wrote $here/resources/logo.png and $here/resources/velmora.png (desktop icon)"
