#!/usr/bin/env bash
# Screenshot of traffic mode while a third-party master polls: two data windows showing traffic
# (Hex above, Decimal below) under Xvfb, mbpoll reading ten holding registers every 100 ms.
#   scripts/screenshot-traffic.sh [BUILD_DIR] [OUT.png]
set -euo pipefail
source "$(dirname "$0")/lib.sh"
BUILD=${1:-build-traffic}
OUT=${2:-$BUILD/screenshot-traffic.png}
DEMO=$BUILD/bench/traffic/kelvaro_traffic_bench
[[ -x $DEMO ]] || { echo "build the target kelvaro_traffic_bench in $BUILD first" >&2; exit 2; }
command -v mbpoll >/dev/null || { echo "mbpoll is not installed" >&2; exit 2; }

# Everything below runs inside Xvfb; only the PIDs started there are stopped.
env -u QT_QPA_PLATFORM xvfb-run -a -s "-screen 0 1000x740x24" bash -c '
  set -u
  DEMO=$1; T=$2; OUT=$3
  "$DEMO" --demo 30 "$T/port" & APP=$!
  for _ in $(seq 100); do [[ -s $T/port ]] && break; sleep 0.1; done
  [[ -s $T/port ]] || { echo "the application did not start" >&2; kill $APP; exit 1; }
  PORT=$(cat "$T/port")
  mbpoll -m tcp -p "$PORT" -a 1 -r 1 -c 10 -t 4 -l 100 127.0.0.1 >"$T/mbpoll.log" 2>&1 & MASTER=$!
  sleep 4
  import -window root "$OUT"
  kill $MASTER $APP 2>/dev/null
  wait $MASTER $APP 2>/dev/null
  grep -c "^\[1\]:" "$T/mbpoll.log" | sed "s/^/mbpoll polls answered: /"
' _ "$DEMO" "$SCRATCH" "$(realpath -m "$OUT")"
echo "screenshot: $OUT"
