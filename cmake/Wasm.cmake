# SPDX-License-Identifier: MIT
# The WebAssembly build (emscripten, through emcmake): only what a browser
# or Node needs, namely key sets in memory, block mode, the expanded encoder
# and decoder, and the status names. No descriptors, files, threads or
# process-wide state. The result is one standalone tavsdk.wasm that the npm
# package in js/ loads itself, so that the same files serve Node and browsers.
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
set(TAVSDK_WASM_DIST_DIR ${PROJECT_SOURCE_DIR}/js/dist CACHE PATH "Where the build puts tavsdk.wasm for the package")

add_executable(tavsdk_wasm
  ${TAVSDK_MEMORY_SOURCES}
  src/engine/cipher_wasm.cpp
  src/expanded/random_wasm.cpp
  src/wasm/keys_memory.cpp
)
target_include_directories(tavsdk_wasm PRIVATE include ${TAVSDK_GENERATED_INCLUDE_DIR} src)
target_compile_definitions(tavsdk_wasm PRIVATE TAVSDK_BUILDING)
# -O2: linking at -O3 made the kernels half as fast.
target_compile_options(tavsdk_wasm PRIVATE -fno-exceptions -fno-rtti -O2 $<$<BOOL:${TAVSDK_WASM_SIMD}>:-msimd128>)
set(_tavsdk_exports
  _malloc _free _tav_strerror _tav_keys_new _tav_keys_alphabet _tav_keys_free _tavjs_keys_from_files
  _tavjs_keys_files _tav_block_encrypt _tav_block_decrypt _tav_expanded_size _tav_encoder_new _tav_encoder_size
  _tav_encoder_update _tav_encoder_free _tav_decoder_new _tav_decoder_update _tav_decoder_free)
list(JOIN _tavsdk_exports "," _tavsdk_exports)
# Memory grows with the buffers the caller hands over; the stack only holds
# the encoder's scratch (some 20 KiB), so 256 KiB leaves a wide margin.
target_link_options(tavsdk_wasm PRIVATE
  -O2 -sSTANDALONE_WASM --no-entry -sEXPORTED_FUNCTIONS=[${_tavsdk_exports}] -sALLOW_MEMORY_GROWTH=1
  -sINITIAL_MEMORY=2MB -sTOTAL_STACK=256KB -sFILESYSTEM=0 --js-library ${PROJECT_SOURCE_DIR}/src/wasm/imports.js)
set_target_properties(tavsdk_wasm PROPERTIES OUTPUT_NAME tavsdk SUFFIX .wasm
  LINK_DEPENDS ${PROJECT_SOURCE_DIR}/src/wasm/imports.js)
# The package ships the module next to its loader.
add_custom_command(TARGET tavsdk_wasm POST_BUILD
  COMMAND ${CMAKE_COMMAND} -E make_directory ${TAVSDK_WASM_DIST_DIR}
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:tavsdk_wasm> ${TAVSDK_WASM_DIST_DIR}/tavsdk.wasm)
