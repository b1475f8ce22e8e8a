// SPDX-License-Identifier: MIT
#include <charconv>
#include <cstring>

#include "common/wipe.hpp"
#include "engine/setup.hpp"
#include "keygen/keygen.hpp"

namespace tav {

std::array<int32_t, 12321> k;
int32_t p;
std::array<char, 12> numstr;

void itoa(int32_t value, int32_t width) {
  char text[12] = {};
  std::to_chars(text, text + sizeof text - 1, value);
  if (width == 2 && value <= 9) {
    numstr = {'0', text[0], 0};
  } else if (width == 3 && value <= 99) {
    numstr = {'0', text[0], text[1], 0};
  } else {
    std::memcpy(numstr.data(), text, sizeof text);
  }
}

namespace {

constexpr int kBaseLength = 18;

// Repeated decimal digit sum of a byte value 1..255, as a digit character.
char DigitOf(uint8_t c) { return static_cast<char>('0' + 1 + (c - 1) % 9); }

void AppendForward(int first, int step, int32_t add) {
  const int32_t m = p;
  for (int32_t i = first; i <= m; i += step) {
    ++p;
    k[p] = k[i] + add;
  }
}

void AppendBackward(int step, int32_t add) {
  const int32_t m = p;
  for (int32_t i = m; i > 0; i -= step) {
    ++p;
    k[p] = k[i] + add;
  }
}

}  // namespace

int GenSetup(const char* passphrase) {
  if (passphrase == nullptr || passphrase[0] == 0) return 1;

  // Only the first 18 characters can matter, and the copy holds at most 63.
  char copy[64];
  const size_t len = strnlen(passphrase, sizeof copy - 1);
  std::memcpy(copy, passphrase, len);
  copy[len] = 0;
  for (size_t i = 0; i < len; ++i) {
    const auto c = static_cast<uint8_t>(copy[i]);
    if (c < '0' || c > '9') copy[i] = DigitOf(c);
  }

  // Only the alphabets are needed here; k3 and k4 are about to be rewritten.
  (void)ApiInit();

  // Base string: the converted characters, then copies of the unconverted
  // passphrase, cut at 18. Mirrored: the base and its reversal.
  char mirrored[2 * kBaseLength];
  for (size_t j = 0; j < kBaseLength; ++j) mirrored[j] = j < len ? copy[j] : passphrase[(j - len) % len];
  for (int j = 0; j < kBaseLength; ++j) mirrored[kBaseLength + j] = mirrored[kBaseLength - 1 - j];

  p = 0;
  for (int cycle = 0; cycle < 2; ++cycle) {
    for (int i = 1; i <= 2 * kBaseLength; i += 2) k[++p] = static_cast<int8_t>(mirrored[i]);
    AppendForward(1, 1, 2);
    AppendForward(1, 1, 3);
    AppendForward(2, 2, 4);
    AppendForward(3, 3, 5);
    AppendForward(4, 4, 5);
    AppendBackward(6, 7);
    AppendBackward(6, 1);
    AppendForward(1, 10, 2);
  }

  for (int32_t i = 2; i <= kKeySequenceLength; ++i) {
    if (k[i] == k[i - 1]) k[i] += 2;
    if (cryptype == 1 && k[i] > 150) k[i] -= 150;
  }

  SecureZero(copy, sizeof copy);
  SecureZero(mirrored, sizeof mirrored);
  return 0;
}

}  // namespace tav
