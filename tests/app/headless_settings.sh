#!/usr/bin/env bash
# kelvaro64-headless and its settings files: --tcp-port serves one run and is never saved;
# --save that cannot save says which file and why and exits non-zero; a FIFO named as a file
# (settings or command line) is refused at once instead of holding start-up.
set -u
BIN=$1
T=$(mktemp -d)
# Only jobs still running are killed: a finished program's number may belong to another test's
# process by now.
trap 'kill -9 $(jobs -p) 2>/dev/null; rm -rf "$T"' EXIT
pass=0; fail=0
check() { if eval "$2"; then pass=$((pass+1)); else echo "FAILED: $1"; fail=$((fail+1)); fi; }

# Starts the program with settings under $1, waits until it serves (its "open:" line), ends it
# with SIGTERM and leaves its exit code in $rc. The output files are emptied before the start:
# emptied by the started process instead, the wait could read the previous run's "open:" and
# signal a child that is not yet the program (a forked shell still holding this script's EXIT
# trap, which then removes $T), or the program before it handles SIGTERM.
run() {
  local config=$1; shift
  : >"$T/out"; : >"$T/err"
  XDG_CONFIG_HOME="$config" KELVARO64_AUTOMATION_PORT=0 QT_QPA_PLATFORM=offscreen \
    "$BIN" "$@" >>"$T/out" 2>>"$T/err" &
  local pid=$!
  for _ in $(seq 200); do grep -q "^open:\|^failed:" "$T/out" 2>/dev/null && break; kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
  kill -s TERM "$pid" 2>/dev/null
  wait "$pid"; rc=$?
}
port_of() { od -An -tu2 -N2 "$1" | tr -d ' '; }

# A document to serve, so that the server opens without a set-up.
printf '\0\0\0\x041.06\x03\x01\x01\x00\x0a\x00\x00\x00' >"$T/doc"
head -c 2004 /dev/zero >>"$T/doc"   # the words, then no simulated points

# 1. The settings hold 1502; a run on another port with --save keeps 1502.
mkdir -p "$T/c1/Orvane"
{ printf '\xde\x05'; head -c 744 /dev/zero; } >"$T/c1/Orvane/kv64comm2.cfg"
run "$T/c1" --save --tcp-port 0 "$T/doc"
check "--tcp-port run exits 0 (got $rc)" '[ $rc -eq 0 ]'
check "it served on the one-off port" 'grep -q "^open:" "$T/out"'
check "--save kept the port of the settings (got $(port_of "$T/c1/Orvane/kv64comm2.cfg"))" \
  '[ "$(port_of "$T/c1/Orvane/kv64comm2.cfg")" = 1502 ]'

# 2. Settings that cannot be written: the folder would lie inside a plain file.
printf x >"$T/plain"
run "$T/plain" --save --tcp-port 0 "$T/doc"
check "a failed --save exits non-zero (got $rc)" '[ $rc -ne 0 ]'
check "it names the file and the reason" 'grep -q "cannot save .*/plain/Orvane/kv64comm2.cfg: Not a directory" "$T/err"'
run "$T/plain" --tcp-port 0 "$T/doc"
check "without --save nothing is written and the run exits 0 (got $rc)" '[ $rc -eq 0 ]'

# 3. FIFOs: as the alias file the program still starts and serves; as a named file it is refused.
mkdir -p "$T/c3/Orvane"; mkfifo "$T/c3/Orvane/kelvaro64.ali" "$T/fifo.tst" "$T/fifo-doc"
run "$T/c3" --tcp-port 0 "$T/doc"
check "a FIFO alias file does not hold start-up" 'grep -q "^open:" "$T/out" && [ $rc -eq 0 ]'
check "it is reported" 'grep -q "kelvaro64.ali not read (not a regular file)" "$T/err"'
XDG_CONFIG_HOME="$T/c3" KELVARO64_AUTOMATION_PORT=0 QT_QPA_PLATFORM=offscreen \
  timeout 60 "$BIN" --tcp-port 0 "$T/fifo.tst" "$T/fifo-doc" >"$T/out" 2>"$T/err"; rc=$?
check "named FIFOs end the run with an error, not a hang (got $rc)" '[ $rc -eq 1 ]'
check "the .tst is refused with a reason" 'grep -q "cannot restore .*fifo.tst: not a regular file" "$T/err"'
check "the document is refused with a reason" 'grep -q "cannot open .*fifo-doc: not a regular file" "$T/err"'

echo "$pass passed, $fail failed"
[ "$fail" -eq 0 ]
