// SPDX-License-Identifier: MIT
// Key sets: loading, building and saving the key files of an alphabet.
#include "keys/keyset.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/fields.hpp"
#include "common/wipe.hpp"

namespace tav::keys {

namespace {

// A wheel record must be a permutation of the alphabet: other keys would
// encrypt data that can never be decrypted.
bool IsPermutation(const uint8_t* record, Kind kind) {
  std::array<bool, 256> seen{};
  for (int i = 0; i < AlphabetSize(kind); ++i) {
    const uint8_t v = record[i];
    if (kind == Kind::text && kTextIndex[v] == kNotInAlphabet) return false;
    if (seen[v]) return false;
    seen[v] = true;
  }
  return true;
}

}  // namespace

std::array<int32_t, kWheels + 1> Directions(const FileImage<kSchemeBytes>& scheme) {
  if (!scheme.present) return kDefaultDirections;
  std::array<int32_t, kWheels + 1> sd{};
  for (size_t n = 1; n <= kWheels; ++n) sd[n] = n - 1 < scheme.size && scheme.bytes[n - 1] == 'D' ? 0 : 1;
  return sd;
}

std::array<int32_t, kWheels + 1> StepCounts(const FileImage<kFieldBytes>& steps) {
  if (!steps.present) return kDefaultSteps;
  std::array<int32_t, kWheels> fields{};
  const int count = ReadTwoCharFields(steps.bytes.data(), steps.size, fields.data(), kWheels);
  std::array<int32_t, kWheels + 1> sh{};
  for (int n = 1; n <= kWheels; ++n) {
    const int32_t value = n <= count ? fields[n - 1] : 1;
    sh[n] = value < 1 ? 1 : value;
  }
  SecureZeroObject(fields);
  return sh;
}

namespace {

void BuildCipher(tav_keys& keys, const Schedule& schedule) {
  auto sd = Directions(keys.files.scheme);
  auto sh = StepCounts(keys.files.steps);
  engine::BuildTables(keys.tables, keys.files.kind, keys.files.wheels.data(), sd, sh, schedule);
  SecureZeroObject(sd);
  SecureZeroObject(sh);
}

bool BuildPad(tav_keys& keys, bool scramble) {
  const FileImage<kFieldBytes>& file = scramble ? keys.files.scramble_pad : keys.files.pad;
  PadTable& table = scramble ? keys.scramble_pad : keys.pad;
  bool& has = scramble ? keys.has_scramble_pad : keys.has_pad;
  has = file.present && BuildPadTable(file.bytes.data(), file.size, table);
  if (has && !scramble) {
    keys.pad_round_bytes = 0;
    keys.pad_max_unit = 0;
    for (int32_t i = 1; i <= kPadEntries; ++i) {
      keys.pad_round_bytes += 1 + int64_t{table[i]};
      keys.pad_max_unit = std::max(keys.pad_max_unit, 1 + table[i]);
    }
  }
  return has;
}

template <size_t N>
Loaded ReadImage(const KeyStore& store, const char* name, FileImage<N>& image, int& error) {
  image = FileImage<N>{};
  size_t got = 0;
  const Loaded read = store.read(store.context, name, image.bytes.data(), N, got, error);
  if (read != Loaded::ok) {
    image = FileImage<N>{};
    return read;
  }
  image.size = got;
  image.present = true;
  return Loaded::ok;
}

}  // namespace

bool Derive(tav_keys& keys, Kind kind, const uint8_t* passphrase, size_t len) {
  Schedule schedule{};
  if (!DeriveKeys(kind, passphrase, len, keys.files, schedule)) return false;
  BuildCipher(keys, schedule);
  BuildPad(keys, false);
  BuildPad(keys, true);
  SecureZeroObject(schedule);
  return true;
}

Loaded LoadCipher(tav_keys& keys, Kind kind, const KeyStore& store, const Schedule& schedule, int& error) {
  error = 0;
  keys.files.kind = kind;
  const size_t size = static_cast<size_t>(kWheels * AlphabetSize(kind));
  // The wheels go straight into the set: nothing else holds a copy.
  size_t got = 0;
  const Loaded read = store.read(store.context, KeyFileName(KeyFile::wheels, kind), keys.files.wheels.data(), size,
                                 got, error);
  if (read != Loaded::ok) return read;
  bool usable = got == size;
  for (int n = 0; usable && n < kWheels; ++n) usable = IsPermutation(&keys.files.wheels[static_cast<size_t>(n) * static_cast<size_t>(AlphabetSize(kind))], kind);
  if (!usable) return Loaded::damaged;
  // A damaged k3 or k4 is no licence to use the defaults: the keys that were
  // generated could not decrypt what they would encrypt.
  if (ReadImage(store, KeyFileName(KeyFile::scheme, kind), keys.files.scheme, error) == Loaded::damaged)
    return Loaded::damaged;
  if (ReadImage(store, KeyFileName(KeyFile::steps, kind), keys.files.steps, error) == Loaded::damaged)
    return Loaded::damaged;
  error = 0;
  BuildCipher(keys, schedule);
  return Loaded::ok;
}

Loaded LoadPad(tav_keys& keys, const KeyStore& store, bool scramble, int& error) {
  error = 0;
  FileImage<kFieldBytes>& image = scramble ? keys.files.scramble_pad : keys.files.pad;
  const char* name = KeyFileName(scramble ? KeyFile::scramble_pad : KeyFile::pad, keys.files.kind);
  const Loaded read = ReadImage(store, name, image, error);
  if (read != Loaded::ok) {
    (scramble ? keys.has_scramble_pad : keys.has_pad) = false;
    return read;
  }
  return BuildPad(keys, scramble) ? Loaded::ok : Loaded::damaged;
}

std::array<KeyFileBytes, 6> FilesOf(const tav_keys& keys) {
  const Kind kind = keys.files.kind;
  const auto image = [](KeyFile file, const auto& img) {
    return KeyFileBytes{file, img.bytes.data(), img.size, img.present};
  };
  return {{
      {KeyFile::wheels, keys.files.wheels.data(), static_cast<size_t>(kWheels * AlphabetSize(kind)), true},
      {KeyFile::marker, kMarker, sizeof kMarker - 1, true},
      image(KeyFile::scheme, keys.files.scheme),
      image(KeyFile::steps, keys.files.steps),
      image(KeyFile::pad, keys.files.pad),
      image(KeyFile::scramble_pad, keys.files.scramble_pad),
  }};
}

bool ScramblePadUsable(const tav_keys& keys) {
  // Every block must move the pass forward and fit one chunk.
  return keys.has_scramble_pad && std::all_of(keys.scramble_pad.begin() + 1, keys.scramble_pad.end(),
                                              [](int32_t b) { return b >= 1 && b <= 5000; });
}

void Wipe(tav_keys& keys) { SecureZeroObject(keys); }

}  // namespace tav::keys
