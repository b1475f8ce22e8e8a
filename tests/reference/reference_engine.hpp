// SPDX-License-Identifier: MIT
// The original wheel cipher, kept literally as the reference that the
// production engine is compared against: every substitution is a linear
// search, and every turn physically moves the wheel's entries. It works on the
// state below, which Prepare loads from a key set, and changes the wheels.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "engine/alphabet.hpp"

struct tav_keys;

namespace tav::reference {

using Wheel = std::array<uint8_t, 256>;

// The cipher state the original kept in process-wide variables.
extern std::array<uint8_t, 256> TA;           // current alphabet
extern std::array<Wheel, kWheels + 1> w;      // wheels at positions 1..20
extern std::array<int32_t, kWheels + 1> sd;   // direction per position: 0 down, 1 up
extern std::array<int32_t, kWheels + 1> sh;   // step count per position
extern int32_t cryptype;                      // 1 text, 2 binary
extern std::array<int32_t, 201> msterkey;     // master key schedule, entries 1..200
extern int32_t mstrshift;
extern int32_t mstrshiftcount;
extern int32_t mstrindex;

// Sets the state up from the key files' contents and the master schedule of a
// key set, with the original rules (built-in defaults for a missing k3 or
// k4), at the start of a message.
void Prepare(const tav_keys& keys);

extern uint8_t cc;   // the symbol register
extern int32_t ps;   // pass counter

void TavDoEnc();
void TavDoDec();
void ShiftWheels();
void MasterShift();

// Runs every byte of data through TavDoEnc / TavDoDec, in place.
void Encrypt(uint8_t* data, size_t len);
void Decrypt(uint8_t* data, size_t len);

}  // namespace tav::reference
