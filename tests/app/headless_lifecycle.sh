#!/usr/bin/env bash
# kelvaro64-headless: --version / --help, a bad option, and an orderly end on SIGTERM and SIGINT
# (exit code 0, settings files untouched without --save).
set -u
BIN=$1
T=$(mktemp -d)
# Only jobs still running are killed: a finished program's number may belong to another test's
# process by now.
trap 'kill -9 $(jobs -p) 2>/dev/null; rm -rf "$T"' EXIT
pass=0; fail=0
check() { if eval "$2"; then pass=$((pass+1)); else echo "FAILED: $1"; fail=$((fail+1)); fi; }

check "--version prints the version" '"$BIN" --version | grep -q "^kelvaro64-headless 6.A00-04$"'
check "--help prints the usage" '"$BIN" --help | grep -q "^Usage: kelvaro64-headless"'
"$BIN" --bogus >/dev/null 2>"$T/err"; rc=$?
check "an unknown option exits 2" '[ $rc -eq 2 ] && grep -q "unknown option --bogus" "$T/err"'

# A document to serve, so that the program says when it serves ("open:").
printf '\0\0\0\x041.06\x03\x01\x01\x00\x0a\x00\x00\x00' >"$T/doc"
head -c 2004 /dev/zero >>"$T/doc"   # the words, then no simulated points

for sig in TERM INT; do
  XDG_CONFIG_HOME="$T/config-$sig" KELVARO64_AUTOMATION_PORT=0 QT_QPA_PLATFORM=offscreen \
    "$BIN" --tcp-port 0 "$T/doc" >"$T/out-$sig" 2>&1 &
  pid=$!
  # Signalled once it serves: sooner, on a loaded machine, the signal can reach the forked shell
  # before it has become the program (that shell runs this script's EXIT trap, removing $T), or
  # the program before it handles the signal.
  for _ in $(seq 200); do grep -q "^open:" "$T/out-$sig" 2>/dev/null && break; sleep 0.05; done
  kill -s "$sig" "$pid"
  # It must be gone within a second (20 × 50 ms).
  for _ in $(seq 20); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
  if kill -0 "$pid" 2>/dev/null; then alive=1; else alive=0; fi
  wait "$pid"; rc=$?
  check "SIG$sig ends it within a second" '[ $alive -eq 0 ]'
  check "SIG$sig exit code 0 (got $rc)" '[ $rc -eq 0 ]'
  check "SIG$sig leaves no settings file" '[ ! -e "$T/config-$sig/Orvane/kv64comm2.cfg" ]'
done

echo "$pass passed, $fail failed"
[ "$fail" -eq 0 ]
