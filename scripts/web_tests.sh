#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The browser and Node tests of the WebAssembly build, on a fresh machine:
#   scripts/web_tests.sh PLAIN_BUILD_DIR
# installs Debian's emscripten, chromium and chromium-driver and the npm packages of
# web/package-lock.json when missing, builds the module, the package and the console
# (scripts/web.sh), and runs web/tests in Node 20 and headless Chromium. PLAIN_BUILD_DIR is
# an existing native build: its `orvex` tool is what the codec in WebAssembly is checked
# against. Screenshots and downloads land in web/test-output.
set -euo pipefail
cd "$(dirname "$0")/.."

plain=${1:?usage: scripts/web_tests.sh PLAIN_BUILD_DIR}
[ -f "$plain/CMakeCache.txt" ] || { echo "web_tests.sh: $plain is not a configured build" >&2; exit 1; }

need=()
command -v emcmake >/dev/null || need+=(emscripten)
command -v chromium >/dev/null || need+=(chromium)
command -v chromedriver >/dev/null || need+=(chromium-driver)
command -v npm >/dev/null || need+=(npm)
if [ ${#need[@]} -gt 0 ]; then
  echo "web_tests.sh: installing ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get -o DPkg::Lock::Timeout=600 update -qq
  apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi
node -e 'process.exit(+process.versions.node.split(".")[0] >= 20 ? 0 : 1)' \
  || { echo "web_tests.sh: Node 20 or later is needed, found $(node --version)" >&2; exit 1; }

cmake --build "$plain" --target orvex -j"${JOBS:-2}"
(cd web && npm ci --no-audit --no-fund)
scripts/web.sh build build/web

export ORVEX_TOOL=$(cd "$plain" && pwd)/orvex
export ORVEX_WEB_TEST_OUTPUT=$PWD/web/test-output
mkdir -p "$ORVEX_WEB_TEST_OUTPUT"
cd web
node --test --test-concurrency=1 tests/
