// SPDX-License-Identifier: MIT
// The sizes and offsets of the C types that js/src writes and reads in the
// module's memory, by name: the package keeps its own copy (js/src/abi.js),
// and its tests hold that copy against what this compiler laid out.
#include <cstddef>
#include <cstdint>

#include "tavsdk.h"

namespace {

struct Entry {
  const char* name;
  uint32_t value;
};

constexpr Entry kLayout[] = {
    {"pointer", sizeof(void*)},
    {"size_t", sizeof(size_t)},
    {"uint64_t", sizeof(uint64_t)},
    {"tav_key_file", sizeof(tav_key_file)},
    {"tav_key_file.name", offsetof(tav_key_file, name)},
    {"tav_key_file.data", offsetof(tav_key_file, data)},
    {"tav_key_file.size", offsetof(tav_key_file, size)},
    {nullptr, 0},
};

// The reader takes each entry as two 32-bit words, as wasm32 lays it out.
static_assert(sizeof(Entry) == 8 && offsetof(Entry, value) == 4);

}  // namespace

extern "C" {

// The entries above, ended by one with a null name.
TAVSDK_API const void* tavjs_layout() { return kLayout; }

}
