# SPDX-License-Identifier: MIT
# CPack runs this after staging each component's files and before building
# the packages. Debian wants manual pages compressed (links then name the
# compressed page), and in /usr/share/doc/<package> the licence as
# "copyright" and a compressed changelog.
# The paths inside the files (tavsdk.pc, the CMake package) and the library
# directory follow the configured prefix.
if(NOT CPACK_TAVSDK_INSTALL_PREFIX STREQUAL "/usr")
  message(FATAL_ERROR "Debian packages install under /usr: configure with -DCMAKE_INSTALL_PREFIX=/usr "
    "(the package preset does), not ${CPACK_TAVSDK_INSTALL_PREFIX}")
endif()
find_program(_gzip gzip REQUIRED)

function(_tavsdk_gzip file)
  execute_process(COMMAND ${_gzip} -9nf ${file} RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "gzip ${file} failed")
  endif()
endfunction()

foreach(component IN LISTS CPACK_COMPONENTS_ALL)
  set(root ${CPACK_TEMPORARY_DIRECTORY}/${component})
  if(NOT IS_DIRECTORY ${root})
    continue()
  endif()
  string(TOUPPER ${component} upper)
  set(package ${CPACK_DEBIAN_${upper}_PACKAGE_NAME})
  if(NOT package)
    message(FATAL_ERROR "no Debian package name for the install component ${component}")
  endif()

  file(GLOB_RECURSE pages LIST_DIRECTORIES false ${root}/usr/share/man/*)
  foreach(page IN LISTS pages)
    if(page MATCHES "\\.gz$")
      continue()
    endif()
    if(IS_SYMLINK ${page})
      file(READ_SYMLINK ${page} target)
      file(REMOVE ${page})
      file(CREATE_LINK ${target}.gz ${page}.gz SYMBOLIC)
    else()
      _tavsdk_gzip(${page})
    endif()
  endforeach()

  set(doc ${root}/usr/share/doc/${package})
  file(MAKE_DIRECTORY ${doc})
  configure_file(${CPACK_TAVSDK_LICENSE} ${doc}/copyright COPYONLY)
  file(WRITE ${doc}/changelog.Debian "${CPACK_TAVSDK_CHANGELOG}")
  _tavsdk_gzip(${doc}/changelog.Debian)
  file(CHMOD ${doc}/copyright ${doc}/changelog.Debian.gz PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endforeach()
