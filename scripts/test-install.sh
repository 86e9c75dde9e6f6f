#!/bin/sh
# Installs the built program into a temporary prefix (with a blank in its path) and checks what a
# user gets: the program folder and nothing more, a launcher and metadata the desktop validators
# accept, icons at every size, a settings file that survives reinstalling and uninstalling, and
# the installed program opening its window on a real X server.
# Usage: test-install.sh BUILD_DIR SOURCE_DIR APP_ID VERSION "ICON SIZES" HAVE_ICON
set -u
build=$1 source=$2 id=$3 version=$4 sizes=$5 have_icon=$6

work=$(mktemp -d)
prefix="$work/pre fix"
pid_file="$work/pid"
cleanup() {
  if [ -s "$pid_file" ]; then kill "$(cat "$pid_file")" 2>/dev/null; fi
  rm -rf "$work"
}
trap cleanup EXIT INT TERM

fail=0
bad() { echo "FAIL: $*"; fail=1; }
ok() { echo "ok: $*"; }

install_into() {
  if ! cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1; then
    cat "$work/install.log"
    echo "FAIL: cmake --install failed"
    exit 1
  fi
}

# Everything under the prefix, files and links, as relative paths.
listing() { (cd "$prefix" && find . \( -type f -o -type l \) | sed 's|^\./||' | LC_ALL=C sort); }

install_into

# What should be there and nothing else: a stray file (a setting.ini from the build folder, a
# library from the build tree) shows up as a difference.
{
  echo bin/pendrel
  echo bin/pendrel-check
  echo bin/pendrel-send
  for f in 200ms.wav 500ms.wav 800ms.wav Pendrel.htm pendrel pendrel-sound-relay pendrel-frame pendrel-make-sounds pendrel-check pendrel-send; do echo "lib/pendrel/$f"; done
  for f in pendrel-send@.service pendrel-send-nightly.service pendrel-send-nightly.timer; do echo "share/systemd/user/$f"; done
  echo "share/applications/$id.desktop"
  if [ "$have_icon" = 1 ]; then
    for s in $sizes; do echo "share/icons/hicolor/${s}x${s}/apps/$id.png"; done
  fi
  echo "share/metainfo/$id.metainfo.xml"
} | LC_ALL=C sort >"$work/expected"
listing >"$work/actual"
if diff -u "$work/expected" "$work/actual"; then ok "installed files"; else bad "installed files differ"; fi

dir="$prefix/lib/pendrel"
for exe in pendrel pendrel-sound-relay pendrel-frame pendrel-make-sounds pendrel-check pendrel-send; do
  [ -x "$dir/$exe" ] || bad "$exe is not executable"
done
[ "$(readlink -f "$prefix/bin/pendrel-send")" = "$(readlink -f "$dir/pendrel-send")" ] \
  || bad "bin/pendrel-send does not lead to pendrel-send"
grep -qxF "ExecStart=$prefix/bin/pendrel-send \$PENDREL_SEND_ARGS" "$prefix/share/systemd/user/pendrel-send-nightly.service" \
  || grep -qF "ExecStart=\"$prefix/bin/pendrel-send\"" "$prefix/share/systemd/user/pendrel-send-nightly.service" \
  || bad "the nightly unit does not start $prefix/bin/pendrel-send"
if ldd "$dir/pendrel-send" | grep -q 'libQt'; then bad "pendrel-send links Qt"; fi
# The relay runs on its own, without Qt; started by hand it finds no program's block and says so.
relay_said=$("$dir/pendrel-sound-relay" 2>&1 3<&- 4<&-)
relay_status=$?
case "$relay_status $relay_said" in
  "1 "*"without the program's block"*) ok "pendrel-sound-relay runs: $relay_said" ;;
  *) bad "pendrel-sound-relay alone ended with $relay_status: $relay_said" ;;
esac
if ldd "$dir/pendrel-sound-relay" | grep -q 'libQt'; then bad "pendrel-sound-relay links Qt"; fi
[ "$(readlink -f "$prefix/bin/pendrel")" = "$(readlink -f "$dir/pendrel")" ] \
  || bad "bin/pendrel does not lead to the program"
[ "$(readlink -f "$prefix/bin/pendrel-check")" = "$(readlink -f "$dir/pendrel-check")" ] \
  || bad "bin/pendrel-check does not lead to pendrel-check"
if ldd "$dir/pendrel-check" | grep -q 'libQt'; then bad "pendrel-check links Qt"; fi
case $("$dir/pendrel-check" --help 2>&1) in
  *"usage: pendrel-check"*) ok "pendrel-check --help" ;;
  *) bad "pendrel-check --help printed no usage" ;;
esac
frame_version=$("$dir/pendrel-frame" --version 2>&1)
case $frame_version in
  *"$version"*) ok "pendrel-frame --version: $frame_version" ;;
  *) bad "pendrel-frame --version printed \"$frame_version\", not $version" ;;
esac
cmp -s "$dir/Pendrel.htm" "$source/app/manual/Pendrel.htm" || bad "the manual page differs from its source"

desktop="$prefix/share/applications/$id.desktop"
if desktop-file-validate "$desktop"; then ok "desktop-file-validate"; else bad "desktop-file-validate"; fi
grep -qx 'Name=Pendrel' "$desktop" || bad "launcher lacks the English name"
grep -qx 'Name\[ja\]=電波時計用ペンドレル' "$desktop" || bad "launcher lacks the Japanese name"
grep -qx 'Comment=電波時計を指定時刻に合わせます' "$desktop" || bad "launcher lacks the description"
grep -qx "Icon=$id" "$desktop" || bad "launcher names another icon"
grep -qxF "Exec=\"$dir/pendrel\"" "$desktop" || bad "launcher does not start the installed program: $(grep ^Exec= "$desktop")"
grep -qxF "TryExec=$dir/pendrel" "$desktop" || bad "launcher's TryExec is wrong: $(grep ^TryExec= "$desktop")"

metainfo="$prefix/share/metainfo/$id.metainfo.xml"
if appstreamcli validate --no-net "$metainfo"; then ok "appstreamcli validate"; else bad "appstreamcli validate"; fi
grep -q "<release version=\"$version\"" "$metainfo" || bad "metadata does not carry version $version"
grep -q "<launchable type=\"desktop-id\">$id.desktop</launchable>" "$metainfo" \
  || bad "metadata does not name the launcher"

if [ "$have_icon" = 1 ]; then
  for s in $sizes; do
    icon="$prefix/share/icons/hicolor/${s}x${s}/apps/$id.png"
    got=$(identify -format '%m %wx%h' "$icon" 2>/dev/null)
    [ "$got" = "PNG ${s}x${s}" ] || bad "icon ${s}x${s} is \"$got\""
  done
  ok "icons checked"
else
  echo "NOTE: no icon at app/pictures/icon.png yet, so none is installed or checked"
fi

# The user's settings survive installing again. They also keep the first-run message from
# blocking the start below.
printf '[Show]\r\nMessage=1\r\n[Advance]\r\nDate=3\r\nHour=-9\r\n' >"$dir/setting.ini"
cp "$dir/setting.ini" "$work/setting.ini"
install_into
cmp -s "$dir/setting.ini" "$work/setting.ini" && ok "setting.ini kept on reinstall" \
  || bad "installing again changed setting.ini"

# The installed program opens its window on a real X server, started through bin/pendrel as a
# launcher would.
mkdir -p "$work/home" "$work/runtime"
chmod 700 "$work/runtime"
cat >"$work/start.sh" <<'INNER'
#!/bin/sh
# Runs inside xvfb-run: start the program, wait for a window of its process, report its title.
"$1" >"$2/program.log" 2>&1 &
pid=$!
echo $pid >"$2/pid"
i=0
while [ $i -lt 100 ]; do
  if ! kill -0 $pid 2>/dev/null; then echo "exited"; exit 1; fi
  by_name=$(xdotool search --onlyvisible --name '電波時計用ペンドレル' 2>/dev/null | head -n 1)
  if [ -n "$by_name" ]; then echo "named"; break; fi
  sleep 0.1
  i=$((i + 1))
done
[ $i -lt 100 ] || echo "none"
kill $pid 2>/dev/null
wait $pid 2>/dev/null
: >"$2/pid"
INNER
result=$(env -u QT_QPA_PLATFORM HOME="$work/home" XDG_RUNTIME_DIR="$work/runtime" \
  xvfb-run -a -s '-screen 0 800x600x24' sh "$work/start.sh" "$prefix/bin/pendrel" "$work" 2>&1)
case $result in
  named*) ok "the installed program shows its window \"電波時計用ペンドレル\"" ;;
  *) bad "the installed program showed no window ($result)"; cat "$work/program.log" ;;
esac
cmp -s "$dir/setting.ini" "$work/setting.ini" || echo "NOTE: the program rewrote setting.ini"
cp "$dir/setting.ini" "$work/setting.ini"

# Uninstalling leaves only the settings file, unchanged; a second run finds nothing to remove.
if ! sh "$source/scripts/uninstall.sh" "$prefix"; then bad "uninstall failed"; fi
listing >"$work/actual"
if [ "$(cat "$work/actual")" = lib/pendrel/setting.ini ]; then ok "uninstall kept only setting.ini"
else bad "after uninstalling: $(tr '\n' ' ' <"$work/actual")"; fi
cmp -s "$dir/setting.ini" "$work/setting.ini" || bad "uninstalling changed setting.ini"
if sh "$source/scripts/uninstall.sh" "$prefix" >/dev/null 2>&1; then
  bad "uninstalling twice reported success"
fi

[ $fail -eq 0 ] && echo "install test passed"
exit $fail
