#!/usr/bin/env bash
# Installs the Debian 12 packages that are missing; does nothing when they are all there.
#   install-deps.sh          what building and running need (scripts/run.sh)
#   install-deps.sh --test   that, plus what the tests, screenshots, sanitizers and the package
#                            checks need (scripts/test.sh)
set -euo pipefail
# GoogleTest is on the run side: configuring the project looks for it.
RUN=(cmake ninja-build g++ qt6-base-dev qt6-base-dev-tools libasio-dev libssl-dev nlohmann-json3-dev
     libgtest-dev libgmock-dev fonts-dejavu-core liblua5.4-dev qt6-charts-dev libqt6opengl6-dev libcpp-httplib-dev)
TEST=(libbenchmark-dev clang libclang-rt-14-dev
      xvfb xauth x11-apps imagemagick
      socat mbpoll openssl libmodbus-dev python3-pymodbus python3-serial python3-serial-asyncio
      dpkg-dev lintian desktop-file-utils appstream man-db systemd librsvg2-bin
      tshark python3-pytest python3-pytest-xdist python3-build python3-venv python3-setuptools python3-wheel prometheus)
PKGS=("${RUN[@]}")
[ "${1:-}" = "--test" ] && PKGS+=("${TEST[@]}")
missing=()
for p in "${PKGS[@]}"; do
  dpkg-query -W -f='${db:Status-Abbrev}' "$p" 2>/dev/null | grep -q '^ii' || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  export DEBIAN_FRONTEND=noninteractive
  # tshark's package asks whether non-root users may capture: no (captures here are only read).
  echo "wireshark-common wireshark-common/install-setuid boolean false" | $SUDO debconf-set-selections 2>/dev/null || true
  $SUDO apt-get -o DPkg::Lock::Timeout=600 update -qq
  # Without recommends: they would pull a second monospace font that changes "Courier".
  $SUDO apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
