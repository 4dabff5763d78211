#!/usr/bin/env bash
# Fails when a stub size quoted in the documentation disagrees with the built stubs. A quoted
# size is a figure "N,NNN bytes" (1,000 to 99,999) on a line that names the stub; a figure
# followed closely by "before" is a past size and is left alone. Both sizes must be quoted.
# Usage: readme_sizes.sh <sfxhead.exe> <sfxheadz.exe> <README.md>...
set -u
stub=$(stat -c %s "$1") stubz=$(stat -c %s "$2"); shift 2
fail=0 seen=" "
while IFS=: read -r file line text; do
  while read -r figure; do
    n=${figure//,/}
    if [ "$n" != "$stub" ] && [ "$n" != "$stubz" ]; then
      echo "FAILED: $file:$line quotes $figure bytes; the stubs are $stub and $stubz bytes"; fail=1
    fi
    seen+="$n "
  done < <(grep -oE '\b[0-9]{1,2},[0-9]{3} bytes( [^|]{0,20})?' <<<"$text" | grep -vE 'bytes \(?before' | grep -oE '^[0-9,]+')
done < <(grep -inE 'stub|sfxhead' "$@" /dev/null | sed 's/^\([^:]*\):\([0-9]*\):/\1:\2:/')
for n in "$stub" "$stubz"; do
  [[ "$seen" == *" $n "* ]] || { echo "FAILED: no document quotes the stub size of $n bytes"; fail=1; }
done
[ $fail -eq 0 ] && echo "the quoted stub sizes agree with the built stubs ($stub and $stubz bytes)"
exit $fail
