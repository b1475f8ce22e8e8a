// SPDX-License-Identifier: MIT
// The key sequence digested from the passphrase, and its decimal texts.
#include <charconv>
#include <cstring>

#include "common/wipe.hpp"
#include "keygen/keygen.hpp"

namespace tav {

DecimalText itoa(int32_t value, int32_t width) {
  char text[12] = {};
  std::to_chars(text, text + sizeof text - 1, value);
  DecimalText out{};
  if (width == 2 && value <= 9) {
    out = {'0', text[0], 0};
  } else if (width == 3 && value <= 99) {
    out = {'0', text[0], text[1], 0};
  } else {
    std::memcpy(out.data(), text, sizeof text);
  }
  return out;
}

namespace {

constexpr size_t kBaseLength = kPassphraseBytes;

// Repeated decimal digit sum of a byte value 1..255, as a digit character.
char DigitOf(uint8_t c) { return static_cast<char>('0' + 1 + (c - 1) % 9); }

void AppendForward(KeySequence& s, int first, int step, int32_t add) {
  const int32_t m = s.p;
  for (int32_t i = first; i <= m; i += step) {
    ++s.p;
    s.k[s.p] = s.k[i] + add;
  }
}

void AppendBackward(KeySequence& s, int step, int32_t add) {
  const int32_t m = s.p;
  for (int32_t i = m; i > 0; i -= step) {
    ++s.p;
    s.k[s.p] = s.k[i] + add;
  }
}

}  // namespace

bool GenSetup(Kind kind, const uint8_t* passphrase, size_t len, KeySequence& seq) {
  if (passphrase == nullptr || len == 0) return false;

  // Bytes past the 18th never reach the base string.
  len = len < kBaseLength ? len : kBaseLength;
  char copy[kBaseLength];
  for (size_t i = 0; i < len; ++i) {
    const uint8_t c = passphrase[i];
    copy[i] = c < '0' || c > '9' ? DigitOf(c) : static_cast<char>(c);
  }

  // Base string: the converted characters, then copies of the unconverted
  // passphrase, cut at 18. Mirrored: the base and its reversal.
  char mirrored[2 * kBaseLength];
  for (size_t j = 0; j < kBaseLength; ++j)
    mirrored[j] = j < len ? copy[j] : static_cast<char>(passphrase[(j - len) % len]);
  for (size_t j = 0; j < kBaseLength; ++j) mirrored[kBaseLength + j] = mirrored[kBaseLength - 1 - j];

  auto& k = seq.k;
  seq.p = 0;
  for (int cycle = 0; cycle < 2; ++cycle) {
    for (size_t i = 1; i <= 2 * kBaseLength; i += 2) k[++seq.p] = static_cast<int8_t>(mirrored[i]);
    AppendForward(seq, 1, 1, 2);
    AppendForward(seq, 1, 1, 3);
    AppendForward(seq, 2, 2, 4);
    AppendForward(seq, 3, 3, 5);
    AppendForward(seq, 4, 4, 5);
    AppendBackward(seq, 6, 7);
    AppendBackward(seq, 6, 1);
    AppendForward(seq, 1, 10, 2);
  }

  for (int32_t i = 2; i <= kKeySequenceLength; ++i) {
    if (k[i] == k[i - 1]) k[i] += 2;
    if (kind == Kind::text && k[i] > 150) k[i] -= 150;
  }

  SecureZero(copy, sizeof copy);
  SecureZero(mirrored, sizeof mirrored);
  return true;
}

}  // namespace tav
