#!/bin/sh
# Timing of the pulses at the sound server, measured against the PC clock, on both servers side
# by side: the program transmits (from a scratch program folder) into a private PulseAudio
# server's null sink and into a private PipeWire stack's null sink (driven by its own clock) at
# each forced quantum (auto: none forced, the streams' wishes hold; shown as a and the quantum
# the recording had), each for a few minutes, once undisturbed and once stopped for 100 ms
# every 3 s (SIGSTOP/SIGCONT). The recording starts before the program, so the first pulse
# after switching on counts. Under PipeWire the sink is recorded on the graph's own clock.
# Per run, one row:
#   edges     |offset| of the rising edges from the PC clock's second boundaries: median, p99, max
#   holes     dropouts inside the signal (count, longest)
#   minutes   whole minutes decoded / whole minutes heard (each with the marker before its
#             second 0 and its last second recorded)
#   width     largest pulse-width error
#   miss/ext  missing and extra pulses
#   CPU       the program's, % of one core; RSS its peak resident memory
#   stolen    CPU time the hypervisor took from this virtual machine during the run (steal,
#             all CPUs). A wake-up held up by more than a graph cycle drops that cycle for
#             every client alike, so a row with much stolen time measures the host as well.
# and whether the targets are met: no hole; |edge| median <= 0.2 ms, p99 <= 0.5 ms,
# max <= 1 ms (under --load: p99 <= 1 ms, max <= 2 ms); widths within +-0.5 ms; no missing or
# extra pulse; every minute heard decoded.
#   scripts/bench-sound.sh [--build DIR] [--seconds N] [--servers "pulseaudio pipewire"]
#                          [--quanta "256 1024"] [--stalls no|yes|both] [--driver | --reference]
#                          [--sets "13k direct"] [--load] [--edges] [--keep]
# --driver measures the stand-in transmitter (tools/testing/pendrel-sound-driver) instead of the
# program; --reference the reference PipeWire transmitter (tools/testing/pendrel-pw-test-player, PipeWire
# rows only), which checks the measuring itself: it must meet every target. --edges lists every
# pulse's edges; --keep keeps the work folder. Needs a build (cmake --build DIR).
# --sets measures the program with each set named, in rows that begin with the set and the
# rate: 13k the 13,333 Hz set at 48 kHz (sinks held at 48 kHz), direct the 40 kHz carrier
# itself at 192 kHz (sinks that follow the stream's rate, see SINK_RATES in
# tools/testing/sound-server.sh; recorded at 192 kHz). Both are made into the run's program
# folder with the built pendrel-make-sounds. A direct run records from 2 s after the program
# starts (a PulseAudio sink whose monitor is being recorded keeps its rate), so its first pulse
# after switching on may not count. Without --sets the program plays the build's own files. With
# --reference, direct has the reference send the 40 kHz carrier itself at 192 kHz.
# --load runs every row twice, quiet and then under a fixed load (stress-ng keeping more CPUs
# busy than the machine has, and half a gigabyte of memory, at nice 0; the command is printed
# above the table), each row marked quiet or load. With the program, each PipeWire row of the
# pass without stalls is followed by the reference under the same server, quantum, set and
# load, marked reference: a loss that the reference shows too is the machine's or the
# measuring's, not the program's (the reference is never stopped: it has no relay, and the
# stalled rows share its conditions otherwise). PulseAudio has no reference transmitter. A long
# soak: --seconds 3600 --load --stalls no, quoted as minutes decoded / heard and holes.
set -u

root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build"
seconds=190
servers="pulseaudio pipewire"
quanta="256 1024"
stalls=both
transmitter=program
edges=
sets=
loads=quiet
while [ $# -gt 0 ]; do
    case "$1" in
        --build) build=$(cd "$2" && pwd); shift 2 ;;
        --seconds) seconds=$2; shift 2 ;;
        --servers) servers=$2; shift 2 ;;
        --quanta) quanta=$2; shift 2 ;;
        --stalls) stalls=$2; shift 2 ;;
        --driver) transmitter=driver; shift ;;
        --reference) transmitter=reference; shift ;;
        --edges) edges=--edges; shift ;;
        --sets) sets=$2; shift 2 ;;
        --load) loads="quiet load"; shift ;;
        --keep) PENDREL_KEEP=1; shift ;;
        *) sed -n '/^#   scripts/,/^#  .*\[--edges\]/p' "$0" >&2; exit 2 ;;
    esac
done
[ "$seconds" -lt 180 ] && seconds=180
case "$stalls" in no) stall_passes=0 ;; yes) stall_passes=1 ;; both) stall_passes="0 1" ;;
    *) echo "--stalls takes no, yes or both" >&2; exit 2 ;; esac
for set in $sets; do
    case "$set" in 13k|direct) ;; *) echo "--sets takes 13k and direct, not $set" >&2; exit 2 ;; esac
done
[ -n "$sets" ] && [ "$transmitter" = driver ] && { echo "--sets is for the program and the reference" >&2; exit 2; }
make_sounds="$build/pendrel-make-sounds"
[ -n "$sets" ] && [ ! -x "$make_sounds" ] && { echo "missing $make_sounds: build first" >&2; exit 1; }
record="$build/tools/testing/pendrel-record"
record_pw="$build/tools/testing/pendrel-record-pw"
decode="$build/tools/testing/pendrel-decode"
for f in "$record" "$decode" "$build/200ms.wav"; do
    [ -e "$f" ] || { echo "missing $f: build first" >&2; exit 1; }
done
case "$servers" in *pipewire*) [ -e "$record_pw" ] || { echo "missing $record_pw (libpipewire-0.3-dev)" >&2; exit 1; } ;; esac

base=$(mktemp -d /tmp/pendrel-bench.XXXXXX)
work=$base
transmitter_pid= recorder_pid= staller_pid= load_pid=
. "$root/tools/testing/sound-server.sh"
# Each run ends what it started; the last clean-up also removes the whole folder.
end_bench() {
    work=$base
    end_sound_run
}
trap end_bench EXIT
trap 'exit 1' INT TERM
export TZ=UTC
find_faketime
hz=$(getconf CLK_TCK)
# Time the hypervisor ran something else instead of this machine, all CPUs, in clock ticks.
steal_ticks() { awk '/^cpu / { print $9 + 0 }' /proc/stat; }
rows="$base/rows"
: > "$rows"


# One run: server, quantum (- for PulseAudio), stalls (0 or 1), set (empty: the build's files),
# load (quiet or load), transmitter (program, driver or reference). Appends a row to $rows.
run_one() {
    server=$1 quantum=$2 stall=$3 set=$4 load=$5 sender=$6
    work="$base/${set:+$set-}$server-$quantum-$stall-$load-$sender"
    mkdir -p "$work"
    if [ "$load" = load ]; then
        start_load
        sleep 2  # its workers running and its memory taken
    fi
    rate=48000 label= reference_args=
    case "$set" in
        13k) export SINK_RATES=48k; label=13k@48000 ;;
        direct) export SINK_RATES=direct; rate=192000 label=direct@192000 reference_args=--direct ;;
        *) unset SINK_RATES ;;
    esac
    # A server that cannot start ends the whole benchmark (with its reason).
    start_server "$server"
    if [ "$server" = pipewire ]; then
        if [ "$quantum" = auto ]; then set_pipewire_quantum 0; else set_pipewire_quantum "$quantum"; fi
    fi

    # The recording starts before the transmitter, so that its first pulse is measured too.
    if [ "$set" != direct ]; then
        start_recorder "$rate"
        sleep 1
    fi

    # Whole-second clock offset so that a minute starts about 7 s after launch.
    now=$(date +%s)
    offset=$(( (113 - now % 60) % 60 ))
    case "$sender" in
    driver)
        LD_PRELOAD="$faketime_lib" FAKETIME="+$offset" FAKETIME_DONT_FAKE_MONOTONIC=1 \
            "$build/tools/testing/pendrel-sound-driver" --seconds $((seconds + 30)) "$build" \
            >"$work/transmitter.out" 2>&1 & ;;
    reference)
        LD_PRELOAD="$faketime_lib" FAKETIME="+$offset" FAKETIME_DONT_FAKE_MONOTONIC=1 \
            "$build/tools/testing/pendrel-pw-test-player" --seconds $((seconds + 30)) $reference_args \
            >"$work/transmitter.out" 2>&1 & ;;
    program)
        folder="$work/program"
        mkdir -p "$folder"
        # A program folder as the README lists it: the program and its sound relay.
        cp "$build/pendrel" "$build/pendrel-sound-relay" "$folder/"
        case "$set" in
            13k) "$make_sounds" --carrier 40 "$folder" >/dev/null ;;
            direct) "$make_sounds" --carrier 40 --direct --rate 192000 "$folder" >/dev/null ;;
            *) cp "$build/200ms.wav" "$build/500ms.wav" "$build/800ms.wav" "$folder/" ;;
        esac
        printf '[Show]\r\nMessage=1\r\n[Transmit]\r\nState=1\r\n' > "$folder/setting.ini"
        QT_QPA_PLATFORM=offscreen LD_PRELOAD="$faketime_lib" FAKETIME="+$offset" \
            FAKETIME_DONT_FAKE_MONOTONIC=1 "$folder/pendrel" >"$work/transmitter.out" 2>&1 & ;;
    esac
    transmitter_pid=$!
    if [ "$set" = direct ]; then
        sleep 2
        start_recorder "$rate"
    fi
    if [ "$stall" = 1 ]; then
        # 100 ms stopped, every 3 s; the phase within the second wanders from stall to stall.
        pid=$transmitter_pid
        ( trap 'kill -CONT $pid 2>/dev/null; exit 0' TERM
          while kill -0 "$pid" 2>/dev/null; do
              sleep 2.9
              kill -STOP "$pid" 2>/dev/null; sleep 0.1; kill -CONT "$pid" 2>/dev/null
          done ) &
        staller_pid=$!
    fi

    ticks0=$(awk '{print $14 + $15}' "/proc/$transmitter_pid/stat" 2>/dev/null || echo 0)
    steal0=$(steal_ticks)
    t0=$(date +%s.%N)
    sleep "$seconds" & sleeper_pid=$!
    wait "$sleeper_pid"  # a signal to the script is taken at once
    sleeper_pid=
    ticks1=$(awk '{print $14 + $15}' "/proc/$transmitter_pid/stat" 2>/dev/null || echo 0)
    steal1=$(steal_ticks)
    t1=$(date +%s.%N)
    peak_kb=$(awk '/^VmHWM/{print $2}' "/proc/$transmitter_pid/status" 2>/dev/null)
    # The rate the output ran at: the PulseAudio sink's, or the PipeWire graph's (the recorder's).
    ran=
    [ "$server" = pulseaudio ] && ran=$(pulseaudio_sink_rate)
    if [ -n "$staller_pid" ]; then
        kill "$staller_pid" 2>/dev/null; wait "$staller_pid" 2>/dev/null; staller_pid=
        kill -CONT "$transmitter_pid" 2>/dev/null
    fi
    # The recording ends first, so that the last pulse it holds is whole or cut by its end.
    kill "$recorder_pid" 2>/dev/null; wait "$recorder_pid" 2>/dev/null; recorder_pid=
    kill "$transmitter_pid" 2>/dev/null; wait "$transmitter_pid" 2>/dev/null; transmitter_pid=
    stop_server
    stop_load

    [ "$server" = pipewire ] && ran=$(sed -n 's/.*the graph ran at \([0-9]*\) Hz.*/\1/p' "$work/record.err")
    # The quantum the graph ran at is the one most buffers of the recording had. Left to the
    # graph it shows as a and that quantum; a forced one the graph did not keep (a limit of the
    # server's) shows as forced/ran.
    shown_quantum=$quantum
    if [ "$server" = pipewire ]; then
        ran_quantum=$(awk 'NF == 4 { n[$3]++ } END { for (q in n) if (n[q] > best) { best = n[q]; m = q }; print m }' "$work/rec.log")
        if [ "$quantum" = auto ]; then shown_quantum="a$ran_quantum"
        elif [ "$ran_quantum" != "$quantum" ]; then shown_quantum="$quantum/$ran_quantum"
        fi
    fi
    "$decode" $edges --min-minutes 0 "$work/rec.wav" "$work/rec.log" > "$work/decode.txt" 2>&1
    # Cycles the program said the system held its PipeWire relay up for (counted as holes all the same).
    held=$(grep -c 'the system held the sound relay up' "$work/transmitter.out" 2>/dev/null)
    # Under load the tail of the edges may reach further.
    p99_target=0.5 max_target=1 prefix=
    [ "$load" = load ] && p99_target=1 max_target=2
    [ "$loads" != quiet ] && prefix=$(printf '%-6s%-10s' "$load" "$sender")
    awk -v server="$server" -v quantum="$shown_quantum" -v stall="$stall" -v a="$ticks0" -v b="$ticks1" \
        -v label="$label" -v rate="$rate" -v ran="$ran" -v prefix="$prefix" \
        -v p99_target="$p99_target" -v max_target="$max_target" -v held="${held:-0}" \
        -v t0="$t0" -v t1="$t1" -v hz="$hz" -v kb="${peak_kb:-0}" -v stolen="$((steal1 - steal0))" '
        /^pulses /        { pulses = $2; missing = $4; extra = $6 }
        /^rising edge/    { split($0, f, /[:,] */); for (i in f) {
                              if (f[i] ~ /^median \|\.\|/) { sub(/^median \|\.\| /, "", f[i]); med = f[i] }
                              if (f[i] ~ /^p99/) { sub(/^p99 \|\.\| /, "", f[i]); p99 = f[i] }
                              if (f[i] ~ /^max/) { sub(/^max \|\.\| /, "", f[i]); max = f[i] } } }
        /^width error/    { w = $NF }
        /^holes in the signal/ { holes = $5; longest = $7 }
        /^stretches the recorder lost/ { lost = $5 }
        /^minutes decoded/ { decoded = $3 }
        /^minutes heard/   { heard = $3 }
        END {
            cpu = (t1 > t0) ? (b - a) / hz / (t1 - t0) * 100 : 0
            why = ""
            if (pulses + 0 == 0) why = why " no-pulses"
            if (holes + 0 > 0) why = why " holes"
            if (med + 0 > 0.2) why = why " median"
            if (p99 + 0 > p99_target) why = why " p99"
            if (max + 0 > max_target) why = why " max"
            if (w + 0 > 0.5) why = why " width"
            if (missing + extra > 0) why = why " missing/extra"
            if (decoded + 0 < heard + 0) why = why " minutes"
            if (label != "" && ran != rate) why = why " output-at-" (ran == "" ? "?" : ran)
            verdict = why == "" ? "met" : "NOT met:" why
            if (lost + 0 > 0) verdict = verdict " (recorder lost " lost ")"
            if (held + 0 > 0) verdict = verdict " (relay held up " held "x)"
            printf "%s", prefix
            if (label != "") printf "%-14s", label
            printf "%-10s | %-5s | %-3s | %6d | %2d/%-2d | %7.3f %7.3f %8.3f | %4d %8.2f | %3d/%-3d | %8.3f | %5.2f %% | %5.1f MiB | %6.2f s | %s\n",
                   server, quantum, stall ? "yes" : "no", pulses, missing, extra, med, p99, max,
                   holes, longest, decoded, heard, w, cpu, kb / 1024, stolen / hz, verdict
        }' "$work/decode.txt" >> "$rows"
    tail -n 1 "$rows"
}

if [ -n "$sets" ]; then
    echo "Pendrel sound benchmark: $transmitter, ${seconds} s a run, sets $sets (set@rate: files and sink)"
    head="set@rate      "
else
    echo "Pendrel sound benchmark: $transmitter, ${seconds} s a run, null sinks at 48 kHz"
    head=
fi
if [ "$loads" != quiet ]; then
    echo "each row quiet, and under load: $load_command (nice 0); load targets p99 <= 1 ms, max <= 2 ms"
    head="load  sent by   $head"
fi
head="${head}server     | q     | stl | pulses | mi/ex | edge |ms| med     p99      max | holes longest | minutes | width ms | CPU     | RSS       | stolen   | targets"
echo "$head"
for set in ${sets:-built}; do
    [ "$set" = built ] && set=
    for stall in $stall_passes; do
        for server in $servers; do
            if [ "$server" = pipewire ]; then
                for q in $quanta; do
                    for load in $loads; do
                        run_one pipewire "$q" "$stall" "$set" "$load" "$transmitter"
                        if [ "$transmitter" = program ] && [ "$loads" != quiet ] && [ "$stall" = 0 ]; then
                            run_one pipewire "$q" 0 "$set" "$load" reference
                        fi
                    done
                done
            elif [ "$transmitter" != reference ]; then
                for load in $loads; do run_one pulseaudio - "$stall" "$set" "$load" "$transmitter"; done
            fi
        done
    done
done
echo
echo "--- the table"
echo "$head"
cat "$rows"
echo "(each run's decoder output and recorder messages are in its folder; --keep keeps them)"
for d in "$base"/*/; do
    if [ -s "$d/record.err" ]; then
        echo "--- recorder, $(basename "$d")"
        cat "$d/record.err"
    fi
done
exit 0
