// SPDX-License-Identifier: MIT
// Key files in a directory: the key store of both interfaces on Linux.
#include <sys/stat.h>

#include <cerrno>

#include "common/fileio.hpp"
#include "common/newfile.hpp"
#include "keys/keyset.hpp"

namespace tav::keys {

namespace {

Loaded ReadFromDirectory(const void* context, const char* name, uint8_t* buf, size_t cap, size_t& got, int& error) {
  int64_t read_bytes = 0;
  const io::KeyRead read = io::ReadKeyFile(*static_cast<const int*>(context), name, buf, cap, read_bytes, error);
  got = read == io::KeyRead::ok ? static_cast<size_t>(read_bytes) : 0;
  if (read == io::KeyRead::ok) return Loaded::ok;
  return read == io::KeyRead::missing ? Loaded::missing : Loaded::damaged;
}

}  // namespace

// Reading only: saving to a directory writes every file before naming any
// (see Save), not one file at a time.
KeyStore DirectoryStore(const int& dirfd) { return KeyStore{ReadFromDirectory, &dirfd}; }

Loaded LoadCipher(tav_keys& keys, Kind kind, int dirfd, const Schedule& schedule, int& error) {
  return LoadCipher(keys, kind, DirectoryStore(dirfd), schedule, error);
}

Loaded LoadPad(tav_keys& keys, int dirfd, bool scramble, int& error) {
  return LoadPad(keys, DirectoryStore(dirfd), scramble, error);
}

bool Save(const tav_keys& keys, int dirfd, int& error) {
  error = 0;
  const std::array<KeyFileBytes, 6> parts = FilesOf(keys);
  // Every file is written and flushed before any takes its name: a failure
  // while writing (a full file system) leaves the old set as it was, and no
  // name ever holds part of a key file. New files rather than rewritten old
  // ones: no other link or open handle of an old file sees the new keys.
  std::array<io::NewFile, parts.size()> files;
  for (size_t i = 0; i < parts.size(); ++i) {
    const KeyFileBytes& part = parts[i];
    if (!part.present) continue;
    if (!files[i].Open(dirfd, KeyFileName(part.file, keys.files.kind), 0600, error)) return false;
    // The process umask may only narrow the mode; it must end up exactly 0600.
    if (::fchmod(files[i].fd(), 0600) != 0 || !io::WriteAll(files[i].fd(), part.data, part.size)) {
      error = errno;
      return false;
    }
  }
  for (size_t i = 0; i < parts.size(); ++i) {
    if (parts[i].present && !files[i].Commit(true, error)) return false;
  }
  return true;
}

}  // namespace tav::keys
