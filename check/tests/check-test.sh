#!/bin/sh
# pendrel-check against the real program on a private sound server (see
# tools/testing/sound-server.sh), from a scratch program folder holding the program, its sound
# relay, the sounds, pendrel-check and a setting.ini that switches transmission on with some
# advances, in the time zone of Japan:
#   1. the sink muted: pendrel-check, stopped by SIGINT after a few seconds, exits 1, says the
#      output is muted and that it stopped early;
#   2. unmuted, two runs side by side over the same minute: one with the program's own settings
#      exits 0 with the minute decoded and matching; one given another setting.ini (--settings)
#      exits 1 saying the time differs.
#   check-test.sh --server pulseaudio|pipewire --program PENDREL --check PENDREL-CHECK --sounds FOLDER
# Exit 77 (skipped) only when no sound server can be started.
set -u

server=pulseaudio program= check= sounds=
while [ $# -gt 0 ]; do
    case "$1" in
        --server) server=$2; shift 2 ;;
        --program) program=$2; shift 2 ;;
        --check) check=$2; shift 2 ;;
        --sounds) sounds=$2; shift 2 ;;
        *) echo "unknown argument $1" >&2; exit 2 ;;
    esac
done
if [ -z "$program" ] || [ -z "$check" ] || [ -z "$sounds" ]; then
    echo "usage: $0 [--server S] --program PENDREL --check PENDREL-CHECK --sounds FOLDER" >&2
    exit 2
fi

. "$(cd "$(dirname "$0")/../../tools/testing" && pwd)/sound-server.sh"
begin_sound_run check
check_pid= other_pid=
trap 'kill $check_pid $other_pid 2>/dev/null; end_sound_run' EXIT
export PW_LONG_CYCLES=1
start_server "$server"
export TZ=Asia/Tokyo

folder="$work/program"
mkdir -p "$folder" "$work/other"
cp "$program" "$(dirname "$program")/pendrel-sound-relay" "$check" "$folder/"
cp "$sounds/200ms.wav" "$sounds/500ms.wav" "$sounds/800ms.wav" "$folder/"
printf '[Show]\r\nMessage=1\r\n[Advance]\r\nDate=2\r\nHour=-5\r\nMin=17\r\n[Transmit]\r\nState=1\r\n' \
    > "$folder/setting.ini"
printf '[Advance]\r\nDate=0\r\nHour=0\r\nMin=0\r\n' > "$work/other/setting.ini"
QT_QPA_PLATFORM=offscreen "$folder/$(basename "$program")" >"$work/transmitter.out" 2>&1 &
transmitter_pid=$!
started=$(date +%s)
sleep 3

status=0
fail() { echo "FAIL: $*"; status=1; }

# 1. Muted, and stopped early.
pactl set-sink-mute pendrel_test 1
"$folder/pendrel-check" --minutes 1 >"$work/muted.out" 2>&1 &
check_pid=$!
sleep 6
kill -INT "$check_pid"
wait "$check_pid"; muted_status=$?
check_pid=
pactl set-sink-mute pendrel_test 0
echo "--- muted, stopped early: exit $muted_status"; cat "$work/muted.out"
[ "$muted_status" -eq 1 ] || fail "pendrel-check exited $muted_status on a muted sink, not 1"
grep -q 'advice: The output is muted' "$work/muted.out" || fail "pendrel-check did not say the output is muted"
grep -q '^stopped early' "$work/muted.out" || fail "pendrel-check did not say it stopped early"

# 2. The program's own settings, and other advances, over the same minute. The program's first
# minute has no marker before its second 0 (it starts sending at it): the runs begin after it.
while [ $(( $(date +%s) - started )) -lt $(( 61 - started % 60 )) ]; do sleep 1; done
"$folder/pendrel-check" --minutes 1 >"$work/right.out" 2>&1 &
check_pid=$!
"$folder/pendrel-check" --minutes 1 --settings "$work/other/setting.ini" >"$work/other.out" 2>&1 &
other_pid=$!
wait "$check_pid"; right_status=$?
wait "$other_pid"; other_status=$?
check_pid= other_pid=
echo "--- the program's settings: exit $right_status"; cat "$work/right.out"
echo "--- other advances: exit $other_status"; cat "$work/other.out"
[ "$right_status" -eq 0 ] || fail "pendrel-check exited $right_status on the right signal, not 0"
grep -q '^1 of 1 minutes decoded, 1 match' "$work/right.out" || fail "the minute was not decoded and matched"
[ "$other_status" -eq 1 ] || fail "pendrel-check exited $other_status with other advances, not 1"
grep -q 'advice: The time sent differs' "$work/other.out" || fail "pendrel-check did not say the time differs"

[ "$status" -ne 0 ] && { echo "--- transmitter output"; cat "$work/transmitter.out"; }
exit "$status"
