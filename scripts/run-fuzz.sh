#!/usr/bin/env bash
# Builds the configuration loader's fuzz target with clang and runs it: run-fuzz.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh --tests
build=${BUILD_DIR:-build-fuzz}
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DNORVELCO_FUZZ=ON -DNORVELCO_TESTS=OFF -DNORVELCO_BENCH=OFF
cmake --build "$build" --target config_loader_fuzz -j "$(nproc)"
corpus="$build/fuzz-corpus"
mkdir -p "$corpus"
cp -n fuzz/seeds/*.cfg "$corpus"/ 2>/dev/null || true
cd "$build/bin"
ASAN_OPTIONS=detect_leaks=1 ./config_loader_fuzz -max_total_time="${1:-120}" -max_len=8192 "../fuzz-corpus"
