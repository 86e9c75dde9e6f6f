#!/bin/sh
# Timing of the pulses at the sound server, measured against the PC clock: runs the program
# (transmitting, from a scratch program folder) against a private PulseAudio server's null
# sink for a few minutes, records the sink's monitor and prints each figure the sound output
# is judged by:
#   rising edges against the PC clock's second boundaries: median, p99 and max, in ms
#   missing and extra pulses, pulse-width error
#   the program's CPU use while transmitting (% of one core) and its peak resident memory
# Targets: median |offset| <= 1 ms, p99 <= 2 ms, max <= 5 ms; no missing or extra pulse;
# widths within +-5 ms.
#   scripts/bench-sound.sh [--build DIR] [--seconds N] [--driver] [--edges]
# --driver measures the stand-in transmitter (tools/pendrel-sound-driver) instead of the
# program; --edges lists every pulse's edges. Needs the build's pendrel, pulse sounds and tools (cmake --build DIR).
set -u

root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build"
seconds=190
use_driver=
edges=
while [ $# -gt 0 ]; do
    case "$1" in
        --build) build=$(cd "$2" && pwd); shift 2 ;;
        --seconds) seconds=$2; shift 2 ;;
        --driver) use_driver=1; shift ;;
        --edges) edges=--edges; shift ;;
        *) echo "usage: $0 [--build DIR] [--seconds N] [--driver] [--edges]" >&2; exit 2 ;;
    esac
done
[ "$seconds" -lt 180 ] && seconds=180
record="$build/tools/pendrel-record"
decode="$build/tools/pendrel-decode"
for f in "$record" "$decode" "$build/200ms.wav"; do
    [ -e "$f" ] || { echo "missing $f: build first" >&2; exit 1; }
done

work=$(mktemp -d /tmp/pendrel-bench.XXXXXX)
transmitter_pid= recorder_pid=
. "$root/tools/sound-server.sh"
trap end_sound_run EXIT
trap 'exit 1' INT TERM

start_sound_server
export TZ=UTC
find_faketime

# Whole-second clock offset so that a minute starts about 7 s after launch.
now=$(date +%s)
offset=$(( (113 - now % 60) % 60 ))

if [ -n "$use_driver" ]; then
    LD_PRELOAD="$faketime_lib" FAKETIME="+$offset" FAKETIME_DONT_FAKE_MONOTONIC=1 \
        "$build/tools/pendrel-sound-driver" --seconds $((seconds + 30)) "$build" \
        >"$work/transmitter.out" 2>&1 &
    transmitter_pid=$!
    name="stand-in transmitter"
else
    folder="$work/program"
    mkdir -p "$folder"
    cp "$build/pendrel" "$build/200ms.wav" "$build/500ms.wav" "$build/800ms.wav" "$folder/"
    printf '[Show]\r\nMessage=1\r\n[Transmit]\r\nState=1\r\n' > "$folder/setting.ini"
    QT_QPA_PLATFORM=offscreen LD_PRELOAD="$faketime_lib" FAKETIME="+$offset" \
        FAKETIME_DONT_FAKE_MONOTONIC=1 "$folder/pendrel" >"$work/transmitter.out" 2>&1 &
    transmitter_pid=$!
    name="program"
fi

cpu_ticks() { awk '{print $14 + $15}' "/proc/$transmitter_pid/stat" 2>/dev/null || echo 0; }
# The recording starts once the first minute has: the very first pulse after switching on
# waits for the minute-start gate by design, a few milliseconds into second 00, and is not
# what this measures.
sleep 8
"$record" "$work/rec.wav" "$work/rec.log" 2>"$work/record.err" &
recorder_pid=$!
ticks0=$(cpu_ticks)
t0=$(date +%s.%N)
sleep "$seconds"
ticks1=$(cpu_ticks)
t1=$(date +%s.%N)
peak_kb=$(awk '/^VmHWM/{print $2}' "/proc/$transmitter_pid/status" 2>/dev/null)
# The recording ends first, so that the last pulse it holds is whole or cut by its end.
kill "$recorder_pid" 2>/dev/null
wait "$recorder_pid" 2>/dev/null
recorder_pid=
kill "$transmitter_pid" 2>/dev/null
wait "$transmitter_pid" 2>/dev/null
transmitter_pid=

hz=$(getconf CLK_TCK)
echo "Pendrel sound benchmark: $name, ${seconds} s against a null sink (48 kHz, norewinds)"
"$decode" $edges "$work/rec.wav" "$work/rec.log"
# A hole that the recording itself had is not the program's.
cat "$work/record.err"
awk -v a="$ticks0" -v b="$ticks1" -v t0="$t0" -v t1="$t1" -v hz="$hz" -v kb="${peak_kb:-0}" 'BEGIN {
    printf "CPU while transmitting: %.2f %% of one core\n", (b - a) / hz / (t1 - t0) * 100
    printf "peak resident memory: %.1f MiB\n", kb / 1024
}'
