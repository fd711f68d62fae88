#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Uses orvex the way a host project does. Installs the build in $1 (default build/plain,
# already built) into a temporary prefix, then:
#   - runs the installed `orvex`;
#   - compiles each installed public header on its own with -Wall -Wextra -Wpedantic -Werror;
#   - builds and runs tests/consumer three ways: find_package(orvex) against the prefix,
#     pkg-config (orvex-sim) against the prefix, and add_subdirectory of this source tree
#     with none of our test and tool dependencies findable (only the library is built).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/plain}
jobs=$(nproc)
command -v ccache >/dev/null && export CMAKE_CXX_COMPILER_LAUNCHER=ccache

prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
step() { echo "--- consumer: $*"; }

step "install $build"
cmake --install "$build" --prefix "$prefix" >/dev/null
"$prefix/bin/orvex" --help >/dev/null

step "each public header compiles alone"
export prefix
find "$prefix/include/orvex" -name '*.hpp' -printf '%P\n' | sort |
  xargs -P "$jobs" -I{} sh -c 'echo "#include <orvex/{}>" |
    c++ -std=c++20 -Wall -Wextra -Wpedantic -Werror -fsyntax-only -I"$prefix/include" -x c++ - ||
    { echo "orvex/{} does not compile on its own"; exit 255; }'

step "find_package(orvex)"
rm -rf build/consumer-package
cmake -S tests/consumer -B build/consumer-package -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build build/consumer-package -j "$jobs" >/dev/null
build/consumer-package/consumer

step "pkg-config orvex-sim"
pcdir=$(dirname "$(find "$prefix" -name orvex-sim.pc)")
mkdir -p build/consumer-pkgconfig
# shellcheck disable=SC2046  # pkg-config prints several words
c++ -std=c++20 tests/consumer/host.cpp -o build/consumer-pkgconfig/consumer \
  $(PKG_CONFIG_PATH="$pcdir" pkg-config --cflags --libs orvex-sim)
LD_LIBRARY_PATH="$pcdir/.." build/consumer-pkgconfig/consumer

step "add_subdirectory, no test or tool dependencies"
hidden=()
for p in GTest CLI11 nlohmann_json benchmark pybind11 Python3; do
  hidden+=("-DCMAKE_DISABLE_FIND_PACKAGE_$p=ON")
done
# The same build type and warning flags as build/plain (and a build directory as deep), so
# the compiler cache serves the library's objects.
cmake -S tests/consumer -B build/consumer-subdir -G Ninja -DORVEX_CONSUMER_SOURCE="$PWD" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVEX_WERROR=ON --no-warn-unused-cli "${hidden[@]}" >/dev/null
cmake --build build/consumer-subdir -j "$jobs" >/dev/null
# Everything compiled or linked belongs to the library or to the host itself.
others=$(cut -f4 build/consumer-subdir/.ninja_log | grep -v '^#' |
  grep -v -e '^orvex/src/' -e '^consumer' -e '^CMakeFiles/consumer' -e '^build.ninja' \
    -e 'CMakeFiles/cmake.verify_globs' || true)
if [ -n "$others" ]; then
  echo "the host's build built more than the library:"
  echo "$others"
  exit 1
fi
build/consumer-subdir/consumer
echo "consumer checks passed"
