#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs the Debian packages Plinkora needs to build, run and test.
# Idempotent, and silent when everything is already there.
set -euo pipefail

packages=(
  # build
  g++ cmake make pkg-config
  # cached compiles: CI builds the program, the sanitizer and the fuzzing trees
  ccache
  qt6-base-dev qt6-base-dev-tools libgl-dev
  libfluidsynth-dev libsndfile1-dev libpulse-dev libpipewire-0.3-dev libx11-dev libxtst-dev libxcb-xkb-dev libdbus-1-dev
  # tests and benchmarks
  libgtest-dev libgmock-dev googletest
  # fuzzing: clang with libFuzzer and the sanitizers (scripts/fuzz.sh)
  clang libclang-rt-14-dev
  # the synthesizer's sounds: General MIDI (Nylon, NylonB) and OPL3 FM (OPL.3)
  fluid-soundfont-gm opl3-soundfont
  # running: X and sound servers for headless machines, Japanese glyphs
  qt6-qpa-plugins xvfb xauth pulseaudio pulseaudio-utils fonts-noto-cjk
  # benchmarks under PipeWire, beside PulseAudio (scripts/private-servers.sh --pipewire)
  pipewire pipewire-pulse wireplumber dbus-daemon
  # the MIDI port's test: pw-mididump, and PipeWire's JACK service (pw-jack)
  # for a JACK client built on libjack's headers (libfluidsynth-dev brings them)
  pipewire-bin pipewire-jack
  # real-time priority as Debian's desktops give it (pipewire-bin recommends
  # rtkit): the PipeWire benchmarks and tests run RealtimeKit with polkit on
  # a private system bus (tests/desktop/realtimekit.py); dbus-send asks it
  rtkit polkitd dbus-bin
  # the end-to-end test (tests/e2e): screenshots, XTest keys, pitch detection
  python3 python3-numpy python3-pil python3-xlib
  # held keys under a screen capture (tests/e2e): import -window root
  imagemagick
  # windows listed by another client in a loop (tests/e2e/busy_display_test.py)
  x11-utils
  # Wayland sessions: Qt's Wayland plugin, and weston with XWayland for the
  # test that runs the program there (tests/wayland)
  qt6-wayland weston xwayland
  # the Debian package and its tests (scripts/package.sh, tests/package):
  # dpkg-shlibdeps and file for CPack, the validators of the desktop entry
  # and the metainfo, a fresh Debian root to install into; rsvg-convert for
  # the icon generator (tools/gen_icons.py); lintian for the package, man
  # for the manual page
  dpkg-dev file desktop-file-utils appstream debootstrap debian-archive-keyring
  librsvg2-bin lintian man-db
)

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "Installing: ${missing[*]}"
sudo_cmd=()
[[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
