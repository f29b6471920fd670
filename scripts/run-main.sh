#!/usr/bin/env bash
# Installs what is missing, builds the programs and runs the main job: the Configurator against a
# device. With NORVELCO_PORT=/dev/ttyUSB0 (say) it uses that device; otherwise it starts a
# simulated one (MODEL picks its type, default RB16T5-SQ7_2). On a desktop (DISPLAY or
# WAYLAND_DISPLAY set) it opens the Configurator window, whose connect dialog lists the simulated
# port; elsewhere, or with NORVELCO_CLI=1, the command-line tool identifies the device and shows
# every parameter read from it (arguments go to "show", e.g. --json or --keys).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
build=${BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DNORVELCO_TESTS=OFF -DNORVELCO_BENCH=OFF
cmake --build "$build" -j "$(nproc)"
bin="$build/bin"

desktop=""
[ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && [ -z "${NORVELCO_CLI:-}" ] && desktop=1

port=${NORVELCO_PORT:-}
if [ -z "$port" ]; then
  work=$(mktemp -d)
  fifo="$work/out"
  mkfifo "$fifo"
  # On a desktop the link goes to the user's own ports folder, where the connect dialog looks.
  runtime=${XDG_RUNTIME_DIR:-}
  [ -z "$desktop" ] && runtime="$work"
  XDG_RUNTIME_DIR="$runtime" "$bin/norvelco-devsim" --type "${MODEL:-RB16T5-SQ7_2}" --firmware 2.1.0 >"$fifo" &
  sim=$!
  trap 'kill $sim 2>/dev/null; wait $sim 2>/dev/null; rm -rf "$work"' EXIT
  exec 3<"$fifo"
  read -r word port <&3
  [ "$word" = PORT ] || { echo "the simulator did not start" >&2; exit 1; }
  read -r _ link <&3 || true
  echo "Simulated device on $port${link:+ (listed as $(basename "$link"))}"
fi

if [ -n "$desktop" ]; then
  "$bin/NORVELCO"
else
  "$bin/norvelco-cli" --port "$port" identify
  echo
  "$bin/norvelco-cli" --port "$port" show --device "$@"
fi
