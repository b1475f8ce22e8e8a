// SPDX-License-Identifier: MIT
// A key set: what the operations of one alphabet need, made once from a
// passphrase or from key files and read-only after that.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "engine/cipher.hpp"
#include "keygen/keyfiles.hpp"
#include "keygen/keygen.hpp"
#include "keys/padtable.hpp"
#include "tavsdk.h"

// A set's alphabet goes in and out of the C interface as tav_alphabet.
static_assert(static_cast<int>(tav::Kind::text) == TAV_TEXT && static_cast<int>(tav::Kind::binary) == TAV_BINARY);

struct tav_keys {
  tav::KeyFiles files;
  tav::engine::Tables tables;
  // Pad tables of the expanded mode (k5) and of the variable-block scrambler
  // (k6.dat), where the key files gave them.
  bool has_pad = false;
  bool has_scramble_pad = false;
  int64_t pad_round_bytes = 0;  // expanded bytes of one round of the k5 table
  int32_t pad_max_unit = 0;     // the longest expanded unit
  tav::PadTable pad{};
  tav::PadTable scramble_pad{};
};

namespace tav::keys {

// The built-in stepping parameters used when k3 / k4 do not exist.
inline constexpr std::array<int32_t, kWheels + 1> kDefaultDirections = {0, 0, 1, 1, 0, 1, 0, 0, 1, 1, 1,
                                                                        0, 0, 1, 1, 0, 0, 1, 0, 1, 0};
inline constexpr std::array<int32_t, kWheels + 1> kDefaultSteps = kDefaultDirections;

// Directions (0 down, 1 up) of positions 1..20 from the scheme file: 'D'
// turns down, anything else up (a short file's missing bytes count as 0).
std::array<int32_t, kWheels + 1> Directions(const FileImage<kSchemeBytes>& scheme);

// Step counts of positions 1..20 from the step-count file, read as
// two-character lines: a missing field or one below 1 counts as 1.
std::array<int32_t, kWheels + 1> StepCounts(const FileImage<kFieldBytes>& steps);

// Fills keys from a passphrase of len bytes. False for an empty passphrase.
bool Derive(tav_keys& keys, Kind kind, const uint8_t* passphrase, size_t len);

// Reading key files. Each part reads its files and builds what follows from
// them; `error` receives the errno of a failed open or read (0 for contents
// that cannot be used).
enum class Loaded { ok, missing, damaged };

// Where key files are read from, by name: a directory, or the caller's
// buffers.
struct KeyStore {
  // Reads at most cap bytes of the file; `got` is the count. `missing` only
  // when no such file exists.
  Loaded (*read)(const void* context, const char* name, uint8_t* buf, size_t cap, size_t& got, int& error);
  const void* context;
};

// The key files in the directory dirfd, which must outlive the store.
KeyStore DirectoryStore(const int& dirfd);

// k1, k3 and k4: the wheels (required, complete, each a permutation) and the
// stepping parameters (built-in defaults where k3 / k4 do not exist), run
// with the master schedule given.
Loaded LoadCipher(tav_keys& keys, Kind kind, const KeyStore& store, const Schedule& schedule, int& error);
Loaded LoadCipher(tav_keys& keys, Kind kind, int dirfd, const Schedule& schedule, int& error);

// k5 of the alphabet (scramble false) or k6.dat (scramble true): `ok` when
// the file gave a pad table.
Loaded LoadPad(tav_keys& keys, const KeyStore& store, bool scramble, int& error);
Loaded LoadPad(tav_keys& keys, int dirfd, bool scramble, int& error);

// A key file the set may hold, and its bytes.
struct KeyFileBytes {
  KeyFile file;
  const void* data;
  size_t size;
  bool present;
};

// The key files of the set in the order of key generation: k1, k2, k3, k4,
// k5, k6.dat.
std::array<KeyFileBytes, 6> FilesOf(const tav_keys& keys);

// Writes them into a directory, all of them complete and flushed before the
// first takes its name. False, with `error`, at the first failure: one while
// writing leaves every old file; one while naming leaves the files before it
// new and the rest old.
bool Save(const tav_keys& keys, int dirfd, int& error);

// Every pad entry is a block length the variable-block scrambler can use.
bool ScramblePadUsable(const tav_keys& keys);

// Clears the whole set.
void Wipe(tav_keys& keys);

}  // namespace tav::keys
