#!/bin/sh
# End to end: the transmitter plays into a private sound server's null sink, the sink's
# monitor is recorded, at least one whole minute must decode to the transmitted time, and
# there must be no hole inside the signal (a dropout bridged to read the time is still a hole).
# Every pulse is judged, from the transmitter's first (the marker of second 0 of its first
# minute, which the recording must hold whole) to the last one recorded whole: none missing
# and none extra, each rising edge within 5 ms of its second and each width within 3 ms of
# 200, 500 or 800 ms. These bounds are far above the timing the program keeps, even on a busy
# machine; they catch a pulse a graph cycle (21 ms at 48 kHz) early or late, or cut short.
#   e2e-sound-test.sh [--server pulseaudio|pipewire] [--load]
#                     (--program PENDREL | --driver PENDREL-SOUND-DRIVER | --reference PLAYER)
#                     --sounds FOLDER --record PENDREL-RECORD [--record-pw PENDREL-RECORD-PW]
#                     --decode PENDREL-DECODE
#                     [--direct | --direct-48k] [--make-sounds PENDREL-MAKE-SOUNDS]
# --server picks the private server (PulseAudio by default). Under PipeWire the sink is
# recorded by --record-pw on the graph's own clock, and the transmitter finds the server
# through XDG_RUNTIME_DIR (no PULSE_SERVER), free to use either protocol. --load keeps the
# machine busy for the whole test with the load that sound-server.sh names (stress-ng, CPUs
# and memory).
# --program runs the real program from a scratch program folder whose setting.ini switches
# transmission on with some advances; --driver runs the stand-in transmitter instead;
# --reference (PipeWire only) the reference transmitter, which checks the measuring itself. The
# clock is moved by faketime by whole seconds, so that a minute begins a few seconds after the
# start while the sub-second phase stays the PC's. Exit 77 (skipped) only when no sound server
# can be started.
# --direct and --direct-48k (with --program and --make-sounds) play the direct 40 kHz set at
# 192 kHz, made into the scratch program folder. --direct: against a server whose sink follows
# the stream's rate (SINK_RATES=direct in sound-server.sh), recorded at 192 kHz; the output must
# really run at 192000 Hz (PulseAudio: the sink's rate; PipeWire: the graph's, as the recorder's
# clock reports it), a whole minute must decode as above with no hole, the 40 kHz tone must stand
# at least 20 dB above anything at 13.3 kHz, and the program must not say its output is too slow.
# The recording starts once the program plays: a PulseAudio sink whose monitor is being
# recorded does not change its rate. --direct-48k: against a sink held at 48 kHz, for 15 s; the
# program must say once on stderr that the output is too slow for the tone and keep sending
# (still running, its stream playing, and the sink hearing it: the tone does not pass, but the
# changes of its level leave some sound).
set -u

program= driver= reference= sounds= record= record_pw= decode= server=pulseaudio
mode=plain make_sounds= load=
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
        --direct) mode=direct; shift ;;
        --direct-48k) mode=direct-48k; shift ;;
        --make-sounds) make_sounds=$2; shift 2 ;;
        --load) load=yes; shift ;;
        *) echo "unknown argument $1" >&2; exit 2 ;;
    esac
done
if [ -z "$program$driver$reference" ] || [ -z "$sounds" ] || [ -z "$record" ] || [ -z "$decode" ] ||
   { [ "$server" = pipewire ] && [ -z "$record_pw" ]; }; then
    echo "usage: $0 [--server S] [--load] (--program P | --driver D | --reference P) --sounds DIR" \
         "--record R [--record-pw R] --decode D [--direct | --direct-48k] [--make-sounds M]" >&2
    exit 2
fi
if [ "$mode" != plain ] && { [ -z "$program" ] || [ -z "$make_sounds" ]; }; then
    echo "--$mode plays the program (--program) with the set --make-sounds makes" >&2
    exit 2
fi
case "$mode" in
    direct) export SINK_RATES=direct; record_rate=192000 ;;
    direct-48k) export SINK_RATES=48k; record_rate=48000 ;;
    *) record_rate=48000 ;;
esac
notice="pendrel: the sound output runs at 48000 Hz, too slow for the 40000 Hz tone of the pulse files; sending on"

here=$(cd "$(dirname "$0")" && pwd)
. "$here/sound-server.sh"
begin_sound_run e2e
if [ -n "$load" ]; then
    echo "under load: $load_command"
    start_load
fi

# The graph runs the program's own long cycles: this test judges what the program sends; how
# short a cycle it holds on a busy host is the sound benchmark's to measure.
export PW_LONG_CYCLES=1
start_server "$server"
export TZ=UTC

# Advances of the transmitted time, and a clock offset (whole seconds, a few days and hours
# away) that puts the faked clock at second 52 of a minute now: the program has 7 s to start
# (more than it needs on a busy machine) and the recorder to be running before the first
# pulse. The first minute only ends with the marker that, with the next minute's first, syncs
# the decoder: the minute after it is the one decoded.
# The PulseAudio recorder places its fragments by libpulse's interpolated timing, which learns
# the stream's rate over its first seconds and may be milliseconds off meanwhile on a busy
# machine: it runs for 8 s before the transmitter starts, so that only the transmitter is judged.
if [ "$mode" = plain ]; then
    start_recorder "$record_rate"
    [ "$server" = pulseaudio ] && sleep 8
fi
adv_date=2 adv_hour=-5 adv_min=17
now=$(date +%s)
offset=$(( 3 * 86400 + 7 * 3600 + (112 - now % 60) % 60 ))
shift_seconds=$(( offset + adv_date * 86400 + adv_hour * 3600 + adv_min * 60 ))

if [ -n "$program" ]; then
    folder="$work/program"
    mkdir -p "$folder"
    # A program folder as the README lists it: the program and its sound relay.
    cp "$program" "$(dirname "$program")/pendrel-sound-relay" "$folder/"
    if [ "$mode" = plain ]; then
        cp "$sounds/200ms.wav" "$sounds/500ms.wav" "$sounds/800ms.wav" "$folder/"
    elif ! "$make_sounds" --carrier 40 --direct --rate 192000 "$folder" >"$work/make-sounds.out" 2>&1; then
        echo "FAIL: pendrel-make-sounds did not write the direct set"; cat "$work/make-sounds.out"
        exit 1
    fi
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
started=$(date +%s)

# The direct set switches the PulseAudio sink to its rate as the program's stream starts.
sink_rate_start= sink_rate_end=
if [ "$mode" != plain ]; then
    if [ "$mode" = direct ] && [ "$server" = pulseaudio ]; then
        tries=0
        while [ "$(pulseaudio_sink_rate)" != 192000 ] && [ "$tries" -lt 50 ]; do
            tries=$((tries + 1)); sleep 0.1
        done
        sink_rate_start=$(pulseaudio_sink_rate)
    else
        sleep 2
    fi
    start_recorder "$record_rate"
fi

# Minutes start about 8 s and 68 s from the start; the second one is heard whole 129 s from it.
length=130
[ "$mode" = direct-48k ] && length=15
left=$(( length - ($(date +%s) - started) ))
[ "$left" -lt 1 ] && left=1
sleep "$left" & sleeper_pid=$!
wait "$sleeper_pid"  # a signal to the script is taken at once
sleeper_pid=
[ "$server" = pulseaudio ] && sink_rate_end=$(pulseaudio_sink_rate)
if [ "$mode" = direct-48k ]; then
    alive=no playing=no
    kill -0 "$transmitter_pid" 2>/dev/null && alive=yes
    # The program's stream is there and not paused (pipewire-pulse shows native streams too).
    pactl list sink-inputs 2>/dev/null | grep -q 'Corked: no' && playing=yes
fi
# The recording ends first, so that the last pulse it holds is whole or cut by its end.
kill "$recorder_pid" 2>/dev/null
wait "$recorder_pid" 2>/dev/null
recorder_pid=
kill "$transmitter_pid" 2>/dev/null
wait "$transmitter_pid" 2>/dev/null
transmitter_pid=

if [ "$mode" = direct-48k ]; then
    echo "$server, direct set at a 48 kHz sink: program running $alive, stream playing $playing"
    [ "$server" = pulseaudio ] && echo "sink rate at the start ${sink_rate_start:-?} Hz, at the end ${sink_rate_end:-?} Hz"
    "$decode" --min-minutes 0 "$work/rec.wav" "$work/rec.log" > "$work/decode.txt" 2>&1
    grep -E '^(recording|peak|pulses)' "$work/decode.txt"
    grep -h 'graph ran at' "$work/record.err"
    status=0
    # The set-up itself: the output must have stayed at 48 kHz.
    if [ "$server" = pulseaudio ]; then ran=$sink_rate_end
    else ran=$(sed -n 's/.*the graph ran at \([0-9]*\) Hz.*/\1/p' "$work/record.err"); fi
    if [ "$ran" != 48000 ]; then
        echo "FAIL: the output ran at ${ran:-?} Hz, not held at 48000 Hz"
        status=1
    fi
    count=$(grep -cxF "$notice" "$work/transmitter.out")
    if [ "$count" -ne 1 ]; then
        echo "FAIL: the notice was said $count times on stderr, not once: \"$notice\""
        status=1
    fi
    # A 48 kHz output drops the tone itself, but not all of its changes of level: a sink that
    # heard nothing of the program at all stays at digital silence.
    peak=$(awk '/^peak level/ { print int($3) }' "$work/decode.txt")
    if [ "$alive" != yes ] || [ "$playing" != yes ] || [ "${peak:--999}" -lt -80 ]; then
        echo "FAIL: the program did not carry on sending after the notice"
        status=1
    fi
    [ "$status" -ne 0 ] && { echo "--- transmitter output"; cat "$work/transmitter.out"; }
    exit "$status"
fi

echo "$server: clock offset $offset s, advances $adv_date d $adv_hour h $adv_min min"
tone_args=
[ "$mode" = direct ] && tone_args="--tone-db 40000,13333 --tone-gap 20"
# The program says on stderr when the sound server played a stretch without its signal, and
# when (on its clock, moved by the offset): a PipeWire client must run once every graph cycle,
# and a busy host may hold it up past one. Those stretches are marked in the decoder's report,
# so that a failure says whether the program knew of it; they fail the test all the same.
sed -n 's/^pendrel: the sound server played \([0-9.]*\) ms without the signal, heard from \([0-9.]*\) s:.*/\2 \1/p' \
    "$work/transmitter.out" | awk -v offset="$offset" '{ printf "%.3f %s\n", $1 - offset, $2 }' > "$work/reported"
if [ -s "$work/reported" ]; then
    echo "the program said the server played without its signal $(wc -l < "$work/reported") time(s):"
    grep -F 'without the signal' "$work/transmitter.out"
fi
# shellcheck disable=SC2086
"$decode" --expect-shift "$shift_seconds" --min-minutes 1 --fail-on-holes --fail-on-missing \
    --max-edge-ms 5 --max-width-ms 3 --first-at-minute --reported "$work/reported" $tone_args \
    "$work/rec.wav" "$work/rec.log"
decoded=$?
status=$decoded
if [ "$mode" = direct ]; then
    if [ "$server" = pulseaudio ]; then
        echo "sink rate as the recording started ${sink_rate_start:-?} Hz, as it ended ${sink_rate_end:-?} Hz"
        [ "$sink_rate_start" = 192000 ] && [ "$sink_rate_end" = 192000 ] || {
            echo "FAIL: the sink did not run at 192000 Hz"; status=1; }
    else
        graph=$(sed -n 's/.*the graph ran at \([0-9]*\) Hz.*/\1/p' "$work/record.err")
        echo "graph rate ${graph:-?} Hz"
        [ "$graph" = 192000 ] || { echo "FAIL: the graph did not run at 192000 Hz"; status=1; }
    fi
    if grep -qF "too slow for the" "$work/transmitter.out"; then
        echo "FAIL: the program said its output is too slow"; status=1
    fi
fi
if [ "$status" -ne 0 ]; then
    [ "$decoded" -ne 0 ] && echo "FAIL: no whole minute decoded to the transmitted time, holes inside the" \
        "signal, pulses missing, extra or out of bounds, or the first pulse not heard" \
        "$([ "$mode" = direct ] && echo ", or the tones' levels")"
    echo "--- every pulse heard"
    "$decode" --edges --min-minutes 0 "$work/rec.wav" "$work/rec.log" | grep '^edge'
    echo "--- transmitter output"; cat "$work/transmitter.out"
    echo "--- recorder output"; cat "$work/record.err"
fi
exit "$status"
