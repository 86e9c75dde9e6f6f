#!/bin/sh
# End to end: the transmitter plays into a private sound server's null sink, the sink's
# monitor is recorded, and at least one whole minute must decode to the transmitted time.
#   e2e-sound-test.sh (--program PENDREL | --driver PENDREL-SOUND-DRIVER) --sounds FOLDER
#                     --record PENDREL-RECORD --decode PENDREL-DECODE
# --program runs the real program from a scratch program folder whose setting.ini switches
# transmission on with some advances; --driver runs the stand-in transmitter instead. The
# clock is moved by faketime by whole seconds, so that a minute begins a few seconds after the
# start while the sub-second phase stays the PC's. Exit 77 (skipped) only when no sound server
# can be started.
set -u

program= driver= sounds= record= decode=
while [ $# -gt 0 ]; do
    case "$1" in
        --program) program=$2; shift 2 ;;
        --driver) driver=$2; shift 2 ;;
        --sounds) sounds=$2; shift 2 ;;
        --record) record=$2; shift 2 ;;
        --decode) decode=$2; shift 2 ;;
        *) echo "unknown argument $1" >&2; exit 2 ;;
    esac
done
if [ -z "$program$driver" ] || [ -z "$sounds" ] || [ -z "$record" ] || [ -z "$decode" ]; then
    echo "usage: $0 (--program P | --driver D) --sounds DIR --record R --decode D" >&2
    exit 2
fi

here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d /tmp/pendrel-e2e.XXXXXX)
transmitter_pid= recorder_pid=
. "$here/sound-server.sh"

trap end_sound_run EXIT
trap 'exit 1' INT TERM

start_sound_server
export TZ=UTC

find_faketime

# Advances of the transmitted time, and a clock offset (whole seconds, a few days and hours
# away) that puts the faked clock at second 55 of a minute now. The first minute only ends
# with the marker that, with the next minute's first, syncs the decoder: the minute after it
# is the one decoded.
adv_date=2 adv_hour=-5 adv_min=17
now=$(date +%s)
offset=$(( 3 * 86400 + 7 * 3600 + (115 - now % 60) % 60 ))
shift_seconds=$(( offset + adv_date * 86400 + adv_hour * 3600 + adv_min * 60 ))

"$record" "$work/rec.wav" "$work/rec.log" 2>"$work/record.err" &
recorder_pid=$!

if [ -n "$program" ]; then
    folder="$work/program"
    mkdir -p "$folder"
    cp "$program" "$folder/"
    cp "$sounds/200ms.wav" "$sounds/500ms.wav" "$sounds/800ms.wav" "$folder/"
    printf '[Show]\r\nMessage=1\r\n[Advance]\r\nDate=%s\r\nHour=%s\r\nMin=%s\r\n[Transmit]\r\nState=1\r\n' \
        "$adv_date" "$adv_hour" "$adv_min" > "$folder/setting.ini"
    QT_QPA_PLATFORM=offscreen LD_PRELOAD="$faketime_lib" FAKETIME="+$offset" \
        FAKETIME_DONT_FAKE_MONOTONIC=1 \
        "$folder/$(basename "$program")" >"$work/transmitter.out" 2>&1 &
else
    LD_PRELOAD="$faketime_lib" FAKETIME="+$offset" FAKETIME_DONT_FAKE_MONOTONIC=1 \
        "$driver" --advance "$adv_date" "$adv_hour" "$adv_min" --seconds 140 "$sounds" \
        >"$work/transmitter.out" 2>&1 &
fi
transmitter_pid=$!

# Minutes start about 5 s and 65 s from now; the second one is heard whole 126 s from now.
sleep 127
# The recording ends first, so that the last pulse it holds is whole or cut by its end.
kill "$recorder_pid" 2>/dev/null
wait "$recorder_pid" 2>/dev/null
recorder_pid=
kill "$transmitter_pid" 2>/dev/null
wait "$transmitter_pid" 2>/dev/null
transmitter_pid=

echo "clock offset $offset s, advances $adv_date d $adv_hour h $adv_min min"
"$decode" --expect-shift "$shift_seconds" --min-minutes 1 "$work/rec.wav" "$work/rec.log"
status=$?
if [ "$status" -ne 0 ]; then
    echo "FAIL: no whole minute decoded to the transmitted time"
    echo "--- every pulse heard"
    "$decode" --edges --min-minutes 0 "$work/rec.wav" "$work/rec.log" | grep '^edge'
    echo "--- transmitter output"; cat "$work/transmitter.out"
    echo "--- recorder output"; cat "$work/record.err"
fi
exit "$status"
