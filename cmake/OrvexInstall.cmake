# SPDX-License-Identifier: Apache-2.0
# Install rules for the libraries and their headers, the CMake package `orvex` and the
# pkg-config files orvex.pc and orvex-sim.pc.
include(CMakePackageConfigHelpers)

set(ORVEX_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/orvex)

install(TARGETS orvex orvex_sim EXPORT orvexTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime
          NAMELINK_COMPONENT development
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/orvex
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development
  FILES_MATCHING PATTERN "*.hpp")
# The generated ones: Version.hpp and the export macros (Export.hpp, sim/Export.hpp).
install(DIRECTORY ${PROJECT_BINARY_DIR}/include/orvex
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development
  FILES_MATCHING PATTERN "*.hpp")

install(EXPORT orvexTargets NAMESPACE orvex:: DESTINATION ${ORVEX_CMAKE_DIR}
  COMPONENT development)
if(BUILD_SHARED_LIBS)
  set(ORVEX_SHARED ON)
else()
  set(ORVEX_SHARED OFF)
endif()
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/orvexConfig.cmake.in
  ${PROJECT_BINARY_DIR}/orvexConfig.cmake INSTALL_DESTINATION ${ORVEX_CMAKE_DIR})
# Before 1.0 a minor version may break the API too; same major is what CMake can express.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/orvexConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/orvexConfig.cmake ${PROJECT_BINARY_DIR}/orvexConfigVersion.cmake
  DESTINATION ${ORVEX_CMAKE_DIR} COMPONENT development)

# pkg-config: the prefix is found from the .pc file's own place, so an installation can be
# moved (or installed with `cmake --install --prefix`) and still be found.
set(ORVEX_PC_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH ORVEX_PC_PREFIX_FROM_PCDIR
  ${CMAKE_INSTALL_PREFIX}/${ORVEX_PC_DIR} ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" ORVEX_PC_PREFIX_FROM_PCDIR "${ORVEX_PC_PREFIX_FROM_PCDIR}")
set(_orvex_pc_modules fmt)
if(ORVEX_WITH_BLUEZ)
  list(APPEND _orvex_pc_modules sdbus-c++)
endif()
list(JOIN _orvex_pc_modules " " _orvex_pc_modules)
if(BUILD_SHARED_LIBS)
  # The shared library brings its own; only a static link would need them.
  set(ORVEX_PC_DEPENDENCIES "Requires.private: ${_orvex_pc_modules}")
else()
  # Only static archives are installed: every program that links them links their
  # dependencies too, with or without `pkg-config --static`.
  set(ORVEX_PC_DEPENDENCIES "Requires: ${_orvex_pc_modules}")
endif()
foreach(pc orvex orvex-sim)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/${pc}.pc.in ${PROJECT_BINARY_DIR}/${pc}.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/${pc}.pc DESTINATION ${ORVEX_PC_DIR} COMPONENT development)
endforeach()
