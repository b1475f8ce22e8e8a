// SPDX-License-Identifier: MIT
// Key generation: passphrase digest, wheel generation, scheme parameters and
// the master key schedule.
#pragma once

#include <array>
#include <cstdint>

#include "engine/alphabet.hpp"

namespace tav {

extern std::array<int32_t, 12321> k;  // key sequence, entries 1..p
extern int32_t p;                     // entries of k in use (4312 after a digest)
extern std::array<char, 12> numstr;   // output of itoa

inline constexpr int32_t kKeySequenceLength = 4312;

// Decimal text of value into numstr: width 2 pads values up to 9 with a
// leading '0', width 3 values up to 99 (keeping only two characters of the
// value's own text).
void itoa(int32_t value, int32_t width);

// Digest of the passphrase into k[1..4312]. Returns 1 (nothing changed) for an
// empty or null passphrase, else 0. Calls ApiInit once.
int GenSetup(const char* passphrase);

// Expands a seed of three characters into msterkey[1..200] and puts the
// schedule position at entry 1.
void GenerateMsterKeys(const char* seed);

// Derives directions, scheme values, step counts and pad keys from k, writes
// k2..k5 of the cryptype and k6.dat, then builds the master key schedule.
// False as soon as a key file cannot be written (the schedule is then not
// rebuilt).
bool GenSchemeParams();

// The key generator of one alphabet: 0 done, 1 empty passphrase, 2 a key file
// could not be written (the alphabet's flag is then lowered).
int GenerateKeys(Kind kind, const char* passphrase);

}  // namespace tav
