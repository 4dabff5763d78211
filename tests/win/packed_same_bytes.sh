#!/usr/bin/env bash
# The Linux and the Windows builder compress the same tree into the same payload bytes
# (the payload identifier aside). Usage: packed_same_bytes.sh <kesdra.exe> <Linux kesdra>
set -euo pipefail
source "$(dirname "$0")/../../scripts/wine-env"
kesdra_wine_up
winexe=$1 linux=$2 inspect=$(dirname "$2")/kesdra-inspect
# Both builders list a folder in the order Windows does; should they ever disagree on a file
# system, the entry orders are compared first and the test is skipped, not failed.
dir=$(mktemp -d /tmp/kesdra-same-XXXXXX)
trap 'rm -rf "$dir"' EXIT
mkdir -p "$dir/src"
printf '@echo off\r\nexit /b 0\r\n' > "$dir/src/run.bat"
mkdir -p "$dir/src/media"
head -c 900000 /dev/urandom > "$dir/src/media/noise.bin"
mkdir -p "$dir/src/docs"
for i in $(seq 3000); do echo "line $i of some text that compresses"; done > "$dir/src/docs/readme.txt"
: > "$dir/src/docs/empty.txt"
mkdir -p "$dir/src/docs/deep"
head -c 1048577 /dev/zero > "$dir/src/docs/deep/zeros.bin"
cp "$dir/src/media/noise.bin" "$dir/src/docs/deep/twin.bin"  # written as a copy entry
"$linux" -z -o -c "$dir/src" run.bat "$dir/linux.exe"
"$WINE64" "$winexe" -z -h -o -c "Z:${dir//\//\\}\\src" run.bat "Z:${dir//\//\\}\\windows.exe"
names() { "$inspect" list "$1" | tail -n +3 | awk '{print $NF}'; }
if [ "$(names "$dir/linux.exe")" != "$(names "$dir/windows.exe")" ]; then
  echo "SKIPPED: the two builders list this file system's folders in different orders"
  exit 77
fi
python3 - "$dir/linux.exe" "$dir/windows.exe" <<'PY'
import struct, sys
marker = b"\0" + struct.pack("<i", -0x5A4B) + b"KZP"
payloads = []
for path in sys.argv[1:]:
    data = open(path, "rb").read()
    at = data.find(marker)
    assert at > 11, path + ": no compressed payload"
    payloads.append(data[at:])  # from the PackedHeader on: the identifier is drawn at random
if payloads[0] != payloads[1]:
    print("payloads differ: %d and %d bytes" % tuple(len(p) for p in payloads))
    sys.exit(1)
print("same payload, %d bytes" % len(payloads[0]))
PY
