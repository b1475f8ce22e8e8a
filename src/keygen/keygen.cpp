// SPDX-License-Identifier: MIT
// Wheel generation and the derivation of an alphabet's key files from a passphrase.
#include "keygen/keygen.hpp"

#include <cstring>

#include "common/wipe.hpp"

namespace tav {

namespace {

constexpr int kSwapsPerWheel = 500;

// A swap position outside the working permutation (possible only for short
// passphrases with bytes of 128 or more) is brought into range.
int32_t InRange(int32_t a, int32_t n) { return a >= 0 && a < n ? a : ((a % n) + n) % n; }

}  // namespace

// Twenty cumulative states of one permutation of the alphabet, record after
// record, driven by swap pairs from k.
void GenerateWheels(Kind kind, const KeySequence& seq, uint8_t* records) {
  const int32_t n = AlphabetSize(kind);
  // The permutation is stored from a moving origin, so a rotation down by one
  // entry is a single increment.
  uint8_t perm[256];
  for (int32_t i = 0; i < n; ++i) perm[i] = kind == Kind::text ? kTextAlphabet[i] : static_cast<uint8_t>(i);
  int32_t origin = 0;
  int32_t cursor = 0;
  auto next = [&] {
    if (++cursor > seq.p) cursor = 1;
    return InRange(seq.k[cursor], n);
  };
  for (int wheel = 0; wheel < kWheels; ++wheel) {
    for (int step = 0; step < kSwapsPerWheel; ++step) {
      const int32_t a = next();
      const int32_t b = next();
      uint8_t& ea = perm[(origin + a) % n];
      uint8_t& eb = perm[(origin + b) % n];
      const uint8_t t = ea;
      ea = eb;
      eb = t;
      if (step % 2 == 1) origin = (origin + 1) % n;
    }
    uint8_t* record = records + static_cast<size_t>(wheel * n);
    for (int32_t i = 0; i < n; ++i) record[i] = perm[(origin + i) % n];
  }
  SecureZero(perm, sizeof perm);
}

bool DeriveKeys(Kind kind, const uint8_t* passphrase, size_t len, KeyFiles& files, Schedule& schedule) {
  // About 50 KiB: on the stack, so that derivation allocates nothing.
  KeySequence seq;
  const bool made = GenSetup(kind, passphrase, len, seq);
  if (made) {
    files = KeyFiles{};
    files.kind = kind;
    GenerateWheels(kind, seq, files.wheels.data());
    GenSchemeParams(kind, seq, files, schedule);
  }
  SecureZeroObject(seq);
  return made;
}

}  // namespace tav
