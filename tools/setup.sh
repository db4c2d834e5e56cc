#!/usr/bin/env bash
# Installs every Debian package Morvika needs to build, run and test.
# Idempotent: when everything is present nothing is done; apt-get update runs
# only when something must be installed.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config git
  clang clang-format libclang-rt-14-dev llvm lld
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  qt6-base-dev qt6-base-dev-tools libgl-dev
  libasio-dev libssl-dev
  libpulse-dev pulseaudio pulseaudio-utils espeak-ng libopus-dev
  libwebrtc-audio-processing-dev libspeexdsp-dev
  libcanberra-dev libcanberra-pulse
  libjpeg62-turbo-dev libjpeg-turbo-progs
  libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev
  gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-tools
  xvfb xauth fonts-noto-cjk
  libxcb1-dev libxcb-ewmh-dev libxcb-composite0-dev libxcb-xtest0-dev openbox x11-apps
  iproute2 desktop-file-utils xdg-utils x11-utils
  dpkg-dev lintian appstream
  libminiupnpc-dev libnatpmp-dev miniupnpd-nftables nftables miniupnpc
  qt6-tools-dev qt6-l10n-tools qt6-translations-l10n
  libavahi-client-dev libavahi-glib-dev avahi-daemon avahi-utils dbus
  python3
  sway grim pipewire wireplumber xdg-desktop-portal xdg-desktop-portal-wlr gstreamer1.0-pipewire
  qt6-wayland
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

# The Wayland cases run their compositor as this unprivileged user when the tests run as root
# (sway refuses root).
add_test_user() {
  if [ "$(id -u)" -eq 0 ] && ! getent passwd morvika-test >/dev/null; then
    useradd --system --user-group --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin morvika-test
  fi
}

if [ ${#missing[@]} -eq 0 ]; then
  add_test_user
  exit 0
fi
echo "setup: installing ${missing[*]}"
# Another installation under way (a second checkout setting up) is waited for, not failed on.
$SUDO apt-get -o DPkg::Lock::Timeout=600 update -q
DEBIAN_FRONTEND=noninteractive $SUDO apt-get -o DPkg::Lock::Timeout=600 install -y -q --no-install-recommends "${missing[@]}"
add_test_user
