#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test.  The tests need no
# display (Qt's offscreen platform) and no sound device (the engine renders
# offline); a sound server is started anyway for the tests that can use one.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh
scripts/sound-server.sh || echo "(no sound server: tests that want one are skipped)" >&2
(cd build && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j2)
# A short fuzzing run of each target; a crash fails the run.
scripts/fuzz.sh 25
