// SPDX-License-Identifier: MIT
// The pad table: filler run lengths of the expanded mode and block lengths of
// the variable-block scrambler, expanded from ten pad key numbers.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace tav {

inline constexpr int32_t kPadEntries = 20000;

using PadTable = std::array<int32_t, kPadEntries + 1>;  // entries 1..20000

// Reads the first ten fields of a pad key file's contents into table[1..10]
// and expands them. False, with the table untouched, when the contents yield
// fewer than ten fields.
bool BuildPadTable(const uint8_t* file, size_t size, PadTable& table);

// Expands table[1..10] into table[1..20000], in place.
void ConvertKeys(PadTable& table);

// The pad index cycle 1, 2, ..., 20000, 1, ...
inline int32_t NextPadIndex(int32_t index) { return index >= kPadEntries ? 1 : index + 1; }

}  // namespace tav
