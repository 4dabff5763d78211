#!/usr/bin/env bash
# The Linux builder as a build script calls it: absolute paths, exit statuses, and a result
# that kesdra-inspect accepts. Usage: cli_test.sh <kesdra> <kesdra-inspect>
set -u
kesdra=$1 inspect=$2
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
  '[ $rc -eq 2 ] && [ ! -s "$tmp/stdout" ] && grep -q "^kesdra \[-o\]" "$tmp/err" && [ ! -e "$tmp/empty.exe" ]'

ln -s loop "$tmp/loop"
"$kesdra" -o -c "$tmp/src" bin/setup.exe "$tmp/loop/out.exe" </dev/null 2>"$tmp/err"; rc=$?
check "an error outside the runtime's table carries the system's text and the path" \
  '[ $rc -eq 1 ] && grep -q "Too many levels of symbolic links: $tmp/loop/out.exe" "$tmp/err"'

"$kesdra" "$tmp/src" >"$tmp/usage"; rc=$?
check "fewer than three positionals print the usage" '[ $rc -eq 0 ] && grep -q "^kesdra \[-o\] \[-c\] \[-h\]" "$tmp/usage"'

echo "$pass passed, $fail failed"
[ $fail -eq 0 ]
