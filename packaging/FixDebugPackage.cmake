# SPDX-License-Identifier: Apache-2.0
# Run by CPack after it built the packages: the debug symbols' .ddeb is made the way
# Debian's own dbgsym packages are. CMake 3.25 lists the build machine's staging paths in
# its md5sums, and it lacks the Auto-Built-Package field by which dpkg tools and lintian know
# a generated debug package; its documentation directory is a link to the main package's
# (changelog and copyright), which it depends on in the same version.
foreach(_file IN LISTS CPACK_PACKAGE_FILES)
  if(NOT _file MATCHES "\\.ddeb$")
    continue()
  endif()
  set(_dir "${_file}.d")
  file(REMOVE_RECURSE "${_dir}")
  execute_process(COMMAND dpkg-deb -R "${_file}" "${_dir}" COMMAND_ERROR_IS_FATAL ANY)
  file(MAKE_DIRECTORY "${_dir}/usr/share/doc")
  string(REGEX REPLACE "-dbgsym_.*" "" _main "${_file}")
  get_filename_component(_main "${_main}" NAME)
  file(CREATE_LINK "${_main}" "${_dir}/usr/share/doc/${_main}-dbgsym" SYMBOLIC)
  execute_process(
    COMMAND sh -c "find usr -type f -print0 | sort -z | xargs -0 md5sum > DEBIAN/md5sums"
    WORKING_DIRECTORY "${_dir}" COMMAND_ERROR_IS_FATAL ANY)
  file(READ "${_dir}/DEBIAN/control" _control)
  if(NOT _control MATCHES "\nAuto-Built-Package:")
    string(STRIP "${_control}" _control)
    file(WRITE "${_dir}/DEBIAN/control" "${_control}\nAuto-Built-Package: debug-symbols\n")
  endif()
  execute_process(COMMAND dpkg-deb --root-owner-group -b "${_dir}" "${_file}"
                  OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE "${_dir}")
endforeach()
