// SPDX-License-Identifier: MIT
// Key sets of the core interface made from key files, wherever they are held.
#pragma once

#include "keys/keyset.hpp"
#include "tavsdk.h"

namespace tav::core {

// tav_keys_load's rules and statuses on the key files of `store`: a new set
// in *keys, or null. `error` receives the store's error for TAV_NO_KEYS, else
// 0.
tav_status LoadKeys(tav_keys** keys, int alphabet, const keys::KeyStore& store, const tav_keys* master, int& error);

}  // namespace tav::core
