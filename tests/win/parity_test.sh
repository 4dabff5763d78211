#!/usr/bin/env bash
# The Linux builder and the Windows builder (under Wine) on one tree, stored and compressed
# (-z), with SOURCE_DATE_EPOCH: the same payload byte for byte, identifier included, that is
# the same names, order, times, attributes, data and compressed streams; the whole file too
# where both carry the same stub.
# Usage: parity_test.sh <wine-run> <kesdra.exe> <linux kesdra> <kesdra-inspect>
set -u
wine_run=$1 kesdra_exe=$2 kesdra=$3 inspect=$4
tmp=$(mktemp -d); trap 'chmod -R u+w "$tmp"; rm -rf "$tmp"' EXIT
# Both builders convert times with the offset in force now; a zone with summer time shows
# that neither takes the offset at the file's own date.
export TZ=Europe/Berlin SOURCE_DATE_EPOCH=1735689600  # 2025-01-01: Read.me's time is clamped
mkdir -p "$tmp/src/Docs/Inner" "$tmp/src/zeta" "$tmp/src/media"
cd "$tmp/src"
for f in setup.exe Read.me _under 10.txt 9.txt Docs/Inner/x.txt Docs/a .hidden zeta/ro B caf$'\xc3\xa9'; do
  echo "$f" > "$f"
done
chmod 444 zeta/ro
touch -d '2025-06-15 12:45:30 UTC' Read.me
touch -d '2025-01-15 12:45:30 UTC' B
touch -d '1975-03-01 08:00:00 UTC' 9.txt
# For the compressor: text, noise it cannot shrink, zeros past 1 MiB, and a repeat of the
# noise (a copy entry).
seq -f 'line %g of some text that compresses' 3000 > Docs/readme.txt
head -c 900000 /dev/urandom > media/noise.bin
head -c 1048577 /dev/zero > Docs/Inner/zeros.bin
cp media/noise.bin Docs/Inner/twin.bin
files=$(find . -type f | wc -l)
cd - >/dev/null

start() { "$inspect" list "$1" | sed -n '1s/.*payload at \([0-9]*\),.*/\1/p'; }
entries() {  # the payload's bytes from the identifier on
  local at; at=$(start "$1")
  [ -n "$at" ] && tail -c +$((at + 1)) "$1"
}
listed() { "$inspect" list "$1" | grep -c '^[ *=] '; }
for z in "" -z; do
  "$kesdra" $z -o -c "$tmp/src" setup.exe "$tmp/linux$z.exe" </dev/null || { echo "FAILED: the Linux build $z"; exit 1; }
  "$wine_run" "$kesdra_exe" $z -h -o -c "Z:${tmp//\//\\}\\src" setup.exe "Z:${tmp//\//\\}\\win$z.exe" </dev/null ||
    { echo "FAILED: the Windows build $z"; exit 1; }
  if ! cmp -s <(entries "$tmp/linux$z.exe") <(entries "$tmp/win$z.exe"); then
    echo "FAILED: the payloads $z differ"
    diff <("$inspect" list "$tmp/linux$z.exe" | tail -n +2) <("$inspect" list "$tmp/win$z.exe" | tail -n +2)
    exit 1
  fi
  [ "$(listed "$tmp/linux$z.exe")" -eq "$files" ] || { echo "FAILED: not all $files files were packed $z"; exit 1; }
  if [ "$(start "$tmp/linux$z.exe")" = "$(start "$tmp/win$z.exe")" ]; then
    cmp "$tmp/linux$z.exe" "$tmp/win$z.exe" || { echo "FAILED: the files $z differ"; exit 1; }
    echo "the Linux and the Windows builder wrote the same file $z"
  else
    echo "the Linux and the Windows builder wrote the same payload $z (their stubs differ: another build of the stub)"
  fi
done
