#!/usr/bin/env bash
# A DLL left beside kesdra.exe under the name of one that the window code loads by name after
# start-up (uxtheme, msimg32) is never loaded: the builder takes such DLLs from the system
# folder only. Windows searches a program's own folder first for any DLL that is no KnownDLL;
# Wine does so for the names set native-first, as here. Evidence is twofold: the planted DLL
# leaves a marker when loaded, and Wine's loader log names every DLL it maps.
# version.dll is not planted here: Wine's own user32 imports it, so under Wine every program
# with a window loads it at process start, before any of its code runs (Windows' user32 is a
# KnownDLL and imports no version.dll). That kesdra.exe does not import it is checked from
# the image (tests/native/shipped_image_test.cpp).
# Runs a hidden-mode build and a window-mode build (closed once its file is written).
# Usage: planted_dll_test.sh <kesdra.exe> <planted.dll>
set -u
source "$(dirname "$0")/../../scripts/wine-env"
exe=$1 planted=$2
names="uxtheme msimg32"
dir=$(mktemp -d /tmp/kesdra-planted-XXXXXX)
trap 'rm -rf "$dir"' EXIT
cp "$exe" "$dir/kesdraplant.exe"
for name in $names; do cp "$planted" "$dir/$name.dll"; done
mkdir "$dir/src" && echo "@echo off" > "$dir/src/run.bat"
win() { echo "Z:${1//\//\\}"; }

wine=$(kesdra_wine_for "$exe")
if [ "$wine" = "$WINE32" ]; then kesdra_wine32_up; else kesdra_wine_up; fi
overrides="$WINEDLLOVERRIDES;${names// /,}=n,b"

WINEDLLOVERRIDES=$overrides WINEDEBUG=+loaddll timeout 300 \
  "$wine" "$dir/kesdraplant.exe" -h -o -c "$(win "$dir/src")" run.bat "$(win "$dir/hidden.exe")" 2>"$dir/hidden.log"
WINEDLLOVERRIDES=$overrides WINEDEBUG=+loaddll \
  "$wine" "$dir/kesdraplant.exe" -o -c "$(win "$dir/src")" run.bat "$(win "$dir/window.exe")" 2>"$dir/window.log" &
pid=$!
for _ in $(seq 600); do [ -s "$dir/window.exe" ] && break; sleep 0.1; done
sleep 1
"$wine" taskkill /f /im kesdraplant.exe >/dev/null 2>&1
wait "$pid" 2>/dev/null

fail=0
for built in hidden window; do
  [ -s "$dir/$built.exe" ] || { echo "FAIL: the $built-mode build wrote no file"; fail=1; }
done
for name in $names; do
  loaded=$(grep -ih "Loaded L\".*${dir##*/}.*\\\\$name\.dll\"" "$dir/hidden.log" "$dir/window.log" | head -1)
  if [ -e "$dir/$name.dll.loaded" ] || [ -n "$loaded" ]; then
    echo "FAIL: the planted $name.dll was loaded ${loaded:+($loaded)}"
    fail=1
  else
    echo "ok: the planted $name.dll stayed unloaded"
  fi
done
exit $fail
