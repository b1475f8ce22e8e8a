# SPDX-License-Identifier: MIT
# Optimised builds get a stack protector and fortified libc calls, each only
# where the compiler takes it. Flags the builder already passes win: with
# _FORTIFY_SOURCE in CFLAGS or CXXFLAGS (as under dpkg-buildflags) the build
# adds no level of its own, since a second definition would be a warning.
# Not loaded for sanitized builds; unoptimised builds get neither, because
# fortification warns without optimisation.
include(CheckCCompilerFlag)
include(CheckCXXCompilerFlag)
include(CheckCSourceCompiles)
include(CheckCXXSourceCompiles)

set(_tavsdk_optimised "$<OR:$<CONFIG:Release>,$<CONFIG:RelWithDebInfo>,$<CONFIG:MinSizeRel>>")

# What a parent project set for its directories reaches this one too.
string(TOUPPER "${CMAKE_BUILD_TYPE}" _tavsdk_config)
get_directory_property(_tavsdk_definitions COMPILE_DEFINITIONS)
get_directory_property(_tavsdk_options COMPILE_OPTIONS)
set(_tavsdk_inherited "${_tavsdk_definitions} ${_tavsdk_options}")

foreach(_tavsdk_lang C CXX)
  if(_tavsdk_lang STREQUAL "C")
    check_c_compiler_flag(-fstack-protector-strong TAVSDK_C_HAS_STACK_PROTECTOR)
  else()
    check_cxx_compiler_flag(-fstack-protector-strong TAVSDK_CXX_HAS_STACK_PROTECTOR)
  endif()
  if(TAVSDK_${_tavsdk_lang}_HAS_STACK_PROTECTOR)
    add_compile_options("$<$<AND:${_tavsdk_optimised},$<COMPILE_LANGUAGE:${_tavsdk_lang}>>:-fstack-protector-strong>")
  endif()

  if("${CMAKE_${_tavsdk_lang}_FLAGS} ${CMAKE_${_tavsdk_lang}_FLAGS_${_tavsdk_config}} ${_tavsdk_inherited}"
     MATCHES "_FORTIFY_SOURCE")
    continue()
  endif()
  # The C library reports the level it applies; some compilers turn a
  # default level on already, hence the -U.
  foreach(_tavsdk_level 3 2)
    set(CMAKE_REQUIRED_FLAGS "-O2 -U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=${_tavsdk_level}")
    set(_tavsdk_probe "#include <string.h>
#if !defined(__USE_FORTIFY_LEVEL) || __USE_FORTIFY_LEVEL < ${_tavsdk_level}
#error fortification level not available
#endif
int main(void) { return 0; }")
    if(_tavsdk_lang STREQUAL "C")
      check_c_source_compiles("${_tavsdk_probe}" TAVSDK_C_FORTIFY_${_tavsdk_level})
    else()
      check_cxx_source_compiles("${_tavsdk_probe}" TAVSDK_CXX_FORTIFY_${_tavsdk_level})
    endif()
    unset(CMAKE_REQUIRED_FLAGS)
    if(TAVSDK_${_tavsdk_lang}_FORTIFY_${_tavsdk_level})
      set(_tavsdk_when "$<AND:${_tavsdk_optimised},$<COMPILE_LANGUAGE:${_tavsdk_lang}>>")
      add_compile_options("$<${_tavsdk_when}:-U_FORTIFY_SOURCE>" "$<${_tavsdk_when}:-D_FORTIFY_SOURCE=${_tavsdk_level}>")
      break()
    endif()
  endforeach()
endforeach()
