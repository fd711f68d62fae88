# SPDX-License-Identifier: Apache-2.0
# Packages: `cpack -G DEB` in a build tree makes orvex_<version>_<arch>.deb with the
# libraries, the headers, the CMake and pkg-config files and the `orvex` tool.
set(CPACK_PACKAGE_NAME orvex)
set(CPACK_PACKAGE_VENDOR "OrvexSDK")
set(CPACK_PACKAGE_CONTACT "OrvexSDK developers <orvex-dev@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION
  "A C++20 library and the orvex command-line tool for handheld LF RFID readers on
Bluetooth LE (BlueZ). Includes a simulated reader for testing hosts, the CMake package
orvex and the pkg-config files orvex.pc and orvex-sim.pc.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_RPM_PACKAGE_LICENSE "Apache-2.0")
set(CPACK_GENERATOR DEB)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# What the programs and shared libraries link, found by dpkg-shlibdeps ...
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
# ... and what a host needs to build against the package: the CMake package and the
# pkg-config files name these, and a static library leaves them to the host's link.
set(_orvex_dev_depends "libfmt-dev")
if(ORVEX_WITH_BLUEZ)
  string(APPEND _orvex_dev_depends ", libsdbus-c++-dev")
endif()
set(CPACK_DEBIAN_PACKAGE_DEPENDS "${_orvex_dev_depends}")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "bluez, pkg-config, cmake, python3")

# Debian keeps a package's licence in /usr/share/doc/<package>/copyright.
if(ORVEX_INSTALL)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/orvex COMPONENT runtime)
endif()

include(CPack)
