// SPDX-License-Identifier: MIT
#include "reference/reference_engine.hpp"

#include "common/fields.hpp"
#include "keys/keyset.hpp"

namespace tav::reference {

uint8_t cc;
int32_t ps;
std::array<uint8_t, 256> TA;
std::array<Wheel, kWheels + 1> w;
std::array<int32_t, kWheels + 1> sd;
std::array<int32_t, kWheels + 1> sh;
int32_t cryptype;
std::array<int32_t, 201> msterkey;
int32_t mstrshift;
int32_t mstrshiftcount;
int32_t mstrindex;

void Prepare(const tav_keys& keys) {
  constexpr std::array<int32_t, kWheels + 1> kDefault = {0, 0, 1, 1, 0, 1, 0, 0, 1, 1, 1,
                                                         0, 0, 1, 1, 0, 0, 1, 0, 1, 0};
  const Kind kind = keys.files.kind;
  const int n = AlphabetSize(kind);
  cryptype = static_cast<int32_t>(kind);
  for (int i = 0; i < n; ++i) TA[i] = kind == Kind::text ? kTextAlphabet[i] : static_cast<uint8_t>(i);
  for (int r = 1; r <= kWheels; ++r) {
    for (int i = 0; i < n; ++i) w[r][i] = keys.files.wheels[static_cast<size_t>((r - 1) * n + i)];
  }
  // k3: 'D' turns down, anything else (a short file's missing bytes too) up.
  const auto& scheme = keys.files.scheme;
  sd = kDefault;
  if (scheme.present) {
    for (size_t r = 1; r <= kWheels; ++r) sd[r] = r - 1 < scheme.size && scheme.bytes[r - 1] == 'D' ? 0 : 1;
  }
  // k4: a missing field or one below 1 counts as 1.
  const auto& steps = keys.files.steps;
  sh = kDefault;
  if (steps.present) {
    int32_t fields[kWheels] = {};
    const int count = ReadTwoCharFields(steps.bytes.data(), steps.size, fields, kWheels);
    for (int r = 1; r <= kWheels; ++r) sh[r] = r <= count && fields[r - 1] >= 1 ? fields[r - 1] : 1;
  }
  msterkey = keys.tables.schedule;
  mstrshift = msterkey[1];
  mstrshiftcount = 0;
  mstrindex = 1;
}

// The original set-up kept these in globals; the production engine needs
// neither, so the reference derives them itself.
constexpr int32_t np = 2;  // passes per symbol
static int32_t AlphabetWidth() { return cryptype == 1 ? kTextSize : kBinarySize; }

void TavDoEnc() {
  const int32_t wrr1 = AlphabetWidth();
  do {
    for (int n = 1; n <= kWheels; ++n) {
      for (int i = 0; i < wrr1; ++i) {
        if (TA[i] == cc) {
          cc = w[n][i];
          break;
        }
      }
    }
    ++ps;
  } while (ps < np);
  ShiftWheels();
}

void TavDoDec() {
  const int32_t wrr1 = AlphabetWidth();
  do {
    for (int n = kWheels; n >= 1; --n) {
      for (int i = 0; i < wrr1; ++i) {
        if (w[n][i] == cc) {
          cc = TA[i];
          break;
        }
      }
    }
    ++ps;
  } while (ps < np);
  ShiftWheels();
}

void ShiftWheels() {
  const int32_t wrr1 = AlphabetWidth();
  for (int n = 1; n <= kWheels; ++n) {
    Wheel& wheel = w[n];
    for (int t = 0; t < sh[n]; ++t) {
      if (sd[n] > 0) {
        const uint8_t last = wheel[wrr1 - 1];
        for (int i = wrr1 - 1; i >= 1; --i) wheel[i] = wheel[i - 1];
        wheel[0] = last;
      } else {
        const uint8_t first = wheel[0];
        for (int i = 1; i <= wrr1 - 1; ++i) wheel[i - 1] = wheel[i];
        wheel[wrr1 - 1] = first;
      }
    }
  }
  MasterShift();
}

void MasterShift() {
  ++mstrshiftcount;
  if (mstrshiftcount < mstrshift) return;
  mstrshiftcount = 0;
  if (++mstrindex > 200) mstrindex = 1;
  mstrshift = msterkey[mstrindex];
  const int width = AlphabetWidth();
  const Wheel first = w[1];
  for (int n = 1; n < kWheels; ++n) {
    for (int i = 0; i < width; ++i) w[n][i] = w[n + 1][i];
  }
  for (int i = 0; i < width; ++i) w[kWheels][i] = first[i];
}

void Encrypt(uint8_t* data, size_t len) {
  for (size_t i = 0; i < len; ++i) {
    ps = 0;
    cc = data[i];
    TavDoEnc();
    data[i] = cc;
  }
}

void Decrypt(uint8_t* data, size_t len) {
  for (size_t i = 0; i < len; ++i) {
    ps = 0;
    cc = data[i];
    TavDoDec();
    data[i] = cc;
  }
}

}  // namespace tav::reference
