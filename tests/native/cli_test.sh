#!/usr/bin/env bash
# The Linux builder as a build script calls it: absolute paths, exit statuses, and a result
# that kesdra-inspect accepts; the conventions of a Linux command line.
# Usage: cli_test.sh <kesdra> <kesdra-inspect> <sfxhead.exe> <sfxheadz.exe>
set -u
kesdra=$1 inspect=$2 stub=$3 stubz=$4
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
mkdir -p "$tmp/src/bin"; echo run > "$tmp/src/bin/setup.exe"; echo doc > "$tmp/src/readme.txt"
pass=0 fail=0
check() { if eval "$2"; then pass=$((pass+1)); else echo "FAILED: $1"; fail=$((fail+1)); fi; }

"$kesdra" -o -c "$tmp/src" bin/setup.exe "$tmp/out/sfx.exe" </dev/null >"$tmp/log" 2>&1
check "absolute paths build, status 0" '[ $? -eq 0 ] && [ -s "$tmp/out/sfx.exe" ]'
check "the result verifies" '"$inspect" verify "$tmp/out/sfx.exe" >/dev/null'
check "the launch mark is on bin\\setup.exe" '"$inspect" list "$tmp/out/sfx.exe" | grep -F "bin\\setup.exe" | grep -q "*"'

"$kesdra" -o -c "$tmp/nowhere" setup.exe "$tmp/x.exe" </dev/null 2>"$tmp/err"; rc=$?
check "a missing source is rejected with status 1" '[ $rc -eq 1 ] && grep -q "Source directory does not exist: $tmp/nowhere/" "$tmp/err" && [ ! -e "$tmp/x.exe" ]'

echo keep > "$tmp/keep.exe"
"$kesdra" -c "$tmp/src" bin/setup.exe "$tmp/keep.exe" </dev/null 2>"$tmp/err"; rc=$?
check "an existing target nobody can confirm is kept, said so, status 1" \
  '[ $rc -eq 1 ] && [ "$(cat "$tmp/keep.exe")" = keep ] && grep -q "Target file already exists Overwrite?" "$tmp/err" && grep -q "nothing was written" "$tmp/err"'

"$kesdra" -o "" "$tmp/src" bin/setup.exe "$tmp/empty.exe" >"$tmp/stdout" 2>"$tmp/err"; rc=$?
check "an empty positional argument prints the usage on standard error, status 2" \
  '[ $rc -eq 2 ] && [ ! -s "$tmp/stdout" ] && grep -q "^kesdra \[-z\] \[-o\]" "$tmp/err" && [ ! -e "$tmp/empty.exe" ]'

ln -s loop "$tmp/loop"
"$kesdra" -o -c "$tmp/src" bin/setup.exe "$tmp/loop/out.exe" </dev/null 2>"$tmp/err"; rc=$?
check "an error outside the runtime's table carries the system's text and the path" \
  '[ $rc -eq 1 ] && grep -q "Too many levels of symbolic links: $tmp/loop/out.exe" "$tmp/err"'

usage_error() {  # the arguments give the usage on standard error, status 2, and build nothing
  "$kesdra" "$@" >"$tmp/stdout" 2>"$tmp/err"; rc=$?
  [ $rc -eq 2 ] && [ ! -s "$tmp/stdout" ] && grep -q "^kesdra \[-z\] \[-o\]" "$tmp/err" && [ ! -e "$tmp/u.exe" ]
}
for args in "-x|$tmp/src|bin/setup.exe|$tmp/u.exe" "-zz|$tmp/src|bin/setup.exe|$tmp/u.exe" \
            "--bogus|$tmp/src|bin/setup.exe|$tmp/u.exe" "$tmp/src" "$tmp/src|bin/setup.exe|$tmp/u.exe|extra"; do
  IFS='|' read -r -a a <<<"$args"
  check "usage error: ${a[*]}" 'usage_error "${a[@]}"'
done

size() { stat -c %s "$1" | sed ':a;s/\B[0-9]\{3\}\>/,&/;ta'; }
for opt in --help -?; do
  "$kesdra" $opt >"$tmp/usage" 2>"$tmp/err"; rc=$?
  check "$opt prints the usage on standard output, status 0, with the stub sizes of the images" \
    '[ $rc -eq 0 ] && [ ! -s "$tmp/err" ] && grep -q "^Exit status" "$tmp/usage" &&
     grep -qF "grows from $(size "$stub") to $(size "$stubz") bytes" "$tmp/usage"'
done
check "--version of both tools" \
  '"$kesdra" --version | grep -qx "kesdra [0-9.]*" && "$inspect" --version | grep -qx "kesdra-inspect [0-9.]*"'

# Stopped half way, a build leaves the previous target and no temporary file.
cp "$tmp/out/sfx.exe" "$tmp/good.exe"
truncate -s 300M "$tmp/src/big.bin"
"$kesdra" -o -c "$tmp/src" bin/setup.exe "$tmp/out/sfx.exe" </dev/null 2>/dev/null & pid=$!
sleep 0.2; kill -TERM $pid; wait $pid; rc=$?
check "an interrupted build leaves the target as it was and no temporary file" \
  '[ ! -e "$tmp/out/sfx.exe.kesdra-tmp" ] && { [ $rc -eq 0 ] || cmp -s "$tmp/good.exe" "$tmp/out/sfx.exe"; }'
rm "$tmp/src/big.bin"

echo "$pass passed, $fail failed"
[ $fail -eq 0 ]
