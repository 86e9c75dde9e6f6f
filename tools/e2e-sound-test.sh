#!/bin/sh
# End to end: the transmitter plays into a private sound server's null sink, the sink's
# monitor is recorded, at least one whole minute must decode to the transmitted time, and
# there must be no hole inside the signal (a dropout bridged to read the time is still a hole).
#   e2e-sound-test.sh [--server pulseaudio|pipewire]
#                     (--program PENDREL | --driver PENDREL-SOUND-DRIVER | --reference PLAYER)
#                     --sounds FOLDER --record PENDREL-RECORD [--record-pw PENDREL-RECORD-PW]
#                     --decode PENDREL-DECODE
# --server picks the private server (PulseAudio by default). Under PipeWire the sink is
# recorded by --record-pw on the graph's own clock, and the transmitter finds the server
# through XDG_RUNTIME_DIR (no PULSE_SERVER), free to use either protocol.
# --program runs the real program from a scratch program folder whose setting.ini switches
# transmission on with some advances; --driver runs the stand-in transmitter instead;
# --reference (PipeWire only) the reference transmitter, which checks the measuring itself. The
# clock is moved by faketime by whole seconds, so that a minute begins a few seconds after the
# start while the sub-second phase stays the PC's. Exit 77 (skipped) only when no sound server
# can be started.
set -u

program= driver= reference= sounds= record= record_pw= decode= server=pulseaudio
while [ $# -gt 0 ]; do
    case "$1" in
        --server) server=$2; shift 2 ;;
        --program) program=$2; shift 2 ;;
        --driver) driver=$2; shift 2 ;;
        --reference) reference=$2; shift 2 ;;
        --sounds) sounds=$2; shift 2 ;;
        --record) record=$2; shift 2 ;;
        --record-pw) record_pw=$2; shift 2 ;;
        --decode) decode=$2; shift 2 ;;
        *) echo "unknown argument $1" >&2; exit 2 ;;
    esac
done
if [ -z "$program$driver$reference" ] || [ -z "$sounds" ] || [ -z "$record" ] || [ -z "$decode" ] ||
   { [ "$server" = pipewire ] && [ -z "$record_pw" ]; }; then
    echo "usage: $0 [--server S] (--program P | --driver D | --reference P) --sounds DIR --record R" \
         "[--record-pw R] --decode D" >&2
    exit 2
fi

here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d /tmp/pendrel-e2e.XXXXXX)
transmitter_pid= recorder_pid=
. "$here/sound-server.sh"

trap end_sound_run EXIT
trap 'exit 1' INT TERM

start_server "$server"
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

if [ "$server" = pipewire ]; then
    "$record_pw" --sink "$pw_sink" "$work/rec.wav" "$work/rec.log" 2>"$work/record.err" &
else
    "$record" "$work/rec.wav" "$work/rec.log" 2>"$work/record.err" &
fi
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
elif [ -n "$reference" ]; then
    LD_PRELOAD="$faketime_lib" FAKETIME="+$offset" FAKETIME_DONT_FAKE_MONOTONIC=1 \
        "$reference" --shift $(( adv_date * 86400 + adv_hour * 3600 + adv_min * 60 )) --seconds 140 \
        >"$work/transmitter.out" 2>&1 &
else
    LD_PRELOAD="$faketime_lib" FAKETIME="+$offset" FAKETIME_DONT_FAKE_MONOTONIC=1 \
        "$driver" --advance "$adv_date" "$adv_hour" "$adv_min" --seconds 140 "$sounds" \
        >"$work/transmitter.out" 2>&1 &
fi
transmitter_pid=$!

# Minutes start about 5 s and 65 s from now; the second one is heard whole 126 s from now.
sleep 127 & sleeper_pid=$!
wait "$sleeper_pid"  # a signal to the script is taken at once
sleeper_pid=
# The recording ends first, so that the last pulse it holds is whole or cut by its end.
kill "$recorder_pid" 2>/dev/null
wait "$recorder_pid" 2>/dev/null
recorder_pid=
kill "$transmitter_pid" 2>/dev/null
wait "$transmitter_pid" 2>/dev/null
transmitter_pid=

echo "$server: clock offset $offset s, advances $adv_date d $adv_hour h $adv_min min"
"$decode" --expect-shift "$shift_seconds" --min-minutes 1 --fail-on-holes "$work/rec.wav" "$work/rec.log"
status=$?
if [ "$status" -ne 0 ]; then
    echo "FAIL: no whole minute decoded to the transmitted time, or holes inside the signal"
    echo "--- every pulse heard"
    "$decode" --edges --min-minutes 0 "$work/rec.wav" "$work/rec.log" | grep '^edge'
    echo "--- transmitter output"; cat "$work/transmitter.out"
    echo "--- recorder output"; cat "$work/record.err"
fi
exit "$status"
