#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs what is missing, builds, and runs every test.  The unit tests need
# no display (Qt's offscreen platform) and no sound device (the engine renders
# offline), and are kept away from any sound server.  The end-to-end tests
# start a virtual X server and a PulseAudio server of their own and stop them
# by process id, so nothing is left running when this script ends.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh
(cd build && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j2)
scripts/sanitize.sh   # the unit tests again under ThreadSanitizer, then ASan and UBSan
# A short fuzzing run of each target; a crash fails the run.
scripts/fuzz.sh 25
