#!/usr/bin/env bash
# Installs what is missing, builds Tarnix (release) and starts it. With a
# display the desktop program starts; without one, the headless program,
# which takes the same options as tarnix-cli (pass them after the script).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset release
# Only the program that starts: the tests and benchmarks are test.sh's.
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  cmake --build --preset release -j "$(nproc)" --target tarnix
  exec build/release/src/ui/tarnix "$@"
fi
cmake --build --preset release -j "$(nproc)" --target tarnix-cli
echo "run: no display found; starting the headless program (build/release/src/cli/tarnix-cli)" >&2
if [ $# -eq 0 ]; then
  # Like the desktop program: the default adapter, every HTTP request
  # recorded in the per-user database.
  data="${XDG_DATA_HOME:-$HOME/.local/share}/tarnix"
  mkdir -p "$data"
  set -- --db "$data" --print-requests
fi
exec build/release/src/cli/tarnix-cli "$@"
