#!/bin/sh
# User-space instructions per request of kelvaro_bench_server, from callgrind (deterministic even on
# a busy machine). Two runs with different request counts; the difference cancels start-up and
# shutdown. Usage: bench/callgrind-per-request.sh <build dir> [connections] [rounds]
set -eu
build=$1
conns=${2:-64}
rounds=${3:-100}
here=$(dirname "$0")
out=$(mktemp -d)

run() {  # $1 = rounds; prints the total instruction count
    valgrind --tool=callgrind ${CALLGRIND_OPTS:-} --callgrind-out-file="$out/cg.$1" \
        "$build/bench/kelvaro_bench_server" --max-seconds 600 > "$out/port.$1" 2> "$out/vg.$1" &
    pid=$!
    i=0
    until grep -q '^PORT' "$out/port.$1" 2>/dev/null; do
        i=$((i + 1))
        if [ $i -gt 600 ]; then kill "$pid"; echo "server did not start" >&2; exit 2; fi
        sleep 0.1
    done
    port=$(sed -n 's/^PORT //p' "$out/port.$1")
    /usr/bin/python3 "$here/fixed-requests.py" --port "$port" --connections "$conns" --rounds "$1" >&2
    kill -TERM "$pid"
    wait "$pid" || true
    callgrind_annotate "$out/cg.$1" 2>/dev/null | sed -n 's/^\([0-9,]*\) .*PROGRAM TOTALS.*/\1/p' | tr -d ,
}

small=$(run "$rounds")
large=$(run $((rounds * 3)))
requests=$((conns * rounds * 2))
echo "instructions: $small ($((conns * rounds)) requests), $large ($((conns * rounds * 3)) requests)"
echo "per request: $(( (large - small) / requests ))"
echo "callgrind files: $out"
