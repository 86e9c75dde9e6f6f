#!/bin/sh
# How quietly the program runs, on a private X server (Xvfb) and a private PulseAudio server:
#   CPU       % of one core, while sending (State=1) and while idle (State=0)
#   wake-ups  per second: voluntary and involuntary context switches, summed over its threads
#   start-up  from launch to a shown window, median of 10, against a bare fixed-size Qt window
#             with a title (tools/testing/pendrel-bare-window) timed in the same run
#   RSS       peak resident memory
# Targets: sending <= 0.3 %, idle <= 0.1 % of a core; start-up <= 1.5 x the bare window;
# RSS <= 40 MiB.
#   scripts/bench-quiet.sh [--build DIR] [--seconds N] [--starts N] [--start-up-only]
# --seconds is each phase's length (at least 180), --starts the number of timed start-ups;
# --start-up-only times the start-ups alone.
set -u

root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build"
seconds=190
starts=10
only_startup=
while [ $# -gt 0 ]; do
    case "$1" in
        --build) build=$(cd "$2" && pwd); shift 2 ;;
        --seconds) seconds=$2; shift 2 ;;
        --starts) starts=$2; shift 2 ;;
        --start-up-only) only_startup=1; shift ;;
        *) echo "usage: $0 [--build DIR] [--seconds N] [--starts N] [--start-up-only]" >&2; exit 2 ;;
    esac
done
[ "$seconds" -lt 180 ] && seconds=180
bare="$build/tools/testing/pendrel-bare-window"
for f in "$build/pendrel" "$build/200ms.wav" "$bare"; do
    [ -e "$f" ] || { echo "missing $f: build first" >&2; exit 1; }
done
for tool in Xvfb xdotool xdpyinfo; do
    command -v "$tool" >/dev/null 2>&1 || { echo "$tool is not installed" >&2; exit 1; }
done

work=$(mktemp -d /tmp/pendrel-quiet.XXXXXX)
transmitter_pid= recorder_pid= staller_pid= sleeper_pid= xvfb_pid=
. "$root/tools/testing/sound-server.sh"
end_quiet() {
    [ -n "$xvfb_pid" ] && { kill "$xvfb_pid" 2>/dev/null; wait "$xvfb_pid" 2>/dev/null; }
    end_sound_run
}
trap end_quiet EXIT
trap 'exit 1' INT TERM
export TZ=UTC
find_faketime
start_sound_server

# A display number nobody holds.
display=$(( 70 + $$ % 200 ))
while [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ]; do display=$((display + 1)); done
Xvfb ":$display" -screen 0 1024x768x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
export DISPLAY=":$display" QT_QPA_PLATFORM=xcb
tries=0
until xdpyinfo >/dev/null 2>&1; do
    tries=$((tries + 1))
    [ "$tries" -gt 100 ] && { echo "Xvfb does not start (see $work/xvfb.log)" >&2; exit 1; }
    sleep 0.05
done

folder="$work/program"
mkdir -p "$folder"
cp "$build/pendrel" "$build/pendrel-sound-relay" "$build/200ms.wav" "$build/500ms.wav" "$build/800ms.wav" \
    "$folder/"
settings() {
    printf '[Show]\r\nMessage=1\r\n[Transmit]\r\nState=%s\r\n' "$1" > "$folder/setting.ini"
}

# Sum over the program's threads of its context switches (each one a wake-up or a preemption).
switches() {
    cat /proc/"$1"/task/*/status 2>/dev/null |
        awk '/^(voluntary|nonvoluntary)_ctxt_switches/{s += $2} END {print s + 0}'
}

# Time on a CPU, in ns, summed over the program's threads: the scheduler's own account, exact
# where the tick counts of /proc/PID/stat are samples of 10 ms. (All of the program's threads
# live as long as it does, so none is missed by summing over the living ones.)
cputime() {
    cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk '{s += $1} END {printf "%.0f\n", s}'
}

# One phase: State, label. Prints a row, and the peak RSS in kB to $work/peak.
phase() {
    settings "$1"
    now=$(date +%s)
    offset=$(( (113 - now % 60) % 60 ))  # a minute starts about 7 s after launch
    LD_PRELOAD="$faketime_lib" FAKETIME="+$offset" FAKETIME_DONT_FAKE_MONOTONIC=1 \
        "$folder/pendrel" >"$work/program-$1.out" 2>&1 &
    transmitter_pid=$!
    sleep 15  # past start-up and the minute-start wait
    ns0=$(cputime "$transmitter_pid")
    sw0=$(switches "$transmitter_pid")
    t0=$(date +%s.%N)
    sleep "$seconds" & sleeper_pid=$!
    wait "$sleeper_pid"  # a signal to the script is taken at once
    sleeper_pid=
    ns1=$(cputime "$transmitter_pid")
    sw1=$(switches "$transmitter_pid")
    t1=$(date +%s.%N)
    awk '/^VmHWM/{print $2}' "/proc/$transmitter_pid/status" >> "$work/peak"
    kill "$transmitter_pid" 2>/dev/null; wait "$transmitter_pid" 2>/dev/null; transmitter_pid=
    awk -v label="$2" -v a="$ns0" -v b="$ns1" -v s0="$sw0" -v s1="$sw1" -v t0="$t0" -v t1="$t1" \
        -v target="$3" 'BEGIN {
        cpu = (b - a) / 1e9 / (t1 - t0) * 100
        printf "%-8s CPU %6.3f %% of a core (target <= %s %%: %s), wake-ups %7.1f /s\n", label, cpu,
               target, cpu <= target ? "met" : "NOT met", (s1 - s0) / (t1 - t0)
    }'
}

# Median time in ms from launch to a shown window of the given program, over $starts launches
# that showed one (a launch that ends first is reported and tried again, up to $starts times).
startup() {
    : > "$work/times"
    shown=0 failed=0
    while [ "$shown" -lt "$starts" ] && [ "$failed" -lt "$starts" ]; do
        t0=$(date +%s%N)
        "$@" >"$work/launch.out" 2>&1 &
        pid=$!
        ok=1
        until xdotool search --onlyvisible --pid "$pid" >/dev/null 2>&1; do
            kill -0 "$pid" 2>/dev/null || { ok=; break; }
            sleep 0.005  # polling flat out crowds the X server's queue of new connections
        done
        t1=$(date +%s%N)
        kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null
        if [ -n "$ok" ]; then
            shown=$((shown + 1))
            echo $(( (t1 - t0) / 1000000 )) >> "$work/times"
        else
            failed=$((failed + 1))
            echo "$(basename "$1") ended before showing a window:" $(tail -n 4 "$work/launch.out") >&2
        fi
        sleep 0.3
    done
    sort -n "$work/times" | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'
}

echo "Pendrel quiet benchmark: ${seconds} s a phase, $starts start-ups each, Xvfb :$display, private PulseAudio"
if [ -z "$only_startup" ]; then
    phase 1 sending 0.3
    phase 0 idle 0.1
fi
settings 0
bare_ms=$(startup "$bare")
program_ms=$(startup "$folder/pendrel")
awk -v p="$program_ms" -v b="$bare_ms" 'BEGIN {
    printf "start-up median %d ms, bare window %d ms: %.2f x (target <= 1.5 x: %s)\n", p, b, p / b,
           p <= 1.5 * b ? "met" : "NOT met"
}'
[ -s "$work/peak" ] && sort -n "$work/peak" | tail -n 1 | awk '{
    printf "peak RSS %.1f MiB (target <= 40 MiB: %s)\n", $1 / 1024, $1 <= 40 * 1024 ? "met" : "NOT met"
}'
