// SPDX-License-Identifier: MIT
// ARM64 NEON kernel of the wheel cipher. Every ARM64 CPU has NEON, so there
// is no run-time check.
//
// Each byte lane of a q register carries one symbol. A 256-entry row is four
// 64-byte tables of four registers each: tbl looks the index up in the first
// (an index of 64 or more gives 0), and tbx in each of the others with the
// index minus 64, 128 and 192 (out of range leaves the lane alone), so a
// lookup is four instructions. Text rows need only 151 entries, three tables.
//
// The symbols of one wheel order are taken 64 at a time: four vectors in
// flight, so that their dependent lookups overlap, all reading the same row
// at each step, loaded once for the four. Within a wheel order a wheel's
// offset grows by its turn per symbol, so the offsets of the 64 symbols are
// the group's first offset plus g * delta (a per-call table of multiples),
// mod n: free in byte arithmetic for n = 256, one compare and add for 151.
//
// A group ends where the wheel order does: dwells of 10 to about 160 symbols
// leave a partly filled last group, on average half a group per wheel order.
// The AVX-512 kernel's segments avoid that waste by running a group across
// orders with per-lane masks; that would fit NEON too (bsl is cheap), but
// this kernel keeps to the simpler form until ARM64 hardware can say whether
// the lanes are worth the extra work.
#include "engine/cipher.hpp"

#if defined(__aarch64__)

#include <arm_neon.h>

#include <algorithm>
#include <cstring>

#include "common/wipe.hpp"

namespace tav::engine {

bool NeonSupported() { return true; }

namespace {

constexpr uint32_t kLanes = 16;
constexpr uint32_t kVectors = 4;
constexpr uint32_t kGroup = kLanes * kVectors;

// One row, as many 64-byte tables as the alphabet needs.
template <bool kText>
struct Row {
  static constexpr int kTables = kText ? 3 : 4;
  uint8x16x4_t t[kTables];
  explicit Row(const uint8_t* row) {
    for (int i = 0; i < kTables; ++i) t[i] = vld1q_u8_x4(row + 64 * i);
  }
  uint8x16_t Lookup(uint8x16_t idx) const {
    uint8x16_t r = vqtbl4q_u8(t[0], idx);
    for (int i = 1; i < kTables; ++i) r = vqtbx4q_u8(r, t[i], vsubq_u8(idx, vdupq_n_u8(static_cast<uint8_t>(64 * i))));
    return r;
  }
};

// (x - y) mod 151 for x, y with |x - y| < 151.
inline uint8x16_t SubMod151(uint8x16_t x, uint8x16_t y) {
  const uint8x16_t d = vsubq_u8(x, y);
  return vaddq_u8(d, vandq_u8(vcltq_u8(x, y), vdupq_n_u8(kTextSize)));
}

template <bool kText, bool kDecrypt>
void Transform(Cipher& c, uint8_t* data, size_t len, uint8_t (*mult)[kGroup]) {
  constexpr uint32_t N = kText ? kTextSize : kBinarySize;
  // mult[p][g] = g * delta[p] mod n, as far as this call's vectors reach.
  const auto reach = static_cast<uint32_t>(std::min<size_t>(kGroup, (len + kLanes - 1) / kLanes * kLanes));
  for (uint32_t p = 0; p < kWheels; ++p) {
    uint32_t m = 0;
    for (uint32_t g = 0; g < reach; ++g) {
      mult[p][g] = static_cast<uint8_t>(m);
      m += c.t->delta[p];
      if (m >= N) m -= N;
    }
  }
  const uint8_t* rows = kDecrypt ? &c.t->inv[0][0] : &c.t->fwd[0][0];
  Stepping& s = c.s;
  while (len > 0) {
    const auto run = static_cast<uint32_t>(std::min<size_t>(len, RunLeft(s)));
    for (uint32_t done = 0; done < run; done += kGroup) {
      const uint32_t block = std::min(kGroup, run - done);
      const uint32_t vectors = (block + kLanes - 1) / kLanes;
      // A short group goes through a padded copy.
      alignas(16) uint8_t pad[kGroup];
      uint8_t* io = data + done;
      if (block < kGroup) {
        std::memset(pad, 0, sizeof pad);
        std::memcpy(pad, io, block);
        io = pad;
      }
      // What each step adds or subtracts, per position and vector. Binary:
      // the offset. Text encryption: 151 - offset, in 1..151, to subtract;
      // text decryption: the offset, in 0..150.
      uint8x16_t add[kWheels][kVectors];
      uint32_t r = s.rot;
      for (uint32_t p = 0; p < kWheels; ++p, r = r + 1 == kWheels ? 0 : r + 1) {
        const uint8_t base = static_cast<uint8_t>(s.off[r]);
        for (uint32_t v = 0; v < vectors; ++v) {
          const uint8x16_t m = vld1q_u8(&mult[p][v * kLanes]);
          if constexpr (!kText) {
            add[p][v] = vaddq_u8(m, vdupq_n_u8(base));
          } else {
            // (base + m) mod 151 = m - (151 - base), wrapped.
            const uint8x16_t off = SubMod151(m, vdupq_n_u8(static_cast<uint8_t>(N - base)));
            add[p][v] = kDecrypt ? off : vsubq_u8(vdupq_n_u8(N), off);
          }
        }
      }
      uint8x16_t in[kVectors], x[kVectors], keep[kVectors];
      for (uint32_t v = 0; v < kVectors; ++v) {
        in[v] = vld1q_u8(io + v * kLanes);
        x[v] = in[v];
        if constexpr (kText) {
          x[v] = Row<false>(c.t->to_index.data()).Lookup(in[v]);
          keep[v] = vceqq_u8(x[v], vdupq_n_u8(kNotInAlphabet));  // not in the alphabet: passes through
        }
      }
      auto step = [&](uint32_t p) {
        const Row<kText> row(rows + ((p + s.rot) % kWheels) * 512);
        for (uint32_t v = 0; v < vectors; ++v) {
          if constexpr (!kText) {
            x[v] = kDecrypt ? vsubq_u8(row.Lookup(x[v]), add[p][v]) : row.Lookup(vaddq_u8(x[v], add[p][v]));
          } else {
            x[v] = kDecrypt ? SubMod151(row.Lookup(x[v]), add[p][v]) : row.Lookup(SubMod151(x[v], add[p][v]));
          }
        }
      };
      for (int pass = 0; pass < 2; ++pass) {
        if constexpr (!kDecrypt) {
          for (uint32_t p = 0; p < kWheels; ++p) step(p);
        } else {
          for (uint32_t p = kWheels; p-- > 0;) step(p);
        }
      }
      for (uint32_t v = 0; v < vectors; ++v) {
        uint8x16_t out = x[v];
        if constexpr (kText) out = vbslq_u8(keep[v], in[v], Row<true>(c.t->to_symbol.data()).Lookup(out));
        vst1q_u8(io + v * kLanes, out);
      }
      if (block < kGroup) std::memcpy(data + done, pad, block);
      // Every wheel has turned `block` more times at its position.
      r = s.rot;
      for (uint32_t p = 0; p < kWheels; ++p, r = r + 1 == kWheels ? 0 : r + 1) {
        s.off[r] = static_cast<uint16_t>((s.off[r] + block * c.t->delta[p]) % N);
      }
    }
    CountSymbols(c, s, run);
    data += run;
    len -= run;
  }
}

}  // namespace

void NeonTransform(Cipher& c, uint8_t* data, size_t len, bool decrypt) {
  uint8_t mult[kWheels][kGroup];
  const bool text = c.t->kind == Kind::text;
  if (text && !decrypt) Transform<true, false>(c, data, len, mult);
  if (text && decrypt) Transform<true, true>(c, data, len, mult);
  if (!text && !decrypt) Transform<false, false>(c, data, len, mult);
  if (!text && decrypt) Transform<false, true>(c, data, len, mult);
  SecureZeroObject(mult);  // the turns follow from the key
}

}  // namespace tav::engine

#endif
