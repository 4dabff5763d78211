#!/usr/bin/env bash
# Names in any script unpack unchanged from a compressed payload: Japanese, Cyrillic (a folder
# too) and emoji, outside every ANSI code page, stored in UTF-8 and created by the stub with
# the wide functions. The Linux builder writes the file (the Windows one reads its sources
# through the code page); the launched batch file copies the unpacked tree out with xcopy,
# and the copy must equal the source. Exit status 77: skipped. Usage: packed_names_test.sh <Linux kesdra>
set -euo pipefail
source "$(dirname "$0")/../../scripts/wine-env"
# The Linux builder carries the shipped 32-bit stub: where no 32-bit program can run, skip.
kesdra_enable_i386 || { echo "SKIPPED: this machine cannot run 32-bit programs"; exit 77; }
dir=$(mktemp -d /tmp/kesdra-names-XXXXXX)
trap 'rm -rf "$dir"' EXIT
mkdir -p "$dir/src/Кириллица"
printf '@echo off\r\nxcopy /e /i /q . "%%KESDRA_COPY%%" >nul\r\nexit /b 3\r\n' > "$dir/src/run.bat"
printf 'file 1' > "$dir/src/日本語の名前.txt"
printf 'file 2' > "$dir/src/Кириллица/файл.txt"
printf 'file 3' > "$dir/src/😀 🚀.txt"
"$1" -z -o -c "$dir/src" run.bat "$dir/names.exe"
wine=$(kesdra_wine_for "$dir/names.exe")
if [ "$wine" != "$WINE32" ]; then
  kesdra_wine_up
elif ! kesdra_wine32_up; then
  echo "SKIPPED: Wine's 32-bit side does not start on this machine"; exit 77
fi
code=0
KESDRA_COPY="Z:${dir//\//\\}\\copy\\" timeout 300 "$wine" "$dir/names.exe" || code=$?
[ "$code" -eq 3 ] || { echo "FAILED: exit code $code, not the batch file's 3"; exit 1; }
diff -r "$dir/src" "$dir/copy" || { echo "FAILED: the unpacked tree differs from its source"; exit 1; }
echo "the names unpacked unchanged"
