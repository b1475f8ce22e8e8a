// SPDX-License-Identifier: MIT
// Key sets of the core interface, and the names of the statuses.
#include <cstring>

#include "core/objects.hpp"
#include "keys/keyset.hpp"
#include "tavsdk.h"

namespace tav::core {
namespace {

bool KnownAlphabet(int alphabet) { return alphabet == TAV_TEXT || alphabet == TAV_BINARY; }

}  // namespace
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

TAVSDK_API tav_alphabet tav_keys_alphabet(const tav_keys* keys) {
  return keys == nullptr ? static_cast<tav_alphabet>(0) : static_cast<tav_alphabet>(keys->files.kind);
}

TAVSDK_API void tav_keys_free(tav_keys* keys) { tav::core::Destroy(keys); }

}
