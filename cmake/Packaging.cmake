# SPDX-License-Identifier: MIT
# Debian packages with CPack, one per install component:
#   libtavsdk1     runtime      the shared library and its SONAME link
#   libtavsdk-dev  development  header, .so link, CMake package, tavsdk.pc, pages of section 3
#   tav            tav          the command-line tool and everything it installs
# Build them with `cmake --workflow --preset package` (prefix /usr, so that
# GNUInstallDirs gives the multiarch library directory).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tavsdk)
set(CPACK_PACKAGE_VENDOR "the tavsdk authors")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(TAVSDK_PACKAGE_MAINTAINER "tavsdk developers <tavsdk@example.org>" CACHE STRING
  "Maintainer field of the Debian packages")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TAVSDK_PACKAGE_MAINTAINER}")
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(_tavsdk_deb_version "${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE}")
set(_tavsdk_same_runtime "libtavsdk${PROJECT_VERSION_MAJOR} (= ${_tavsdk_deb_version})")

# Descriptions: the summary line, then paragraphs; CPack indents them.
set(_tavsdk_about "tavsdk is a twenty-wheel rotor substitution cipher for files and strings, kept
for compatibility with the data and peers of an existing system. It has no
integrity protection and is no replacement for modern authenticated
encryption.")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libtavsdk${PROJECT_VERSION_MAJOR})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "rotor substitution cipher library for files and strings
${_tavsdk_about}

This package holds the shared library.")
# The shlibs file lets packages built against the library depend on this
# one; the trigger has ldconfig update the loader's cache on install and
# removal, so the ldconfig scripts CPack adds are dropped
# (DebianScripts.cmake).
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
file(WRITE ${PROJECT_BINARY_DIR}/debian-runtime/triggers "activate-noawait ldconfig\n")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/debian-runtime/triggers)

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libtavsdk-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "${_tavsdk_same_runtime}")
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION "rotor substitution cipher library for files and strings - development files
${_tavsdk_about}

This package holds the C header, the CMake package, the pkg-config file and
the manual pages of section 3.")

set(CPACK_DEBIAN_TAV_PACKAGE_NAME tav)
set(CPACK_DEBIAN_TAV_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TAV_PACKAGE_DEPENDS "${_tavsdk_same_runtime}")
set(CPACK_DEBIAN_TAV_DESCRIPTION "encrypt, decrypt, scramble and wipe files with the tavsdk rotor cipher
${_tavsdk_about}

This package holds the tav command-line tool.")
# dpkg-shlibdeps looks for the library of this build; the dependency on it is the one above.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})

if(NOT TARGET tavsdk_man3)
  message(WARNING "scdoc not found: libtavsdk-dev would have no manual pages")
endif()

# Whatever the tool installs goes into its package.
get_cmake_property(_tavsdk_components COMPONENTS)
set(CPACK_COMPONENTS_ALL runtime development)
if("tav" IN_LIST _tavsdk_components)
  list(APPEND CPACK_COMPONENTS_ALL tav)
endif()

# What a Debian package carries besides the installed files: compressed
# manual pages, the licence and a changelog in /usr/share/doc/<package>.
string(TIMESTAMP _tavsdk_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
set(CPACK_TAVSDK_CHANGELOG "tavsdk (${_tavsdk_deb_version}) unstable; urgency=medium

  * Release ${PROJECT_VERSION}; the changes are listed in CHANGELOG.md of the
    source tree.

 -- ${TAVSDK_PACKAGE_MAINTAINER}  ${_tavsdk_date}
")
set(CPACK_TAVSDK_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_TAVSDK_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/DebianFiles.cmake)
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/DebianScripts.cmake)

include(CPack)
