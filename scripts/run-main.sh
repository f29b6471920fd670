#!/usr/bin/env bash
# Installs what is missing, builds the programs and runs the main job: the Configurator's
# functions against a device. With NORVELCO_PORT=/dev/ttyUSB0 (say) it talks to that device;
# otherwise it starts a simulated device (MODEL picks its type, default RB16T5-SQ7_2).
# It identifies the device and shows every parameter read from it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
build=${BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DNORVELCO_TESTS=OFF -DNORVELCO_BENCH=OFF
cmake --build "$build" -j "$(nproc)"
bin="$build/bin"

port=${NORVELCO_PORT:-}
if [ -z "$port" ]; then
  runtime=$(mktemp -d)
  fifo="$runtime/out"
  mkfifo "$fifo"
  XDG_RUNTIME_DIR="$runtime" "$bin/norvelco-devsim" --type "${MODEL:-RB16T5-SQ7_2}" --firmware 2.1.0 >"$fifo" &
  sim=$!
  trap 'kill $sim 2>/dev/null; wait $sim 2>/dev/null; rm -rf "$runtime"' EXIT
  exec 3<"$fifo"
  read -r word port <&3
  [ "$word" = PORT ] || { echo "the simulator did not start" >&2; exit 1; }
  echo "Simulated device on $port"
fi

"$bin/norvelco-cli" --port "$port" identify
echo
"$bin/norvelco-cli" --port "$port" show --device "$@"
