// SPDX-License-Identifier: MIT
// Reading the two-character decimal fields of the step-count and pad key files.
#include "common/fields.hpp"

namespace tav {

static bool IsCSpace(uint8_t c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

static int32_t AtoiField(const uint8_t* f, int len) {
  int i = 0;
  while (i < len && f[i] != 0 && IsCSpace(f[i])) ++i;
  bool negative = false;
  if (i < len && (f[i] == '+' || f[i] == '-')) negative = f[i++] == '-';
  int32_t value = 0;
  while (i < len && f[i] >= '0' && f[i] <= '9') value = value * 10 + (f[i++] - '0');
  return negative ? -value : value;
}

int ReadTwoCharFields(const uint8_t* data, size_t len, int32_t* out, int want) {
  size_t pos = 0;
  int count = 0;
  while (count < want && pos < len) {
    const uint8_t* field = data + pos;
    int flen = 0;
    while (flen < 2 && pos < len) {
      const uint8_t c = data[pos++];
      ++flen;
      if (c == '\n') break;
    }
    out[count++] = AtoiField(field, flen);
  }
  return count;
}

}  // namespace tav
