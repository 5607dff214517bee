#!/usr/bin/env bash
# The Debian package as a user gets it: built by CPack from this build folder, accepted by
# lintian, unpacked with dpkg -x into a scratch root, and run from there: the installed
# kelvaro64-headless prints its version and serves the installed demo set-up to mbpoll. The
# installed desktop entry, metainfo, MIME type, icons, man pages, service unit and manual are
# checked by the standard tools.
#   package.sh BUILD_DIR SOURCE_DIR
set -u
BUILD=$1; SRC=$2
T=$(mktemp -d); PIDS=()
trap 'for p in "${PIDS[@]}"; do kill -9 "$p" 2>/dev/null; done; rm -rf "$T"' EXIT
export XDG_RUNTIME_DIR=$T/runtime; mkdir -m 700 "$XDG_RUNTIME_DIR"
pass=0; fail=0
ok() { pass=$((pass+1)); }
bad() { echo "FAILED: $*"; fail=$((fail+1)); }
check() { if eval "$2"; then ok; else bad "$1"; fi; }
for tool in cpack dpkg-deb dpkg-shlibdeps lintian desktop-file-validate appstreamcli man systemd-analyze mbpoll; do
  command -v "$tool" >/dev/null || { echo "FAILED: $tool is not installed (bash scripts/install-deps.sh --test)"; exit 1; }
done

# --- build -------------------------------------------------------------------------------------
VERSION=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$BUILD/CPackConfig.cmake")
DEB=$T/out/kelvaro64_${VERSION}_amd64.deb
if ! cpack --config "$BUILD/CPackConfig.cmake" -B "$T/out" >"$T/cpack.log" 2>&1 || [ ! -f "$DEB" ]; then
  cat "$T/cpack.log"; bad "cpack made no $(basename "$DEB")"; exit 1
fi
ok
dpkg-deb -f "$DEB" Package Version Architecture Depends >"$T/control"
check "package name, version, architecture" \
  'grep -qx "Package: kelvaro64" "$T/control" && grep -qx "Version: $VERSION" "$T/control" && grep -qx "Architecture: amd64" "$T/control"'
# shlibdeps: the libraries the programs link, with versions, plus the control tool's python3.
for dep in "libc6 (>=" "libqt6widgets6 (>=" "libqt6network6 (>=" "libstdc++6 (>=" "python3"; do
  check "Depends names $dep" 'grep -q "^Depends:.*$dep" "$T/control"'
done

# --- lintian: no errors (warnings and notes are printed for the log) ----------------------------
lintian --fail-on error --tag-display-limit 0 "$DEB" >"$T/lintian.log" 2>&1; rc=$?
grep -v "running with root privileges" "$T/lintian.log" | sed 's/^/lintian: /'
check "lintian reports no error" '[ $rc -eq 0 ] && ! grep -q "^E: " "$T/lintian.log"'

# --- unpack and run ----------------------------------------------------------------------------
ROOT=$T/root
dpkg -x "$DEB" "$ROOT"
for f in usr/bin/kelvaro64 usr/bin/kelvaro64-headless usr/bin/kelvaro64-ctl \
         usr/share/kelvaro64/manual/index.html usr/share/kelvaro64/examples/demo.tst \
         usr/share/applications/com.orvane.Kelvaro64.desktop usr/share/metainfo/com.orvane.Kelvaro64.metainfo.xml \
         usr/share/mime/packages/kelvaro64.xml usr/share/icons/hicolor/scalable/apps/com.orvane.Kelvaro64.svg \
         usr/share/man/man1/kelvaro64.1.gz usr/share/man/man1/kelvaro64-headless.1.gz usr/share/man/man1/kelvaro64-ctl.1.gz \
         usr/lib/systemd/system/kelvaro64-headless@.service usr/share/doc/kelvaro64/copyright; do
  check "installed: /$f" '[ -f "$ROOT/$f" ]'
done
check "the programs are executable" '[ -x "$ROOT/usr/bin/kelvaro64" ] && [ -x "$ROOT/usr/bin/kelvaro64-headless" ] && [ -x "$ROOT/usr/bin/kelvaro64-ctl" ]'
check "kelvaro64-headless --version names the package's version" '"$ROOT/usr/bin/kelvaro64-headless" --version | grep -qx "kelvaro64-headless $(dpkg-deb -f "$DEB" Version | sed "s/-.*//") (6.A00-04)"'
check "LICENSE and copyright: Apache-2.0" 'grep -qx "License: Apache-2.0" "$ROOT/usr/share/doc/kelvaro64/copyright" && grep -q "<project_license>Apache-2.0</project_license>" "$ROOT/usr/share/metainfo/com.orvane.Kelvaro64.metainfo.xml"'
check "kelvaro64-ctl runs with the system python" \
  'head -1 "$ROOT/usr/bin/kelvaro64-ctl" | grep -qx "#!/usr/bin/python3" && "$ROOT/usr/bin/kelvaro64-ctl" --help | grep -q "^usage: kelvaro64-ctl"'

# The installed demo set-up, served from the unpacked root; nothing may be written there.
find "$ROOT" -printf '%p %s %T@\n' | sort >"$T/before"
export XDG_CONFIG_HOME=$T/config
"$ROOT/usr/bin/kelvaro64-headless" --tcp-port 0 --automation-port 0 "$ROOT/usr/share/kelvaro64/examples/demo.tst" \
  >"$T/serve.out" 2>"$T/serve.err" &
PID=$!; PIDS+=("$PID")
PORT=
for _ in $(seq 100); do
  PORT=$(sed -n 's/^open: Modbus\/TCP server (port \([0-9]*\))$/\1/p' "$T/serve.out")
  [ -n "$PORT" ] && break
  kill -0 "$PID" 2>/dev/null || break
  sleep 0.1
done
if [ -z "$PORT" ]; then
  cat "$T/serve.out" "$T/serve.err"; bad "the installed demo did not open its Modbus/TCP server"
else
  ok
  poll() { mbpoll -m tcp -p "$PORT" -a 1 -1 -o 2 "$@" 127.0.0.1 2>>"$T/mbpoll.err" | sed -n 's/^\[\([0-9]*\)\]:[[:space:]]*/\1 /p' | tr '\n' ' '; }
  got=$(poll -r 1 -c 4 -t 4:float)
  check "mbpoll reads the demo's floats (got: $got)" '[ "$got" = "1 3.14159 3 2.71828 5 -40.5 7 1013.25 " ]'
  got=$(poll -r 1 -c 10 -t 3)
  check "mbpoll reads the demo's input registers (got: $got)" \
    '[[ $got == "1 100 2 200 3 300 4 400 5 500 6 600 7 700 8 800 9 900 10 "* ]]'
  got=$(poll -r 1 -c 16 -t 0 | wc -w)
  check "mbpoll reads the demo's 16 coils" '[ "$got" -eq 32 ]'
  kill -TERM "$PID"
  for _ in $(seq 100); do kill -0 "$PID" 2>/dev/null || break; sleep 0.1; done
  kill -0 "$PID" 2>/dev/null && { bad "SIGTERM did not end the installed program within 10 s"; kill -9 "$PID"; }
  wait "$PID"; rc=$?
  check "SIGTERM ends the installed program with status 0 (got $rc)" '[ $rc -eq 0 ]'
fi
find "$ROOT" -printf '%p %s %T@\n' | sort >"$T/after"
check "nothing was written into the installed tree" 'diff "$T/before" "$T/after"'

# --- desktop integration -----------------------------------------------------------------------
DESKTOP=$ROOT/usr/share/applications/com.orvane.Kelvaro64.desktop
desktop-file-validate "$DESKTOP" >"$T/dfv" 2>&1
check "desktop-file-validate" '[ ! -s "$T/dfv" ] || { cat "$T/dfv"; false; }'
appstreamcli validate --no-net "$ROOT/usr/share/metainfo/com.orvane.Kelvaro64.metainfo.xml" >"$T/as" 2>&1
check "appstreamcli validate --no-net" '{ grep -q "Validation was successful" "$T/as" && ! grep -q "^[EW]:" "$T/as"; } || { cat "$T/as"; false; }'
# One MIME type, named the same in the entry, the metainfo and the shared-mime-info file,
# matching *.tst; the entry hands the file to the program.
/usr/bin/python3 - "$ROOT" "$VERSION" >"$T/mime" 2>&1 <<'PY'
import configparser, os, struct, sys, xml.etree.ElementTree as ET
root = sys.argv[1]
ns = {"m": "http://www.freedesktop.org/standards/shared-mime-info"}
mime = ET.parse(root + "/usr/share/mime/packages/kelvaro64.xml").getroot()
types = {t.get("type"): [g.get("pattern") for g in t.findall("m:glob", ns)] for t in mime.findall("m:mime-type", ns)}
entry = configparser.ConfigParser(interpolation=None)
entry.read(root + "/usr/share/applications/com.orvane.Kelvaro64.desktop")
e = entry["Desktop Entry"]
meta = ET.parse(root + "/usr/share/metainfo/com.orvane.Kelvaro64.metainfo.xml").getroot()
problems = []
declared = [m for m in e["MimeType"].split(";") if m]
if declared != ["application/x-kelvaro64-testconfig"] or types.get(declared[0]) != ["*.tst"]:
    problems.append("MIME types: entry %s, shared-mime-info %s" % (declared, types))
if [m.text for m in meta.iter("mediatype")] != declared:
    problems.append("metainfo mediatypes differ from the entry's")
if e["Exec"].split()[0] != "kelvaro64" or "%f" not in e["Exec"].split():
    problems.append("Exec does not pass the file: " + e["Exec"])
releases = [r.get("version") for r in meta.iter("release")]
if not releases or releases[0] != sys.argv[2]:
    problems.append("the metainfo's newest release %s is not the package's version %s" % (releases[:1], sys.argv[2]))
if meta.findtext("launchable") != "com.orvane.Kelvaro64.desktop":
    problems.append("launchable is not the entry")
icons = root + "/usr/share/icons/hicolor"
for size in (16, 24, 32, 48, 64, 128, 256):
    png = "%s/%dx%d/apps/%s.png" % (icons, size, size, e["Icon"])
    with open(png, "rb") as f:
        head = f.read(24)
    if head[:8] != b"\x89PNG\r\n\x1a\n" or struct.unpack(">II", head[16:24]) != (size, size):
        problems.append("%s is not a %dx%d PNG" % (png, size, size))
if problems:
    print("\n".join(problems))
PY
check "MIME type, Exec, icons and release agree" '[ ! -s "$T/mime" ] || { cat "$T/mime"; false; }'

# --- man pages: clean, and every option of --help documented -----------------------------------
for page in kelvaro64 kelvaro64-headless kelvaro64-ctl; do
  gz=$ROOT/usr/share/man/man1/$page.1.gz
  LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$gz" 2>"$T/man.err" >"$T/$page.txt"
  check "man --warnings -l $page.1 is clean" '[ ! -s "$T/man.err" ] || { cat "$T/man.err"; false; }'
  for section in NAME SYNOPSIS DESCRIPTION OPTIONS ENVIRONMENT FILES "EXIT STATUS" EXAMPLES; do
    check "$page(1) has $section" 'grep -q "^$section" "$T/$page.txt"'
  done
done
options() { grep -o -- '--[a-z][a-z-]*' | sort -u; }
for option in $("$ROOT/usr/bin/kelvaro64-headless" --help | options); do
  check "kelvaro64-headless(1) documents $option" 'grep -q -- "$option" "$T/kelvaro64-headless.txt"'
done
for option in $("$ROOT/usr/bin/kelvaro64-ctl" --help | options); do
  check "kelvaro64-ctl(1) documents $option" 'grep -q -- "$option" "$T/kelvaro64-ctl.txt"'
done
for command in $("$ROOT/usr/bin/kelvaro64-ctl" --help | sed -n 's/^    \([a-z]*\) .*/\1/p'); do
  check "kelvaro64-ctl(1) documents the command $command" 'grep -qE "^ {7}$command( |$)" "$T/kelvaro64-ctl.txt"'
done

# --- the service unit --------------------------------------------------------------------------
# Verified as installed: its ExecStart must exist in the root and its man page be found.
mkdir -p "$T/verify"
cp "$ROOT/usr/lib/systemd/system/kelvaro64-headless@.service" "$T/verify/kelvaro64-headless@demo.service"
sed -i "s|/usr/bin/kelvaro64-headless|$ROOT/usr/bin/kelvaro64-headless|" "$T/verify/kelvaro64-headless@demo.service"
MANPATH=$ROOT/usr/share/man: SYSTEMD_LOG_LEVEL=notice systemd-analyze verify "$T/verify/kelvaro64-headless@demo.service" >"$T/sa" 2>&1
rc=$?
check "systemd-analyze verify (rc $rc)" '[ $rc -eq 0 ] && [ ! -s "$T/sa" ] || { cat "$T/sa"; false; }'

# --- the installed manual ----------------------------------------------------------------------
/usr/bin/python3 "$SRC/tests/packaging/check-manual.py" "$ROOT/usr/share/kelvaro64/manual"; rc=$?
check "the installed manual's links resolve" '[ $rc -eq 0 ]'

echo "$pass passed, $fail failed"
[ "$fail" -eq 0 ]
