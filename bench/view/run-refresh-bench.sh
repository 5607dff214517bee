#!/usr/bin/env bash
# Whole-program measurement of the data views' refresh: 32 windows x 1000 holding registers,
# every value changing each second, user-interface thread CPU over 30 s. Runs once under a
# real X server (Xvfb, xcb platform) and once offscreen.
#   bench/view/run-refresh-bench.sh <build dir> [seconds]
set -euo pipefail
build=${1:?usage: $0 <build dir> [seconds]}
seconds=${2:-30}
bin="$build/bench/view/kelvaro_view_refresh_bench"
[ -x "$bin" ] || { echo "build the target kelvaro_view_refresh_bench first" >&2; exit 1; }
export XDG_RUNTIME_DIR="$(mktemp -d)"
trap 'rm -rf "$XDG_RUNTIME_DIR"' EXIT
if command -v xvfb-run >/dev/null; then
  for layout in tile cascade; do
    env -u QT_QPA_PLATFORM QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1280x1024x24" \
      "$bin" --windows 32 --seconds "$seconds" --layout "$layout"
  done
fi
QT_QPA_PLATFORM=offscreen "$bin" --windows 32 --seconds "$seconds" --layout tile
QT_QPA_PLATFORM=offscreen "$bin" --windows 32 --seconds "$seconds" --layout tile --static
