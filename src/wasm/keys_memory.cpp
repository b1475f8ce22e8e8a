// SPDX-License-Identifier: MIT
// Key sets from key files held in memory, and their key files back out: what
// the WebAssembly build offers in place of a directory.
#include <cstring>

#include "keygen/keyfiles.hpp"
#include "core/objects.hpp"
#include "keys/keyset.hpp"
#include "tavsdk.h"

namespace {

constexpr size_t kFiles = 6;  // k1 .. k5 of one alphabet, and k6.dat

// The key files of one alphabet by KeyFile slot; a null pointer is a file
// that does not exist.
struct Images {
  tav::Kind kind;
  const uint8_t* const* data;
  const uint32_t* sizes;
};

tav::keys::Loaded ReadImage(void* context, const char* name, uint8_t* buf, size_t cap, size_t& got, int& error) {
  const auto& images = *static_cast<const Images*>(context);
  error = 0;
  got = 0;
  for (size_t slot = 0; slot < kFiles; ++slot) {
    if (std::strcmp(name, tav::KeyFileName(static_cast<tav::KeyFile>(slot), images.kind)) != 0) continue;
    if (images.data[slot] == nullptr) return tav::keys::Loaded::missing;
    got = images.sizes[slot] < cap ? images.sizes[slot] : cap;
    std::memcpy(buf, images.data[slot], got);
    return tav::keys::Loaded::ok;
  }
  return tav::keys::Loaded::missing;
}

// Export: the files as Save hands them over, pointing into the key set.
struct Listing {
  const char** names;
  const void** data;
  size_t* sizes;
  size_t count;
};

bool ListImage(void* context, const char* name, const void* data, size_t n, int& error) {
  auto& listing = *static_cast<Listing*>(context);
  error = 0;
  if (listing.count == kFiles) return false;
  listing.names[listing.count] = name;
  listing.data[listing.count] = data;
  listing.sizes[listing.count] = n;
  ++listing.count;
  return true;
}

bool KnownAlphabet(int alphabet) { return alphabet == TAV_TEXT || alphabet == TAV_BINARY; }

}  // namespace

extern "C" {

// As tav_keys_load, from the images of k1, k2, k3, k4, k5 and k6.dat (in
// that order; data[i] null where the file does not exist).
TAVSDK_API tav_status tavjs_keys_from_files(tav_keys** keys, tav_alphabet alphabet, const uint8_t* const* data,
                                            const uint32_t* sizes, const tav_keys* master) {
  if (keys == nullptr) return TAV_BAD_ARGUMENT;
  *keys = nullptr;
  if (!KnownAlphabet(alphabet) || data == nullptr || sizes == nullptr) return TAV_BAD_ARGUMENT;
  Images images{static_cast<tav::Kind>(alphabet), data, sizes};
  const tav::keys::KeyStore store{ReadImage, nullptr, &images};
  tav_keys* made = tav::core::Make<tav_keys>();
  if (made == nullptr) return TAV_NO_MEMORY;
  const tav::Schedule schedule = master != nullptr ? master->tables.schedule : tav::Schedule{};
  int err = 0;
  if (tav::keys::LoadCipher(*made, images.kind, store, schedule, err) != tav::keys::Loaded::ok) {
    tav::core::Destroy(made);
    return TAV_NO_KEYS;
  }
  (void)tav::keys::LoadPad(*made, store, false, err);
  (void)tav::keys::LoadPad(*made, store, true, err);
  *keys = made;
  return TAV_OK;
}

// The key files the set holds, as tav_keys_save would write them: up to six
// names, contents (inside the set, valid while it lives) and sizes. Returns
// how many.
TAVSDK_API size_t tavjs_keys_files(const tav_keys* keys, const char** names, const void** data, size_t* sizes) {
  if (keys == nullptr || names == nullptr || data == nullptr || sizes == nullptr) return 0;
  Listing listing{names, data, sizes, 0};
  const tav::keys::KeyStore store{nullptr, ListImage, &listing};
  int err = 0;
  (void)tav::keys::Save(*keys, store, err);
  return listing.count;
}

}
