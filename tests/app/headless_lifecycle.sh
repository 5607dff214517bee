#!/usr/bin/env bash
# kelvaro64-headless: --version / --help, a bad option, and an orderly end on SIGTERM and SIGINT
# (exit code 0, settings files untouched without --save).
set -u
BIN=$1
SRC=$2
DESKTOP=$3
T=$(mktemp -d)
# Only jobs still running are killed: a finished program's number may belong to another test's
# process by now.
trap 'kill -9 $(jobs -p) 2>/dev/null; rm -rf "$T"' EXIT
pass=0; fail=0
check() { if eval "$2"; then pass=$((pass+1)); else echo "FAILED: $1"; fail=$((fail+1)); fi; }

# The package's version (the man pages' and the .deb's), the About box's, and the licence.
"$BIN" --version >"$T/version"
check "--version prints the package version beside the About box's" 'grep -qx "kelvaro64-headless 6.0.4 (6.A00-04)" "$T/version"'
check "--version names the licence" 'grep -q "Apache-2.0" "$T/version"'
"$DESKTOP" --version >"$T/version-desktop"
check "kelvaro64 --version too" 'grep -qx "kelvaro64 6.0.4 (6.A00-04)" "$T/version-desktop" && grep -q "Apache-2.0" "$T/version-desktop"'
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
# However it is started: no runtime folder in the environment (a container's shell) gives no
# warning, and the stand-in folder is gone again after the run.
mkdir -p "$T/tmp"
env -u XDG_RUNTIME_DIR TMPDIR="$T/tmp" XDG_CONFIG_HOME="$T/config-clean" KELVARO64_AUTOMATION_PORT=0 \
  "$BIN" --tcp-port 0 "$SRC/examples/demo.tst" >"$T/out-clean" 2>"$T/err-clean" &
pid=$!
for _ in $(seq 200); do grep -q "^restored:" "$T/out-clean" && break; sleep 0.05; done
kill -s TERM "$pid"; wait "$pid"; rc=$?
check "a clean run without XDG_RUNTIME_DIR: exit 0 (got $rc)" '[ $rc -eq 0 ] && grep -q "^restored:" "$T/out-clean"'
check "a clean run without XDG_RUNTIME_DIR: nothing on stderr ($(head -c 300 "$T/err-clean"))" '[ ! -s "$T/err-clean" ]'
check "a clean run leaves no runtime folder behind" '[ -z "$(ls -A "$T/tmp")" ]'

echo "$pass passed, $fail failed"
[ "$fail" -eq 0 ]
