#!/usr/bin/env bash
# Screenshots of the builder's main window, about box and help window for docs/, taken on a
# private X server with Wine drawing the window frames itself (a virtual desktop).
# Usage: tests/win/ui/screenshots.sh [build/win-x86_64]
set -euo pipefail
root=$(cd "$(dirname "$0")/../../.." && pwd)
bin=$(cd "${1:-$root/build/win-x86_64}" && pwd)
# Among the packages: the fonts Wine draws its title-bar buttons with.
"$root/scripts/install-deps"
KESDRA_ROOT=${KESDRA_ROOT:-$root} source "$root/scripts/wine-env"
mkdir -p "$root/docs"

n=90
while [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ]; do n=$((n + 1)); done
display=:$n
Xvfb "$display" -screen 0 800x600x24 >/dev/null 2>&1 &
xvfb=$!
trap 'wineserver -k 2>/dev/null; kill $xvfb 2>/dev/null || true' EXIT INT TERM
export DISPLAY=$display
for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
# Wine keeps its windows on the display its server first saw: start it on this one.
wineserver -k 2>/dev/null || true
kesdra_wine_up

# The helper must run in the builder's virtual desktop: windows of other desktops are not found.
helper() { "$WINE64" explorer /desktop=kesdra,800x600 "$bin/win_ui_shot.exe" "$@"; }

shoot() {  # $1: main|about|help, $2: output name
  "$WINE64" explorer /desktop=kesdra,800x600 "$bin/kesdra.exe" &
  local app=$! rectFile=/tmp/kesdra-rect-$$.txt
  rm -f "$rectFile"
  # The desktop's process stays while the builder's window is on it: do not wait for it.
  helper "$1" "Z:$rectFile" &
  for _ in $(seq 100); do [ -s "$rectFile" ] && break; sleep 0.2; done
  import -window root "/tmp/kesdra-shot-$$.png"
  convert "/tmp/kesdra-shot-$$.png" -crop "$(tr -d '\r\n' < "$rectFile")" +repage "$root/docs/$2"
  rm -f "/tmp/kesdra-shot-$$.png" "$rectFile"
  helper quit &
  wait "$app" 2>/dev/null || true
  wait 2>/dev/null || true
}

shoot main main-window.png
shoot about about-box.png
shoot help help-window.png
echo "docs/main-window.png docs/about-box.png docs/help-window.png"
