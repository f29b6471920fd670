#!/usr/bin/env bash
# Installs what is missing, builds the programs and runs the main job.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
build=${BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DNORVELCO_TESTS=OFF
cmake --build "$build" -j "$(nproc)"
"$build/bin/norvelco-models" "$@"
