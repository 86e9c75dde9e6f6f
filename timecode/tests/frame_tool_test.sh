#!/bin/sh
# pendrel-frame end to end: arguments, standard input, a line it cannot read, --help.
set -u
tool=$1
fail=0
check() { if [ "$2" != "$3" ]; then echo "FAIL: $1: got [$2] expected [$3]"; fail=1; fi; }

check "published 2016-06-10 17:15" "$("$tool" '2016-06-10 17:15')" \
  022122121022212211102221221120221222212022221211201212222220
check "seconds ignored" "$("$tool" '2024-05-27 01:57:33')" \
  012122111022222222102221221220122222112022212212202212222220

out=$(printf '2025-12-31 13:58\r\nnot a date\n\n2000-01-01 00:00\n2023-02-29 10:00' | "$tool" 2>/tmp/frame_err.$$)
rc=$?
check "exit status with a bad line" "$rc" 1
check "good lines still printed" "$(echo "$out" | wc -l | tr -d ' ')" 2
check "first frame" "$(echo "$out" | head -n 1)" 012121222022212221102211221120212122112022212212102112222220
grep -q 'line 2: cannot read "not a date"' /tmp/frame_err.$$ || { echo "FAIL: no message naming line 2"; fail=1; }
grep -q 'line 5: cannot read "2023-02-29 10:00"' /tmp/frame_err.$$ || { echo "FAIL: no message naming line 5"; fail=1; }
rm -f /tmp/frame_err.$$

# Other stations: a DCF77 frame with its parities, a WWVB minute, JJY as before, a bad name.
check "dcf77" "$("$tool" --station dcf77 '2025-12-31 13:57')" \
  00000000000000000010100011011110010110001111001001101001000-
check "wwvb from standard input" "$(echo '2012-07-01 00:00' | "$tool" --station wwvb)" \
  M00000000M000000000M000101000M001100101M000000001M001001011M
check "jjy60" "$("$tool" --station jjy60 '2016-06-10 17:15')" \
  M00100101M000100111M000100110M001000010M000010110M101000000M
"$tool" --station nosuch '2025-12-31 13:57' >/dev/null 2>&1
check "unknown station" "$?" 2

"$tool" --help | grep -q 'YYYY-MM-DD hh:mm' || { echo "FAIL: --help"; fail=1; }
check "version" "$("$tool" --version)" "pendrel-frame 1.00.0005"
[ $fail = 0 ] && echo "frame tool: all checks passed"
exit $fail
