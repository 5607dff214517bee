#!/usr/bin/env bash
# Builds everything and runs every test (unit, widget, end-to-end) headless.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
bash scripts/install-deps.sh --test

export QT_QPA_PLATFORM=offscreen

BUILD=${BUILD:-build-test}
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVARO_WERROR=ON \
      -DPython3_EXECUTABLE=/usr/bin/python3 >/dev/null
cmake --build "$BUILD" -j"$(nproc)"
ctest --test-dir "$BUILD" --output-on-failure -j2 --timeout 300 </dev/null
