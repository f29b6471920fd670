#!/usr/bin/env bash
# Installs what is missing, builds with AddressSanitizer and UndefinedBehaviorSanitizer, runs every
# test; then runs the widget and desktop tests again in an optimised build without sanitizers,
# where a use-after-free inside Qt (which the sanitizers do not see) crashes.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh --tests
build=${BUILD_DIR:-build-test}
opt=${OPT_BUILD_DIR:-build-opt}
jobs=$(nproc)
export QT_QPA_PLATFORM=offscreen

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DNORVELCO_SANITIZE=ON -DNORVELCO_BENCH=OFF
cmake --build "$build" -j "$jobs"
status=0
(
  export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
  export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
  cd "$build" && ctest --output-on-failure -j "$jobs" --timeout 300
) || status=$?

# Only what the widget and desktop tests need is built here.
cmake -S . -B "$opt" -G Ninja -DCMAKE_BUILD_TYPE=Release -DNORVELCO_SANITIZE=OFF \
  -DNORVELCO_BENCH=OFF -DNORVELCO_TEST_FOLDERS="ui;desktop"
cmake --build "$opt" -j "$jobs" --target test_ui test_desktop norvelco_lang
(cd "$opt" && ctest --output-on-failure -j "$jobs" --timeout 300) || status=$?
exit "$status"
