#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs the Debian packages the build and the tests need, when any is missing.
set -euo pipefail
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
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
