#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The browser build: the WebAssembly module (web/dist), the npm package's tarball and the
# reader console (web/console/dist).
#
#   scripts/web.sh build [BUILD_DIR]   everything (BUILD_DIR defaults to build/web)
#   scripts/web.sh wasm  [BUILD_DIR]   the WebAssembly module only
#
# Needs Debian's emscripten, nodejs and npm (scripts/web_tests.sh installs them).
set -euo pipefail
cd "$(dirname "$0")/.."

step=${1:-build}
build_dir=${2:-build/web}

# Debian's emscripten finds its JavaScript dependencies (acorn, ...) only through NODE_PATH.
export NODE_PATH=${NODE_PATH:-/usr/share/nodejs}

wasm() {
  command -v emcmake >/dev/null || { echo "web.sh: emcmake not found (apt-get install emscripten)" >&2; exit 1; }
  emcmake cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=MinSizeRel \
    -DORVEX_WITH_BLUEZ=OFF -DORVEX_BUILD_TESTS=OFF -DORVEX_BUILD_BENCH=OFF \
    -DORVEX_BUILD_TOOLS=OFF -DORVEX_BUILD_EXAMPLES=OFF -DORVEX_BUILD_PYTHON=OFF \
    -DORVEX_INSTALL=OFF -DORVEX_WERROR=ON >/dev/null
  cmake --build "$build_dir" --target orvex_web -j"${JOBS:-2}"
}

package() {
  cd web
  [ -d node_modules ] || npm ci --no-audit --no-fund
  npx tsc --noEmit -p tsconfig.json
  npx vite build console --logLevel warn
  rm -f orvex-*.tgz
  npm pack --silent >/dev/null
  echo "web.sh: web/dist/orvex.wasm ($(gzip -9c dist/orvex.wasm | wc -c) bytes gzip-compressed)," \
       "web/$(ls orvex-*.tgz), web/console/dist"
}

case "$step" in
  wasm) wasm ;;
  build) wasm; package ;;
  *) echo "usage: scripts/web.sh build|wasm [BUILD_DIR]" >&2; exit 2 ;;
esac
