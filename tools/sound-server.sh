# Shared by the sound test scripts (sourced, POSIX sh): a private PulseAudio server with a null
# sink, in its own runtime and home folders under $work, started and stopped by its pid.
#   start_sound_server   -> sets PULSE_SERVER and server_pid; exit 77 when no server can run
#   stop_sound_server
# Requires $work (an empty scratch folder).

start_sound_server() {
    export XDG_RUNTIME_DIR="$work/run" HOME="$work/home"
    mkdir -p "$XDG_RUNTIME_DIR" "$HOME"
    chmod 700 "$XDG_RUNTIME_DIR"
    export PULSE_SERVER="unix:$XDG_RUNTIME_DIR/native"
    if ! command -v pulseaudio >/dev/null 2>&1; then
        echo "SKIP: pulseaudio is not installed"
        exit 77
    fi
    # norewinds: what has been rendered stays rendered, so the recorded timeline is the one
    # the clients were scheduled on.
    if ! pulseaudio -D -n --exit-idle-time=-1 --use-pid-file=yes --disable-shm=no \
            --log-target="file:$work/pulseaudio.log" \
            --load="module-null-sink sink_name=pendrel_test rate=48000 channels=2 format=float32le norewinds=1" \
            --load="module-native-protocol-unix socket=$XDG_RUNTIME_DIR/native auth-anonymous=1"; then
        echo "SKIP: pulseaudio cannot be started here (see $work/pulseaudio.log)"
        cat "$work/pulseaudio.log" 2>/dev/null
        exit 77
    fi
    server_pid=$(cat "$XDG_RUNTIME_DIR/pulse/pid" 2>/dev/null)
    tries=0
    while ! pactl info >/dev/null 2>&1; do
        tries=$((tries + 1))
        if [ "$tries" -gt 50 ]; then
            echo "SKIP: pulseaudio started but does not answer"
            exit 77
        fi
        sleep 0.1
    done
}

stop_sound_server() {
    if [ -n "${server_pid:-}" ]; then
        kill "$server_pid" 2>/dev/null
        tries=0
        while kill -0 "$server_pid" 2>/dev/null && [ "$tries" -lt 50 ]; do
            tries=$((tries + 1))
            sleep 0.1
        done
        server_pid=
    fi
}

# Sets faketime_lib to the path of libfaketime (package faketime), which the scripts preload
# themselves: the faketime command forks and would not pass a kill on to the program.
find_faketime() {
    faketime_lib=
    for f in /usr/lib/*/faketime/libfaketime.so.1 /usr/lib/faketime/libfaketime.so.1; do
        [ -e "$f" ] && faketime_lib=$f && return 0
    done
    echo "FAIL: libfaketime is not installed (package faketime)" >&2
    exit 1
}

# Ends what a sound script started: the transmitter, the recorder and the server, by their
# pids, then removes the script's work folder (kept, and named, when PENDREL_KEEP is set).
end_sound_run() {
    [ -n "${transmitter_pid:-}" ] && kill "$transmitter_pid" 2>/dev/null
    [ -n "${recorder_pid:-}" ] && kill "$recorder_pid" 2>/dev/null
    wait 2>/dev/null
    stop_sound_server
    [ -n "${PENDREL_KEEP:-}" ] && { echo "kept $work"; return; }
    rm -rf "$work"
}
