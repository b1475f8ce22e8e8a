// SPDX-License-Identifier: MIT
// Key generation: passphrase digest, wheel generation, scheme parameters and
// the master key schedule. Everything works on the caller's objects.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "engine/alphabet.hpp"
#include "keygen/keyfiles.hpp"

namespace tav {

inline constexpr int32_t kKeySequenceLength = 4312;

// Only this many leading passphrase bytes reach the key sequence.
inline constexpr size_t kPassphraseBytes = 18;

// The key sequence: entries 1..p of k.
struct KeySequence {
  std::array<int32_t, 12321> k{};
  int32_t p = 0;
};

using Schedule = std::array<int32_t, 201>;  // master key schedule, entries 1..200
using DecimalText = std::array<char, 12>;

// Decimal text of value: width 2 pads values up to 9 with a leading '0',
// width 3 values up to 99 (keeping only two characters of the value's own
// text).
DecimalText itoa(int32_t value, int32_t width);

// Digest of a passphrase of len bytes into k[1..4312]. False (nothing
// changed) for an empty passphrase.
bool GenSetup(Kind kind, const uint8_t* passphrase, size_t len, KeySequence& seq);

// Twenty wheels of the alphabet from the key sequence, record after record.
void GenerateWheels(Kind kind, const KeySequence& seq, uint8_t* records);

// Expands a seed of three characters into schedule[1..200].
void GenerateMsterKeys(const char* seed, Schedule& schedule);

// Derives k2..k5 of the alphabet and k6.dat from the key sequence, and the
// master key schedule.
void GenSchemeParams(Kind kind, const KeySequence& seq, KeyFiles& files, Schedule& schedule);

// Everything key generation makes from a passphrase: the key files' contents
// and the master schedule. False for an empty passphrase.
bool DeriveKeys(Kind kind, const uint8_t* passphrase, size_t len, KeyFiles& files, Schedule& schedule);

}  // namespace tav
