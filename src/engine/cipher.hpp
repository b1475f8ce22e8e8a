// SPDX-License-Identifier: MIT
// The production wheel cipher.
//
// Each wheel is kept as it was loaded plus a turn offset: a wheel turned down
// t times reads entry i from loaded entry (i + t) mod n, and turning up
// subtracts. Symbols are handled as alphabet indexes, so one wheel step is one
// table lookup, with no search and no entries moved. The stepping state before
// symbol j (each wheel's offset and position) follows from j alone, which lets
// the kernels transform many symbols side by side.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "engine/alphabet.hpp"

namespace tav::engine {

inline constexpr size_t kKernelWorkBytes = 24 * 1024;

// Where the stream stands: the wheel order and each wheel's turn.
struct Stepping {
  uint32_t rot = 0;   // wheel-order rotations so far, mod 20: position p holds wheel (p + rot) mod 20
  int32_t count = 0;  // symbols since the last rotation
  int32_t index = 1;  // current master schedule entry
  int32_t dwell = 0;  // symbols the current wheel order lasts
  std::array<uint16_t, kWheels> off{};  // turn offset of each wheel (as loaded, 0-based), mod n
};

// Tables built once per key set from its wheels, stepping parameters and
// master schedule, and read-only after that: any number of ciphers on any
// threads may share them. Rows are doubled (entry i and entry i + n agree) so
// that "index + offset" needs no reduction.
struct Tables {
  Kind kind = Kind::binary;
  int32_t n = kBinarySize;
  alignas(64) uint8_t fwd[kWheels][512];  // fwd[r][i]: alphabet index of entry (i mod n) of wheel r
  alignas(64) uint8_t inv[kWheels][512];  // inv[r][v]: entry of wheel r that holds index (v mod n)
  alignas(64) std::array<uint8_t, 256> to_index;   // byte -> alphabet index, kNotInAlphabet outside
  alignas(64) std::array<uint8_t, 256> to_symbol;  // alphabet index -> byte
  std::array<uint16_t, kWheels> delta{};  // turn per symbol of each position, mod n
  // lane_step[p][l] = l * delta[p] mod n: the turn of position p after l symbols.
  std::array<std::array<uint16_t, 16>, kWheels> lane_step{};
  std::array<int32_t, 201> schedule{};  // master key schedule, entries 1..200
  // For the vector kernels, which would otherwise build them at every call:
  // mult[p][g] = g * delta[p] mod n, with the rows repeated (row p + 20 is
  // row p) so that "position of wheel r in wheel order rot" is the row
  // r + 20 - rot without a wrap; and, for each wheel order rot, the turn of
  // each wheel r in 16-bit lane r (delta of the position it stands at).
  alignas(64) uint8_t mult[2 * kWheels][384];
  alignas(64) uint16_t delta_by_wheel[kWheels][32];
  // The AVX2 kernel's forms: the multiples by symbol ([g][p]), and the rows
  // of each direction (0 encrypt, 1 decrypt) and of the text mapping cut into
  // the 16-byte chunks its lookups read (see ChunkRow).
  alignas(64) uint8_t mult_by_symbol[128][32];
  alignas(64) uint8_t chunked_rows[2][kWheels][16][16];
  alignas(64) uint8_t chunked_to_index[16][16];
  alignas(64) uint8_t chunked_to_symbol[10][16];
  // Seeking: one round of the schedule (200 wheel orders) is round_length
  // symbols; entry e starts entry_start[e] symbols into it, when wheel r has
  // turned entry_turn[e][r] (mod n) since the round began.
  uint64_t round_length = 0;
  std::array<uint64_t, 202> entry_start{};
  std::array<std::array<uint16_t, kWheels>, 202> entry_turn{};
};

// One running cipher: shared tables, its own place in the stream, and the
// working storage of the vector kernels (one per thread that runs it).
struct Cipher {
  const Tables* t = nullptr;
  Stepping s;
  alignas(64) uint8_t work[kKernelWorkBytes];
};

// The kernels. TAVSDK_CPU names one; a path the CPU lacks falls back to the
// best one below it (avx512 -> avx2 -> portable, neon -> portable). The
// WebAssembly build has one path, fixed when it is built.
enum class Path { portable, avx2, avx512, neon, wasm_simd };

// Builds the tables of an alphabet from its wheels (20 records of n bytes,
// each a permutation of the alphabet, as the wheel file holds them), the
// direction (0 down, 1 up) and step count of each position, and the master
// key schedule (entries 1..200).
void BuildTables(Tables& t, Kind kind, const uint8_t* wheels, const std::array<int32_t, kWheels + 1>& directions,
                 const std::array<int32_t, kWheels + 1>& steps, const std::array<int32_t, 201>& schedule);

// Chunks a row of n entries (entry i = row[i] ^ flip) as the AVX2 kernel's
// lookups read it: L[0..7], then U[1..8] (text: U[1] and U[2]).
void ChunkRow(const uint8_t* row, int n, uint8_t flip, uint8_t (*out)[16]);

// Puts c at symbol `position` of a message with tables t.
void CipherStart(Cipher& c, const Tables& t, uint64_t position);

// Transform len bytes in place as the next symbols of the stream, on the
// fastest path this CPU supports.
void CipherEncrypt(Cipher& c, uint8_t* data, size_t len);
void CipherDecrypt(Cipher& c, uint8_t* data, size_t len);
inline void CipherRun(Cipher& c, uint8_t* data, size_t len, bool decrypt) {
  if (decrypt) {
    CipherDecrypt(c, data, len);
  } else {
    CipherEncrypt(c, data, len);
  }
}

// The same on a chosen path; the path must be available.
void CipherTransform(Cipher& c, uint8_t* data, size_t len, bool decrypt, Path path);
bool PathAvailable(Path path);
Path BestPath();

// The path CipherEncrypt / CipherDecrypt take: the one TAVSDK_CPU names (read
// once per process), or the best available below it; the best one when the
// variable is unset, empty or unknown.
Path ActivePath();

// The path that a TAVSDK_CPU value selects (null: unset).
Path PathFor(const char* name);

// The call length from which the active kernel runs at its full rate, for
// callers that cut a long message into pieces: the AVX-512, AVX2 and
// WebAssembly SIMD kernels take 64, 32 and 16 stretches a schedule round
// apart at once (0: any length).
size_t FullRateLength(const Tables& t);

// The longest piece of at most `room` bytes that the active kernel runs at its
// full rate throughout: a multiple of FullRateLength, or room itself when that
// is 0 or longer than room. A piece of room bytes would leave its tail to the
// slower kernel.
size_t FullRatePiece(const Tables& t, size_t room);

// For kernels that put one round of the schedule between neighbouring lanes
// (at positions P and P + round_length the stream is at the same entry, count
// and wheel order): the turn of each wheel over one round from where c stands,
// the same wherever the round starts, and in row r of `multiples` (kWheels
// rows of `lanes` bytes) lane l's share, l * turn[r] mod n.
std::array<uint16_t, kWheels> RoundTurns(const Cipher& c, uint8_t* multiples, uint32_t lanes);

// Moves c on by `rounds` whole rounds of the schedule: only the offsets change.
void SkipRounds(Cipher& c, const std::array<uint16_t, kWheels>& turn, uint32_t rounds);

// Advance the stream by `symbols` without transforming anything.
void CipherSkip(Cipher& c, uint64_t symbols);

// Clears the state and the working storage.
void CipherWipe(Cipher& c);

// The stepping rules shared by the kernels ------------------------------------

// Symbols that remain in the current wheel order, counting the next one.
inline uint32_t RunLeft(const Stepping& s) {
  const int32_t left = s.dwell - s.count;
  return left < 1 ? 1u : static_cast<uint32_t>(left);
}

// Advance by len symbols, len <= RunLeft(s): every wheel turns len times at its
// current position; then the wheel order rotates if the dwell is used up.
void Advance(const Cipher& c, Stepping& s, uint32_t len);

// The second half of Advance, for kernels that turn the wheels themselves:
// counts len symbols and rotates the wheel order when the dwell is used up.
inline void CountSymbols(const Cipher& c, Stepping& s, uint32_t len) {
  s.count += static_cast<int32_t>(len);
  if (s.count >= s.dwell) {
    s.count = 0;
    s.index = s.index >= 200 ? 1 : s.index + 1;
    s.dwell = c.t->schedule[s.index];
    s.rot = s.rot + 1 == kWheels ? 0 : s.rot + 1;
  }
}

// Calls kernel(text, decrypt) with both as std::bool_constant, for the
// alphabet of c's tables and the direction: a kernel instantiates its
// Transform<text(), decrypt()> for the four cases through this one switch.
template <class Kernel>
inline void Dispatch(const Cipher& c, bool decrypt, Kernel&& kernel) {
  using Yes = std::true_type;
  using No = std::false_type;
  if (c.t->kind == Kind::text) {
    decrypt ? kernel(Yes{}, Yes{}) : kernel(Yes{}, No{});
  } else {
    decrypt ? kernel(No{}, Yes{}) : kernel(No{}, No{});
  }
}

// Portable kernel (cipher_portable.cpp): any architecture.
void PortableTransform(Cipher& c, uint8_t* data, size_t len, bool decrypt);

#if defined(__x86_64__)
// AVX2 and AVX-512 VBMI kernels (cipher_avx2.cpp, cipher_avx512.cpp); the
// CPU checks that guard them are in cpu_x86.cpp.
bool Avx2Supported();
void Avx2Transform(Cipher& c, uint8_t* data, size_t len, bool decrypt);
bool Avx512Supported();
void Avx512Transform(Cipher& c, uint8_t* data, size_t len, bool decrypt);
#endif

#if defined(__wasm_simd128__)
// WebAssembly SIMD kernel (cipher_wasm.cpp).
void WasmSimdTransform(Cipher& c, uint8_t* data, size_t len, bool decrypt);
#endif

#if defined(__aarch64__)
// ARM64 NEON kernel (cipher_neon.cpp).
bool NeonSupported();
void NeonTransform(Cipher& c, uint8_t* data, size_t len, bool decrypt);
#endif

}  // namespace tav::engine
