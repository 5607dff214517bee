#!/usr/bin/env bash
# Builds the simulator and runs it: the desktop program when a display is there, otherwise the
# headless program serving the demo set-up on Modbus/TCP port 1502.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
# Qt wants a private runtime folder; a login session has one, a container or su shell may not.
if [ -z "${XDG_RUNTIME_DIR:-}" ] || [ ! -d "$XDG_RUNTIME_DIR" ]; then
  XDG_RUNTIME_DIR=${TMPDIR:-/tmp}/kelvaro64-runtime-$(id -u)
  mkdir -p -m 700 "$XDG_RUNTIME_DIR"
  export XDG_RUNTIME_DIR
fi
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
