#!/usr/bin/env bash
# Installs the Debian 12 packages the build, the tests and the demo need; does nothing when
# they are all there already.
set -euo pipefail
PKGS=(cmake ninja-build g++ qt6-base-dev qt6-base-dev-tools libasio-dev
      libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-14-dev
      xvfb xauth x11-apps imagemagick fonts-dejavu-core
      socat mbpoll libmodbus-dev python3-pymodbus python3-serial python3-serial-asyncio)
missing=()
for p in "${PKGS[@]}"; do
  dpkg-query -W -f='${db:Status-Abbrev}' "$p" 2>/dev/null | grep -q '^ii' || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get -o DPkg::Lock::Timeout=600 update -qq
  # Without recommends: they would pull a second monospace font that changes "Courier".
  $SUDO apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
