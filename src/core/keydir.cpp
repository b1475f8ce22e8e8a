// SPDX-License-Identifier: MIT
// Key sets of the core interface read from and written to a directory.
#include "core/objects.hpp"
#include "keys/keyset.hpp"
#include "tavsdk.h"

namespace tav::core {
namespace {

bool KnownAlphabet(int alphabet) { return alphabet == TAV_TEXT || alphabet == TAV_BINARY; }

void SetError(int* error, int value) {
  if (error != nullptr) *error = value;
}

}  // namespace
}  // namespace tav::core

extern "C" {

TAVSDK_API tav_status tav_keys_load(tav_keys** keys, int alphabet, int dirfd, const tav_keys* master,
                                    int* error) {
  tav::core::SetError(error, 0);
  if (keys == nullptr) return TAV_BAD_ARGUMENT;
  *keys = nullptr;
  if (!tav::core::KnownAlphabet(alphabet)) return TAV_BAD_ARGUMENT;
  tav_keys* made = tav::core::Make<tav_keys>();
  if (made == nullptr) return TAV_NO_MEMORY;
  const tav::Schedule schedule = master != nullptr ? master->tables.schedule : tav::Schedule{};
  int err = 0;
  if (tav::keys::LoadCipher(*made, static_cast<tav::Kind>(alphabet), dirfd, schedule, err) != tav::keys::Loaded::ok) {
    tav::core::Destroy(made);
    tav::core::SetError(error, err);
    return TAV_NO_KEYS;
  }
  // The pad tables are optional: only the operations that need one fail
  // without it.
  (void)tav::keys::LoadPad(*made, dirfd, false, err);
  (void)tav::keys::LoadPad(*made, dirfd, true, err);
  *keys = made;
  return TAV_OK;
}

TAVSDK_API tav_status tav_keys_save(const tav_keys* keys, int dirfd, int* error) {
  tav::core::SetError(error, 0);
  if (keys == nullptr) return TAV_BAD_ARGUMENT;
  int err = 0;
  if (!tav::keys::Save(*keys, dirfd, err)) {
    tav::core::SetError(error, err);
    return TAV_BAD_DEST;
  }
  return TAV_OK;
}

}
