#!/usr/bin/env bash
# Screenshot of four data windows under Xvfb after a third-party master (mbpoll) wrote into
# them over Modbus/TCP: device 1 in Decimal, 2 in Hex, 3 in Float, 4 in Long.
#   scripts/screenshot-views.sh [BUILD_DIR] [OUT.png]
set -euo pipefail
source "$(dirname "$0")/lib.sh"
BUILD=${1:-build-view}
OUT=${2:-$BUILD/screenshot-views.png}
DEMO=$BUILD/bench/view/kelvaro_view_refresh_bench
[[ -x $DEMO ]] || { echo "build the target kelvaro_view_refresh_bench in $BUILD first" >&2; exit 2; }
command -v mbpoll >/dev/null || { echo "mbpoll is not installed" >&2; exit 2; }

# Everything below runs inside Xvfb; only the PIDs started there are stopped.
env QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
  set -u
  DEMO=$1; T=$2; OUT=$3
  "$DEMO" --demo 30 "$T/port" & APP=$!
  for _ in $(seq 100); do [[ -s $T/port ]] && break; sleep 0.1; done
  [[ -s $T/port ]] || { echo "the application did not start" >&2; kill $APP; exit 1; }
  PORT=$(cat "$T/port")
  w() { mbpoll -m tcp -p "$PORT" -1 "$@" >>"$T/mbpoll.log" 2>&1 || echo "mbpoll failed: $*" >&2; }
  w -a 1 -r 1 -t 4 127.0.0.1 -- 0 1 42 1234 65535 32768 7 100 9999 12345
  w -a 2 -r 1 -t 4:hex 127.0.0.1 -- 0x00FF 0xABCD 0x1234 0xFFFF 0x8000 0x0001
  w -a 3 -r 1 -t 4:float 127.0.0.1 -- 3.14159 -2.5 1000000 0.001 1e10 -273.15
  w -a 4 -r 1 -t 4:int 127.0.0.1 -- -42 123456 2147483647 -2147483648 0 1
  sleep 2.5
  import -window root "$OUT"
  kill $APP 2>/dev/null
  wait $APP 2>/dev/null
  grep -c "^Written" "$T/mbpoll.log" | sed "s/^/mbpoll writes done: /"
' _ "$DEMO" "$SCRATCH" "$(realpath -m "$OUT")"
echo "screenshot: $OUT"
