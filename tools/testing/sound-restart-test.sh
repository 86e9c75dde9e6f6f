#!/bin/sh
# The sound server goes away while the stand-in transmitter plays and comes back: the
# transmitter must carry on, reconnect by itself and be heard again, on the second.
#   sound-restart-test.sh --driver PENDREL-SOUND-DRIVER --sounds FOLDER
#                         --record PENDREL-RECORD --decode PENDREL-DECODE
# Exit 77 (skipped) only when no sound server can be started.
set -u

driver= sounds= record= decode=
while [ $# -gt 0 ]; do
    case "$1" in
        --driver) driver=$2; shift 2 ;;
        --sounds) sounds=$2; shift 2 ;;
        --record) record=$2; shift 2 ;;
        --decode) decode=$2; shift 2 ;;
        *) echo "unknown argument $1" >&2; exit 2 ;;
    esac
done
if [ -z "$driver" ] || [ -z "$sounds" ] || [ -z "$record" ] || [ -z "$decode" ]; then
    echo "usage: $0 --driver D --sounds DIR --record R --decode D" >&2
    exit 2
fi

here=$(cd "$(dirname "$0")" && pwd)
. "$here/sound-server.sh"
begin_sound_run restart

# Records the server's output for 10 s into $work/$1.wav and $work/$1.log.
record_part() {
    "$record" "$work/$1.wav" "$work/$1.log" 2>/dev/null &
    recorder_pid=$!
    sleep 10
    kill "$recorder_pid" 2>/dev/null
    wait "$recorder_pid" 2>/dev/null
    recorder_pid=
}

start_sound_server
export TZ=UTC
now=$(date +%s)
offset=$(( (117 - now % 60) % 60 ))  # a minute starts about 3 s from now
LD_PRELOAD="$faketime_lib" FAKETIME="+$offset" FAKETIME_DONT_FAKE_MONOTONIC=1 \
    "$driver" --seconds 40 "$sounds" >"$work/transmitter.out" 2>&1 &
transmitter_pid=$!

record_part before

stop_sound_server
sleep 3  # no server at all for a few seconds of pulses
start_sound_server
sleep 2  # reconnect attempts come every half second

record_part after

status=0
if ! kill -0 "$transmitter_pid" 2>/dev/null; then
    echo "FAIL: the transmitter did not survive the server going away"
    status=1
fi
# Before the restart the minute starts about 3 s into the 10 s recorded; after it, every
# second of the recording holds a pulse.
for part in before after; do
    least=5
    [ "$part" = after ] && least=8
    echo "--- $part the restart"
    "$decode" --min-minutes 0 "$work/$part.wav" "$work/$part.log" > "$work/$part.txt"
    cat "$work/$part.txt"
    pulses=$(awk '/^pulses/{print $2}' "$work/$part.txt")
    missing=$(awk '/^pulses/{print $4}' "$work/$part.txt")
    worst=$(awk -F'max \\|.\\| ' '/^rising edge/{print $2}' "$work/$part.txt")
    if [ "${pulses:-0}" -lt "$least" ] || [ "${missing:-1}" -ne 0 ]; then
        echo "FAIL: $part the restart, expected a pulse every second"
        status=1
    elif awk -v w="$worst" 'BEGIN { exit !(w > 20) }'; then
        echo "FAIL: $part the restart, pulses off the second by up to $worst ms"
        status=1
    fi
done
[ "$status" -ne 0 ] && { echo "--- transmitter output"; cat "$work/transmitter.out"; }
exit "$status"
