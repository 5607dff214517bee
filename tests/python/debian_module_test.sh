#!/usr/bin/env bash
# The module as the Debian package installs it (the install rules' "python" component, into a
# scratch prefix instead of /usr): a plain pytest with Debian's python finds the plugin through
# its entry point and runs the example suite.
#   debian_module_test.sh BUILD_DIR SOURCE_ROOT HEADLESS
set -euo pipefail
build=$1 root=$2 headless=$3
T=$(mktemp -d)
trap 'rm -rf "$T"' EXIT
cmake --install "$build" --component python --prefix "$T/usr" >/dev/null
cp -r "$root/examples/pytest" "$T/examples"
rm -rf "$T/examples/__pycache__"
cd "$T/examples"
unset PYTEST_DISABLE_PLUGIN_AUTOLOAD
export PYTHONPATH=$T/usr/lib/python3/dist-packages PYTHONDONTWRITEBYTECODE=1
/usr/bin/python3 -c 'import kelvaro64, sys; assert kelvaro64.__file__.startswith(sys.argv[1]), kelvaro64.__file__' "$T/usr"
KELVARO64_HEADLESS=$headless /usr/bin/python3 -m pytest -q -p no:cacheprovider "$T/examples"
