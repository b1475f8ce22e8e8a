// SPDX-License-Identifier: MIT
// Text fillers on the AVX-512 VBMI path: sixteen random words at a time into
// their four base-151 digits and the symbols of those digits, the very
// symbols the portable loop gives one word at a time, which took some 40 %
// of an expanded text encoding's time. This file alone is compiled for
// AVX-512; it runs only on that path.
#include "expanded/layout.hpp"

#if defined(__x86_64__)

#include <immintrin.h>

#include <array>

#include "engine/alphabet.hpp"

namespace tav::expanded {
namespace {

// The symbol of each digit 0..150; the rest is never looked up.
alignas(64) constexpr std::array<uint8_t, 256> kSymbols = [] {
  std::array<uint8_t, 256> t{};
  for (int i = 0; i < kTextSize; ++i) t[i] = kTextAlphabet[i];
  return t;
}();

// The zero-masked forms throughout: the plain ones pass GCC 12 an undefined
// vector that it warns about.
constexpr __mmask8 kAll8 = 0xff;
constexpr __mmask16 kAll16 = 0xffff;

// Exact quotients by multiplication, checked for every operand they get:
// x / 22801 for x < 2^32 as (x * 3086213069) >> 46, q / 22801 for
// q < 188368 as (q * 11773) >> 28, r / 151 for r < 22801 as (r * 13889) >> 21.
inline __m512i DivPairs(__m512i x) {
  const __m512i m = _mm512_set1_epi64(3086213069);
  const __m512i even = _mm512_maskz_srli_epi64(kAll8, _mm512_maskz_mul_epu32(kAll8, x, m), 46);
  const __m512i high = _mm512_maskz_srli_epi64(kAll8, x, 32);
  const __m512i odd = _mm512_maskz_srli_epi64(kAll8, _mm512_maskz_mul_epu32(kAll8, high, m), 46);
  return _mm512_or_si512(even, _mm512_maskz_slli_epi64(kAll8, odd, 32));
}

inline __m512i Times(__m512i x, int m) { return _mm512_maskz_mullo_epi32(kAll16, x, _mm512_set1_epi32(m)); }

// Two base-151 digits of r < 22801: low in bits 0-7, high in bits 8-15.
inline __m512i TwoDigits(__m512i r) {
  const __m512i high = _mm512_maskz_srli_epi32(kAll16, Times(r, 13889), 21);
  return _mm512_or_si512(_mm512_sub_epi32(r, Times(high, 151)), _mm512_maskz_slli_epi32(kAll16, high, 8));
}

}  // namespace

uint8_t* SymbolsInPlaceAvx512(uint8_t* out, size_t n) {
  const __m512i t0 = _mm512_load_si512(kSymbols.data());
  const __m512i t1 = _mm512_load_si512(kSymbols.data() + 64);
  const __m512i t2 = _mm512_load_si512(kSymbols.data() + 128);
  const __m512i t3 = _mm512_load_si512(kSymbols.data() + 192);
  const __m512i range = _mm512_set1_epi32(static_cast<int>(kTextWordRange));
  uint8_t* p = out;
  for (size_t at = 0; at + 64 <= n; at += 64) {
    const __m512i x = _mm512_loadu_si512(out + at);
    const __mmask16 keep = _mm512_cmplt_epu32_mask(x, range);
    const __m512i q = DivPairs(x);
    const __m512i above = _mm512_sub_epi32(q, Times(_mm512_maskz_srli_epi32(kAll16, Times(q, 11773), 28), 22801));
    const __m512i low = _mm512_sub_epi32(x, Times(q, 22801));
    const __m512i digits = _mm512_or_si512(TwoDigits(low), _mm512_maskz_slli_epi32(kAll16, TwoDigits(above), 16));
    const __m512i symbols =
        _mm512_mask_blend_epi8(_mm512_movepi8_mask(digits), _mm512_permutex2var_epi8(t0, digits, t1),
                               _mm512_permutex2var_epi8(t2, digits, t3));
    // The kept words' symbols, packed, go where the words stood or before:
    // the 64 bytes written end no later than those just read.
    _mm512_storeu_si512(p, keep == 0xffff ? symbols : _mm512_maskz_compress_epi32(keep, symbols));
    p += 4 * _mm_popcnt_u32(keep);
  }
  return p;
}

}  // namespace tav::expanded

#endif
