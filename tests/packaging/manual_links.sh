#!/usr/bin/env bash
# The manual's links: the checker finds each kind of broken link in a small bad manual, then
# passes the real one (docs/manual).
set -u
CHECK=$1; MANUAL=$2
T=$(mktemp -d); trap 'rm -rf "$T"' EXIT
fail=0

mkdir -p "$T/bad/images"
cat >"$T/bad/index.html" <<'HTML'
<html><body><h1 id="top">x</h1>
<a href="gone.html">missing page</a> <a href="second.html#nowhere">missing anchor</a>
<a href="#top">fine</a> <a href="second.html#here">fine</a> <img src="images/none.png">
<a href="../outside.html">outside</a>
</body></html>
HTML
echo '<html><body><p id="here">second</p></body></html>' >"$T/bad/second.html"
echo '<html><body>nobody links here</body></html>' >"$T/bad/lost.html"
: >"$T/bad/images/unused.png"
/usr/bin/python3 "$CHECK" "$T/bad" >"$T/out"; rc=$?
for fault in "gone.html: no such file" "no anchor #nowhere" "images/none.png: no such file" \
             "../outside.html leaves the manual" "lost.html: not reachable" "unused.png: picture shown on no page"; do
  grep -qF "$fault" "$T/out" || { echo "FAILED: the checker missed: $fault"; fail=1; }
done
[ "$rc" -eq 1 ] || { echo "FAILED: a bad manual exits $rc, not 1"; fail=1; }
[ "$(wc -l <"$T/out")" -eq 6 ] || { echo "FAILED: expected 6 faults:"; cat "$T/out"; fail=1; }

/usr/bin/python3 "$CHECK" "$MANUAL" || { echo "FAILED: docs/manual has broken links (above)"; fail=1; }
exit $fail
