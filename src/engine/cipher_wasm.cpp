// SPDX-License-Identifier: MIT
// WebAssembly SIMD kernel of the wheel cipher (128-bit vectors), compiled
// only into the WebAssembly build when it targets SIMD; a module either has
// it or was built without it, so there is no run-time check.
//
// Each byte lane of a v128 carries one symbol, as in the NEON kernel, whose
// shape this follows: the symbols of one wheel order are taken 64 at a time,
// four vectors in flight that read the same row at each step, and a wheel's
// offsets for the group are its first offset plus g * delta, mod n.
//
// A lookup cuts the row into chunks of 16 entries. i8x16.swizzle gives 0 for
// an index of 16 or more, so chunk k, indexed with y - 16k (wrapping),
// contributes entry y exactly when y / 16 is k: the lookup ORs one swizzle
// per chunk, sixteen for the binary alphabet, ten for the 151 text symbols.
#include "engine/cipher.hpp"

#if defined(__wasm_simd128__)

#include <wasm_simd128.h>

#include <algorithm>
#include <cstring>

#include "engine/lanes.hpp"

namespace tav::engine {

namespace {

using lanes::kGroup;
using lanes::kLanes;
using lanes::kVectors;

// Row lookups for V vectors at once. The chunks are the outer loop, so each
// is loaded once and serves all V vectors; the index for chunk k is y - 16k,
// one subtraction of one constant per chunk rather than a constant of its
// own. Every loop has a fixed count and is unrolled, so that the vectors
// stay in locals: with a vector count known only at run time they lived in
// the module's stack memory and went through it at every step.
template <int kChunks, int V>
inline void Lookup(const uint8_t* row, v128_t (&y)[V]) {
  const v128_t sixteen = wasm_i8x16_splat(16);
  const v128_t first = wasm_v128_load(row);
  v128_t r[V];
#pragma clang loop unroll(full)
  for (int v = 0; v < V; ++v) r[v] = wasm_i8x16_swizzle(first, y[v]);
#pragma clang loop unroll(full)
  for (int k = 1; k < kChunks; ++k) {
    const v128_t chunk = wasm_v128_load(row + 16 * k);
#pragma clang loop unroll(full)
    for (int v = 0; v < V; ++v) {
      y[v] = wasm_i8x16_sub(y[v], sixteen);
      r[v] = wasm_v128_or(r[v], wasm_i8x16_swizzle(chunk, y[v]));
    }
  }
#pragma clang loop unroll(full)
  for (int v = 0; v < V; ++v) y[v] = r[v];
}

constexpr int kBinaryChunks = 16;
constexpr int kTextChunks = (kTextSize + 15) / 16;

// (x - y) mod 151 for x, y with |x - y| < 151.
inline v128_t SubMod151(v128_t x, v128_t y) {
  const v128_t d = wasm_i8x16_sub(x, y);
  return wasm_i8x16_add(d, wasm_v128_and(wasm_u8x16_lt(x, y), wasm_i8x16_splat(static_cast<int8_t>(kTextSize))));
}

// One group of V vectors (V * 16 symbols) at io.
template <bool kText, bool kDecrypt, int V>
void Group(const Cipher& c, uint8_t* io) {
  constexpr uint32_t N = kText ? kTextSize : kBinarySize;
  constexpr int kChunks = kText ? kTextChunks : kBinaryChunks;
  const uint8_t* rows = kDecrypt ? &c.t->inv[0][0] : &c.t->fwd[0][0];
  const Stepping& s = c.s;
  // What each step adds or subtracts, per position and vector. Binary:
  // the offset. Text encryption: 151 - offset, in 1..151, to subtract;
  // text decryption: the offset, in 0..150.
  v128_t add[kWheels][V];
  uint32_t r = s.rot;
  for (uint32_t p = 0; p < kWheels; ++p, r = r + 1 == kWheels ? 0 : r + 1) {
    const auto base = static_cast<int8_t>(s.off[r]);
#pragma clang loop unroll(full)
    for (int v = 0; v < V; ++v) {
      const v128_t m = wasm_v128_load(&c.t->mult[p][v * kLanes]);
      if constexpr (!kText) {
        add[p][v] = wasm_i8x16_add(m, wasm_i8x16_splat(base));
      } else {
        // (base + m) mod 151 = m - (151 - base), wrapped.
        const v128_t off = SubMod151(m, wasm_i8x16_splat(static_cast<int8_t>(N - s.off[r])));
        add[p][v] = kDecrypt ? off : wasm_i8x16_sub(wasm_i8x16_splat(static_cast<int8_t>(N)), off);
      }
    }
  }
  v128_t in[V], x[V], keep[V];
#pragma clang loop unroll(full)
  for (int v = 0; v < V; ++v) {
    in[v] = wasm_v128_load(io + v * kLanes);
    x[v] = in[v];
  }
  if constexpr (kText) {
    Lookup<kBinaryChunks>(c.t->to_index.data(), x);
    // Not in the alphabet: passes through.
#pragma clang loop unroll(full)
    for (int v = 0; v < V; ++v) keep[v] = wasm_i8x16_eq(x[v], wasm_i8x16_splat(static_cast<int8_t>(kNotInAlphabet)));
  }
  lanes::Steps<kDecrypt>([&](uint32_t p) {
    const uint32_t wheel = p + s.rot;
    const uint8_t* row = rows + (wheel < kWheels ? wheel : wheel - kWheels) * 512;
    if constexpr (!kDecrypt) {
#pragma clang loop unroll(full)
      for (int v = 0; v < V; ++v) x[v] = kText ? SubMod151(x[v], add[p][v]) : wasm_i8x16_add(x[v], add[p][v]);
    }
    Lookup<kChunks>(row, x);
    if constexpr (kDecrypt) {
#pragma clang loop unroll(full)
      for (int v = 0; v < V; ++v) x[v] = kText ? SubMod151(x[v], add[p][v]) : wasm_i8x16_sub(x[v], add[p][v]);
    }
  });
  if constexpr (kText) Lookup<kTextChunks>(c.t->to_symbol.data(), x);
#pragma clang loop unroll(full)
  for (int v = 0; v < V; ++v) {
    const v128_t out = kText ? wasm_v128_bitselect(in[v], x[v], keep[v]) : x[v];
    wasm_v128_store(io + v * kLanes, out);
  }
}

template <bool kText, bool kDecrypt>
void Transform(Cipher& c, uint8_t* data, size_t len) {
  constexpr uint32_t N = kText ? kTextSize : kBinarySize;
  lanes::ForEachGroup<N>(c, data, len, [&](uint8_t* io, uint32_t vectors) {
    static_assert(kVectors == 4);
    switch (vectors) {
      case 1: Group<kText, kDecrypt, 1>(c, io); break;
      case 2: Group<kText, kDecrypt, 2>(c, io); break;
      case 3: Group<kText, kDecrypt, 3>(c, io); break;
      default: Group<kText, kDecrypt, 4>(c, io); break;
    }
  });
}

}  // namespace

void WasmSimdTransform(Cipher& c, uint8_t* data, size_t len, bool decrypt) {
  Dispatch(c, decrypt, [&](auto text, auto dec) { Transform<text(), dec()>(c, data, len); });
}

}  // namespace tav::engine

#endif
