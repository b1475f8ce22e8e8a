// SPDX-License-Identifier: MIT
// The step-count and pad key files derived from the key sequence.
#include "keygen/keygen.hpp"

namespace tav {

namespace {

// The units digit of itoa(v, 3); 0 when that text has only two characters.
int32_t ThirdDigit(int32_t v) {
  const DecimalText text = itoa(v, 3);
  return text[2] == 0 ? 0 : text[2] - '0';
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
void FieldFile(const KeySequence& seq, int32_t& j, Rule rule, FileImage<kFieldBytes>& file) {
  for (int n = 0; n < kWheels; ++n) {
    ++j;
    const DecimalText text = itoa(rule(seq.k[j]), 2);
    file.bytes[2 * n] = static_cast<uint8_t>(text[0]);
    file.bytes[2 * n + 1] = static_cast<uint8_t>(text[1]);
  }
  file.size = kFieldBytes;
  file.present = true;
}

}  // namespace

void GenSchemeParams(Kind kind, const KeySequence& seq, KeyFiles& files, Schedule& schedule) {
  (void)kind;
  const auto& k = seq.k;
  std::array<int32_t, kWheels + 1> sd{};
  std::array<int32_t, kWheels + 1> sm{};
  int32_t j = 20;
  for (int n = 1; n <= kWheels; ++n, ++j) sd[n] = k[j] > 65 ? 1 : 0;
  for (int n = 1; n <= kWheels; ++n) {
    sm[n] = RuleA(k[j]);
    if (n < kWheels) ++j;
  }

  auto& pf = files.scheme.bytes;
  pf.fill(0);
  for (int n = 1; n <= kWheels; ++n) {
    pf[n - 1] = sd[n] == 1 ? 'U' : 'D';
    const auto v = static_cast<uint32_t>(sm[n]);
    for (int b = 0; b < 4; ++b) pf[20 + 4 * (n - 1) + b] = static_cast<uint8_t>(v >> (8 * b));
  }
  files.scheme.size = kSchemeBytes;
  files.scheme.present = true;

  FieldFile(seq, j, RuleA, files.steps);
  FieldFile(seq, j, RuleB, files.pad);
  FieldFile(seq, j, RuleB, files.scramble_pad);

  int32_t s = k[20] + k[21] + k[22] + k[23] + k[24] + k[25];
  while (s > 999) s -= 999;
  if (s <= 9) s += 10;
  GenerateMsterKeys(itoa(s, 3).data(), schedule);
}

}  // namespace tav
