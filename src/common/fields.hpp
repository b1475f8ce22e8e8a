// SPDX-License-Identifier: MIT
// Parsing of the two-character decimal fields of the step-count and pad key
// files.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tav {

// Splits data into fields the way a line reader with a 3-byte buffer does: a
// field is at most two bytes and ends early after a line feed. Each field is
// converted like atoi in the C locale (leading white space, optional sign,
// digits; none gives 0). Returns the number of fields stored (at most want).
int ReadTwoCharFields(const uint8_t* data, size_t len, int32_t* out, int want);

}  // namespace tav
