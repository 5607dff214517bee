#!/usr/bin/env bash
# Builds the wheel and the sdist from a copy of python/ (the build writes beside its sources),
# installs the wheel into a fresh venv and runs the example suite with it: the plugin found
# through its entry point, the module the venv's.
#   wheel_test.sh SOURCE_ROOT HEADLESS
set -euo pipefail
root=$1 headless=$2
T=$(mktemp -d)
trap 'rm -rf "$T"' EXIT
cp -r "$root/python" "$T/src"
cp -r "$root/examples/pytest" "$T/examples"
rm -rf "$T/src/tests" "$T"/examples/__pycache__ "$T"/src/src/kelvaro64/__pycache__
unset PYTHONPATH PYTEST_DISABLE_PLUGIN_AUTOLOAD
/usr/bin/python3 -m build --no-isolation --outdir "$T/dist" "$T/src" >"$T/build.log" 2>&1 || { cat "$T/build.log"; exit 1; }
version=$(sed -n 's/^project(Kelvaro64 VERSION \([^ ]*\).*/\1/p' "$root/CMakeLists.txt")
ls "$T/dist"
test -f "$T/dist/kelvaro64-$version-py3-none-any.whl"
test -f "$T/dist/kelvaro64-$version.tar.gz"
/usr/bin/python3 -m venv --system-site-packages "$T/venv"
"$T/venv/bin/pip" install -q --no-deps --no-index "$T/dist/kelvaro64-$version-py3-none-any.whl"
cd "$T/examples"
"$T/venv/bin/python" -c 'import kelvaro64, sys; assert kelvaro64.__file__.startswith(sys.prefix), kelvaro64.__file__; print(kelvaro64.__file__)'
KELVARO64_HEADLESS=$headless "$T/venv/bin/python" -m pytest -q -p no:cacheprovider "$T/examples"
