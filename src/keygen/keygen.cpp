// SPDX-License-Identifier: MIT
#include <cstring>

#include "common/fileio.hpp"
#include "common/scratch.hpp"
#include "common/wipe.hpp"
#include "engine/setup.hpp"
#include "keygen/keygen.hpp"
#include "tavsdk.h"

extern "C" {
TAVSDK_API int TextSys = 0;
TAVSDK_API int BinSys = 0;
}

namespace tav {

namespace {

constexpr int kSwapsPerWheel = 500;

int32_t& FlagOf(Kind kind) { return kind == Kind::text ? TextSys : BinSys; }

// A swap position outside the working permutation (possible only for short
// passphrases with bytes of 128 or more) is brought into range.
int32_t InRange(int32_t a, int32_t n) { return a >= 0 && a < n ? a : ((a % n) + n) % n; }

// Twenty cumulative states of one permutation of the alphabet, record after
// record, driven by swap pairs from k.
void GenerateWheels(Kind kind, uint8_t* records) {
  const int32_t n = AlphabetSize(kind);
  // The permutation is stored from a moving origin, so a rotation down by one
  // entry is a single increment.
  uint8_t perm[256];
  std::memcpy(perm, kind == Kind::text ? txa.data() : ba.data(), static_cast<size_t>(n));
  int32_t origin = 0;
  int32_t cursor = 0;
  auto next = [&] {
    if (++cursor > p) cursor = 1;
    return InRange(k[cursor], n);
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

}  // namespace

int GenerateKeys(Kind kind, const char* passphrase) {
  cryptype = static_cast<int32_t>(kind);
  if (GenSetup(passphrase) == 1) return 1;

  uint8_t* const records = scratch.wheel_file;
  const size_t size = static_cast<size_t>(kWheels * AlphabetSize(kind));
  GenerateWheels(kind, records);
  const bool written = io::WriteKeyFile(WheelFileName(kind), records, size) && GenSchemeParams();
  SecureZeroObject(scratch.wheel_file);
  // A failed write may leave a mix of old and new key files: nothing may be
  // encrypted with them until a generation succeeds.
  FlagOf(kind) = written ? 1 : 0;
  return written ? 0 : 2;
}

}  // namespace tav

extern "C" {

TAVSDK_API int TavGenTextKeys(const char* passphrase) { return tav::GenerateKeys(tav::Kind::text, passphrase); }

TAVSDK_API int TavGenBinaryKeys(const char* passphrase) { return tav::GenerateKeys(tav::Kind::binary, passphrase); }

}
