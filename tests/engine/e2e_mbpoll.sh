#!/usr/bin/env bash
# mbpoll (libmodbus) as the master against the engine's test server: Modbus/TCP and RTU over a
# socat pseudo-terminal pair. Usage: e2e_mbpoll.sh PATH/TO/pomrel_testserver
set -u
server=$1
T=$(mktemp -d)
PIDS=()
cleanup() {
  for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$T"
}
trap cleanup EXIT

failed=0
check() {  # name got want
  if [[ "$2" == "$3" ]]; then echo "ok   $1"; else echo "FAIL $1: got '$2', want '$3'"; failed=$((failed + 1)); fi
}
values() { sed -n 's/^\[[0-9]*\]:[[:space:]]*//p' | tr '\n' ' ' | sed 's/ $//'; }

socat pty,raw,echo=0,link="$T/master" pty,raw,echo=0,link="$T/slave" 2>/dev/null & PIDS+=($!)
for _ in $(seq 50); do [[ -e $T/master && -e $T/slave ]] && break; sleep 0.1; done
[[ -e $T/slave ]] || { echo "FAIL socat pair"; exit 1; }

"$server" --tcp-port 0 --rtu "$T/slave" > "$T/server.out" & PIDS+=($!)
for _ in $(seq 50); do grep -q '^ready' "$T/server.out" 2>/dev/null && break; sleep 0.1; done
port=$(sed -n 's/^tcp //p' "$T/server.out")
[[ -n $port ]] || { echo "FAIL server did not start"; exit 1; }

tcp=(mbpoll -m tcp -p "$port" -a 1 -1 127.0.0.1)
check "tcp read holding" "$("${tcp[@]}" -r 1 -c 4 -t 4 | values)" "0 10 20 30"
"${tcp[@]}" -r 41 -t 4 -- 4321 > /dev/null
check "tcp write single" "$("${tcp[@]}" -r 41 -c 1 -t 4 | values)" "4321"
"${tcp[@]}" -r 42 -t 4 -- 11 22 33 > /dev/null
check "tcp write multiple" "$("${tcp[@]}" -r 42 -c 3 -t 4 | values)" "11 22 33"
check "tcp coils" "$("${tcp[@]}" -r 1 -c 4 -t 0 | values)" "1 0 0 1"
check "tcp input registers" "$("${tcp[@]}" -r 1 -c 2 -t 3 | values)" "1000 1001"
err=$("${tcp[@]}" -r 201 -c 1 -t 4 2>&1 >/dev/null); rc=$?
check "tcp illegal address" "$rc $(grep -o 'Illegal data address' <<<"$err")" "1 Illegal data address"

rtu=(mbpoll -m rtu -b 9600 -d 8 -s 1 -P none -a 1 -1 -o 1 "$T/master")
check "rtu read holding" "$("${rtu[@]}" -r 11 -c 3 -t 4 | values)" "100 110 120"
"${rtu[@]}" -r 61 -t 4 -- 999 > /dev/null
check "rtu write single" "$("${rtu[@]}" -r 61 -c 1 -t 4 | values)" "999"
"${rtu[@]}" -r 62 -t 0 -- 1 0 1 > /dev/null
check "rtu write coils" "$("${rtu[@]}" -r 62 -c 3 -t 0 | values)" "1 0 1"
check "rtu discrete inputs" "$("${rtu[@]}" -r 1 -c 3 -t 1 | values)" "1 0 1"
check "rtu device 2" "$(mbpoll -m rtu -b 9600 -P none -a 2 -1 -o 1 -r 1001 -c 2 -t 4 "$T/master" | values)" "2000 2001"
err=$(mbpoll -m rtu -b 9600 -P none -a 9 -1 -o 1 -r 1 -c 1 -t 4 "$T/master" 2>&1 >/dev/null); rc=$?
check "rtu unknown device is silent" "$rc $(grep -o 'timed out' <<<"$err")" "1 timed out"

echo "$failed failed"
exit $((failed > 0))
