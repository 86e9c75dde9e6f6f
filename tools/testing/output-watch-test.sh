#!/bin/sh
# The way out of the PC, watched: the stand-in transmitter plays into a private sound server with
# --watch, which prints what the window would tell, and each case below changes the output as a
# user's mixer or another program would. A setting the user made must be told within 2 s of the
# change (it is told at the first look that sees it, once a second), another program's sound within
# 4 s (it is told once it has lasted 2 s), and the notice must close within 3 s of the change
# being undone. Before the first case and after the last, nothing may be told.
#   output-watch-test.sh --server pulseaudio|pipewire --driver PENDREL-SOUND-DRIVER --sounds FOLDER
# Cases (name, what is done, what the notice says, how it is undone):
#   muted        the device muted                  "がミュートされています"
#   turned-down  the device at 20 %                "の音量が 20 % です"
#   stream-muted our stream muted                  "Pendrel の音がミュートされています"
#   other        another client plays (by pid)     "ほかのプログラムの音（OtherPlayer）"
#   bluetooth    our stream moved to a null sink that says it is a Bluetooth headset
#   hdmi         ... and to one whose profile is HDMI
# Under PulseAudio the dressed-up sinks are module-null-sink sinks with sink_properties; under
# PipeWire null-audio-sink nodes made with pw-cli, read back through pipewire-pulse. Exit 77
# (skipped) only when no sound server can be started.
set -u

driver= sounds= server=pulseaudio
while [ $# -gt 0 ]; do
    case "$1" in
        --server) server=$2; shift 2 ;;
        --driver) driver=$2; shift 2 ;;
        --sounds) sounds=$2; shift 2 ;;
        *) echo "unknown argument $1" >&2; exit 2 ;;
    esac
done
if [ -z "$driver" ] || [ -z "$sounds" ]; then
    echo "usage: $0 [--server pulseaudio|pipewire] --driver D --sounds DIR" >&2
    exit 2
fi

here=$(cd "$(dirname "$0")" && pwd)
. "$here/sound-server.sh"
begin_sound_run watch
other_pid=
trap 'kill "${other_pid:-}" 2>/dev/null; end_sound_run' EXIT
start_server "$server"
out="$work/driver.out"

# The sinks dressed up as devices; the stream is moved onto them.
if [ "$server" = pulseaudio ]; then
    pactl load-module module-null-sink sink_name=bt_sink rate=48000 \
        "sink_properties='device.api=bluez5 device.bus=bluetooth device.form_factor=headset device.description=Headset'" >/dev/null
    pactl load-module module-null-sink sink_name=hdmi_sink rate=48000 \
        "sink_properties='device.bus=pci device.profile.name=hdmi-stereo device.description=Monitor'" >/dev/null
else
    for props in "node.name=bt_sink node.description=Headset device.api=bluez5 device.bus=bluetooth device.form_factor=headset" \
                 "node.name=hdmi_sink node.description=Monitor device.bus=pci device.profile.name=hdmi-stereo"; do
        pw-cli create-node adapter "{ factory.name=support.null-audio-sink media.class=Audio/Sink
            audio.position=[ FL FR ] audio.rate=48000 node.driver=true object.linger=true $props }" >/dev/null
    done
fi
# Our stream starts on the plain test sink.
pactl set-default-sink "${pw_sink:-pendrel_test}"

# A long silent WAV (8 kHz mono, 16 bit): another program's sound that goes on.
other_wav="$work/other.wav"
bytes=$((300 * 16000))
le32() { printf "\\$(printf %03o $(($1 & 255)))\\$(printf %03o $((($1 >> 8) & 255)))\\$(printf %03o $((($1 >> 16) & 255)))\\$(printf %03o $((($1 >> 24) & 255)))"; }
{
    printf 'RIFF'; le32 $((36 + bytes)); printf 'WAVEfmt '; le32 16
    printf '\001\000\001\000'; le32 8000; le32 16000; printf '\002\000\020\000'
    printf 'data'; le32 "$bytes"
    head -c "$bytes" /dev/zero
} > "$other_wav"

start_other() {
    if [ "$server" = pulseaudio ]; then
        paplay --client-name=OtherPlayer "$other_wav" 2>"$work/other.err" &
    else
        pw-play -P '{ application.name = OtherPlayer }' "$other_wav" 2>"$work/other.err" &
    fi
    other_pid=$!
}
stop_other() {
    kill "$other_pid" 2>/dev/null
    wait "$other_pid" 2>/dev/null
    other_pid=
}

# Our stream's index as the PulseAudio protocol numbers it (the relay's, under PipeWire).
ours() {
    pactl list sink-inputs | awk '/^Sink Input #/ { n = substr($3, 2) }
        /application.name = "Pendrel"/ { print n; exit }'
}

# Moves our stream to sink $1 and waits until it plays there. PipeWire's session manager now and
# then lets a move pass (wireplumber 0.4): it is asked again, up to four times.
move_ours() {
    want=$(pactl list sinks short | awk -v name="$1" '$2 == name { print $1 }')
    for try in 1 2 3 4; do
        pactl move-sink-input "$(ours)" "$1"
        for tenth in 1 2 3 4 5 6 7 8 9 10; do
            pactl list sink-inputs short | awk -v i="$(ours)" '$1 == i { print $2 }' | grep -qx "$want" && return 0
            sleep 0.1
        done
        echo "($server: the move to $1 was let pass, try $try)"
    done
    return 1
}

"$driver" --watch --seconds 600 "$sounds" >"$out" 2>"$work/driver.err" &
transmitter_pid=$!

# Waits up to $2 tenths of a second for a line matching $1 after line $3 of the driver's output;
# prints how long it took, in seconds.
wait_for() {
    tenths=0
    while ! tail -n "+$(($3 + 1))" "$out" | grep -qF -- "$1"; do
        tenths=$((tenths + 1))
        [ "$tenths" -gt "$2" ] && return 1
        sleep 0.1
    done
    echo "$((tenths / 10)).$((tenths % 10))"
}
lines() { wc -l < "$out"; }

status=0
if ! wait_for "route: known=1" 100 0 >/dev/null; then
    echo "FAIL: the way out of our stream was never known"
    cat "$out" "$work/driver.err"; pactl list sink-inputs
    exit 1
fi
sleep 3
if grep -q '^tell:' "$out"; then
    echo "FAIL: told something with nothing wrong:"; grep '^tell:' "$out"
    status=1
fi

sink=${pw_sink:-}
[ "$server" = pulseaudio ] && sink=pendrel_test
while IFS='|' read -r name within doing said undoing; do
    [ -n "$name" ] || continue
    mark=$(lines)
    eval "$doing"
    if took=$(wait_for "$said" "$within" "$mark"); then
        told="told after $took s"
    else
        told="NOT TOLD"
        status=1
    fi
    mark=$(lines)
    eval "$undoing"
    if took=$(wait_for "tell: close" 30 "$mark"); then
        closed="closed after $took s"
    else
        closed="NOT CLOSED"
        status=1
    fi
    echo "$server $name: $told, $closed"
    sleep 1
done <<CASES
muted|20|pactl set-sink-mute $sink 1|がミュートされています|pactl set-sink-mute $sink 0
turned-down|20|pactl set-sink-volume $sink 20%|の音量が 20 % です|pactl set-sink-volume $sink 100%
stream-muted|20|pactl set-sink-input-mute "\$(ours)" 1|Pendrel の音がミュートされています|pactl set-sink-input-mute "\$(ours)" 0
other|40|start_other|ほかのプログラムの音（OtherPlayer）|stop_other
bluetooth|20|move_ours bt_sink|「Headset」は Bluetooth の機器|move_ours $sink
hdmi|20|move_ours hdmi_sink|「Monitor」は HDMI/DisplayPort の機器|move_ours $sink
CASES

sleep 3
# Only what the cases brought: each told once and closed once, nothing else.
problems=$(grep -c '^tell: problem' "$out")
closes=$(grep -c '^tell: close' "$out")
if [ "$problems" -ne 6 ] || [ "$closes" -ne 6 ] || grep -q '^tell: back' "$out"; then
    echo "FAIL: $problems notices and $closes closes for 6 cases"
    status=1
fi
if [ "$status" -ne 0 ]; then
    echo "--- driver output"; cat "$out" "$work/driver.err"
fi
exit "$status"
