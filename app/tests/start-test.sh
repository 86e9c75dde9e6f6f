#!/bin/sh
# How the real program starts where it cannot or must not run.
#
#   app/tests/start-test.sh display PROGRAM_FOLDER
#     An X display that cannot be reached (a display number nobody serves, a host that does not
#     exist): one line on stderr naming the display, exit status 1, no core file. A platform
#     Qt cannot start: its reason and a line naming the platform, status 1, no core file.
#   app/tests/start-test.sh second-copy PROGRAM_FOLDER
#     On a private X server: a second start in the folder of a running copy ends at once,
#     says the running window was brought to the front, and leaves the settings file as it
#     was; a copy in another folder runs beside it.
# PROGRAM_FOLDER holds pendrel and the three sound files (it is only read).
# Exit status: 0 passed, 1 failed, 77 skipped (no Xvfb or xdotool).
set -eu

usage="usage: start-test.sh display|second-copy PROGRAM_FOLDER"
mode=${1:?$usage}
source_folder=${2:?$usage}
name="start check ($mode)"

scratch=$(mktemp -d)
xvfb_pid=
pids=
failed=0
. "$(cd "$(dirname "$0")/../.." && pwd)/scripts/x11-helpers.sh"
cleanup() {
    for p in $pids; do stop "$p"; done
    stop "$xvfb_pid"
    if [ "$failed" = 1 ]; then
        for f in "$scratch"/*.log; do
            [ -e "$f" ] && { echo "--- $f ---" >&2; cat "$f" >&2; }
        done
    fi
    rm -rf "$scratch"
}
trap cleanup EXIT
trap 'failed=1; exit 1' INT TERM
fail() {
    failed=1
    echo "$name: FAILED: $*" >&2
    exit 1
}

# A program folder of its own: the program finds its files and settings beside itself.
make_folder() {
    mkdir -p "$1"
    for f in pendrel 200ms.wav 500ms.wav 800ms.wav; do cp "$source_folder/$f" "$1/"; done
    printf '[Show]\nMessage=1\n[Transmit]\nState=0\n' >"$1/setting.ini"
}

# Runs the program with no sound server, no desktop session and no session bus.
run() {
    env -u XDG_CURRENT_DESKTOP -u DESKTOP_SESSION -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM \
        -u QT_SCALE_FACTOR -u QT_QPA_PLATFORMTHEME -u XDG_SESSION_TYPE \
        HOME="$scratch/home" XDG_RUNTIME_DIR="$scratch/run" TMPDIR="$scratch/tmp" \
        PULSE_SERVER=unix:/nonexistent PIPEWIRE_REMOTE=/nonexistent \
        DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent "$@"
}
# The same in the background, as the program's own process, so $! is the program's pid.
spawn() {
    log=$1
    shift
    ( exec env -u XDG_CURRENT_DESKTOP -u DESKTOP_SESSION -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM \
        -u QT_SCALE_FACTOR -u QT_QPA_PLATFORMTHEME -u XDG_SESSION_TYPE \
        HOME="$scratch/home" XDG_RUNTIME_DIR="$scratch/run" TMPDIR="$scratch/tmp" \
        PULSE_SERVER=unix:/nonexistent PIPEWIRE_REMOTE=/nonexistent \
        DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent "$@" >"$log" 2>&1 ) &
}
mkdir -p "$scratch/home" "$scratch/run" "$scratch/tmp"
chmod 700 "$scratch/run"

case $mode in
display)
    make_folder "$scratch/a"
    for display in :199 no-such-host.invalid:0; do
        status=0
        ( cd "$scratch/a" && ulimit -c unlimited 2>/dev/null; \
          run DISPLAY="$display" timeout 30 ./pendrel ) >"$scratch/out.log" 2>"$scratch/err.log" \
            || status=$?
        [ "$status" = 1 ] || fail "DISPLAY=$display: exit status $status, not 1"
        expected="pendrel: cannot open the display \"$display\""
        [ "$(cat "$scratch/err.log")" = "$expected" ] ||
            fail "DISPLAY=$display: stderr is not the one line: $expected"
        [ ! -s "$scratch/out.log" ] || fail "DISPLAY=$display: wrote to stdout"
        ls "$scratch/a" | grep -q '^core' && fail "DISPLAY=$display: left a core file"
        cmp -s "$scratch/a/setting.ini" - <<INI || fail "DISPLAY=$display: settings changed"
[Show]
Message=1
[Transmit]
State=0
INI
    done
    # A window system Qt cannot start at all: Qt's reason, then one line of ours; no abort.
    status=0
    ( cd "$scratch/a" && ulimit -c unlimited 2>/dev/null; \
      run DISPLAY=:199 timeout 30 ./pendrel -platform no-such-platform ) \
        >"$scratch/out.log" 2>"$scratch/err.log" || status=$?
    [ "$status" = 1 ] || fail "-platform no-such-platform: exit status $status, not 1"
    [ "$(tail -n 1 "$scratch/err.log")" = \
      'pendrel: the window system could not be started (Qt platform "no-such-platform")' ] ||
        fail "-platform no-such-platform: the last line of stderr is $(tail -n 1 "$scratch/err.log")"
    ls "$scratch/a" | grep -q '^core' && fail "-platform no-such-platform: left a core file"
    echo "$name: passed"
    ;;
second-copy)
    for tool in Xvfb xdotool; do
        command -v "$tool" >/dev/null 2>&1 || { echo "$name: skipped, no $tool"; exit 77; }
    done
    start_xvfb "$scratch" 800x600x24 || fail "no X server"
    unset XAUTHORITY
    windows() { xdotool search --onlyvisible --name '電波時計用ペンドレル' 2>/dev/null | wc -l; }
    wait_windows() {
        n=0
        while [ "$(windows)" -lt "$1" ]; do
            n=$((n + 1)); [ $n -le 100 ] || fail "$2"
            sleep 0.1
        done
    }

    make_folder "$scratch/a"
    spawn "$scratch/first.log" "$scratch/a/pendrel"
    first=$!
    pids="$first"
    wait_windows 1 "the first copy showed no window"
    # Changing the switch from the running copy: what the second start must leave alone.
    printf '[Show]\nMessage=1\n[Advance]\nHour=2\n[Transmit]\nState=0\n' >"$scratch/a/setting.ini"
    cp "$scratch/a/setting.ini" "$scratch/settings-before"
    touch -d '2020-01-01 00:00' "$scratch/a/setting.ini"

    status=0
    run timeout 20 "$scratch/a/pendrel" >"$scratch/second.log" 2>&1 || status=$?
    [ "$status" = 0 ] || fail "second copy: exit status $status"
    grep -q 'already running from .*its window was brought to the front' "$scratch/second.log" ||
        fail "second copy did not reach the running one: $(cat "$scratch/second.log")"
    kill -0 "$first" 2>/dev/null || fail "the first copy ended"
    cmp -s "$scratch/a/setting.ini" "$scratch/settings-before" || fail "settings file changed"
    [ "$(stat -c %Y "$scratch/a/setting.ini")" = "$(date -d '2020-01-01 00:00' +%s)" ] ||
        fail "settings file was written"
    [ "$(windows)" = 1 ] || fail "$(windows) windows after the second start"

    # Another folder is another program.
    make_folder "$scratch/b"
    spawn "$scratch/other.log" "$scratch/b/pendrel"
    other=$!
    pids="$pids $other"
    wait_windows 2 "the copy in another folder showed no window"
    sleep 1
    kill -0 "$other" 2>/dev/null || fail "the copy in another folder ended"
    kill -0 "$first" 2>/dev/null || fail "the first copy ended"

    # A copy that was killed leaves its lock behind; the next start in its folder runs.
    kill -9 "$first"
    wait "$first" 2>/dev/null || true
    spawn "$scratch/after-kill.log" "$scratch/a/pendrel"
    again=$!
    pids="$pids $again"
    wait_windows 2 "no window in the folder of a killed copy"
    sleep 1
    kill -0 "$again" 2>/dev/null || fail "a start after a killed copy ended: $(cat "$scratch/after-kill.log")"
    echo "$name: passed"
    ;;
*)
    echo "$usage" >&2
    exit 2
    ;;
esac
