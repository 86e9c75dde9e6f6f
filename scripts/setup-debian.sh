#!/bin/sh
# Installs what Pendrel needs to build, run and test on Debian 12 or 13 (or an Ubuntu of the
# same age). Where a package's name differs between releases, the line lists the choices,
# separated by "|", and the first one the system offers is taken. A package the system does
# not offer at all is named, and the script stops with status 1 before installing anything.
set -e
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq

wanted='
  build-essential cmake ninja-build pkg-config git
  qt6-base-dev libgl-dev libx11-dev libpulse-dev libsndfile1-dev
  libgtest-dev libgmock-dev
  fonts-ipafont-gothic xdg-utils
  xvfb xauth xdotool x11-utils imagemagick sox pulseaudio faketime stress-ng
  pipewire pipewire-bin pipewire-pulse wireplumber libpipewire-0.3-dev dbus
  clang libclang-rt-dev|libclang-rt-19-dev|libclang-rt-14-dev
  desktop-file-utils appstream
  dpkg-dev lintian file qt6-qpa-plugins
'

# A package is offered when apt knows a version it could install.
offered() {
    candidate=$(apt-cache policy "$1" 2>/dev/null | sed -n 's/^ *Candidate: *//p')
    [ -n "$candidate" ] && [ "$candidate" != "(none)" ]
}

chosen=
missing=
for choices in $wanted; do
    pick=
    for name in $(echo "$choices" | tr '|' ' '); do
        if offered "$name"; then pick=$name; break; fi
    done
    if [ -n "$pick" ]; then chosen="$chosen $pick"; else missing="$missing $choices"; fi
done
if [ -n "$missing" ]; then
    echo "setup-debian: this system offers no package for:$missing" >&2
    echo "setup-debian: check /etc/apt/sources.list (the main component is needed) and run again" >&2
    exit 1
fi

if ! $SUDO apt-get install -y -qq --no-install-recommends $chosen >/dev/null; then
    echo "setup-debian: apt-get could not install:$chosen" >&2
    exit 1
fi
