#!/usr/bin/env bash
# Remakes the manual's pictures (docs/manual/images/*.png): the real application under Xvfb,
# driven through its own commands by kelvaro64-manual-shots, with the demo set-up open and a
# few requests of a Modbus/TCP master in the traffic view, then learn mode and the tank example's
# behaviour. Run it after a window or dialog changes; commit only the pictures meant to change.
#   scripts/screenshot-manual.sh [BUILD_DIR]      (default build-cc; the target is built first)
set -euo pipefail
source "$(dirname "$0")/lib.sh"
BUILD=${1:-build-cc}
OUT=docs/manual/images
command -v xvfb-run >/dev/null || { echo "xvfb-run is not installed (bash scripts/install-deps.sh --test)" >&2; exit 2; }
cmake --build "$BUILD" --target kelvaro64-manual-shots
mkdir -p "$OUT"
# A fixed screen and style, so that pictures change only when the windows do.
env QT_QPA_PLATFORM=xcb QT_STYLE_OVERRIDE=Fusion \
  xvfb-run -a -s "-screen 0 1280x900x24" \
  "$BUILD/tests/packaging/kelvaro64-manual-shots" examples "$OUT"
echo "pictures in $OUT"
