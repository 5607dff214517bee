#!/usr/bin/env bash
# Builds the simulator and runs it: the desktop program when a display is there, otherwise the
# headless program serving the demo set-up on Modbus/TCP port 1502.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
# No runtime folder needed: where XDG_RUNTIME_DIR is unset (a container, a su shell) the
# programs make a private one for the run themselves.
BUILD=${BUILD:-build}
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVARO_BENCH=OFF >/dev/null
cmake --build "$BUILD" -j"$(nproc)" --target kelvaro64 kelvaro64-headless kelvaro64-packaging-files
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && [ "${1:-}" != "--headless" ]; then
  exec "$BUILD/app/kelvaro64" "$@"
fi
[ "${1:-}" = "--headless" ] && shift
echo "No display: serving examples/demo.tst headless on Modbus/TCP port 1502 (Ctrl+C ends it)."
echo "Poll it with, for example:  mbpoll -m tcp -p 1502 -a 1 -r 1 -c 10 -t 4 127.0.0.1"
exec "$BUILD/app/kelvaro64-headless" --tcp-port 1502 "$@" examples/demo.tst
