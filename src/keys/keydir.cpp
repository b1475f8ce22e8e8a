// SPDX-License-Identifier: MIT
// Key files in a directory: the key store of both interfaces on Linux.
#include "common/fileio.hpp"
#include "keys/keyset.hpp"

namespace tav::keys {

namespace {

Loaded ReadFromDirectory(void* context, const char* name, uint8_t* buf, size_t cap, size_t& got, int& error) {
  int64_t read_bytes = 0;
  const io::KeyRead read = io::ReadKeyFile(*static_cast<const int*>(context), name, buf, cap, read_bytes, error);
  got = read == io::KeyRead::ok ? static_cast<size_t>(read_bytes) : 0;
  if (read == io::KeyRead::ok) return Loaded::ok;
  return read == io::KeyRead::missing ? Loaded::missing : Loaded::damaged;
}

bool WriteToDirectory(void* context, const char* name, const void* data, size_t n, int& error) {
  return io::WriteKeyFile(*static_cast<const int*>(context), name, data, n, error);
}

KeyStore Directory(int& dirfd) { return KeyStore{ReadFromDirectory, WriteToDirectory, &dirfd}; }

}  // namespace

Loaded LoadCipher(tav_keys& keys, Kind kind, int dirfd, const Schedule& schedule, int& error) {
  return LoadCipher(keys, kind, Directory(dirfd), schedule, error);
}

Loaded LoadPad(tav_keys& keys, int dirfd, bool scramble, int& error) {
  return LoadPad(keys, Directory(dirfd), scramble, error);
}

bool Save(const tav_keys& keys, int dirfd, int& error) { return Save(keys, Directory(dirfd), error); }

}  // namespace tav::keys
