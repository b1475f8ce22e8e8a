// SPDX-License-Identifier: MIT
// The pad table: filler run lengths of the expanded mode and block lengths of
// the variable-block scrambler, expanded from ten pad key numbers.
#pragma once

#include <array>
#include <cstdint>

namespace tav {

inline constexpr int32_t kPadEntries = 20000;

extern std::array<int32_t, kPadEntries + 1> pkey;  // entries 1..20000

// Reads the first ten fields of a pad key file into pkey[1..10] and expands
// them. False, with pkey untouched, when the file is missing, not a regular
// file, cannot be read or yields fewer than ten fields.
bool LoadPadTable(const char* path);

// Expands pkey[1..10] into pkey[1..20000], in place.
void ConvertKeys();

// The pad index cycle 1, 2, ..., 20000, 1, ...
inline int32_t NextPadIndex(int32_t index) { return index >= kPadEntries ? 1 : index + 1; }

}  // namespace tav
