#!/bin/sh
# pendrel-send --wav for every station: two minutes rendered from a minute boundary, decoded by
# pendrel-decode --station, must read back as the minutes sent, first the one worked out by hand
# below (one through the advances of a settings file), with no hole; a bad option and a missing
# settings file are refused with status 2. No real-time waiting: the files are written as fast
# as the disk goes.
#   send-wav-test.sh PENDREL-SEND PENDREL-DECODE
set -u
send=${1:?usage: $0 PENDREL-SEND PENDREL-DECODE} decode=${2:?usage: $0 PENDREL-SEND PENDREL-DECODE}
work=$(mktemp -d /tmp/pendrel-send-wav.XXXXXX)
trap 'rm -rf "$work"' EXIT
export TZ=UTC
status=0
# The window's settings file, as it writes it: a day ahead, two hours back, half an hour ahead.
printf '[Show]\r\nMessage=1\r\n[Advance]\r\nDate=1\r\nHour=-2\r\nMin=30\r\n' >"$work/setting.ini"
# station | options | the first minute sent, in the station's own time
while IFS='|' read -r station options first; do
    [ -n "$station" ] || continue
    file="$work/$station.wav"
    # shellcheck disable=SC2086
    if ! eval "\"$send\" --station $station --wav \"$file\" --for 2m $options" >"$work/send.out" 2>&1; then
        echo "FAIL: $station $options: pendrel-send did not write the file"; cat "$work/send.out"
        status=1
        continue
    fi
    if "$decode" --station "$station" --expect-first "$first" --min-minutes 2 --fail-on-holes \
            "$file" >"$work/decode.out" 2>&1; then
        echo "ok: $station $options: $first and the minute after"
    else
        echo "FAIL: $station $options: not decoded as $first and the minute after"
        cat "$work/send.out" "$work/decode.out"
        status=1
    fi
    # Written beside and renamed: nothing else is left in the folder.
    leftovers=$(find "$work" -name "$station.wav.*" | wc -l)
    [ "$leftovers" -eq 0 ] || { echo "FAIL: $station: a temporary file was left"; status=1; }
done <<'CASES'
jjy40|--at "2026-12-31 23:59"|2026-12-31 23:59
jjy40|--at "2026-12-31 23:00" --settings "$work/setting.ini"|2027-01-01 21:30
jjy40|--direct --at "2024-02-29 12:00" --days 1|2024-03-01 12:00
jjy60|--direct --rate 192000 --at "2026-02-28 23:59" --minutes 1|2026-03-01 00:00
dcf77|--at "2026-07-01 11:58" --hours -2|2026-07-01 09:58
msf|--at "2026-12-09 18:00" --days 1|2026-12-10 18:00
wwvb|--at "2026-12-31 23:59" --clock-zone -05:00|2027-01-01 04:59
wwvb|--at "2026-07-04 12:00" --clock-zone -08:00|2026-07-04 19:00
bpc|--at "2027-01-01 07:59" --hours 1|2027-01-01 08:59
CASES

# Refused with one line and status 2, nothing written: a bad option, a settings file not there.
for bad in "--for 5x" "--settings $work/none/setting.ini"; do
    # shellcheck disable=SC2086
    "$send" --station dcf77 --wav "$work/bad.wav" $bad >"$work/bad.out" 2>&1
    said=$?
    if [ "$said" -ne 2 ] || [ "$(wc -l <"$work/bad.out")" -ne 1 ] || [ -e "$work/bad.wav" ]; then
        echo "FAIL: --wav with $bad: status $said, not 2 with one line"; cat "$work/bad.out"
        status=1
    fi
done
exit "$status"
