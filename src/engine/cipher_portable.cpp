// SPDX-License-Identifier: MIT
// Portable kernel of the wheel cipher, for every architecture (and the
// fallback where no vector kernel applies).
//
// Eight symbols of one wheel order go side by side, so that the forty
// dependent lookups of each symbol overlap with those of the others. A step
// is one offset load, one add and one table load per lane; what used to cost
// on top of that was bookkeeping around them: a position loop whose counter
// and row index competed with the eight lanes for registers, so lanes went to
// the stack at every position. Here the forty steps are unrolled (rows and
// offsets are read at fixed places), and an empty asm after each step pins
// the lanes to registers and keeps the steps in order.
//
// Decryption turns each result back by its offset: x' = (row[x] - off) mod n.
// That subtraction is folded into the next step's displacement (-off mod n),
// so both directions run the same step; the last offset is taken off once at
// the end. Decryption keeps the negated offsets themselves, moving them on per
// chunk as encryption moves its own: recomputing them for every chunk cost
// decryption a seventh of its rate.
//
// GCC's SLP vectoriser is off for this file (CMakeLists.txt): it repacks the
// scalar lanes into vectors around the steps, and the kernel runs slower.
#include "engine/cipher.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <type_traits>
#include <utility>

namespace tav::engine {

namespace {

constexpr uint32_t kLanes = 8;

// One turn offset per lane, with the compiler's generic vectors (SSE2 on
// x86-64, NEON on ARM64, plain code where there is no SIMD). Signed, so that
// a reduction is a subtraction and a sign mask even with SSE2 (its compares
// are signed); every offset is below 512.
using Offsets = int16_t __attribute__((vector_size(2 * kLanes)));

inline Offsets Get(const uint16_t* lanes) {
  Offsets v;
  std::memcpy(&v, lanes, sizeof v);
  return v;
}

inline void Put(uint16_t* lanes, Offsets v) { std::memcpy(lanes, &v, sizeof v); }

// (a + b) mod n for lanes a and b below n, with b given as b - n: the chunk
// steps are kept that way, which saves a subtraction at every chunk.
inline Offsets AddModN(Offsets a, Offsets b_less_n, int16_t n) {
  const Offsets t = a + b_less_n;
  return t + ((t >> 15) & n);
}

// Where byte l of eight bytes read as one word lies in it.
constexpr uint32_t ByteShift(uint32_t l) { return std::endian::native == std::endian::little ? 8 * l : 56 - 8 * l; }

// 0xFF in every byte of the word that is kNotInAlphabet, 0 in the others.
// Alphabet indexes are below 0xFF, so only 0xFF has all low seven bits set
// and the top bit too; adding 1 to the low seven bits never carries out.
constexpr uint64_t OutsideMask(uint64_t index) {
  constexpr uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Full;
  constexpr uint64_t kOnes = 0x0101010101010101ull;
  const uint64_t top = ((index & kLow7) + kOnes) & index & ~kLow7;
  return (top >> 7) * 0xFF;
}
static_assert(OutsideMask(0xFF00FF7F80969601ull) == 0xFF00FF0000000000ull);

// f(std::integral_constant<uint32_t, i>) for i = 0 .. kWheels - 1.
template <class F>
inline void ForPositions(F f) {
  [&]<uint32_t... I>(std::integer_sequence<uint32_t, I...>) {
    (f(std::integral_constant<uint32_t, I>{}), ...);
  }(std::make_integer_sequence<uint32_t, kWheels>{});
}

// An empty asm that takes the lanes in registers and may change them: the
// compiler can neither keep a lane in memory nor move one lane's lookups past
// the next position's, which would run the lanes' chains one after another.
inline void InRegisters(size_t (&x)[kLanes]) {
  static_assert(kLanes == 8);
  __asm__("" : "+r"(x[0]), "+r"(x[1]), "+r"(x[2]), "+r"(x[3]), "+r"(x[4]), "+r"(x[5]), "+r"(x[6]), "+r"(x[7]));
}

template <bool kText, bool kDecrypt>
void Transform(Cipher& c, uint8_t* data, size_t len) {
  const uint32_t n = static_cast<uint32_t>(c.t->n);
  const auto n16 = static_cast<int16_t>(n);
  Stepping& s = c.s;
  while (len > 0) {
    // One wheel order: its rows, and the lanes' offsets of each position,
    // which then move on by kLanes * delta per chunk.
    const auto run = static_cast<uint32_t>(std::min<size_t>(len, RunLeft(s)));
    const uint8_t* rows[kWheels];
    // Plain arrays rather than vectors, so that the steps read single lanes
    // with scalar loads instead of extracting them from vector registers.
    // Decryption: -off mod n.
    alignas(16) uint16_t off[kWheels][kLanes];
    Offsets chunk_step[kWheels];
    uint32_t r = s.rot;
    for (uint32_t p = 0; p < kWheels; ++p, r = r + 1 == kWheels ? 0 : r + 1) {
      rows[p] = kDecrypt ? c.t->inv[r] : c.t->fwd[r];
      // (off + l * delta) mod n for the lanes; both terms are below n.
      Offsets lanes = AddModN(Get(c.t->lane_step[p].data()), Offsets{} + static_cast<int16_t>(s.off[r] - n16), n16);
      auto step = static_cast<int16_t>(kLanes * c.t->delta[p] % n);
      if constexpr (kDecrypt) {
        lanes = -lanes;
        lanes += (lanes >> 15) & n16;
        step = static_cast<int16_t>(step == 0 ? 0 : n16 - step);
      }
      Put(off[p], lanes);
      chunk_step[p] = Offsets{} + static_cast<int16_t>(step - n16);
    }
    for (uint32_t done = 0; done < run; done += kLanes) {
      const uint32_t lanes = std::min(kLanes, run - done);
      uint8_t* chunk = data + done;
      // A short chunk goes through a padded copy, so that every lane loop
      // has a constant count and the lanes never need an index.
      uint8_t pad[kLanes] = {};
      uint8_t* io = chunk;
      if (lanes < kLanes) {
        std::memcpy(pad, chunk, lanes);
        io = pad;
      }
      const uint16_t(*disp)[kLanes] = off;
      size_t x[kLanes];
      // Text: the chunk's eight bytes are read as one word, and the bytes
      // outside the alphabet become a mask word that waits out the lookups in
      // one slot, instead of eight table reads and tests at the end.
      uint64_t keep = 0;
      if constexpr (kText) {
        uint64_t in;
        std::memcpy(&in, io, sizeof in);
        uint64_t index = 0;
        for (uint32_t l = 0; l < kLanes; ++l) {
          const uint8_t i = c.t->to_index[static_cast<uint8_t>(in >> ByteShift(l))];
          x[l] = i;
          index |= uint64_t{i} << ByteShift(l);
        }
        keep = OutsideMask(index);
      } else {
        for (uint32_t l = 0; l < kLanes; ++l) x[l] = io[l];
      }
      // Every position is a constant: the rows and displacements are read
      // at fixed places, and no loop counter competes with x for registers.
      // lane l's displacement into row p is disp[p][l]. Decryption: the
      // previous step (position p + 1, or 0 on the way from the first pass
      // to the second) still owes its -off.
      auto step = [&](auto p) {
        const uint8_t* row = rows[p];
        constexpr uint32_t d = kDecrypt ? (p + 1) % kWheels : p;
        for (uint32_t l = 0; l < kLanes; ++l) x[l] = row[x[l] + disp[d][l]];
        InRegisters(x);
      };
      // Both passes read the same displacements. Between them the pointer is
      // laundered, or clang keeps the first pass's 160 loaded values for the
      // second one, on the stack: a store per lookup to save a load.
      if constexpr (!kDecrypt) {
        ForPositions([&](auto i) { step(i); });
        __asm__("" : "+r"(disp));
        ForPositions([&](auto i) { step(i); });
      } else {
        // The first step owes nothing yet.
        for (uint32_t l = 0; l < kLanes; ++l) x[l] = rows[kWheels - 1][x[l]];
        ForPositions([&](auto i) {
          if constexpr (i + 1 < kWheels) step(std::integral_constant<uint32_t, kWheels - 2 - i>{});
        });
        __asm__("" : "+r"(disp));
        ForPositions([&](auto i) { step(std::integral_constant<uint32_t, kWheels - 1 - i>{}); });
      }
      // The input bytes are still in the buffer: nothing but x stays live
      // across the lookups.
      uint64_t symbols = 0;
      for (uint32_t l = 0; l < kLanes; ++l) {
        size_t v = x[l];
        if constexpr (kDecrypt) {
          v += off[0][l];
          v = v >= n ? v - n : v;
        }
        if constexpr (kText) {
          symbols |= uint64_t{c.t->to_symbol[v]} << ByteShift(l);
        } else {
          io[l] = static_cast<uint8_t>(v);
        }
      }
      if constexpr (kText) {
        // Branch-free: bytes outside the alphabet come in unpredictable mixes.
        uint64_t in;
        std::memcpy(&in, io, sizeof in);
        const uint64_t out = (in & keep) | (symbols & ~keep);
        std::memcpy(io, &out, sizeof out);
      }
      if (lanes < kLanes) std::memcpy(chunk, pad, lanes);
      if (done + kLanes < run) {
        for (uint32_t p = 0; p < kWheels; ++p) Put(off[p], AddModN(Get(off[p]), chunk_step[p], n16));
      } else {
        // Every wheel has turned `lanes` more times at its position.
        r = s.rot;
        for (uint32_t p = 0; p < kWheels; ++p, r = r + 1 == kWheels ? 0 : r + 1) {
          const uint32_t now = kDecrypt && off[p][0] != 0 ? n - off[p][0] : off[p][0];
          const uint32_t next = now + c.t->lane_step[p][lanes];
          s.off[r] = static_cast<uint16_t>(next >= n ? next - n : next);
        }
      }
    }
    CountSymbols(c, s, run);
    data += run;
    len -= run;
  }
}

}  // namespace

void PortableTransform(Cipher& c, uint8_t* data, size_t len, bool decrypt) {
  Dispatch(c, decrypt, [&](auto text, auto dec) { Transform<text(), dec()>(c, data, len); });
}

}  // namespace tav::engine
