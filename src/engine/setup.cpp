// SPDX-License-Identifier: MIT
#include "engine/setup.hpp"

#include <cstring>

#include "common/fields.hpp"
#include "common/fileio.hpp"
#include "common/scratch.hpp"
#include "common/wipe.hpp"

namespace tav {

std::array<uint8_t, 256> ba;
std::array<uint8_t, 152> txa;
std::array<char, 152> tsd;
std::array<char, 257> bsd;
std::array<uint8_t, 256> TA;
std::array<Wheel, kWheels + 1> w;
std::array<int32_t, kWheels + 1> sd;
std::array<int32_t, kWheels + 1> sh;
std::array<int32_t, kWheels + 1> sm;
std::array<uint8_t, 100> PF;
int32_t cryptype;
std::array<int32_t, 201> msterkey;
int32_t mstrshift;
int32_t mstrshiftcount;
int32_t mstrindex;

static bool LoadScheme() {
  PF.fill(0);
  // A short file leaves its missing bytes at 0: direction 1, scheme value 0.
  int64_t got = 0;
  if (const io::KeyRead read = io::ReadKeyFile(SchemeFileName(cryptype), PF.data(), PF.size(), got);
      read != io::KeyRead::ok) {
    PF.fill(0);
    sd = kDefaultSd;
    sm = kDefaultSm;
    return read == io::KeyRead::missing;
  }
  for (int n = 1; n <= kWheels; ++n) {
    sd[n] = PF[n - 1] == 'D' ? 0 : 1;
    const uint8_t* v = &PF[20 + 4 * (n - 1)];
    sm[n] = static_cast<int32_t>(static_cast<uint32_t>(v[0]) | static_cast<uint32_t>(v[1]) << 8 |
                                 static_cast<uint32_t>(v[2]) << 16 | static_cast<uint32_t>(v[3]) << 24);
  }
  return true;
}

static bool LoadStepCounts() {
  uint8_t raw[2 * kWheels];
  int64_t got = 0;
  if (const io::KeyRead read = io::ReadKeyFile(StepFileName(cryptype), raw, sizeof raw, got);
      read != io::KeyRead::ok) {
    SecureZero(raw, sizeof raw);
    sh = kDefaultSh;
    return read == io::KeyRead::missing;
  }
  std::array<int32_t, kWheels> fields{};
  const int count = ReadTwoCharFields(raw, static_cast<size_t>(got), fields.data(), kWheels);
  for (int n = 1; n <= kWheels; ++n) {
    // A missing field counts as 1, like a field below 1.
    const int32_t value = n <= count ? fields[n - 1] : 1;
    sh[n] = value < 1 ? 1 : value;
  }
  SecureZero(raw, sizeof raw);
  SecureZeroObject(fields);
  return true;
}

bool ApiInit() {
  for (int i = 0; i < 256; ++i) ba[i] = static_cast<uint8_t>(i);
  std::memcpy(txa.data(), kTextAlphabet.data(), kTextSize);
  txa[kTextSize] = 0;
  tsd.fill('@');
  tsd[kTextSize] = 0;
  bsd.fill('@');
  bsd[kBinarySize] = 0;
  const bool scheme = LoadScheme();
  const bool steps = LoadStepCounts();
  mstrshift = msterkey[1];
  mstrshiftcount = 0;
  mstrindex = 1;
  return scheme && steps;
}

static bool IsPermutation(const uint8_t* record, Kind kind) {
  std::array<bool, 256> seen{};
  for (int i = 0; i < AlphabetSize(kind); ++i) {
    const uint8_t v = record[i];
    if (kind == Kind::text && kTextIndex[v] == kNotInAlphabet) return false;
    if (seen[v]) return false;
    seen[v] = true;
  }
  return true;
}

static bool LoadWheels(Kind kind) {
  const int size = AlphabetSize(kind);
  uint8_t* const file = scratch.wheel_file;
  int64_t got = 0;
  bool ok = io::ReadKeyFile(WheelFileName(kind), file, static_cast<size_t>(kWheels * size), got) == io::KeyRead::ok &&
            got == kWheels * size;
  for (int n = 0; ok && n < kWheels; ++n) ok = IsPermutation(&file[static_cast<size_t>(n * size)], kind);
  if (ok) {
    for (int n = 1; n <= kWheels; ++n) std::memcpy(w[n].data(), &file[static_cast<size_t>((n - 1) * size)], static_cast<size_t>(size));
  }
  SecureZeroObject(scratch.wheel_file);
  return ok;
}

bool GetTextWheels() { return LoadWheels(Kind::text); }
bool GetBinaryWheels() { return LoadWheels(Kind::binary); }

bool PrepareCipher(Kind kind) {
  cryptype = static_cast<int32_t>(kind);
  if (!ApiInit()) return false;
  if (!(kind == Kind::text ? GetTextWheels() : GetBinaryWheels())) return false;
  if (kind == Kind::text) {
    std::memcpy(TA.data(), txa.data(), kTextSize);
  } else {
    TA = ba;
  }
  return true;
}

}  // namespace tav
