// SPDX-License-Identifier: MIT
// The stepping of the kernels that carry one symbol in each byte lane of
// 16-byte vectors (NEON, WebAssembly SIMD): the symbols of one wheel order
// go through in groups (by default of up to 64, four vectors in flight; a
// kernel may choose larger ones), and within a group a wheel's offset for
// symbol g is its first offset plus g * delta, mod n, read from
// Tables::mult. The vector work of a group is the kernel's own.
#pragma once

#include <algorithm>
#include <cstring>

#include "common/wipe.hpp"
#include "engine/cipher.hpp"

namespace tav::engine::lanes {

inline constexpr uint32_t kLanes = 16;
inline constexpr uint32_t kVectors = 4;
inline constexpr uint32_t kGroup = kLanes * kVectors;
static_assert(kGroup <= sizeof(Tables::mult[0]), "a group reads one row of Tables::mult");

// Calls group(io, vectors) for each group of len symbols (at most kSize),
// io holding the group's symbols in `vectors` whole vectors (a short group
// goes through a padded copy); then turns every wheel by the group's symbols
// at its position and counts them.
template <uint32_t N, uint32_t kSize = kGroup, class Group>
void ForEachGroup(Cipher& c, uint8_t* data, size_t len, Group&& group) {
  static_assert(kSize % kLanes == 0 && kSize <= sizeof(Tables::mult[0]));
  Stepping& s = c.s;
  while (len > 0) {
    const auto run = static_cast<uint32_t>(std::min<size_t>(len, RunLeft(s)));
    for (uint32_t done = 0; done < run; done += kSize) {
      const uint32_t block = std::min(kSize, run - done);
      alignas(16) uint8_t pad[kSize];
      uint8_t* io = data + done;
      if (block < kSize) {
        std::memset(pad, 0, sizeof pad);
        std::memcpy(pad, io, block);
        io = pad;
      }
      group(io, (block + kLanes - 1) / kLanes);
      if (block < kSize) {
        std::memcpy(data + done, pad, block);
        SecureZeroObject(pad);
      }
      uint32_t r = s.rot;
      for (uint32_t p = 0; p < kWheels; ++p, r = r + 1 == kWheels ? 0 : r + 1) {
        s.off[r] = static_cast<uint16_t>((s.off[r] + block * c.t->delta[p]) % N);
      }
    }
    CountSymbols(c, s, run);
    data += run;
    len -= run;
  }
}

// The forty steps of a symbol: the wheel positions twice over, in order to
// encrypt and in reverse to decrypt.
template <bool kDecrypt, class Step>
void Steps(Step&& step) {
  for (int pass = 0; pass < 2; ++pass) {
    if constexpr (!kDecrypt) {
      for (uint32_t p = 0; p < kWheels; ++p) step(p);
    } else {
      for (uint32_t p = kWheels; p-- > 0;) step(p);
    }
  }
}

}  // namespace tav::engine::lanes
