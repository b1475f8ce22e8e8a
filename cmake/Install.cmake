# SPDX-License-Identifier: MIT
# Install rules. Components: "runtime" is the shared library with its SONAME
# link, what an application needs to run; "development" adds the unversioned
# link, the headers, the CMake package and tavsdk.pc.
include(CMakePackageConfigHelpers)

set(TAVSDK_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/tavsdk)

install(TARGETS tavsdk EXPORT tavsdkTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development)
install(FILES include/tavsdk.h include/tavsdk_legacy.h ${TAVSDK_GENERATED_INCLUDE_DIR}/tavsdk_version.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)

install(EXPORT tavsdkTargets NAMESPACE tavsdk:: DESTINATION ${TAVSDK_CMAKE_DIR} COMPONENT development)
configure_package_config_file(cmake/tavsdkConfig.cmake.in ${PROJECT_BINARY_DIR}/tavsdkConfig.cmake
  INSTALL_DESTINATION ${TAVSDK_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/tavsdkConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/tavsdkConfig.cmake ${PROJECT_BINARY_DIR}/tavsdkConfigVersion.cmake
  DESTINATION ${TAVSDK_CMAKE_DIR} COMPONENT development)

# tavsdk.pc names the prefix the files are actually installed under, which
# `cmake --install --prefix` may change after configuration: the prefix is
# filled in at install time, the rest now. Directories given as absolute
# paths stay absolute.
set(TAVSDK_PC_PREFIX "@TAVSDK_PC_PREFIX@")
foreach(_tavsdk_dir LIBDIR INCLUDEDIR)
  set(_tavsdk_var prefix)
  if(_tavsdk_dir STREQUAL "LIBDIR")
    set(_tavsdk_var exec_prefix)
  endif()
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${_tavsdk_dir}}")
    set(TAVSDK_PC_${_tavsdk_dir} "${CMAKE_INSTALL_${_tavsdk_dir}}")
  else()
    set(TAVSDK_PC_${_tavsdk_dir} "\${${_tavsdk_var}}/${CMAKE_INSTALL_${_tavsdk_dir}}")
  endif()
endforeach()
configure_file(cmake/tavsdk.pc.in ${PROJECT_BINARY_DIR}/tavsdk.pc.prefixless @ONLY)
install(CODE "
  set(TAVSDK_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  configure_file(\"${PROJECT_BINARY_DIR}/tavsdk.pc.prefixless\" \"${PROJECT_BINARY_DIR}/tavsdk.pc\" @ONLY)"
  COMPONENT development)
install(FILES ${PROJECT_BINARY_DIR}/tavsdk.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)
