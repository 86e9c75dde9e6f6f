#!/bin/sh
# Installs what Pendrel needs to build, run and test on Debian 12.
set -e
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends \
  build-essential cmake ninja-build pkg-config git \
  qt6-base-dev libgl-dev libx11-dev libpulse-dev libsndfile1-dev \
  libgtest-dev libgmock-dev \
  fonts-ipafont-gothic xdg-utils \
  xvfb xauth xdotool x11-utils imagemagick sox pulseaudio faketime \
  pipewire pipewire-bin pipewire-pulse wireplumber libpipewire-0.3-dev dbus \
  clang libclang-rt-14-dev \
  desktop-file-utils appstream \
  dpkg-dev lintian file qt6-qpa-plugins >/dev/null
