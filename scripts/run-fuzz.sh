#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each for SECONDS: run-fuzz.sh [SECONDS [TARGET...]]
# Targets: config_loader_fuzz (seeds fuzz/seeds/*.cfg), language_loader_fuzz (fuzz/seeds/*.lng and
# the shipped language files).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh --tests
build=${BUILD_DIR:-build-fuzz}
seconds=${1:-120}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(config_loader_fuzz language_loader_fuzz)
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DNORVELCO_FUZZ=ON -DNORVELCO_TESTS=OFF -DNORVELCO_BENCH=OFF
cmake --build "$build" --target "${targets[@]}" -j "$(nproc)"
for target in "${targets[@]}"; do
  corpus="$build/corpus-$target"
  mkdir -p "$corpus"
  case $target in
    config_loader_fuzz) cp -n fuzz/seeds/*.cfg "$corpus"/ 2>/dev/null || true ;;
    language_loader_fuzz) cp -n fuzz/seeds/*.lng lang/*.lng "$corpus"/ 2>/dev/null || true ;;
  esac
  # Inputs up to 1 MiB: deep enough nesting to find any walk that recurses per level.
  (cd "$build/bin" && ASAN_OPTIONS=detect_leaks=1 "./$target" -max_total_time="$seconds" \
    -max_len=1048576 "../corpus-$target")
done
