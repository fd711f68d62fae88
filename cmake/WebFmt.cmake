# SPDX-License-Identifier: Apache-2.0
# fmt for the WebAssembly build: Emscripten has no fmt of its own, and the system's compiled
# library is for the host. fmt is used header-only instead, from a copy of the system's
# headers: the whole system include directory on the search path would put the host's C
# library headers in front of Emscripten's.
find_path(ORVEX_FMT_INCLUDE_DIR fmt/format.h NO_CMAKE_FIND_ROOT_PATH
  PATHS /usr/include /usr/local/include)
if(NOT ORVEX_FMT_INCLUDE_DIR)
  message(FATAL_ERROR "fmt headers not found (install libfmt-dev)")
endif()
set(_orvex_fmt_copy ${PROJECT_BINARY_DIR}/fmt-include)
file(COPY ${ORVEX_FMT_INCLUDE_DIR}/fmt DESTINATION ${_orvex_fmt_copy})
add_library(orvex_fmt_header_only INTERFACE)
target_include_directories(orvex_fmt_header_only SYSTEM INTERFACE ${_orvex_fmt_copy})
target_compile_definitions(orvex_fmt_header_only INTERFACE FMT_HEADER_ONLY=1)
add_library(fmt::fmt ALIAS orvex_fmt_header_only)
