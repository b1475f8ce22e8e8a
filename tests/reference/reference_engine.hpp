// SPDX-License-Identifier: MIT
// The original wheel cipher, kept literally as the reference that the
// production engine is compared against: every substitution is a linear
// search, and every turn physically moves the wheel's entries. It works on the
// global cipher state that PrepareCipher leaves and changes the wheels.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tav::reference {

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
