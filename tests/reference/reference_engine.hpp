// SPDX-License-Identifier: MIT
// The original wheel cipher, kept literally as the reference that the
// production engine is compared against: every substitution is a linear
// search, and every turn physically moves the wheel's entries. It works on
// its own global cipher state, which Prepare sets up from a key set as the
// original set-up did from the key files, and changes the wheels.
#pragma once

#include <cstddef>
#include <cstdint>

#include "keys/keyset.hpp"

namespace tav::reference {

// Wheels, directions, step counts, alphabet and master schedule of the keys,
// with the schedule walk at its first entry.
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
