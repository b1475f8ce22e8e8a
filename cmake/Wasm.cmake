# SPDX-License-Identifier: MIT
# The WebAssembly build (emscripten, through emcmake): only what a browser
# or Node needs, namely key sets in memory, block mode, the expanded encoder
# and decoder, and the status names. No descriptors, files, threads or
# process-wide state. The result is a standalone tavsdk.wasm (and, with SIMD,
# tavsdk-relaxed.wasm) that the npm package in js/ loads itself, so that the
# same files serve Node and browsers.
if(NOT EMSCRIPTEN)
  message(FATAL_ERROR "cmake/Wasm.cmake is for emscripten builds (emcmake cmake --preset wasm)")
endif()

# The package carries the project's version.
file(READ ${PROJECT_SOURCE_DIR}/js/package.json _tavsdk_package)
string(JSON _tavsdk_package_version GET "${_tavsdk_package}" version)
if(NOT _tavsdk_package_version STREQUAL PROJECT_VERSION)
  message(FATAL_ERROR "js/package.json has version ${_tavsdk_package_version}, the project ${PROJECT_VERSION}")
endif()

option(TAVSDK_WASM_SIMD "Use the WebAssembly SIMD kernel (128-bit vectors)" ON)
set(TAVSDK_WASM_DIST_DIR ${PROJECT_SOURCE_DIR}/js/dist CACHE PATH "Where the build puts the modules for the package")

set(_tavsdk_exports
  _malloc _free _tav_strerror _tav_keys_new _tav_keys_alphabet _tav_keys_free _tav_keys_from_files
  _tav_keys_files _tavjs_layout _tav_block_encrypt _tav_block_decrypt _tav_expanded_size _tav_encoder_new _tav_encoder_size
  _tav_encoder_update _tav_encoder_free _tav_decoder_new _tav_decoder_update _tav_decoder_free)
list(JOIN _tavsdk_exports "," _tavsdk_exports)

# One module; extra arguments are compiler options of its own.
function(tavsdk_wasm_module target output)
  add_executable(${target}
    ${TAVSDK_MEMORY_SOURCES}
    src/engine/cipher_wasm.cpp
    src/expanded/random_wasm.cpp
    src/wasm/layout.cpp
  )
  target_include_directories(${target} PRIVATE include ${TAVSDK_GENERATED_INCLUDE_DIR} src)
  target_compile_definitions(${target} PRIVATE TAVSDK_BUILDING)
  # -O2: linking at -O3 made the kernels half as fast.
  target_compile_options(${target} PRIVATE -fno-exceptions -fno-rtti -O2 $<$<BOOL:${TAVSDK_WASM_SIMD}>:-msimd128> ${ARGN})
  # Memory grows with the buffers the caller hands over; the stack only holds
  # the encoder's scratch (some 20 KiB), so 256 KiB leaves a wide margin.
  target_link_options(${target} PRIVATE
    -O2 -sSTANDALONE_WASM --no-entry -sEXPORTED_FUNCTIONS=[${_tavsdk_exports}] -sALLOW_MEMORY_GROWTH=1
    -sINITIAL_MEMORY=2MB -sTOTAL_STACK=256KB -sFILESYSTEM=0 --js-library ${PROJECT_SOURCE_DIR}/src/wasm/imports.js)
  set_target_properties(${target} PROPERTIES OUTPUT_NAME ${output} SUFFIX .wasm
    LINK_DEPENDS ${PROJECT_SOURCE_DIR}/src/wasm/imports.js)
endfunction()

tavsdk_wasm_module(tavsdk_wasm tavsdk)
# The package ships the module next to its loader.
add_custom_command(TARGET tavsdk_wasm POST_BUILD
  COMMAND ${CMAKE_COMMAND} -E make_directory ${TAVSDK_WASM_DIST_DIR}
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:tavsdk_wasm> ${TAVSDK_WASM_DIST_DIR}/tavsdk.wasm)

# A second module whose kernel looks rows up with the relaxed byte shuffle
# (one instruction on x64, where the plain one takes two); the loader takes it
# where the engine accepts relaxed SIMD. This LLVM may write the provisional
# opcodes, which a small Node script turns into the standard ones, finding
# them with this LLVM's own disassembler.
if(TAVSDK_WASM_SIMD)
  # That LLVM's own: Debian names it by the version as well (llvm-objdump-14).
  execute_process(COMMAND em-config LLVM_ROOT OUTPUT_VARIABLE _tavsdk_llvm_root OUTPUT_STRIP_TRAILING_WHITESPACE)
  string(REGEX MATCH "^[0-9]+" _tavsdk_llvm_major "${CMAKE_CXX_COMPILER_VERSION}")
  find_program(TAVSDK_LLVM_OBJDUMP NAMES llvm-objdump-${_tavsdk_llvm_major} llvm-objdump HINTS ${_tavsdk_llvm_root}
    REQUIRED)
  find_program(TAVSDK_NODE node REQUIRED)
  tavsdk_wasm_module(tavsdk_wasm_relaxed tavsdk-relaxed-provisional -mrelaxed-simd)
  add_custom_command(TARGET tavsdk_wasm_relaxed POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E make_directory ${TAVSDK_WASM_DIST_DIR}
    COMMAND ${TAVSDK_NODE} ${PROJECT_SOURCE_DIR}/src/wasm/relaxed_opcodes.mjs ${TAVSDK_LLVM_OBJDUMP}
      $<TARGET_FILE:tavsdk_wasm_relaxed> ${TAVSDK_WASM_DIST_DIR}/tavsdk-relaxed.wasm)
endif()
