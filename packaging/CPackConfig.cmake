# SPDX-License-Identifier: Apache-2.0
# Packages: `cpack -G DEB` in a build tree makes orvex_<version>_<arch>.deb with the
# libraries, the headers, the CMake and pkg-config files, the `orvex` and `orvex-bridge`
# programs, the Python package and the bridge's systemd unit, and orvex-dbgsym_<version>_
# <arch>.ddeb with the programs' debug symbols. scripts/package_check.sh checks them the way
# Debian does (lintian, the unit's sandbox).
set(CPACK_PACKAGE_NAME orvex)
set(CPACK_PACKAGE_VENDOR "OrvexSDK")
set(CPACK_PACKAGE_CONTACT "OrvexSDK developers <orvex-dev@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "drives a handheld LF RFID reader over Bluetooth LE")
set(CPACK_PACKAGE_DESCRIPTION
  "A C++20 library and the orvex command-line tool for handheld LF RFID readers on
Bluetooth LE (BlueZ), with a Python package. Includes a simulated reader for
testing hosts, the CMake package orvex, the pkg-config files orvex.pc and
orvex-sim.pc, and orvex-bridge, which publishes the readers' readings on an
MQTT broker (the orvex-bridge systemd service).")
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
# pkg-config files name these, and a static library leaves them to the host's link. The
# maintainer scripts make the service's user with adduser.
set(_orvex_dev_depends "libfmt-dev, adduser")
if(ORVEX_WITH_BLUEZ)
  string(APPEND _orvex_dev_depends ", libsdbus-c++-dev")
endif()
set(CPACK_DEBIAN_PACKAGE_DEPENDS "${_orvex_dev_depends}")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "bluez, pkg-config, cmake, python3")
# The programs' debug symbols go to orvex-dbgsym (a .ddeb, as Debian's own builds make);
# the static libraries lose theirs (packaging/StripArchives.cmake), as dh_strip does.
set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/packaging/StripArchives.cmake)
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/packaging/FixDebugPackage.cmake)
# The service's user: made on configure, removed with the bridge's state on purge.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/postinst
    ${PROJECT_SOURCE_DIR}/packaging/prerm ${PROJECT_SOURCE_DIR}/packaging/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

if(ORVEX_INSTALL)
  set(_orvex_doc ${CMAKE_INSTALL_DATAROOTDIR}/doc/orvex)
  # Debian keeps a package's licence in /usr/share/doc/<package>/copyright, and a native
  # package's changelog (Debian's format, compressed) beside it.
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright DESTINATION ${_orvex_doc}
    COMPONENT runtime)
  string(TIMESTAMP _orvex_date "%a, %d %b %Y %H:%M:%S +0000" UTC)  # honours SOURCE_DATE_EPOCH
  file(WRITE ${PROJECT_BINARY_DIR}/packaging/changelog
    "orvex (${PROJECT_VERSION}) unstable; urgency=medium\n\n"
    "  * Release ${PROJECT_VERSION}. The changes are listed in CHANGELOG.md in the\n"
    "    source tree.\n\n"
    " -- ${CPACK_PACKAGE_CONTACT}  ${_orvex_date}\n")
  execute_process(COMMAND gzip -9nf ${PROJECT_BINARY_DIR}/packaging/changelog)
  install(FILES ${PROJECT_BINARY_DIR}/packaging/changelog.gz DESTINATION ${_orvex_doc}
    COMPONENT runtime)
  # What lintian says of the package that is meant so, with the reasons.
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/lintian-overrides
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME orvex COMPONENT runtime)

  if(ORVEX_BUILD_TOOLS)
    # systemd's unit directory for packages: /usr/lib/systemd/system (Debian 12's merged
    # /usr makes it /lib/systemd/system too).
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/orvex-bridge.service
      DESTINATION lib/systemd/system COMPONENT tool)
  endif()
endif()

include(CPack)
