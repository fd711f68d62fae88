# SPDX-License-Identifier: Apache-2.0
# Run by CPack before it builds the package: the static libraries lose their debug sections
# (`strip --strip-debug`, as dh_strip does to a Debian package's archives). The programs'
# debug symbols go to the dbgsym package instead (CPACK_DEBIAN_DEBUGINFO_PACKAGE).
file(GLOB_RECURSE _archives "${CPACK_TEMPORARY_DIRECTORY}/*.a")
foreach(_archive IN LISTS _archives)
  execute_process(COMMAND strip --strip-debug --remove-section=.comment
                          --remove-section=.note "${_archive}"
                  RESULT_VARIABLE _result)
  if(NOT _result EQUAL 0)
    message(FATAL_ERROR "strip --strip-debug ${_archive} failed")
  endif()
endforeach()
