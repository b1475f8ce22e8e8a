// SPDX-License-Identifier: MIT
// Key sets of the core interface, and the names of the statuses.
#include "core/keys.hpp"

#include <algorithm>
#include <cstring>

#include "core/objects.hpp"

namespace tav::core {
namespace {

bool KnownAlphabet(int alphabet) { return alphabet == TAV_TEXT || alphabet == TAV_BINARY; }

// The key files the caller holds in memory.
struct Buffers {
  const tav_key_file* files;
  size_t count;
};

keys::Loaded ReadFromBuffers(const void* context, const char* name, uint8_t* buf, size_t cap, size_t& got,
                             int& error) {
  const auto& given = *static_cast<const Buffers*>(context);
  error = 0;
  got = 0;
  for (size_t i = 0; i < given.count; ++i) {
    const tav_key_file& file = given.files[i];
    if (std::strcmp(file.name, name) != 0) continue;
    // As a read from a directory: at most what the loader asks for.
    got = std::min(file.size, cap);
    if (got != 0) std::memcpy(buf, file.data, got);
    return keys::Loaded::ok;
  }
  return keys::Loaded::missing;
}

// Every entry can be read, and no name the loader reads comes twice: which
// of the two a directory would have held is anybody's guess.
bool Readable(const tav_key_file* files, size_t count, Kind kind) {
  if (files == nullptr && count != 0) return false;
  for (size_t i = 0; i < count; ++i) {
    if (files[i].name == nullptr || (files[i].data == nullptr && files[i].size != 0)) return false;
  }
  for (const KeyFile file : {KeyFile::wheels, KeyFile::scheme, KeyFile::steps, KeyFile::pad, KeyFile::scramble_pad}) {
    const char* name = KeyFileName(file, kind);
    size_t seen = 0;
    for (size_t i = 0; i < count; ++i) seen += std::strcmp(files[i].name, name) == 0 ? 1 : 0;
    if (seen > 1) return false;
  }
  return true;
}

}  // namespace

tav_status LoadKeys(tav_keys** keys, int alphabet, const keys::KeyStore& store, const tav_keys* master, int& error) {
  error = 0;
  if (keys == nullptr) return TAV_BAD_ARGUMENT;
  *keys = nullptr;
  if (!KnownAlphabet(alphabet)) return TAV_BAD_ARGUMENT;
  tav_keys* made = Make<tav_keys>();
  if (made == nullptr) return TAV_NO_MEMORY;
  // Taken where it is: a copy would be key material on the stack.
  static constexpr Schedule kNoSchedule{};
  const Schedule& schedule = master != nullptr ? master->tables.schedule : kNoSchedule;
  if (keys::LoadCipher(*made, static_cast<Kind>(alphabet), store, schedule, error) != keys::Loaded::ok) {
    Destroy(made);
    return TAV_NO_KEYS;
  }
  // The pad tables are optional: only the operations that need one fail
  // without it.
  int ignored = 0;
  (void)keys::LoadPad(*made, store, false, ignored);
  (void)keys::LoadPad(*made, store, true, ignored);
  *keys = made;
  return TAV_OK;
}

}  // namespace tav::core

extern "C" {

TAVSDK_API const char* tav_strerror(int status) {
  switch (status) {
    case TAV_OK: return "success";
    case TAV_NO_KEYS: return "no usable keys";
    case TAV_BAD_SOURCE: return "source missing, unusable or unreadable";
    case TAV_BAD_DEST: return "destination unusable or not writable";
    case TAV_BAD_BLOCKS: return "block count or size out of range";
    case TAV_PAST_END: return "blocks reach past the end of the file";
    case TAV_CANCELLED: return "cancelled";
    // Callers tell a refused passphrase by this status, so the text names
    // every cause rather than a status of its own.
    case TAV_BAD_ARGUMENT:
      return "invalid argument (a null pointer, an unknown flag or alphabet, a position or size out of range, "
             "too little room, or a passphrase that is empty or holds a 0 byte)";
    case TAV_NO_MEMORY: return "out of memory";
    case TAV_EXISTS: return "destination exists";
    case TAV_COPY_KEPT: return "write-back failed; the reversed copy is kept";
    default: return "unknown status";
  }
}

TAVSDK_API tav_status tav_keys_new(tav_keys** keys, int alphabet, const void* passphrase, size_t length) {
  if (keys == nullptr) return TAV_BAD_ARGUMENT;
  *keys = nullptr;
  // A 0 byte ends the passphrase for every other implementation: keys made
  // from one could be derived by nobody else.
  if (!tav::core::KnownAlphabet(alphabet) || passphrase == nullptr || length == 0 ||
      std::memchr(passphrase, 0, length) != nullptr)
    return TAV_BAD_ARGUMENT;
  tav_keys* made = tav::core::Make<tav_keys>();
  if (made == nullptr) return TAV_NO_MEMORY;
  if (!tav::keys::Derive(*made, static_cast<tav::Kind>(alphabet), static_cast<const uint8_t*>(passphrase), length)) {
    tav::core::Destroy(made);
    return TAV_BAD_ARGUMENT;
  }
  *keys = made;
  return TAV_OK;
}

TAVSDK_API tav_status tav_keys_from_files(tav_keys** keys, int alphabet, const tav_key_file* files, size_t count,
                                          const tav_keys* master) {
  if (keys == nullptr) return TAV_BAD_ARGUMENT;
  *keys = nullptr;
  if (!tav::core::KnownAlphabet(alphabet) || !tav::core::Readable(files, count, static_cast<tav::Kind>(alphabet)))
    return TAV_BAD_ARGUMENT;
  const tav::core::Buffers buffers{files, count};
  int error = 0;
  return tav::core::LoadKeys(keys, alphabet, tav::keys::KeyStore{tav::core::ReadFromBuffers, &buffers}, master, error);
}

TAVSDK_API tav_status tav_keys_files(const tav_keys* keys, tav_key_file* files, size_t capacity, size_t* count) {
  if (count != nullptr) *count = 0;
  if (keys == nullptr || count == nullptr || (files == nullptr && capacity != 0)) return TAV_BAD_ARGUMENT;
  const auto parts = tav::keys::FilesOf(*keys);
  *count = static_cast<size_t>(std::count_if(parts.begin(), parts.end(), [](const auto& part) { return part.present; }));
  if (*count > capacity) return TAV_BAD_ARGUMENT;
  size_t at = 0;
  for (const tav::keys::KeyFileBytes& part : parts) {
    if (part.present) files[at++] = tav_key_file{tav::KeyFileName(part.file, keys->files.kind), part.data, part.size};
  }
  return TAV_OK;
}

TAVSDK_API tav_alphabet tav_keys_alphabet(const tav_keys* keys) {
  return keys == nullptr ? static_cast<tav_alphabet>(0) : static_cast<tav_alphabet>(keys->files.kind);
}

TAVSDK_API void tav_keys_free(tav_keys* keys) { tav::core::Destroy(keys); }

}
