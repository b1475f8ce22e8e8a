// SPDX-License-Identifier: MIT
// The two alphabets of the cipher.
#pragma once

#include <array>
#include <cstdint>

namespace tav {

enum class Kind : int32_t { text = 1, binary = 2 };

inline constexpr int kWheels = 20;
inline constexpr int kTextSize = 151;
inline constexpr int kBinarySize = 256;

constexpr int AlphabetSize(Kind kind) { return kind == Kind::text ? kTextSize : kBinarySize; }

// The text alphabet in its fixed order: double quote, line feed, the 92
// printable characters, then 57 ISO 8859-1 bytes.
inline constexpr std::array<uint8_t, kTextSize> kTextAlphabet = [] {
  constexpr char kPrintable[] =
      " ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789@#$%&*()-+=!:;,.?'<>\\|^~{}[]/";
  constexpr uint8_t kHigh[] = {0x5F, 0x60, 0xC4, 0xCB, 0xD6, 0xDC, 0xDF, 0xE4, 0xEB, 0xF6, 0xFC, 0xF8,
                               0xD8, 0xC5, 0xE5, 0xBF, 0xC0, 0xC1, 0xC2, 0xC3, 0xC8, 0xC9, 0xCA, 0xCC,
                               0xCD, 0xCE, 0xCF, 0xD1, 0xD2, 0xD3, 0xD4, 0xD5, 0xD9, 0xDA, 0xDB, 0xDD,
                               0xE0, 0xE1, 0xE2, 0xE3, 0xE7, 0xE8, 0xE9, 0xEA, 0xEC, 0xED, 0xEE, 0xEF,
                               0xF1, 0xF2, 0xF3, 0xF4, 0xF5, 0xF9, 0xFA, 0xFB, 0xFD};
  static_assert(sizeof(kPrintable) - 1 == 92 && sizeof(kHigh) == 57);
  std::array<uint8_t, kTextSize> a{};
  int n = 0;
  a[n++] = 0x22;
  a[n++] = 0x0A;
  for (int i = 0; i < 92; ++i) a[n++] = static_cast<uint8_t>(kPrintable[i]);
  for (uint8_t b : kHigh) a[n++] = b;
  return a;
}();

inline constexpr uint8_t kNotInAlphabet = 0xFF;

// Byte value -> position in the text alphabet, kNotInAlphabet for the 105
// bytes that are not symbols.
inline constexpr std::array<uint8_t, 256> kTextIndex = [] {
  std::array<uint8_t, 256> index{};
  index.fill(kNotInAlphabet);
  for (int i = 0; i < kTextSize; ++i) index[kTextAlphabet[i]] = static_cast<uint8_t>(i);
  return index;
}();

}  // namespace tav
