// SPDX-License-Identifier: MIT
// Cipher set-up: the process-global cipher state and the routines that
// prepare it afresh at the start of every operation.
#pragma once

#include <array>
#include <cstdint>

#include "common/keyfiles.hpp"
#include "engine/alphabet.hpp"

namespace tav {

using Wheel = std::array<uint8_t, 256>;

extern std::array<uint8_t, 256> ba;    // binary alphabet, ba[i] = i
extern std::array<uint8_t, 152> txa;   // text alphabet and a terminating 0
extern std::array<char, 152> tsd;      // 151 '@' and a 0: text overwrite string
extern std::array<char, 257> bsd;      // 256 '@' and a 0: binary overwrite string
extern std::array<uint8_t, 256> TA;    // current alphabet, first AlphabetSize entries used
extern std::array<Wheel, kWheels + 1> w;          // wheels at positions 1..20
extern std::array<int32_t, kWheels + 1> sd;       // direction per position: 0 down, 1 up
extern std::array<int32_t, kWheels + 1> sh;       // step count per position
extern std::array<int32_t, kWheels + 1> sm;       // scheme value per position (carried only)
extern std::array<uint8_t, 100> PF;               // image of the scheme file
extern int32_t cryptype;  // 1 text, anything else binary
extern std::array<int32_t, 201> msterkey;  // master key schedule, entries 1..200
extern int32_t mstrshift;       // current dwell
extern int32_t mstrshiftcount;  // symbols since the last wheel-order rotation
extern int32_t mstrindex;       // current schedule entry, 1..200

// The built-in stepping parameters used when k3 / k4 do not exist.
inline constexpr std::array<int32_t, kWheels + 1> kDefaultSd = {0, 0, 1, 1, 0, 1, 0, 0, 1, 1, 1, 0,
                                                                0, 1, 1, 0, 0, 1, 0, 1, 0};
inline constexpr std::array<int32_t, kWheels + 1> kDefaultSm = {0, 2, 2, 5, 3, 4, 7, 3, 2, 2, 4, 3,
                                                                2, 2, 3, 2, 4, 2, 5, 2, 2};
inline constexpr std::array<int32_t, kWheels + 1> kDefaultSh = kDefaultSd;

inline const char* SchemeFileName(int32_t type) {
  return KeyFileName(KeyFile::scheme, type == 1 ? Kind::text : Kind::binary);
}
inline const char* StepFileName(int32_t type) {
  return KeyFileName(KeyFile::steps, type == 1 ? Kind::text : Kind::binary);
}
inline const char* WheelFileName(Kind kind) { return KeyFileName(KeyFile::wheels, kind); }

// Builds the alphabets and overwrite strings, loads directions, scheme values
// and step counts for cryptype (or the defaults where a file does not exist),
// and restarts the master schedule at entry 1. False when k3 or k4 exists but
// cannot be read as a regular file: the defaults then stand in, but no data
// may be encrypted with them, since the generated keys could not decrypt it.
bool ApiInit();

// Load w[1..20] from k1.txt / k1.bin. False (wheels unchanged) when the file
// is missing, shorter than 20 records, or a record is not a permutation of the
// alphabet: such keys would encrypt data that can never be decrypted.
bool GetTextWheels();
bool GetBinaryWheels();

// The set-up order of every operation that runs the cipher: cryptype;
// ApiInit; the wheels; TA. False when a key file is damaged or the wheels are
// unusable.
bool PrepareCipher(Kind kind);

}  // namespace tav
