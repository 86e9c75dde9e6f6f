#!/bin/sh
# Takes a picture of the program's window: starts a private X server (Xvfb), runs the real
# program in a scratch program folder (so the first-run message stays away and no settings file
# of yours is touched), waits for the window and writes its client area as PNG.
#   scripts/screenshot.sh OUT.png [PROGRAM]     PROGRAM defaults to build/pendrel
set -eu

out=${1:?usage: scripts/screenshot.sh OUT.png [PROGRAM]}
here=$(cd "$(dirname "$0")/.." && pwd)
program=${2:-$here/build/pendrel}
[ -x "$program" ] || { echo "screenshot: no program at $program (build it first)" >&2; exit 1; }

. "$here/scripts/x11-helpers.sh"
scratch=$(mktemp -d)
xvfb_pid=
app_pid=
cleanup() {
    [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null || true
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
    rm -rf "$scratch"
}
trap cleanup EXIT INT TERM

# The program folder: a copy of the program with a settings file that has seen the first run,
# plus whatever data files lie beside the program being photographed.
cp "$program" "$scratch/pendrel"
for f in "$(dirname "$program")"/*.wav; do [ -e "$f" ] && cp "$f" "$scratch/"; done
printf '[Show]\r\nMessage=1\r\n' > "$scratch/setting.ini"

start_xvfb "$scratch" 640x480x24 || { echo "screenshot: no X server" >&2; exit 1; }
unset QT_QPA_PLATFORM QT_SCALE_FACTOR

HOME="$scratch" XDG_RUNTIME_DIR="$scratch" "$scratch/pendrel" >"$scratch/app.log" 2>&1 &
app_pid=$!
window=$(xdotool search --sync --onlyvisible --name 'ペンドレル' | head -n 1)
# Give the window time to paint (and the clock its first tick).
sleep 1
import -window "$window" "$out"
echo "screenshot: wrote $out ($(identify -format '%wx%h' "$out"))"
