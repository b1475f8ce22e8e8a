// SPDX-License-Identifier: MIT
#include "common/fileio.hpp"
#include "common/wipe.hpp"
#include "engine/setup.hpp"
#include "keygen/keygen.hpp"

namespace tav {

namespace {

// The units digit of itoa(v, 3); 0 when that text has only two characters.
int32_t ThirdDigit(int32_t v) {
  itoa(v, 3);
  return numstr[2] == 0 ? 0 : numstr[2] - '0';
}

// Rule A: 1..7 from the entry after v.
int32_t RuleA(int32_t v) {
  int32_t u = ThirdDigit(v + 1);
  if (u > 7) u -= 5;
  if (u == 0) u = 2;
  return u;
}

// Rule B: one of 8..14, 20, 21, 22.
int32_t RuleB(int32_t v) {
  int32_t u = ThirdDigit(v) + 20;
  if (u > 22) u -= 15;
  return u;
}

// Twenty two-digit fields from k[j + 1] .. k[j + 20]; j is advanced past them.
template <class Rule>
bool WriteFieldFile(const char* name, int32_t& j, Rule rule) {
  char fields[2 * kWheels];
  for (int n = 0; n < kWheels; ++n) {
    ++j;
    itoa(rule(k[j]), 2);
    fields[2 * n] = numstr[0];
    fields[2 * n + 1] = numstr[1];
  }
  const bool written = io::WriteKeyFile(name, fields, sizeof fields);
  SecureZero(fields, sizeof fields);
  return written;
}

}  // namespace

bool GenSchemeParams() {
  const Kind kind = cryptype == 1 ? Kind::text : Kind::binary;
  if (!io::WriteKeyFile(KeyFileName(KeyFile::marker, kind), "202", 3)) return false;

  int32_t j = 20;
  for (int n = 1; n <= kWheels; ++n, ++j) sd[n] = k[j] > 65 ? 1 : 0;
  for (int n = 1; n <= kWheels; ++n) {
    sm[n] = RuleA(k[j]);
    if (n < kWheels) ++j;
  }

  PF.fill(0);
  for (int n = 1; n <= kWheels; ++n) {
    PF[n - 1] = sd[n] == 1 ? 'U' : 'D';
    const auto v = static_cast<uint32_t>(sm[n]);
    for (int b = 0; b < 4; ++b) PF[20 + 4 * (n - 1) + b] = static_cast<uint8_t>(v >> (8 * b));
  }
  if (!io::WriteKeyFile(SchemeFileName(cryptype), PF.data(), PF.size())) return false;

  if (!WriteFieldFile(StepFileName(cryptype), j, RuleA)) return false;
  if (!WriteFieldFile(KeyFileName(KeyFile::pad, kind), j, RuleB)) return false;
  if (!WriteFieldFile(KeyFileName(KeyFile::scramble_pad, kind), j, RuleB)) return false;

  int32_t s = k[20] + k[21] + k[22] + k[23] + k[24] + k[25];
  while (s > 999) s -= 999;
  if (s <= 9) s += 10;
  itoa(s, 3);
  GenerateMsterKeys(numstr.data());
  return true;
}

}  // namespace tav
