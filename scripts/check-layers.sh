#!/usr/bin/env bash
# Fails when an include crosses the layers of CONTRIBUTING.md's table: every
# project include names its folder, and each folder may include only the
# folders listed for it here. Widget-free folders include no QtWidgets or
# QtGui header, and no type of the device library's C API is named above
# device/.
set -euo pipefail
cd "$(dirname "$0")/.."

# folder: the folders its includes may name (its own always)
declare -A allowed=(
  [app]="panel plots tools remote run export recording analysis device resources"
  [panel]="plots tools run export device"
  [plots]="run export device"
  [tools]="run export analysis device"
  [remote]="run export device"
  [recording]="run device"
  [export]="run device"
  [run]="device"
  [analysis]=""
  [device]=""
  [simulator]="device"
)
widget_free="run export remote recording analysis device simulator"
c_api_types='\b(PipeStatistics|TdcEvent|PipeCallbacks|PipeCallbackArgs|OX_[A-Z_]+|ox_[a-z0-9_]+)\b'

failures=0
fail() { echo "layers: $*" >&2; failures=$((failures + 1)); }

sources() { git ls-files -- "$1/*.cpp" "$1/*.h" 2>/dev/null; }

for folder in "${!allowed[@]}"; do
  for file in $(sources "$folder"); do
    while IFS= read -r line; do
      target=${line#*\"}; target=${target%%\"*}
      case "$target" in
        *.moc) continue ;;
        */*) ;;
        *) fail "$file: include \"$target\" does not name its folder"; continue ;;
      esac
      dir=${target%%/*}
      [ "$dir" = "$folder" ] && continue
      if [ "$folder" = simulator ] && [ "$target" != device/oxtdc1.h ]; then
        fail "$file: the simulated device includes only device/oxtdc1.h, not $target"
        continue
      fi
      case " ${allowed[$folder]} " in
        *" $dir "*) ;;
        *) fail "$file: $folder/ may not include $target" ;;
      esac
      if [ "$target" = device/oxtdc1.h ] && [ "$folder" != device ] && [ "$folder" != simulator ]; then
        fail "$file: only device/ and the simulator include the device library's C API"
      fi
    done < <(grep -E '^#include "' "$file" || true)
    case " $widget_free " in
      *" $folder "*)
        if grep -nE '^#include <(QtWidgets|QtGui|Q(Widget|Dialog|Application|MessageBox|Painter|Color|Pixmap|Image))' "$file"; then
          fail "$file: $folder/ knows no widget"
        fi ;;
    esac
    case "$folder" in
      device|simulator) ;;
      *) if grep -nE "$c_api_types" "$file" | grep -v '^\s*//' > /tmp/layers.$$; then
           while IFS= read -r hit; do fail "$file:$hit: a type or call of the device library's C API"; done < /tmp/layers.$$
         fi
         rm -f /tmp/layers.$$ ;;
    esac
  done
done

if [ "$failures" -ne 0 ]; then
  echo "layers: $failures include(s) break the table in CONTRIBUTING.md" >&2
  exit 1
fi
echo "layers: every include follows the table"
