#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs the Debian packages the build and the tests need, when any is missing.
#   scripts/deps.sh            what the build and the native tests need
#   scripts/deps.sh --extras   what the real-stack guest and the browser tests need besides
#                              (the test command installs these while the native suite builds)
set -euo pipefail
if [ "${1:-}" = "--extras" ]; then
  packages=(
    qemu-system-x86 linux-image-amd64 bluez bluez-test-tools busybox-static dbus
    emscripten chromium chromium-driver
  )
else
packages=(
  build-essential cmake ninja-build pkg-config git
  clang libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libfmt-dev libcli11-dev nlohmann-json3-dev
  libsdbus-c++-dev libsystemd-dev dbus-daemon
  libmosquitto-dev mosquitto mosquitto-clients libsqlite3-dev openssl
  doxygen pandoc iproute2 lintian
  pybind11-dev python3-dev python3-pytest python3-pytest-asyncio
)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  # Another install may hold the package lock for a while (the test command runs two).
  $sudo_cmd apt-get -o DPkg::Lock::Timeout=900 update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get -o DPkg::Lock::Timeout=900 install -y -qq \
    --no-install-recommends "${missing[@]}"
fi
