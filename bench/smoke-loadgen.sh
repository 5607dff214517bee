#!/bin/sh
# Smoke test of the load generator (not a benchmark): about one second against the echo server,
# lock-step and pipelined; passes when replies came back and every one of them was valid.
# usage: smoke-loadgen.sh <kelvaro_loadgen> <kelvaro_echo_server>
set -u
LOADGEN=$1
ECHO=$2
T=$(mktemp -d)
SERVER_PID=
cleanup() {
    if [ -n "$SERVER_PID" ]; then kill "$SERVER_PID" 2>/dev/null; wait "$SERVER_PID" 2>/dev/null; fi
    rm -rf "$T"
}
trap cleanup EXIT INT TERM

"$ECHO" --port 0 --max-seconds 20 >"$T/port" 2>"$T/err" &
SERVER_PID=$!
PORT=
i=0
while [ $i -lt 50 ]; do
    PORT=$(sed -n 's/^PORT \([0-9][0-9]*\)$/\1/p' "$T/port")
    [ -n "$PORT" ] && break
    sleep 0.1
    i=$((i + 1))
done
if [ -z "$PORT" ]; then
    echo "echo server did not report a port"; cat "$T/err"; exit 1
fi

status=0
"$LOADGEN" --port "$PORT" --connections 4 --depth 1 --seconds 0.5 --warmup 0.1 --label lock-step || status=1
"$LOADGEN" --port "$PORT" --connections 2 --depth 8 --seconds 0.5 --warmup 0.1 --label pipelined || status=1
exit $status
