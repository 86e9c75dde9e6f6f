#!/bin/sh
# pendrel-send end to end: it plays a station into a private sound server's null sink for
# --for 130s and ends by itself with status 0; the sink's monitor is recorded, and every minute
# heard must decode to the time sent, with no hole and every edge within 1 ms of its second.
# Then a run without an end is stopped with SIGTERM and must end at once with status 143.
#   send-live-test.sh --server pulseaudio|pipewire --station NAME --send PENDREL-SEND
#                     --record PENDREL-RECORD [--record-pw PENDREL-RECORD-PW] --decode PENDREL-DECODE
# The clock is moved by faketime by whole seconds, so that a minute begins a few seconds after the
# start while the sub-second phase stays the PC's. Exit 77 (skipped) only when no sound server
# can be started.
set -u

send= record= record_pw= decode= server=pulseaudio station=
while [ $# -gt 0 ]; do
    case "$1" in
        --server) server=$2; shift 2 ;;
        --station) station=$2; shift 2 ;;
        --send) send=$2; shift 2 ;;
        --record) record=$2; shift 2 ;;
        --record-pw) record_pw=$2; shift 2 ;;
        --decode) decode=$2; shift 2 ;;
        *) echo "unknown argument $1" >&2; exit 2 ;;
    esac
done
if [ -z "$send" ] || [ -z "$station" ] || [ -z "$record" ] || [ -z "$decode" ] ||
   { [ "$server" = pipewire ] && [ -z "$record_pw" ]; }; then
    echo "usage: $0 --server S --station NAME --send P --record R [--record-pw R] --decode D" >&2
    exit 2
fi

here=$(cd "$(dirname "$0")/../../tools/testing" && pwd)
. "$here/sound-server.sh"
begin_sound_run send
export PW_LONG_CYCLES=1
start_server "$server"
export TZ=UTC

# As the window's end-to-end test: the recorder settles first (PulseAudio's timing learns the
# stream's rate over its first seconds), and the faked clock stands at second 52 of a minute as
# the sender starts, so the first minute begins 8 s later.
start_recorder 48000
[ "$server" = pulseaudio ] && sleep 8
adv_date=2 adv_hour=-5 adv_min=17
now=$(date +%s)
offset=$(( 3 * 86400 + 7 * 3600 + (112 - now % 60) % 60 ))
# Every station here sends the time to show as its own (WWVB for a clock on UTC without summer
# time), so the minute decoded is the real UTC minute moved by the offset and the advances.
shift_seconds=$(( offset + adv_date * 86400 + adv_hour * 3600 + adv_min * 60 ))
zone_args=
[ "$station" = wwvb ] && zone_args="--clock-zone +00:00 --summer off"

started=$(date +%s)
# shellcheck disable=SC2086
LD_PRELOAD="$faketime_lib" FAKETIME="+$offset" FAKETIME_DONT_FAKE_MONOTONIC=1 \
    "$send" --station "$station" --for 130s --days "$adv_date" --hours "$adv_hour" \
    --minutes "$adv_min" $zone_args >"$work/send.out" 2>&1 &
transmitter_pid=$!
# The recording ends first, at 129 s, after the second whole minute (heard from 68 s to 128 s):
# as the window's end-to-end test does, so that a stream leaving the server does not move the
# recorder's last fragments. The sender ends by itself 130 s after its start and a lead
# (1.25 s) later, when its last second has been heard; 20 s more is a hang.
sleep 129 & sleeper_pid=$!
wait "$sleeper_pid"
kill "$recorder_pid" 2>/dev/null
wait "$recorder_pid" 2>/dev/null
recorder_pid=
waited=129
while kill -0 "$transmitter_pid" 2>/dev/null && [ "$waited" -lt 150 ]; do
    sleep 1 & sleeper_pid=$!
    wait "$sleeper_pid"
    waited=$((waited + 1))
done
sleeper_pid=
status=0
if kill -0 "$transmitter_pid" 2>/dev/null; then
    echo "FAIL: pendrel-send --for 130s still ran after 150 s"
    status=1
else
    wait "$transmitter_pid"
    sent=$?
    took=$(( $(date +%s) - started ))
    echo "pendrel-send --for 130s ended with status $sent after $took s"
    [ "$sent" -eq 0 ] || { echo "FAIL: status $sent, not 0"; status=1; }
    { [ "$took" -ge 130 ] && [ "$took" -le 134 ]; } || { echo "FAIL: it took $took s, not 130 to 134"; status=1; }
fi
transmitter_pid=

minutes=$(grep -c '^[0-9]\{4\}-' "$work/send.out")
[ "$minutes" -eq 3 ] || { echo "FAIL: $minutes minute lines, not 3"; status=1; }
echo "$server, $station: clock offset $offset s, advances $adv_date d $adv_hour h $adv_min min"
if ! "$decode" --station "$station" --expect-shift "$shift_seconds" --max-edge-ms 1 \
        --fail-on-holes "$work/rec.wav" "$work/rec.log"; then
    echo "FAIL: the recording did not decode to the time sent, on time and without holes"
    status=1
fi

# Stopped while sending: at once, cleanly, 143.
"$send" --station "$station" $zone_args >"$work/stop.out" 2>&1 &
transmitter_pid=$!
sleep 3
kill -TERM "$transmitter_pid"
stop_begun=$(date +%s%N)
wait "$transmitter_pid"
stopped=$?
stop_ms=$(( ($(date +%s%N) - stop_begun) / 1000000 ))
transmitter_pid=
echo "SIGTERM: status $stopped after $stop_ms ms"
[ "$stopped" -eq 143 ] || { echo "FAIL: status $stopped after SIGTERM, not 143"; status=1; }
[ "$stop_ms" -lt 1000 ] || { echo "FAIL: it took $stop_ms ms to stop"; status=1; }

if [ "$status" -ne 0 ]; then
    echo "--- pendrel-send output"; cat "$work/send.out" "$work/stop.out"
    echo "--- recorder output"; cat "$work/record.err"
fi
exit "$status"
