# SPDX-License-Identifier: MIT
# CPack runs this after building the packages. CPack gives a package with a
# shared library under /usr/lib a postinst and a postrm that only call
# ldconfig; the package's ldconfig trigger does that already, and Debian
# wants no maintainer script to call it. Those two scripts are taken out.
find_program(_dpkg_deb dpkg-deb REQUIRED)

foreach(package IN LISTS CPACK_PACKAGE_FILES)
  set(tree ${CPACK_TOPLEVEL_DIRECTORY}/unpacked)
  file(REMOVE_RECURSE ${tree})
  execute_process(COMMAND ${_dpkg_deb} --raw-extract ${package} ${tree} RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "dpkg-deb cannot unpack ${package}")
  endif()
  set(dropped FALSE)
  foreach(script postinst postrm)
    if(EXISTS ${tree}/DEBIAN/${script})
      file(STRINGS ${tree}/DEBIAN/${script} lines REGEX "[^ \t]")
      # Anything but the shebang, set -e and the ldconfig call is kept.
      list(FILTER lines EXCLUDE REGEX "^(#!/bin/sh|set -e|if \\[ \"\\$1\" = \"(configure|remove)\" \\]; then|[ \t]*ldconfig|fi)$")
      if(lines)
        message(FATAL_ERROR "${package}: ${script} does more than call ldconfig: ${lines}")
      endif()
      file(REMOVE ${tree}/DEBIAN/${script})
      set(dropped TRUE)
    endif()
  endforeach()
  if(dropped)
    execute_process(COMMAND ${_dpkg_deb} --root-owner-group --build ${tree} ${package}
                    OUTPUT_QUIET RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
      message(FATAL_ERROR "dpkg-deb cannot pack ${package} again")
    endif()
  endif()
  file(REMOVE_RECURSE ${tree})
endforeach()
