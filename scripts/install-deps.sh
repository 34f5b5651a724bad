#!/bin/sh
# Installs the Debian 12 packages the build, the programs and the tests need, when missing.
# The Wayland tests run a headless sway (pixman renderer, no GPU) with PipeWire on a private
# session bus; grim takes their screenshots.
# With the argument "package" also what building and checking the Debian package needs
# (dpkg-shlibdeps, lintian, desktop-file-validate, man).
set -e
PKGS="cmake ninja-build g++ pkg-config zlib1g-dev libdeflate-dev qt6-base-dev libx11-dev libxext-dev
  libxdamage-dev libxfixes-dev libxi-dev libpixman-1-dev libsqlite3-dev libgtest-dev
  libgmock-dev libbenchmark-dev xvfb xauth xdotool trayer x11-utils x11-apps x11-xserver-utils
  imagemagick iproute2 procps util-linux clang libclang-rt-14-dev
  libwayland-dev wayland-protocols sway grim dbus-daemon qt6-wayland
  pipewire pipewire-bin wireplumber libpipewire-0.3-dev gstreamer1.0-tools
  gstreamer1.0-plugins-base gstreamer1.0-pipewire"
if [ "${1:-}" = package ]; then
  PKGS="$PKGS dpkg-dev file lintian desktop-file-utils man-db"
fi
missing=""
for p in $PKGS; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends $missing
fi
