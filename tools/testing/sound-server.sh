# Shared by the sound test scripts (sourced, POSIX sh): a private sound server with a null
# sink, in its own runtime and home folders under $work, started and stopped by pid.
#   start_sound_server      PulseAudio -> sets PULSE_SERVER and server_pid
#   stop_sound_server
#   start_pipewire_server   PipeWire (pipewire, wireplumber, pipewire-pulse on a session bus of
#                           its own; the null sink drives the graph on its own clock)
#                           -> sets pw_pids and pw_sink
#   stop_pipewire_server
#   start_server NAME / stop_server   either of the two, NAME pulseaudio or pipewire
#   start_recorder RATE     records the running server's output (see below)
#   start_load / stop_load  a busy machine, the same every time: $load_command, by pid
#   begin_sound_run NAME   the scratch folder $work, the clean-up and libfaketime (see below)
# The start functions exit 77 when the server cannot run here. Requires $work (an empty
# scratch folder).
# SINK_RATES picks the rates the sink may run at:
#   (unset)  the null sink at 48 kHz, as every test had it
#   direct   the sink follows the stream's rate, up to 192 kHz: PulseAudio with avoid-resampling
#            (the sink starts at 48000 Hz and switches to the first stream's rate, 192000 Hz
#            being its other rate), PipeWire with 48, 96 and 192 kHz allowed and no rate fixed
#            for the sink, so that the graph runs at the rate its streams ask for
#   48k      48 kHz and nothing else, said outright: PulseAudio without avoid-resampling and
#            both of its rates 48000, PipeWire with a sink fixed at 48000 and only 48000 allowed
# PW_LONG_CYCLES=1 lets the PipeWire graph run the long cycles a client asks for (85 ms at
# 48 kHz; a stock graph stops at 43 ms, and so does this one at 192 kHz, where the quantum
# limit caps it), so that a host that holds threads up for tens of milliseconds does not leave
# holes in a test that judges what the program sends, not the host.

start_sound_server() {
    export XDG_RUNTIME_DIR="$work/run" HOME="$work/home"
    mkdir -p "$XDG_RUNTIME_DIR" "$HOME"
    chmod 700 "$XDG_RUNTIME_DIR"
    export PULSE_SERVER="unix:$XDG_RUNTIME_DIR/native"
    case "${SINK_RATES:-}" in
        direct) _pa_rates "yes" 192000 ;;
        48k) _pa_rates "no" 48000 ;;
        "") ;;
        *) echo "SINK_RATES is direct, 48k or unset, not $SINK_RATES" >&2; exit 2 ;;
    esac
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

# The private server's daemon.conf (in its own home): avoid-resampling yes or no, and the rate
# it may switch the sink to besides 48000.
_pa_rates() {
    export XDG_CONFIG_HOME="$HOME/.config"
    mkdir -p "$XDG_CONFIG_HOME/pulse"
    cat > "$XDG_CONFIG_HOME/pulse/daemon.conf" <<CONF
avoid-resampling = $1
default-sample-rate = 48000
alternate-sample-rate = $2
CONF
}

# The rate the private PulseAudio's test sink runs at now, in Hz (empty when not known).
pulseaudio_sink_rate() {
    pactl list sinks short 2>/dev/null | awk '$2 == "pendrel_test" {
        for (i = 1; i <= NF; i++) if ($i ~ /^[0-9]+Hz$/) { sub(/Hz$/, "", $i); print $i; exit } }'
}

# Asks process $1 to end and gives it up to 5 s to do so.
_end_pid() {
    kill "$1" 2>/dev/null
    tries=0
    while kill -0 "$1" 2>/dev/null && [ "$tries" -lt 50 ]; do
        tries=$((tries + 1))
        sleep 0.1
    done
}

stop_sound_server() {
    if [ -n "${server_pid:-}" ]; then
        _end_pid "$server_pid"
        server_pid=
    fi
}

# The PipeWire stack. libpulse and libpipewire both find it through XDG_RUNTIME_DIR alone, so
# PULSE_SERVER is left unset: a program may talk either protocol.
start_pipewire_server() {
    export XDG_RUNTIME_DIR="$work/run" HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config"
    export XDG_STATE_HOME="$work/home/.state" PIPEWIRE_RUNTIME_DIR="$work/run"
    unset PULSE_SERVER PIPEWIRE_REMOTE
    mkdir -p "$XDG_RUNTIME_DIR" "$XDG_CONFIG_HOME/pipewire/pipewire.conf.d"
    chmod 700 "$XDG_RUNTIME_DIR"
    pw_pids= pw_sink=pendrel_test
    pw_allowed= pw_sink_rate="audio.rate = 48000" pw_always="node.always-process = true"
    case "${SINK_RATES:-}" in
        # PipeWire 1.x changes the rate of a running sink only for a stream that forces it, so
        # this sink rests until a stream comes, as a sound card's does, and takes its rate.
        direct) pw_allowed="default.clock.allowed-rates = [ 48000 96000 192000 ]" pw_sink_rate=
                pw_always= ;;
        48k) pw_allowed="default.clock.allowed-rates = [ 48000 ]" ;;
        "") ;;
        *) echo "SINK_RATES is direct, 48k or unset, not $SINK_RATES" >&2; exit 2 ;;
    esac
    for tool in pipewire wireplumber pipewire-pulse dbus-daemon pw-cli pw-metadata pactl; do
        if ! command -v "$tool" >/dev/null 2>&1; then
            echo "SKIP: $tool is not installed"
            exit 77
        fi
    done
    # Small quanta allowed: in a virtual machine the stock set-up raises the smallest to 1024,
    # through vm.overrides before PipeWire 1.0 and a rule on the machine from 1.0 on.
    pw_vm="vm.overrides = { default.clock.min-quantum = 64 }" pw_rules=
    if [ "$(_major_version pipewire)" -ge 1 ]; then
        pw_vm=
        pw_rules="context.properties.rules = [
    { matches = [ { cpu.vm.name = !null } ]
      actions = { update-props = { default.clock.min-quantum = 64 } } }
]"
    fi
    pw_long=
    [ -n "${PW_LONG_CYCLES:-}" ] && pw_long="default.clock.max-quantum = 4096"
    # A sink that is its own clock (always running, but for the direct set).
    cat > "$XDG_CONFIG_HOME/pipewire/pipewire.conf.d/50-pendrel-test.conf" <<CONF
context.properties = {
    default.clock.rate = 48000
    $pw_allowed
    default.clock.min-quantum = 64
    $pw_vm
    $pw_long
}
$pw_rules
context.objects = [
    { factory = adapter
      args = {
          factory.name = support.null-audio-sink
          node.name = $pw_sink
          node.description = "Pendrel test sink"
          media.class = Audio/Sink
          audio.position = [ FL FR ]
          $pw_sink_rate
          node.driver = true
          $pw_always
          priority.driver = 2000
          priority.session = 2000
          monitor.channel-volumes = true
      }
    }
]
CONF
    # No hardware: the session manager only links streams to the test sink. Wireplumber 0.4
    # reads .lua files, 0.5 and later .conf files only (and warns of .lua ones).
    if [ "$(_major_version wireplumber)" -ge 1 ] || wireplumber --version | grep -q 'libwireplumber 0\.[5-9]'; then
        mkdir -p "$XDG_CONFIG_HOME/wireplumber/wireplumber.conf.d"
        cat > "$XDG_CONFIG_HOME/wireplumber/wireplumber.conf.d/90-pendrel-test.conf" <<CONF
wireplumber.profiles = {
    main = {
        hardware.audio = disabled
        hardware.bluetooth = disabled
        hardware.video-capture = disabled
    }
}
CONF
    else
        mkdir -p "$XDG_CONFIG_HOME/wireplumber/main.lua.d" "$XDG_CONFIG_HOME/wireplumber/bluetooth.lua.d"
        cat > "$XDG_CONFIG_HOME/wireplumber/main.lua.d/90-pendrel-test.lua" <<CONF
alsa_monitor.enabled = false
v4l2_monitor.enabled = false
libcamera_monitor.enabled = false
CONF
        echo 'bluez_monitor.enabled = false' > "$XDG_CONFIG_HOME/wireplumber/bluetooth.lua.d/90-pendrel-test.lua"
    fi

    dbus-daemon --session --nofork --nopidfile --address="unix:path=$XDG_RUNTIME_DIR/bus" \
        >"$work/dbus.log" 2>&1 &
    pw_pids=$!
    export DBUS_SESSION_BUS_ADDRESS="unix:path=$XDG_RUNTIME_DIR/bus"
    _pw_wait "test -S $XDG_RUNTIME_DIR/bus" "the session bus" || return
    pipewire >"$work/pipewire.log" 2>&1 &
    pw_pids="$! $pw_pids"
    _pw_wait "pw-cli info 0" pipewire || return
    wireplumber >"$work/wireplumber.log" 2>&1 &
    pw_pids="$! $pw_pids"
    pipewire-pulse >"$work/pipewire-pulse.log" 2>&1 &
    pw_pids="$! $pw_pids"
    _pw_wait "pactl info" pipewire-pulse || return
    # The session manager sets up its metadata a moment after it starts.
    _pw_wait "pactl set-default-sink $pw_sink" "the default sink" || return
    _pw_wait "pw-metadata -n settings 0 clock.force-quantum 0" "the settings" || return
}

# The major version of a PipeWire program as it prints it ("Linked with libpipewire 1.4.2"), or 0.
_major_version() {
    "$1" --version 2>/dev/null | sed -n 's/^Linked with lib[a-z]* \([0-9]*\)\..*/\1/p' | head -n 1 | grep . || echo 0
}

# Forces the graph's quantum (frames per cycle); 0 returns it to the default.
set_pipewire_quantum() {
    pw-metadata -n settings 0 clock.force-quantum "$1" >/dev/null
}

# Waits up to 5 s for a command to succeed; otherwise ends the stack and skips.
_pw_wait() {
    tries=0
    while ! $1 >/dev/null 2>&1; do
        tries=$((tries + 1))
        if [ "$tries" -gt 50 ]; then
            echo "SKIP: $2 does not answer here (see $work/*.log)"
            tail -n 20 "$work/pipewire.log" "$work/wireplumber.log" "$work/pipewire-pulse.log" 2>/dev/null
            stop_pipewire_server
            exit 77
        fi
        sleep 0.1
    done
}

# Last started first: pipewire-pulse, wireplumber, pipewire, the bus.
stop_pipewire_server() {
    for pid in ${pw_pids:-}; do
        _end_pid "$pid"
        kill -9 "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    pw_pids=
}

start_server() {
    server_kind=$1
    case "$1" in
        pulseaudio) start_sound_server ;;
        pipewire) start_pipewire_server ;;
        *) echo "unknown sound server $1" >&2; exit 2 ;;
    esac
}

stop_server() {
    stop_sound_server
    stop_pipewire_server
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

# The load the scripts' --load runs: four workers that keep the CPUs busy all the time (more
# than this machine has cores, as a build or a browser might) and one that keeps writing to
# half a gigabyte of memory, at the scheduling priority of an ordinary program (nice 0).
load_command="stress-ng --cpu 4 --cpu-load 100 --vm 1 --vm-bytes 512M"

# Starts the load in the background; load_pid is its main process, which ends its workers and
# waits for them when it is stopped. Fails the script when stress-ng is not installed.
start_load() {
    if ! command -v stress-ng >/dev/null 2>&1; then
        echo "FAIL: stress-ng is not installed (package stress-ng)" >&2
        exit 1
    fi
    # At nice 0 whatever the script itself runs at (lowering the niceness needs root; without
    # it nice says so in the load's log and the load runs at the script's).
    nice -n "$((0 - $(nice)))" $load_command >"$work/load.log" 2>&1 &
    load_pid=$!
}

stop_load() {
    [ -n "${load_pid:-}" ] || return 0
    kill "$load_pid" 2>/dev/null
    wait "$load_pid" 2>/dev/null
    load_pid=
}

# Begins a sound script's run: an empty scratch folder $work (/tmp/pendrel-$1.XXXXXX), nothing
# started yet, end_sound_run when the script exits however it does, and libfaketime found.
begin_sound_run() {
    work=$(mktemp -d "/tmp/pendrel-$1.XXXXXX")
    transmitter_pid= recorder_pid= load_pid=
    trap end_sound_run EXIT
    trap 'exit 1' INT TERM
    find_faketime
}

# Ends what a sound script started: the load, the transmitter, the recorder and the server, by
# their pids, then removes the script's work folder (kept, and named, when PENDREL_KEEP is set).
end_sound_run() {
    stop_load
    for pid in ${transmitter_pid:-} ${recorder_pid:-} ${staller_pid:-} ${sleeper_pid:-}; do
        kill "$pid" 2>/dev/null
        kill -CONT "$pid" 2>/dev/null  # a stopped program would not end
        wait "$pid" 2>/dev/null
    done
    stop_server
    [ -n "${PENDREL_KEEP:-}" ] && { echo "kept $work"; return; }
    rm -rf "$work"
}

# Records the server's output at RATE frames a second into $work/rec.wav, with the time of every
# fragment in $work/rec.log: under PipeWire natively on the graph's clock ($record_pw, from
# $pw_sink), under PulseAudio through $record. Uses $server; sets recorder_pid.
start_recorder() {
    if [ "$server" = pipewire ]; then
        "$record_pw" --sink "$pw_sink" --rate "$1" "$work/rec.wav" "$work/rec.log" 2>"$work/record.err" &
    else
        "$record" --rate "$1" "$work/rec.wav" "$work/rec.log" 2>"$work/record.err" &
    fi
    recorder_pid=$!
}
