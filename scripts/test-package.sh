#!/bin/sh
# The Debian package, in two steps that ctest runs as two tests.
#
#   test-package.sh build BUILD_DIR SOURCE_DIR APP_ID VERSION OUT_DIR
# makes the package from the build into OUT_DIR with cpack, checks its files and fields and runs
# lintian on it (no error or warning may remain). It changes nothing outside OUT_DIR.
#
#   test-package.sh install BUILD_DIR SOURCE_DIR APP_ID VERSION OUT_DIR
# installs that package on this machine with apt-get, creates a user, runs /usr/bin/pendrel as
# that user on a private X server, answers the first-run message and clicks a button, checks
# that the settings went to the user's ~/.config/pendrel and nothing under /usr changed, starts
# it again over a leftover temporary file, then purges the package and checks that nothing of
# it is left and the user's settings are. It changes the system, so it runs only as root and
# only when CI=true or PENDREL_TEST_SYSTEM_INSTALL=1; it refuses to run over an installed
# pendrel package. Everything it adds (package, user, processes) it removes again.
#
# Exit status: 0 passed, 1 failed, 77 skipped.
set -u
usage="usage: test-package.sh build|install BUILD_DIR SOURCE_DIR APP_ID VERSION OUT_DIR"
mode=${1:?$usage} build=${2:?$usage} source=${3:?$usage} id=${4:?$usage} version=${5:?$usage}
out=${6:?$usage}
arch=$(dpkg --print-architecture 2>/dev/null) || { echo "package test: skipped, no dpkg"; exit 77; }
deb="$out/pendrel_${version}_${arch}.deb"

fail=0
bad() { echo "FAIL: $*"; fail=1; }
ok() { echo "ok: $*"; }
finish() { [ $fail -eq 0 ] && echo "package test ($mode) passed"; exit $fail; }

# Every file and link the package installs, outside the folders it shares with others.
expected_files() {
    echo /usr/bin/pendrel
    echo /usr/bin/pendrel-check
    echo /usr/bin/pendrel-send
    for f in pendrel-send@.service pendrel-send-nightly.service pendrel-send-nightly.timer; do
        echo "/usr/lib/systemd/user/$f"
    done
    for f in 200ms.wav 500ms.wav 800ms.wav Pendrel.htm pendrel pendrel-sound-relay pendrel-frame pendrel-make-sounds pendrel-check pendrel-send; do
        echo "/usr/lib/pendrel/$f"
    done
    echo "/usr/share/applications/$id.desktop"
    echo /usr/share/doc/pendrel/changelog.gz
    echo /usr/share/doc/pendrel/copyright
    for s in 16 24 32 48 64 128 256; do echo "/usr/share/icons/hicolor/${s}x${s}/apps/$id.png"; done
    echo /usr/share/man/man1/pendrel-check.1.gz
    echo /usr/share/man/man1/pendrel.1.gz
    echo /usr/share/man/man1/pendrel-send.1.gz
    echo "/usr/share/metainfo/$id.metainfo.xml"
}

# --- Making the package and linting it ------------------------------------------------------
if [ "$mode" = build ]; then
    for tool in cpack dpkg-deb dpkg-shlibdeps lintian; do
        command -v "$tool" >/dev/null 2>&1 || { echo "package test: skipped, no $tool"; exit 77; }
    done
    rm -rf "$out"
    mkdir -p "$out"
    if ! cpack --config "$build/CPackConfig.cmake" -G DEB -B "$out" >"$out/cpack.log" 2>&1; then
        cat "$out/cpack.log"
        echo "FAIL: cpack could not make the package"
        exit 1
    fi
    rm -rf "$out/_CPack_Packages"
    [ -f "$deb" ] || { ls "$out"; echo "FAIL: no $deb"; exit 1; }
    ok "made $(basename "$deb")"

    # The files: exactly the program's, owned by root, nothing from the build folder or a user.
    dpkg-deb --fsys-tarfile "$deb" | tar -tvf - >"$out/contents"
    awk '$1 !~ /^d/ { sub(/^\./, "", $6); print $6 }' "$out/contents" | LC_ALL=C sort >"$out/actual"
    expected_files | LC_ALL=C sort >"$out/expected"
    if diff -u "$out/expected" "$out/actual"; then ok "the package's files"; else bad "the package's files differ"; fi
    awk '$2 != "root/root" { print }' "$out/contents" | grep . && bad "files not owned by root"
    grep -q '^lrwxrwxrwx .* \./usr/bin/pendrel -> \.\./lib/pendrel/pendrel$' "$out/contents" ||
        bad "/usr/bin/pendrel is not a relative link to the program"

    field() { dpkg-deb -f "$deb" "$1"; }
    [ "$(field Package) $(field Version) $(field Architecture)" = "pendrel $version $arch" ] ||
        bad "control fields: $(field Package) $(field Version) $(field Architecture)"
    depends=$(field Depends)
    # Debian 13 renamed the libraries that carry a time_t: libqt6core6 is libqt6core6t64 there.
    for need in libc6 libqt6widgets6 libqt6gui6 libqt6core6 libpulse0 libsndfile1 libpipewire-0.3-0 qt6-qpa-plugins; do
        case ", $depends," in
            *", $need "*|*", $need,"*|*", ${need}t64 "*|*", ${need}t64,"*) ;;
            *) bad "Depends lacks $need: $depends" ;;
        esac
    done
    ok "Depends: $depends"

    # The sound relay, as packaged: it runs, and without Qt; alone it finds no program's block.
    dpkg-deb --fsys-tarfile "$deb" | tar -xOf - ./usr/lib/pendrel/pendrel-sound-relay >"$out/relay"
    chmod 755 "$out/relay"
    relay_said=$("$out/relay" 2>&1 3<&- 4<&-)
    relay_status=$?
    case "$relay_status $relay_said" in
        "1 "*"without the program's block"*) ok "the packaged relay runs: $relay_said" ;;
        *) bad "the packaged relay alone ended with $relay_status: $relay_said" ;;
    esac
    ldd "$out/relay" | grep -q 'libQt' && bad "the packaged relay links Qt"

    desktop=$(dpkg-deb --fsys-tarfile "$deb" | tar -xOf - "./usr/share/applications/$id.desktop")
    metainfo=$(dpkg-deb --fsys-tarfile "$deb" | tar -xOf - "./usr/share/metainfo/$id.metainfo.xml")
    printf '%s\n' "$desktop" | grep -qx 'Exec=/usr/lib/pendrel/pendrel' || bad "the launcher does not start /usr/lib/pendrel/pendrel"
    printf '%s\n' "$desktop" | grep -qx "Icon=$id" || bad "the launcher names another icon"
    printf '%s\n' "$desktop" | grep -q '^StartupWMClass=.' || bad "the launcher has no StartupWMClass"
    printf '%s\n' "$metainfo" | grep -q "<id>$id</id>" || bad "the AppStream id is not $id"

    # lintian: every tag it prints is shown; errors and warnings fail the test.
    lintian -I -E --pedantic "$deb" >"$out/lintian.log" 2>&1
    lintian_status=$?
    grep -v 'running with root privileges' "$out/lintian.log" | sed 's/^/lintian: /'
    if grep -q '^[EW]: ' "$out/lintian.log" || [ $lintian_status -ne 0 ]; then
        bad "lintian reports errors or warnings (status $lintian_status)"
    else
        ok "lintian: no errors or warnings"
    fi
    finish
fi
[ "$mode" = install ] || { echo "$usage" >&2; exit 2; }

# --- Installing it on this machine ----------------------------------------------------------
if [ "${CI:-}" != true ] && [ "${PENDREL_TEST_SYSTEM_INSTALL:-}" != 1 ]; then
    echo "package install test: skipped; it installs and purges a system package and adds a user,"
    echo "so it runs only in CI (CI=true) or with PENDREL_TEST_SYSTEM_INSTALL=1, as root"
    exit 77
fi
[ "$(id -u)" = 0 ] || { echo "package install test: skipped, not root"; exit 77; }
for tool in apt-get useradd userdel setpriv Xvfb xdotool xprop; do
    command -v "$tool" >/dev/null 2>&1 || { echo "package install test: FAIL: no $tool"; exit 1; }
done
[ -f "$deb" ] || { echo "package install test: FAIL: no package at $deb"; exit 1; }
if dpkg-query -W -f '${Status}' pendrel 2>/dev/null | grep -q 'installed'; then
    echo "package install test: FAIL: a pendrel package is installed already; remove it first"
    echo "(apt-get purge pendrel), this test does not touch it"
    exit 1
fi
if [ -e /usr/lib/pendrel ] || [ -e /usr/bin/pendrel ]; then
    echo "package install test: FAIL: Pendrel is installed under /usr already; this test does not touch it"
    exit 1
fi

work=$(mktemp -d)
chmod 755 "$work"
user=pendrel-test-$$
home="$work/home"
installed=0 made_user=0 made_folder=0 xvfb_pid= app_pid=
. "$(cd "$(dirname "$0")" && pwd)/x11-helpers.sh"
cleanup() {
    stop "$app_pid"
    stop "$xvfb_pid"
    if [ $installed = 1 ]; then apt-get purge -y -qq pendrel >/dev/null 2>&1; fi
    # What a failing program may have written into the program folder, which dpkg leaves.
    if [ $made_folder = 1 ] && ! dpkg-query -W -f '${Status}' pendrel 2>/dev/null | grep -q " installed$"; then
        rm -rf /usr/lib/pendrel
    fi
    if [ $made_user = 1 ]; then userdel -r "$user" >/dev/null 2>&1; fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# apt reads the file as its own unprivileged user, so it goes where everyone may read.
cp "$deb" "$work/"
chmod 644 "$work/$(basename "$deb")"
if ! DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
        "$work/$(basename "$deb")" >"$work/apt.log" 2>&1; then
    cat "$work/apt.log"
    echo "FAIL: apt-get install failed"
    exit 1
fi
installed=1 made_folder=1
dpkg-query -W -f '${Status}' pendrel | grep -q ' installed$' || bad "dpkg does not list pendrel as installed"
dpkg -L pendrel | LC_ALL=C sort >"$work/listed"
expected_files | while read -r f; do
    [ -e "$f" ] || [ -L "$f" ] || echo "$f"
done >"$work/missing"
[ -s "$work/missing" ] && bad "not installed: $(tr '\n' ' ' <"$work/missing")"
ok "installed with apt-get: $(grep -c . "$work/listed") paths"

useradd --create-home --home-dir "$home" --shell /bin/sh --user-group "$user" || { echo "FAIL: useradd"; exit 1; }
made_user=1
uid=$(id -u "$user") gid=$(id -g "$user")
mkdir -p "$work/run"
chown "$user:" "$work/run"
chmod 700 "$work/run"
config="$home/.config/pendrel"
ini="$config/setting.ini"

start_xvfb "$work" 800x600x24 || { echo "FAIL: no X server"; exit 1; }
unset XAUTHORITY

# Starts /usr/bin/pendrel as the user (or, given "root HOME", as root), as a launcher would,
# and waits for its window.
start_program() {
    if [ "${1:-}" = root ]; then
        as="" run_home=$2 run_user=root
    else
        as="setpriv --reuid=$uid --regid=$gid --init-groups" run_home=$home run_user=$user
    fi
    $as env -i HOME="$run_home" USER="$run_user" LOGNAME="$run_user" PATH=/usr/bin:/bin \
        LANG=C.UTF-8 DISPLAY="$DISPLAY" XDG_RUNTIME_DIR="$work/run" PULSE_SERVER=unix:/nonexistent \
        DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent /usr/bin/pendrel >"$work/app.log" 2>&1 &
    app_pid=$!
    main=$(timeout 20 xdotool search --sync --onlyvisible --name '^電波時計用ペンドレル$' | head -n 1)
    [ -n "$main" ] || { cat "$work/app.log"; echo "FAIL: the window did not appear"; exit 1; }
}
ini_value() { ini_file_value "$ini" "$1" "$2"; }
expect_ini() {
    n=0
    while [ "$(ini_value "$1" "$2")" != "$3" ]; do
        n=$((n + 1))
        [ $n -le 100 ] || { bad "$4: expected [$1] $2=$3 in $ini"; return; }
        sleep 0.05
    done
    ok "$4: [$1] $2=$3 in ~/.config/pendrel/setting.ini"
}

touch "$work/marker"
sleep 1  # the marker's time stamp must be older than anything written from here on
start_program

# The window belongs to the launcher: its X11 class is the launcher's StartupWMClass.
desktop=/usr/share/applications/$id.desktop
class=$(xprop -id "$main" WM_CLASS | sed -n 's/^WM_CLASS(STRING) = "[^"]*", "\([^"]*\)"$/\1/p')
wm_class=$(sed -n 's/^StartupWMClass=//p' "$desktop")
[ -n "$class" ] && [ "$class" = "$wm_class" ] && ok "window class \"$class\" is the launcher's StartupWMClass" ||
    bad "window class \"$class\", launcher StartupWMClass \"$wm_class\""
grep -qx "Icon=$id" "$desktop" && grep -q "<id>$id</id>" "/usr/share/metainfo/$id.metainfo.xml" &&
    [ -e "/usr/share/icons/hicolor/48x48/apps/$id.png" ] || bad "launcher, icon and AppStream id disagree"

# Answers the first-run message.
answer_first_run() {
    box=
    n=0
    while [ -z "$box" ]; do
        for w in $(xdotool search --onlyvisible --classname '^pendrel$' 2>/dev/null); do
            [ "$w" != "$main" ] && box=$w
        done
        [ -n "$box" ] && break
        n=$((n + 1)); [ $n -le 200 ] || { echo "FAIL: no first-run message"; exit 1; }
        sleep 0.05
    done
    xdotool windowfocus --sync "$box" key Return || bad "could not answer the first-run message"
}

# The first-run message: nothing written before it is answered, then the settings folder.
[ -e "$home/.config" ] && bad "the settings folder was made before anything was written"
answer_first_run
expect_ini Show Message 1 "first-run message answered"
# Day plus (Command1 element 0, 17 x 17 at 144, 128).
sleep 0.3
xdotool mousemove --window "$main" 152 136 click 1 || bad "xdotool could not click"
expect_ini Advance Date 1 "day plus clicked"
[ "$(stat -c '%U %a' "$ini" 2>/dev/null)" = "$user 644" ] || bad "setting.ini: $(stat -c '%U %a' "$ini" 2>&1)"
[ "$(stat -c '%U %a' "$config" 2>/dev/null)" = "$user 700" ] || bad "~/.config/pendrel: $(stat -c '%U %a' "$config" 2>&1)"
stop "$app_pid"; app_pid=

# A leftover of a killed write, an hour old, goes at the next start; the settings stay.
leftover="$config/.setting.ini.k1LLed"
setpriv --reuid="$uid" --regid="$gid" --init-groups sh -c "printf '[Show]\n' >'$leftover' && touch -d '1 hour ago' '$leftover'"
start_program
n=0
while [ -e "$leftover" ] && [ $n -lt 100 ]; do n=$((n + 1)); sleep 0.05; done
[ -e "$leftover" ] && bad "the leftover temporary file is still there" || ok "the leftover temporary file was removed at start-up"
[ "$(xdotool search --onlyvisible --classname '^pendrel$' | wc -l)" = 1 ] ||
    bad "the second start showed another window besides the main one"
stop "$app_pid"; app_pid=
[ "$(ini_value Show Message) $(ini_value Advance Date)" = "1 1" ] || bad "settings changed: $(tr '\n' ' ' <"$ini")"
cp "$ini" "$work/kept.ini"

# Root may write to /usr/lib/pendrel, but gets a settings file of its own all the same:
# one left there would be read, and could not be changed, by every other user.
user_ini=$ini
ini="$work/root-home/.config/pendrel/setting.ini"
mkdir -p "$work/root-home"
start_program root "$work/root-home"
answer_first_run
expect_ini Show Message 1 "root's first-run message answered"
stop "$app_pid"; app_pid=
ini=$user_ini

# The tools beside the window, as the user: pendrel-send renders a minute of DCF77 into a file,
# pendrel-check answers, and the user units name the installed pendrel-send.
as_user() {
    setpriv --reuid="$uid" --regid="$gid" --init-groups env -i HOME="$home" USER="$user" \
        LOGNAME="$user" PATH=/usr/bin:/bin LANG=C.UTF-8 XDG_RUNTIME_DIR="$work/run" "$@"
}
if as_user pendrel-send --station dcf77 --wav "$home/dcf77.wav" --at "2027-01-01 00:00" --for 1m \
        >"$work/send.log" 2>&1 &&
        [ "$(stat -c %s "$home/dcf77.wav" 2>/dev/null)" = $((44 + 48000 * 60 * 2)) ]; then
    ok "pendrel-send wrote a minute of DCF77 into a WAV file"
else
    cat "$work/send.log"; bad "pendrel-send --wav from the package"
fi
as_user pendrel-check --help >/dev/null 2>&1 && ok "pendrel-check --help" || bad "pendrel-check --help from the package"
units=/usr/lib/systemd/user
grep -q '^ExecStart=/usr/bin/pendrel-send ' "$units/pendrel-send-nightly.service" &&
    grep -q '^ExecStart=/usr/bin/pendrel-send ' "$units/pendrel-send@.service" &&
    ok "the user units start /usr/bin/pendrel-send" || bad "the user units do not start /usr/bin/pendrel-send"
if command -v systemd-analyze >/dev/null 2>&1; then
    # An instance of the template as systemctl --user start pendrel-send@dcf77 makes it, beside
    # the installed units, where the user's systemd would find them.
    mkdir -p "$work/units"
    cp "$units"/pendrel-send* "$work/units/"
    cp "$units/pendrel-send@.service" "$work/units/pendrel-send@dcf77.service"
    chown -R "$user:" "$work/units"
    if (cd "$work/units" && as_user systemd-analyze verify --user --man=no ./pendrel-send-nightly.timer \
            ./pendrel-send-nightly.service ./pendrel-send@dcf77.service) >"$work/units.log" 2>&1; then
        ok "systemd-analyze verifies the installed units"
    else
        cat "$work/units.log"; bad "systemd-analyze verify on the installed units"
    fi
fi

changed=$(find /usr -xdev -newer "$work/marker" 2>/dev/null | head -n 20)
[ -z "$changed" ] && ok "nothing under /usr was written while the program ran" ||
    bad "written under /usr while the program ran: $changed"
ls -A /usr/lib/pendrel | grep -i setting && bad "a settings file in /usr/lib/pendrel"

# --- Purging it -------------------------------------------------------------------------------
if DEBIAN_FRONTEND=noninteractive apt-get purge -y -q pendrel >"$work/apt.log" 2>&1; then
    installed=0
    ok "apt-get purge"
else
    cat "$work/apt.log"; bad "apt-get purge failed"
fi
dpkg-query -W -f '${Status}' pendrel 2>/dev/null | grep -q 'installed' && bad "dpkg still lists pendrel"
while read -r f; do
    [ -d "$f" ] && [ ! -L "$f" ] && continue  # folders shared with other packages
    { [ -e "$f" ] || [ -L "$f" ]; } && echo "$f"
done <"$work/listed" >"$work/left"
left=$(find /usr -xdev -iname '*pendrel*' 2>/dev/null)
if [ ! -s "$work/left" ] && [ -z "$left" ]; then ok "nothing of the package is left under /usr"
else bad "left after purging: $(cat "$work/left") $left"; fi
cmp -s "$ini" "$work/kept.ini" && ok "the user's settings are kept" || bad "the user's settings are gone or changed"

finish
