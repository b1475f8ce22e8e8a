#include "engine/cipher.hpp"

#include <algorithm>
#include <cstring>

namespace tav::engine {

// Portable kernel: eight symbols of one wheel order side by side, so that the
// forty dependent lookups of each symbol overlap with those of the others.
// The per-lane offsets are computed eight at a time with the compiler's
// generic vectors (SSE2 on x86-64, plain code where there is no SIMD).
using Lanes16 = uint16_t __attribute__((vector_size(16)));

template <bool kText, bool kDecrypt>
static void Transform(Cipher& c, uint8_t* data, size_t len) {
  // More lanes would not fit the registers: the lookups would wait on spills.
  constexpr uint32_t kLanes = 8;
  const uint32_t n = static_cast<uint32_t>(c.n);
  const auto n16 = static_cast<uint16_t>(n);
  Stepping& s = c.s;
  while (len > 0) {
    // One wheel order: its rows, and the eight lanes' offsets of each
    // position, which then move on by 8 * delta per chunk.
    const auto run = static_cast<uint32_t>(std::min<size_t>(len, RunLeft(s)));
    const uint8_t* rows[kWheels];
    Lanes16 off[kWheels];
    Lanes16 chunk_step[kWheels];
    uint32_t r = s.rot;
    for (uint32_t p = 0; p < kWheels; ++p, r = r + 1 == kWheels ? 0 : r + 1) {
      rows[p] = kDecrypt ? c.inv[r] : c.fwd[r];
      Lanes16 step;
      std::memcpy(&step, c.lane_step[p].data(), sizeof step);
      // (off + l * delta) mod n for the eight lanes; both terms are below n.
      const Lanes16 o = step + s.off[r];
      off[p] = o >= n16 ? o - n16 : o;
      chunk_step[p] = Lanes16{} + c.lane_step[p][kLanes];
    }
    for (uint32_t done = 0; done < run; done += kLanes) {
      const uint32_t lanes = std::min(kLanes, run - done);
      uint8_t* chunk = data + done;
      // Decryption takes each lookup's result back by the offset: n - off.
      Lanes16 back[kDecrypt ? kWheels : 1];
      if constexpr (kDecrypt) {
        for (uint32_t p = 0; p < kWheels; ++p) back[p] = n16 - off[p];
      }
      uint32_t x[kLanes];
      for (uint32_t l = 0; l < kLanes; ++l) {
        const uint8_t b = l < lanes ? chunk[l] : 0;
        x[l] = kText ? c.to_index[b] : b;
      }
      for (int pass = 0; pass < 2; ++pass) {
        if constexpr (!kDecrypt) {
          for (uint32_t p = 0; p < kWheels; ++p)
            for (uint32_t l = 0; l < kLanes; ++l) x[l] = rows[p][x[l] + off[p][l]];
        } else {
          // x stays below 2n between steps; it is reduced once at the end.
          for (uint32_t p = kWheels; p-- > 0;)
            for (uint32_t l = 0; l < kLanes; ++l) x[l] = rows[p][x[l]] + back[p][l];
        }
      }
      // The input bytes are still in the buffer: nothing but x stays live
      // across the lookups.
      for (uint32_t l = 0; l < lanes; ++l) {
        uint32_t v = x[l];
        if (kDecrypt && v >= n) v -= n;
        if constexpr (kText) {
          // Branch-free: bytes outside the alphabet come in unpredictable mixes.
          const uint8_t b = chunk[l];
          const auto keep = static_cast<uint8_t>(-static_cast<int>(c.to_index[b] == kNotInAlphabet));
          chunk[l] = static_cast<uint8_t>((b & keep) | (c.to_symbol[v] & ~keep));
        } else {
          chunk[l] = static_cast<uint8_t>(v);
        }
      }
      if (done + kLanes < run) {
        for (uint32_t p = 0; p < kWheels; ++p) {
          const Lanes16 o = off[p] + chunk_step[p];
          off[p] = o >= n16 ? o - n16 : o;
        }
      } else {
        // Every wheel has turned `lanes` more times at its position.
        r = s.rot;
        for (uint32_t p = 0; p < kWheels; ++p, r = r + 1 == kWheels ? 0 : r + 1) {
          const uint32_t next = off[p][0] + c.lane_step[p][lanes];
          s.off[r] = static_cast<uint16_t>(next >= n ? next - n : next);
        }
      }
    }
    CountSymbols(c, s, run);
    data += run;
    len -= run;
  }
}

void PortableTransform(Cipher& c, uint8_t* data, size_t len, bool decrypt) {
  const bool text = c.kind == Kind::text;
  if (text && !decrypt) Transform<true, false>(c, data, len);
  if (text && decrypt) Transform<true, true>(c, data, len);
  if (!text && !decrypt) Transform<false, false>(c, data, len);
  if (!text && decrypt) Transform<false, true>(c, data, len);
}

}  // namespace tav::engine
