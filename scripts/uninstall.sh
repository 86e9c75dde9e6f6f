#!/bin/sh
# Removes an installed Pendrel: everything `cmake --install` put under PREFIX, except the user's
# settings file lib/pendrel/setting.ini (the program folder stays when that file is in it).
# Usage: scripts/uninstall.sh [PREFIX]      (PREFIX defaults to ~/.local)
set -eu
prefix=${1:-${HOME:?}/.local}
id=io.github.pendrel.Pendrel
dir="$prefix/lib/pendrel"

if [ ! -e "$dir/pendrel" ] && [ ! -e "$prefix/share/applications/$id.desktop" ]; then
  echo "uninstall: no Pendrel installed under $prefix" >&2
  exit 1
fi

for name in pendrel pendrel-sound-relay pendrel-frame pendrel-make-sounds pendrel-check pendrel-send 200ms.wav 500ms.wav 800ms.wav Pendrel.htm; do
  rm -f "$dir/$name"
done
# Only our own links: a bin/pendrel from somewhere else is left alone.
for name in pendrel pendrel-check pendrel-send; do
  if [ -L "$prefix/bin/$name" ] && [ "$(readlink "$prefix/bin/$name")" = "../lib/pendrel/$name" ]; then
    rm -f "$prefix/bin/$name"
  fi
done
# The units of pendrel-send. A timer the user enabled leaves its link in ~/.config/systemd/user,
# which is the user's to remove (systemctl --user disable pendrel-send-nightly.timer).
for unit in pendrel-send@.service pendrel-send-nightly.service pendrel-send-nightly.timer; do
  rm -f "$prefix/share/systemd/user/$unit"
done
rm -f "$prefix/share/applications/$id.desktop" "$prefix/share/metainfo/$id.metainfo.xml"
for size in 16 24 32 48 64 128 256; do
  rm -f "$prefix/share/icons/hicolor/${size}x${size}/apps/$id.png"
done
rmdir "$dir" 2>/dev/null || true

if [ -e "$dir/setting.ini" ]; then
  echo "Pendrel removed from $prefix; your settings remain in $dir/setting.ini"
else
  echo "Pendrel removed from $prefix"
fi
