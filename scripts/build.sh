#!/usr/bin/env bash
# Configures and builds Plinkora in ./build (program, tests, benchmarks).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -Wno-dev >/dev/null
cmake --build build -j"$(nproc)"
