#!/usr/bin/env bash
# Screenshots of the builder's main window, about box and help window for docs/, taken on a
# private X server with Wine drawing the window frames itself (a virtual desktop).
# Usage: tests/win/ui/screenshots.sh [build/win-x86_64]
set -euo pipefail
root=$(cd "$(dirname "$0")/../../.." && pwd)
bin=$(cd "${1:-$root/build/win-x86_64}" && pwd)
KESDRA_ROOT=${KESDRA_ROOT:-$root} source "$root/scripts/wine-env"
kesdra_wine_up
mkdir -p "$root/docs"

display=:$((90 + RANDOM % 9))
Xvfb "$display" -screen 0 800x600x24 >/dev/null 2>&1 &
xvfb=$!
trap 'kill $xvfb 2>/dev/null || true' EXIT INT TERM
export DISPLAY=$display
sleep 1

# The helper must run in the builder's virtual desktop: windows of other desktops are not found.
helper() { "$WINE64" explorer /desktop=kesdra,800x600 "$bin/win_ui_shot.exe" "$@"; }

shoot() {  # $1: main|about|help, $2: output name
  "$WINE64" explorer /desktop=kesdra,800x600 "$bin/kesdra.exe" &
  local app=$! rectFile=/tmp/kesdra-rect-$$.txt
  rm -f "$rectFile"
  helper "$1" "Z:$rectFile"
  for _ in $(seq 100); do [ -s "$rectFile" ] && break; sleep 0.2; done
  import -window root "/tmp/kesdra-shot-$$.png"
  convert "/tmp/kesdra-shot-$$.png" -crop "$(tr -d '\r\n' < "$rectFile")" +repage "$root/docs/$2"
  rm -f "/tmp/kesdra-shot-$$.png" "$rectFile"
  helper quit
  wait "$app" 2>/dev/null || true
}

shoot main main-window.png
shoot about about-box.png
shoot help help-window.png
echo "docs/main-window.png docs/about-box.png docs/help-window.png"
