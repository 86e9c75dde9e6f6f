# Shared by the scripts that run the real program on a private X server (sourced, POSIX sh).
#   stop PID                 ends one of our own processes: asks, then insists after 2 s
#   start_xvfb DIR SIZE      starts Xvfb on a free display; sets xvfb_pid and DISPLAY; on
#                            failure says why on stderr and returns 1
#   ini_file_value FILE SECTION KEY   the value of KEY in SECTION of a settings file, or nothing

stop() {
    [ -n "$1" ] || return 0
    kill "$1" 2>/dev/null || return 0
    n=0
    while kill -0 "$1" 2>/dev/null && [ $n -lt 40 ]; do sleep 0.05; n=$((n + 1)); done
    kill -9 "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
}

start_xvfb() {
    # The server picks a free display number and tells us which.
    exec 3>"$1/display"
    Xvfb -displayfd 3 -screen 0 "$2" -nolisten tcp >"$1/xvfb.log" 2>&1 &
    xvfb_pid=$!
    exec 3>&-
    tries=0
    while [ ! -s "$1/display" ]; do
        if ! kill -0 "$xvfb_pid" 2>/dev/null; then
            echo "Xvfb did not start: $(cat "$1/xvfb.log")" >&2
            return 1
        fi
        tries=$((tries + 1))
        if [ $tries -gt 100 ]; then
            echo "Xvfb reported no display" >&2
            return 1
        fi
        sleep 0.1
    done
    DISPLAY=":$(cat "$1/display")"
    export DISPLAY
}

ini_file_value() {
    [ -f "$1" ] || return 0
    tr -d '\r' <"$1" | awk -v section="[$2]" -v key="$3" '
        /^\[/ { here = ($0 == section); next }
        here && index($0, key "=") == 1 { print substr($0, length(key) + 2); exit }'
}
