#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Runs the Python package's tests and examples against a build tree (default build/plain)
# with the system interpreter, for which Debian packages pybind11, pytest and pytest-asyncio.
#
# Under AddressSanitizer (a tree configured with -DORVEX_SANITIZE=address,undefined
# -DORVEX_BUILD_PYTHON=ON), the interpreter itself is not instrumented, so the sanitizer
# runtime is preloaded: ORVEX_PYTHON_PRELOAD=asan scripts/python_tests.sh build/asan
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/plain}
python=${ORVEX_PYTHON:-/usr/bin/python3}

if [ ! -d "$build/python/orvex" ]; then
  echo "python_tests: no Python package in $build (configure with -DORVEX_BUILD_PYTHON=ON)" >&2
  exit 2
fi
export PYTHONPATH="$PWD/$build/python"
export ORVEX_CLI="${ORVEX_CLI:-$PWD/$build/orvex}"
if [ "${ORVEX_PYTHON_PRELOAD:-}" = asan ]; then
  export LD_PRELOAD="$(${CXX:-c++} -print-file-name=libasan.so) $(${CXX:-c++} -print-file-name=libubsan.so)"
  # The interpreter keeps its own memory until exit; report only errors, not its leaks.
  export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"
fi

echo "=== python tests ($build)"
"$python" -P -m pytest -p no:cacheprovider -q python/tests

echo "=== python examples ($build)"
run_example() {
  echo "--- $*"
  timeout 60 "$python" -P "examples/python/$@"
}
run_example aio_session.py --sim
run_example read_tags.py --sim --count 2
run_example write_contact.py --sim --phone "+44 7946 0001" --email OWNER@EXAMPLE.COM
run_example export_csv.py --sim --quiet 0.5

echo "=== installed package ($build)"
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
package=$(find "$prefix" -path '*-packages/orvex/__init__.py' -print -quit)
PYTHONPATH="$(dirname "$(dirname "$package")")" "$python" -P -c "import orvex; print(orvex.__version__)"
