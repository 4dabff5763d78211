#!/usr/bin/env bash
# The Linux builder and the Windows builder (under Wine) on one tree, with SOURCE_DATE_EPOCH:
# the same payload byte for byte, identifier included, that is the same names, order, times,
# attributes and data; the whole file too where both carry the same stub.
# Usage: parity_test.sh <wine-run> <kesdra.exe> <linux kesdra> <kesdra-inspect>
set -u
wine_run=$1 kesdra_exe=$2 kesdra=$3 inspect=$4
tmp=$(mktemp -d); trap 'chmod -R u+w "$tmp"; rm -rf "$tmp"' EXIT
# Both builders convert times with the offset in force now; a zone with summer time shows
# that neither takes the offset at the file's own date.
export TZ=Europe/Berlin SOURCE_DATE_EPOCH=1735689600  # 2025-01-01: Read.me's time is clamped
mkdir -p "$tmp/src/Docs/Inner" "$tmp/src/zeta"
cd "$tmp/src"
for f in setup.exe Read.me _under 10.txt 9.txt Docs/Inner/x.txt Docs/a .hidden zeta/ro B caf$'\xc3\xa9'; do
  echo "$f" > "$f"
done
chmod 444 zeta/ro
touch -d '2025-06-15 12:45:30 UTC' Read.me
touch -d '2025-01-15 12:45:30 UTC' B
touch -d '1975-03-01 08:00:00 UTC' 9.txt
cd - >/dev/null

"$kesdra" -o -c "$tmp/src" setup.exe "$tmp/linux.exe" </dev/null || { echo "FAILED: the Linux build"; exit 1; }
"$wine_run" "$kesdra_exe" -h -o -c "Z:${tmp//\//\\}\\src" setup.exe "Z:${tmp//\//\\}\\win.exe" </dev/null ||
  { echo "FAILED: the Windows build"; exit 1; }

start() { "$inspect" list "$1" | sed -n '1s/.*payload at \([0-9]*\),.*/\1/p'; }
entries() {  # the payload's bytes from the identifier on
  local at; at=$(start "$1")
  [ -n "$at" ] && tail -c +$((at + 1)) "$1"
}
if ! cmp -s <(entries "$tmp/linux.exe") <(entries "$tmp/win.exe"); then
  echo "FAILED: the entries differ"
  diff <("$inspect" list "$tmp/linux.exe" | tail -n +2) <("$inspect" list "$tmp/win.exe" | tail -n +2)
  exit 1
fi
[ "$("$inspect" list "$tmp/linux.exe" | wc -l)" -eq 12 ] || { echo "FAILED: not all files were packed"; exit 1; }
if [ "$(start "$tmp/linux.exe")" = "$(start "$tmp/win.exe")" ]; then
  cmp "$tmp/linux.exe" "$tmp/win.exe" || { echo "FAILED: the files differ"; exit 1; }
  echo "the Linux and the Windows builder wrote the same file"
else
  echo "the Linux and the Windows builder wrote the same payload (their stubs differ: another build of the stub)"
fi
