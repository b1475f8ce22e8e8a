// SPDX-License-Identifier: MIT
// WebAssembly SIMD kernel of the wheel cipher (128-bit vectors), compiled
// only into the WebAssembly build when it targets SIMD; a module either has
// it or was built without it, so there is no run-time check.
//
// Each byte lane of a v128 carries one symbol, as in the NEON kernel, whose
// shape this follows: the symbols of one wheel order are taken 128 at a time,
// up to eight vectors that read the same row at each step, and a wheel's
// offsets for the group are its first offset plus g * delta, mod n.
//
// A lookup reads the rows as the AVX2 kernel's are chunked (ChunkRow): 16
// byte shuffles of XOR differences of the row's 16-entry chunks, with nine
// indexes; see Lookup. Text values between steps are kept with bit 7
// flipped, as there, so that a signed compare orders them.
//
// Built twice: with the plain byte shuffle and with the relaxed one
// (-mrelaxed-simd), which x64 engines run as one instruction instead of two.
// Every index is either below 16 or has bit 7 set, where both agree on every
// engine.
#include "engine/cipher.hpp"

#if defined(__wasm_simd128__)

#include <wasm_simd128.h>

#include "engine/lanes.hpp"

namespace tav::engine {

namespace {

using lanes::kLanes;
// Vectors of a group: up to 128 symbols of one wheel order, more than the
// NEON kernel's four, so that the vectors of a step hide each other's
// latency in most groups (a wheel order lasts some 65 symbols on average).
constexpr uint32_t kVectors = 8;

// One byte shuffle of a 16-entry table: an index below 16 reads that entry,
// one with bit 7 set gives 0. Every index used here is one or the other, so
// the relaxed form (one instruction on x64, where the plain one needs a
// saturating add first) gives the same bytes on every engine.
inline v128_t Shuffle(v128_t table, v128_t index) {
#if defined(__wasm_relaxed_simd__)
  return __builtin_wasm_relaxed_swizzle_i8x16(table, index);
#else
  return wasm_i8x16_swizzle(table, index);
#endif
}

// Lanes of a where the mask is all ones, of b where it is 0 (every mask here
// is one or the other, where the relaxed form agrees on every engine).
inline v128_t Select(v128_t a, v128_t b, v128_t mask) {
#if defined(__wasm_relaxed_simd__)
  return __builtin_wasm_laneselect_i8x16(a, b, mask);
#else
  return wasm_v128_bitselect(a, b, mask);
#endif
}

// The lookups' constants, made once per call.
struct Constants {
  v128_t low_and_sign;  // 0x8f
  v128_t sixteen;
  v128_t thirty_two;
  v128_t flip;  // 0x80
  v128_t text_size;
  v128_t zero;
};

// Looks y up in a row chunked as ChunkRow does: L[j] = C[j] ^ C[j - 1] and
// U[m] = C[m + 7] ^ C[m + 8]. Index y - 16j has bit 7 clear exactly for
// j = y/16 - 7 .. y/16; masked with 0x8f it reads entry y % 16 there and
// gives 0 elsewhere. The L lookups then XOR to C[y/16] for y < 128 and the
// U lookups to C[y/16] for y >= 128; the sign of y picks one.
template <bool kText>
inline v128_t Lookup(const uint8_t (*row)[16], v128_t y, const Constants& k) {
  auto chunk = [&](int i) { return wasm_v128_load(row[i]); };
  auto index = [&](v128_t v) { return wasm_v128_and(v, k.low_and_sign); };
  v128_t even = y;
  v128_t odd = wasm_i8x16_sub(y, k.sixteen);
  v128_t lo = wasm_v128_xor(Shuffle(chunk(0), index(even)), Shuffle(chunk(1), index(odd)));
  v128_t hi = Shuffle(chunk(8), index(odd));
#pragma clang loop unroll(full)
  for (int j = 2; j < 8; ++j) {
    v128_t& v = j % 2 == 0 ? even : odd;
    v = wasm_i8x16_sub(v, k.thirty_two);
    const v128_t i = index(v);
    lo = wasm_v128_xor(lo, Shuffle(chunk(j), i));
    if (!kText || j == 2) hi = wasm_v128_xor(hi, Shuffle(chunk(j + 7), i));
  }
  if constexpr (!kText) {
    // U[8] = C[15], at index y - 128.
    hi = wasm_v128_xor(hi, Shuffle(chunk(15), index(wasm_v128_xor(y, k.flip))));
  }
  return Select(hi, lo, wasm_i8x16_lt(y, k.zero));
}

// Text values between steps have bit 7 flipped (as the chunked rows hold
// them), so that a signed compare orders them: (x - a) mod 151 for flipped x
// and a in 0..151, plain.
inline v128_t SubMod151(v128_t x, v128_t a, const Constants& k) {
  return wasm_i8x16_add(wasm_i8x16_sub(x, a), wasm_v128_and(wasm_i8x16_gt(a, x), k.text_size));
}

// What a step through position p takes per lane, for the lanes' offsets
// base + mult: binary, the offset; text encryption, 151 - offset; text
// decryption, the offset; text flipped.
template <bool kText, bool kDecrypt>
inline v128_t Line(uint32_t base, v128_t mult, const Constants& k) {
  if constexpr (!kText) {
    return wasm_i8x16_add(mult, wasm_i8x16_splat(static_cast<int8_t>(base)));
  } else {
    // key = 151 - base; mult >= key (unsigned) where the sum wraps.
    const v128_t key = wasm_i8x16_splat(static_cast<int8_t>(kTextSize - base));
    const v128_t wraps = wasm_i8x16_eq(wasm_u8x16_max(mult, key), mult);
    v128_t t;
    if constexpr (kDecrypt) {
      t = wasm_i8x16_add(wasm_i8x16_sub(mult, key), wasm_v128_andnot(k.text_size, wraps));
    } else {
      t = wasm_i8x16_add(wasm_i8x16_sub(key, mult), wasm_v128_and(wraps, k.text_size));
    }
    return wasm_v128_xor(t, k.flip);
  }
}

// One group of `vectors` vectors at io. Each step runs the vectors one after
// another in a loop that is not unrolled: an engine that sees them in one
// block interleaves their lookups and runs out of registers; the processor
// overlaps the loop's iterations by itself.
template <bool kText, bool kDecrypt>
void Group(const Cipher& c, uint8_t* io, uint32_t vectors, const Constants& k) {
  const auto rows = c.t->chunked_rows[kDecrypt ? 1 : 0];
  const Stepping& s = c.s;
  v128_t line[kWheels][kVectors];
  uint32_t r = s.rot;
  for (uint32_t p = 0; p < kWheels; ++p, r = r + 1 == kWheels ? 0 : r + 1) {
    for (uint32_t v = 0; v < vectors; ++v) {
      line[p][v] = Line<kText, kDecrypt>(s.off[r], wasm_v128_load(&c.t->mult[p][v * kLanes]), k);
    }
  }
  v128_t x[kVectors], keep[kVectors];
  for (uint32_t v = 0; v < vectors; ++v) {
    x[v] = wasm_v128_load(io + v * kLanes);
    if constexpr (kText) {
      x[v] = Lookup<false>(c.t->chunked_to_index, x[v], k);
      // Not in the alphabet: passes through.
      keep[v] = wasm_i8x16_eq(x[v], wasm_i8x16_splat(static_cast<int8_t>(kNotInAlphabet)));
      if constexpr (!kDecrypt) x[v] = wasm_v128_xor(x[v], k.flip);
    }
  }
  lanes::Steps<kDecrypt>([&](uint32_t p) {
    const uint32_t wheel = p + s.rot;
    const auto row = rows[wheel < kWheels ? wheel : wheel - kWheels];
#pragma clang loop unroll(disable)
    for (uint32_t v = 0; v < vectors; ++v) {
      if constexpr (!kDecrypt) {
        const v128_t y = kText ? SubMod151(x[v], line[p][v], k) : wasm_i8x16_add(x[v], line[p][v]);
        x[v] = Lookup<kText>(row, y, k);
      } else {
        const v128_t y = Lookup<kText>(row, x[v], k);
        x[v] = kText ? SubMod151(y, line[p][v], k) : wasm_i8x16_sub(y, line[p][v]);
      }
    }
  });
  for (uint32_t v = 0; v < vectors; ++v) {
    v128_t out = x[v];
    if constexpr (kText) {
      if constexpr (!kDecrypt) out = wasm_v128_xor(out, k.flip);
      const v128_t in = wasm_v128_load(io + v * kLanes);
      out = wasm_v128_bitselect(in, Lookup<true>(c.t->chunked_to_symbol, out, k), keep[v]);
    }
    wasm_v128_store(io + v * kLanes, out);
  }
}

template <bool kText, bool kDecrypt>
void Transform(Cipher& c, uint8_t* data, size_t len) {
  constexpr uint32_t N = kText ? kTextSize : kBinarySize;
  alignas(16) static constexpr uint8_t kConstants[5][16] = {
      {0x8f, 0x8f, 0x8f, 0x8f, 0x8f, 0x8f, 0x8f, 0x8f, 0x8f, 0x8f, 0x8f, 0x8f, 0x8f, 0x8f, 0x8f, 0x8f},
      {16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16},
      {32, 32, 32, 32, 32, 32, 32, 32, 32, 32, 32, 32, 32, 32, 32, 32},
      {0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80},
      {151, 151, 151, 151, 151, 151, 151, 151, 151, 151, 151, 151, 151, 151, 151, 151}};
  const Constants k{wasm_v128_load(kConstants[0]), wasm_v128_load(kConstants[1]),
                    wasm_v128_load(kConstants[2]), wasm_v128_load(kConstants[3]),
                    wasm_v128_load(kConstants[4]), wasm_i8x16_splat(0)};
  lanes::ForEachGroup<N, kVectors * kLanes>(c, data, len,
                         [&](uint8_t* io, uint32_t vectors) { Group<kText, kDecrypt>(c, io, vectors, k); });
}

}  // namespace

void WasmSimdTransform(Cipher& c, uint8_t* data, size_t len, bool decrypt) {
  Dispatch(c, decrypt, [&](auto text, auto dec) { Transform<text(), dec()>(c, data, len); });
}

}  // namespace tav::engine

#endif
