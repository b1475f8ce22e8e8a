// SPDX-License-Identifier: MIT
// Key sets of the core interface read from and written to a directory.
#include "core/keys.hpp"
#include "tavsdk.h"

namespace tav::core {
namespace {

void SetError(int* error, int value) {
  if (error != nullptr) *error = value;
}

}  // namespace
}  // namespace tav::core

extern "C" {

TAVSDK_API tav_status tav_keys_load(tav_keys** keys, int alphabet, int dirfd, const tav_keys* master,
                                    int* error) {
  int err = 0;
  const tav_status status = tav::core::LoadKeys(keys, alphabet, tav::keys::DirectoryStore(dirfd), master, err);
  tav::core::SetError(error, err);
  return status;
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
