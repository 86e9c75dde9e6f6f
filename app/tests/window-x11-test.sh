#!/bin/sh
# The real window on a private X server, driven with real X events. A first start in a scratch
# program folder: the first-run message is answered, the advance buttons, the transmit switch
# and the help button are clicked with the mouse, and then the settings file, the pixels of the
# four read-outs, the weekday rows and the transmitting indicator are checked. With no sound
# server the messages that say so appear beside the window, and are closed.
#
# The program's clock is set back by libfaketime so that it starts at 23:59:45 on 28 February
# 2024 and then runs at the normal rate: the read-outs are checked before midnight, the switch
# is turned on so that the first minute starts at midnight, and the read-outs are checked again
# on the leap day. Qt's timers keep the real monotonic clock.
#
#   app/tests/window-x11-test.sh PROGRAM_FOLDER CLOSE_TOOL
# PROGRAM_FOLDER holds pendrel, the three sound files and Pendrel.htm (it is only read);
# CLOSE_TOOL is pendrel-x11-close, which closes a window the way a window manager does.
# Exit status: 0 passed, 1 failed, 77 skipped (no Xvfb or xdotool).
set -eu

usage="usage: window-x11-test.sh PROGRAM_FOLDER CLOSE_TOOL"
source_folder=${1:?$usage}
close_tool=${2:?$usage}
pictures=$(cd "$(dirname "$0")/../pictures" && pwd)

for tool in Xvfb xdotool; do
    command -v "$tool" >/dev/null 2>&1 || { echo "x11 window check: skipped, no $tool"; exit 77; }
done
for tool in xprop import convert; do
    command -v "$tool" >/dev/null 2>&1 || { echo "x11 window check: FAILED: $tool is missing" >&2; exit 1; }
done
faketime_lib=
for f in /usr/lib/*/faketime/libfaketimeMT.so.1 /usr/lib/*/faketime/libfaketime.so.1 \
         /usr/lib/faketime/libfaketime.so.1; do
    [ -e "$f" ] && { faketime_lib=$f; break; }
done
[ -n "$faketime_lib" ] || { echo "x11 window check: FAILED: libfaketime is missing" >&2; exit 1; }
[ -x "$close_tool" ] || { echo "x11 window check: FAILED: no close tool at $close_tool" >&2; exit 1; }
for f in pendrel 200ms.wav 500ms.wav 800ms.wav Pendrel.htm; do
    [ -e "$source_folder/$f" ] || { echo "x11 window check: FAILED: no $f in $source_folder" >&2; exit 1; }
done

scratch=$(mktemp -d)
program=$scratch/program
ini=$program/setting.ini
xvfb_pid=
app_pid=
failed=0
. "$(cd "$(dirname "$0")/../.." && pwd)/scripts/x11-helpers.sh"
cleanup() {
    stop "$app_pid"
    stop "$xvfb_pid"
    if [ "$failed" = 1 ]; then
        echo "--- program output ---" >&2
        cat "$scratch/app.log" >&2 2>/dev/null || true
        echo "--- screenshots and files kept in $scratch ---" >&2
    else
        rm -rf "$scratch"
    fi
}
trap cleanup EXIT
trap 'failed=1; exit 1' INT TERM

fail() {
    failed=1
    echo "x11 window check: FAILED: $*" >&2
    exit 1
}

# --- Time -------------------------------------------------------------------------------------
# The program's clock is the real clock plus a whole number of seconds, so the test knows the
# program's time to the millisecond: all timing below is in milliseconds before that midnight
# (negative after it).
midnight=1709164800                     # 2024-02-29 00:00:00 UTC
offset=$(( midnight - 15 - $(date +%s) ))
case $offset in -*) faketime_offset=$offset ;; *) faketime_offset=+$offset ;; esac
midnight_real_ms=$(( (midnight - offset) * 1000 ))
now_ms() { date +%s%3N; }
to_midnight() { echo $(( midnight_real_ms - $(now_ms) )); }
program_time() { TZ=UTC0 date -d "@$(( $(date +%s) + offset ))" '+%F %T'; }
# The second of the minute at a given distance from midnight.
second_at() { echo $(( ((0 - ($1)) % 60000 + 60000) % 60000 / 1000 )); }

# --- X server and program folder -------------------------------------------------------------
start_xvfb "$scratch" 800x600x24 || fail "no X server"
unset XAUTHORITY

mkdir -p "$program" "$scratch/home" "$scratch/run" "$scratch/bin"
chmod 700 "$scratch/run"
for f in pendrel 200ms.wav 500ms.wav 800ms.wav Pendrel.htm; do cp "$source_folder/$f" "$program/"; done
# The browser: records what it was asked to open.
cat >"$scratch/bin/xdg-open" <<EOF
#!/bin/sh
printf '%s\n' "\$*" >>"$scratch/opened"
EOF
chmod +x "$scratch/bin/xdg-open"

# Digit pictures by signature of their pixels, each line "signature digit".
convert "$pictures"/digit_small_[0-9].bmp "$pictures"/digit_large_[0-9].bmp -alpha off \
        -format '%#\n' info: | awk '{ print $1, (NR - 1) % 10 }' >"$scratch/digits"
[ "$(sort -u "$scratch/digits" | wc -l)" = 20 ] || fail "could not read the digit pictures in $pictures"

# No sound server (the program carries on without sound), no desktop session, no session bus.
env -u XDG_CURRENT_DESKTOP -u DESKTOP_SESSION -u KDE_FULL_SESSION -u GNOME_DESKTOP_SESSION_ID \
    -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM -u QT_SCALE_FACTOR -u QT_QPA_PLATFORMTHEME \
    HOME="$scratch/home" XDG_RUNTIME_DIR="$scratch/run" PATH="$scratch/bin:$PATH" \
    PULSE_SERVER=unix:/nonexistent DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent TZ=UTC0 \
    LD_PRELOAD="$faketime_lib" FAKETIME="$faketime_offset" FAKETIME_DONT_FAKE_MONOTONIC=1 \
    "$program/pendrel" >"$scratch/app.log" 2>&1 &
app_pid=$!
started_ms=$(now_ms)

# --- Reading the window -----------------------------------------------------------------------
# Pixel positions in the client area: the panel's interior starts at (10, 18).
date_x="114 122 130 138 154 162 178 186"
time_x="202 213 234 245 266 277"
pc_y=26
tx_y=82
weekday_x="123 147 171 195 219 243 267"   # each label's left edge + 1, 22 px of its 25
pc_weekday_y=50
tx_weekday_y=106

shot() { import -window "$main" "$scratch/$1.png" || fail "could not photograph the window"; }

# Prints the read-outs of a screenshot as "PCDATE PCTIME TXDATE TXTIME", e.g.
# "20240228 235953 20240229 235953", with ? for a slot that shows no digit picture.
read_digits() {
    set -- "$scratch/$1.png"
    for y in $pc_y $tx_y; do
        for x in $date_x; do set -- "$@" '(' -clone 0 -crop "8x13+$x+$y" +repage ')'; done
    done
    for y in $pc_y $tx_y; do
        for x in $time_x; do set -- "$@" '(' -clone 0 -crop "11x18+$x+$y" +repage ')'; done
    done
    convert "$@" -delete 0 -alpha off -format '%#\n' info: |
        awk -v table="$scratch/digits" '
            BEGIN { while ((getline line < table) > 0) { split(line, f, " "); digit[f[1]] = f[2] } }
            { d = ($1 in digit) ? digit[$1] : "?"
              if (NR <= 8) pcd = pcd d; else if (NR <= 16) txd = txd d
              else if (NR <= 22) pct = pct d; else txt = txt d }
            END { print pcd, pct, txd, txt }'
}

# Prints the highlighted weekday of each row as "PC TX" (element 0 = Sunday), - for none and
# + for more than one. The highlight is light blue; the other weekdays are navy or dark red.
read_weekdays() {
    set -- "$scratch/$1.png"
    for y in $pc_weekday_y $tx_weekday_y; do
        for x in $weekday_x; do set -- "$@" '(' -clone 0 -crop "22x17+$x+$y" +repage ')'; done
    done
    convert "$@" -delete 0 -alpha off -format '%[fx:round(maxima.r*255)]\n' info: |
        awk '{ row = NR <= 7 ? 1 : 2
               if ($1 >= 160) { lit[row]++; found[row] = (NR - 1) % 7 } }
             function show(row) { return lit[row] == 0 ? "-" : lit[row] > 1 ? "+" : found[row] }
             END { print show(1), show(2) }'
}

day_name() {
    case $1 in
        0) echo Sun ;; 1) echo Mon ;; 2) echo Tue ;; 3) echo Wed ;; 4) echo Thu ;; 5) echo Fri ;;
        6) echo Sat ;; *) echo "weekday $1" ;;
    esac
}

# The transmitting indicator's colour: bright (red 255), dark (red 128) or other.
indicator() {
    { import -window "$main" miff:- 2>/dev/null || true; } |
        convert - -crop 49x17+37+106 +repage -alpha off \
                -format '%[fx:round(maxima.r*255)] %[fx:round(maxima.g*255)] %[fx:round(maxima.b*255)]\n' \
                info: 2>/dev/null |
        awk '{ if ($2 > 40 || $3 > 40) print "other"
               else if ($1 >= 230) print "bright"
               else if ($1 >= 100 && $1 <= 150) print "dark"
               else print "other" }
             END { if (NR == 0) print "unreadable" }'
}

# Samples the indicator for MS milliseconds, about every 200 ms; prints the colours seen.
sample_indicator() {
    seen=
    until_ms=$(( $(now_ms) + $1 ))
    while [ "$(now_ms)" -lt $until_ms ]; do
        seen="$seen $(indicator)"
        sleep 0.1
    done
    echo "$seen"
}

# Waits up to 2 s for the indicator to show COLOUR.
expect_indicator() {
    deadline=$(( $(now_ms) + 2000 ))
    while [ "$(indicator)" != "$1" ]; do
        [ "$(now_ms)" -lt $deadline ] || fail "$2: the indicator did not turn $1"
    done
}

ini_value() { ini_file_value "$ini" "$1" "$2"; }

# Waits up to 5 s for SECTION/KEY to hold VALUE.
expect_ini() {
    deadline=$(( $(now_ms) + 5000 ))
    while [ "$(ini_value "$1" "$2")" != "$3" ]; do
        [ "$(now_ms)" -lt $deadline ] ||
            fail "$4: expected [$1] $2=$3 in setting.ini, found '$(ini_value "$1" "$2")'"
        sleep 0.05
    done
}

# Clicks the middle of the button at LEFT, TOP that is WIDTH wide (all are 17 px high).
#   click LEFT TOP WIDTH
click() {
    xdotool mousemove --window "$main" $(( $1 + $3 / 2 )) $(( $2 + 8 )) click 1 ||
        fail "xdotool could not click at ($1, $2)"
}

# Photographs the window until its read-outs show the expected date, hour and minute and
# weekdays (the display refreshes every 200 ms), checking that the program's clock stayed on the
# right side of midnight meanwhile. The seconds move: they are checked against the clock loosely.
#   expect_readouts WHAT before|after PCDATE PCHHMM TXDATE TXHHMM PCWEEKDAY TXWEEKDAY
expect_readouts() {
    what=$1 side=$2
    expected_pc_date=$3 expected_pc_hm=$4 expected_tx_date=$5 expected_tx_hm=$6
    expected_pc_wd=$7 expected_tx_wd=$8
    deadline=$(( $(now_ms) + 2500 ))
    while :; do
        t0=$(to_midnight)
        shot readout
        t1=$(to_midnight)
        if [ "$side" = before ]; then
            [ "$t1" -ge 400 ] && [ "$t0" -le 59600 ] ||
                fail "$what: the program's clock was not in the minute before midnight (now $(program_time)); the machine is too slow for this check"
        else
            [ "$t1" -le -400 ] && [ "$t0" -ge -59600 ] ||
                fail "$what: the program's clock was not in the minute after midnight (now $(program_time))"
        fi
        digits=$(read_digits readout)
        weekdays=$(read_weekdays readout)
        set -- $digits $weekdays
        pc_date=$1 pc_time=$2 tx_date=$3 tx_time=$4 pc_wd=$5 tx_wd=$6
        if [ "$pc_date" = "$expected_pc_date" ] && [ "$tx_date" = "$expected_tx_date" ] &&
           [ "${pc_time%??}" = "$expected_pc_hm" ] && [ "${tx_time%??}" = "$expected_tx_hm" ] &&
           [ "$pc_wd $tx_wd" = "$expected_pc_wd $expected_tx_wd" ]; then
            break
        fi
        [ "$(now_ms)" -lt $deadline ] ||
            fail "$what: read-outs show PC $pc_date $pc_time (weekday $pc_wd), transmitted $tx_date $tx_time (weekday $tx_wd); expected PC $expected_pc_date $expected_pc_hm.. ($expected_pc_wd), transmitted $expected_tx_date $expected_tx_hm.. ($expected_tx_wd)"
        sleep 0.1
    done
    earliest=$(( $(second_at "$t0") - 1 )) latest=$(( $(second_at "$t1") + 1 ))
    for s in "${pc_time#????}" "${tx_time#????}"; do
        s=${s#0}
        [ "$s" -ge $earliest ] && [ "$s" -le $latest ] ||
            fail "$what: the read-outs show second $s, the clock was between $((earliest + 1)) and $((latest - 1))"
    done
    echo "  $what: PC $pc_date $pc_time $(day_name "$pc_wd"), transmitted $tx_date $tx_time $(day_name "$tx_wd")"
}

visible_windows() { xdotool search --onlyvisible --classname '^pendrel$' 2>/dev/null || true; }

echo "x11 window check on display $DISPLAY; the program's clock started at 2024-02-28 23:59:45 UTC"

# --- First start: the window, then the first-run message ------------------------------------
main=$(timeout 20 xdotool search --sync --onlyvisible --name '^電波時計用ペンドレル$' | head -n 1) || true
[ -n "$main" ] || fail "the main window did not appear within 20 s"
eval "$(xdotool getwindowgeometry --shell "$main")"
[ "${WIDTH}x${HEIGHT}" = 313x153 ] || fail "the window is ${WIDTH}x${HEIGHT}, expected 313x153"

box=
deadline=$(( $(now_ms) + 10000 ))
while [ -z "$box" ]; do
    for w in $(visible_windows); do [ "$w" != "$main" ] && box=$w; done
    [ -n "$box" ] && break
    [ "$(now_ms)" -lt $deadline ] || fail "no first-run message appeared"
    sleep 0.05
done
startup_ms=$(( $(now_ms) - started_ms ))
box_title=$(xprop -id "$box" _NET_WM_NAME | sed -n 's/^_NET_WM_NAME(UTF8_STRING) = "\(.*\)"$/\1/p')
[ "$box_title" = Pendrel ] || fail "the first-run message is titled '$box_title', expected 'Pendrel'"
xprop -id "$box" WM_TRANSIENT_FOR | grep -q "window id # $(printf '0x%x' "$main")\$" ||
    fail "the first-run message does not belong to the main window"
xprop -id "$box" _NET_WM_STATE | grep -q _NET_WM_STATE_MODAL || fail "the first-run message is not modal"
[ -z "$(ini_value Show Message)" ] || fail "the first-run mark was written before the message was answered"

xdotool windowfocus --sync "$box" key Return || fail "could not answer the first-run message"
expect_ini Show Message 1 "answering the first-run message"
deadline=$(( $(now_ms) + 5000 ))
while [ "$(visible_windows)" != "$main" ]; do
    [ "$(now_ms)" -lt $deadline ] || fail "the first-run message stayed open"
    sleep 0.05
done
echo "  first start: window 313x153 and the first-run message 'Pendrel' after ${startup_ms} ms; answered, Message=1"

# --- Advances ---------------------------------------------------------------------------------
# Buttons: Command1 (days) at 144 and 160, Command2 (hours) at 192 and 208, Command3 (minutes)
# at 232 and 248, all at top 128; plus on the left.
click 144 128 17; expect_ini Advance Date 1 "day plus"
expect_readouts "day +1" before 20240228 2359 20240229 2359 3 4

click 160 128 17; expect_ini Advance Date 0 "day minus"
click 144 128 17; expect_ini Advance Date 1 "day plus"
click 192 128 17; expect_ini Advance Hour 1 "hour plus"
click 192 128 17; expect_ini Advance Hour 2 "hour plus"
click 208 128 17; expect_ini Advance Hour 1 "hour minus"
click 248 128 17; expect_ini Advance Min -1 "minute minus"
click 232 128 17; expect_ini Advance Min 0 "minute plus"
expect_readouts "Date=1 Hour=1 Min=0" before 20240228 2359 20240301 0059 3 5

# --- Transmit on: the indicator flashes until the minute starts at midnight ------------------
# It is watched from the click until just before midnight: it must toggle about once a second
# (no colour held for much longer than a second), and from midnight on stay red.
[ "$(to_midnight)" -ge 3200 ] ||
    fail "too slow: switching on at $(program_time) leaves no time to watch the indicator flash before midnight"
click 48 129 27; expect_ini Transmit State 1 "switching on"
watched=$(
    while t=$(to_midnight); [ "$t" -gt 300 ]; do
        echo "$t $(indicator)"
        sleep 0.1
    done | awk '
        $2 != "bright" && $2 != "dark" { odd = odd " " $2 }
        $2 != colour { if (NR > 1) { changes++; if (start - $1 > longest) longest = start - $1 }
                       start = $1; colour = $2 }
        { last = $1; seen = seen substr($2, 1, 1) }
        END { if (start - last > longest) longest = start - last
              print changes + 0, longest + 0, seen, (odd == "" ? "" : "(" odd " )") }')
set -- $watched
[ $# = 3 ] || fail "while waiting the indicator showed other colours: $*"
[ "$1" -ge 2 ] && [ "$2" -le 1600 ] ||
    fail "while waiting the indicator did not flash once a second: $1 changes, one colour held for up to $2 ms ($3; b = red, d = dark red)"
echo "  switched on: State=1, the indicator flashed until midnight: $3 (b = red, d = dark red)"

while [ "$(to_midnight)" -gt -500 ]; do sleep 0.1; done
steady=$(sample_indicator 1200)
[ "$(echo $steady | tr ' ' '\n' | sort -u)" = bright ] ||
    fail "after the minute start at midnight the indicator was not steadily red:$steady"
echo "  minute start at midnight: the indicator is steadily red:$steady"
expect_readouts "transmitting after midnight" after 20240229 0000 20240301 0100 4 5

# --- Transmit off -----------------------------------------------------------------------------
click 76 129 27; expect_ini Transmit State 0 "switching off"
expect_indicator dark "switching off"
steady=$(sample_indicator 1500)
[ "$(echo $steady | tr ' ' '\n' | sort -u)" = dark ] ||
    fail "after switching off the indicator was not steadily dark red:$steady"
echo "  switched off: State=0, the indicator is steadily dark red:$steady"

# --- Messages while transmitting -----------------------------------------------------------------
# There is no sound server, so switching on told the user that the signal cannot go out (and,
# on a PC clock nothing synchronises, that too). The boxes sit beside the window, not over it,
# which the indicator's readings above rely on; they are closed here like any window.
eval "$(xdotool getwindowgeometry --shell "$main" | sed 's/^/MAIN_/')"
messages=0
for w in $(visible_windows); do
    [ "$w" = "$main" ] && continue
    messages=$((messages + 1))
    eval "$(xdotool getwindowgeometry --shell "$w")"
    if [ $X -lt $((MAIN_X + MAIN_WIDTH)) ] && [ $((X + WIDTH)) -gt $MAIN_X ] &&
       [ $Y -lt $((MAIN_Y + MAIN_HEIGHT)) ] && [ $((Y + HEIGHT)) -gt $MAIN_Y ]; then
        fail "a message at ${X},${Y} ${WIDTH}x${HEIGHT} covers the window"
    fi
    "$close_tool" "$w" || fail "could not close a message"
done
[ $messages -ge 1 ] || fail "no message told that the signal cannot go out without a sound server"
deadline=$(( $(now_ms) + 3000 ))
while [ "$(visible_windows)" != "$main" ]; do
    [ "$(now_ms)" -lt $deadline ] || fail "a closed message stayed open"
    sleep 0.05
done
echo "  messages while transmitting: $messages, beside the window; closed"

# --- Help ---------------------------------------------------------------------------------------
click 280 128 17
deadline=$(( $(now_ms) + 5000 ))
while [ ! -s "$scratch/opened" ]; do
    [ "$(now_ms)" -lt $deadline ] || fail "the help button opened nothing"
    sleep 0.05
done
opened=$(cat "$scratch/opened")
[ "$opened" = "file://$program/Pendrel.htm" ] ||
    fail "the help button opened '$opened', expected file://$program/Pendrel.htm"
echo "  help: the browser was asked to open $opened"

[ "$(visible_windows)" = "$main" ] || fail "another window is open besides the main window"
[ "$(ini_value Show Message) $(ini_value Advance Date) $(ini_value Advance Hour) $(ini_value Advance Min) $(ini_value Transmit State)" = "1 1 1 0 0" ] ||
    fail "unexpected settings file: $(tr -d '\r' <"$ini" | tr '\n' ' ')"

# --- Closing ----------------------------------------------------------------------------------
cp "$ini" "$scratch/before-close.ini"
close_ms=$(now_ms)
"$close_tool" "$main" || fail "could not ask the window to close"
while kill -0 "$app_pid" 2>/dev/null; do
    [ $(( $(now_ms) - close_ms )) -lt 2000 ] || fail "the program was still running 2 s after its window was closed"
    sleep 0.02
done
status=0
wait "$app_pid" || status=$?
app_pid=
close_ms=$(( $(now_ms) - close_ms ))
[ "$status" = 0 ] || fail "the program ended with status $status after its window was closed"
cmp -s "$ini" "$scratch/before-close.ini" || fail "closing the window changed setting.ini"
echo "  closed: the program ended after ${close_ms} ms with status 0, setting.ini unchanged"
echo "x11 window check: passed in $(( ($(now_ms) - started_ms) / 1000 )) s"
