// SPDX-License-Identifier: MIT
#include "fuzz_support.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <memory>

#include "keys/keyset.hpp"
#include "support.hpp"
#include "tavsdk.h"

namespace tav::fuzz {

namespace {

char private_dir[4096];

void RemovePrivateDir() {
  DIR* dir = opendir(".");
  if (dir != nullptr) {
    while (const dirent* e = readdir(dir)) {
      if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
      Remove(e->d_name);
    }
    closedir(dir);
  }
  if (chdir("/") != 0 || rmdir(private_dir) != 0) std::fprintf(stderr, "fuzz: could not remove %s\n", private_dir);
}

}  // namespace

void Fail(const char* what, const char* file, int line) {
  std::fprintf(stderr, "\nfuzz check failed: %s (%s:%d)\n", what, file, line);
  std::abort();
}

void EnterPrivateDir(const char* target, int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (argv[i][0] != '-' && argv[i][0] != '/') {
      std::fprintf(stderr, "fuzz: give corpus paths as absolute paths (%s); the target works in its own directory\n",
                   argv[i]);
      std::exit(2);
    }
  }
  const char* base = std::getenv("TMPDIR");
  std::snprintf(private_dir, sizeof private_dir, "%s/tavsdk-fuzz-%s-XXXXXX", base != nullptr ? base : "/tmp",
                target);
  FUZZ_CHECK(mkdtemp(private_dir) != nullptr);
  FUZZ_CHECK(chdir(private_dir) == 0);
  std::fprintf(stderr, "fuzz: working in %s\n", private_dir);
  std::atexit(RemovePrivateDir);
}

void GenerateBothKeys() {
  FUZZ_CHECK(TavGenTextKeys("fuzzing passphrase") == 0);
  FUZZ_CHECK(TavGenBinaryKeys("fuzzing passphrase") == 0);
}

bool Exists(const char* path) {
  struct stat st {};
  return lstat(path, &st) == 0;
}

Bytes ReadFile(const char* path) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  FUZZ_CHECK(fd >= 0);
  Bytes data;
  uint8_t buf[65536];
  for (;;) {
    const ssize_t got = read(fd, buf, sizeof buf);
    FUZZ_CHECK(got >= 0);
    if (got == 0) break;
    data.insert(data.end(), buf, buf + got);
  }
  close(fd);
  return data;
}

void WriteFile(const char* path, const uint8_t* data, size_t n) {
  Remove(path);
  const int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  FUZZ_CHECK(fd >= 0);
  FUZZ_CHECK(n == 0 || write(fd, data, n) == static_cast<ssize_t>(n));
  FUZZ_CHECK(close(fd) == 0);
}

void Remove(const char* path) {
  if (unlink(path) == 0 || errno == ENOENT) return;
  FUZZ_CHECK(errno == EISDIR && rmdir(path) == 0);
}

Bytes NonZeroBytes() {
  Bytes m(255);
  for (size_t i = 0; i < m.size(); ++i) m[i] = static_cast<uint8_t>(i + 1);
  return m;
}

const Operations& OperationsOf(Kind kind) {
  const auto make = [](Kind of, int (*generate)(const char*), char* (*enc)(char*), char* (*dec)(char*), int* flag,
                       const char* key_message) {
    const test::FileOpPair block = test::FileOpsOf(of, false);
    const test::FileOpPair expanded = test::FileOpsOf(of, true);
    return Operations{of, generate, enc, dec, block.enc, block.dec, expanded.enc, expanded.dec, flag, key_message};
  };
  static const Operations text = make(Kind::text, TavGenTextKeys, TavTEnc, TavTDec, &TextSys, TAV_MSG_NO_TEXT_KEYS);
  static const Operations binary =
      make(Kind::binary, TavGenBinaryKeys, TavBEnc, TavBDec, &BinSys, TAV_MSG_NO_BINARY_KEYS);
  return kind == Kind::text ? text : binary;
}

const PadTable& PadOf(Kind kind, bool scramble) {
  static const auto set = std::make_unique<tav_keys>();
  set->files.kind = kind;
  int error = 0;
  FUZZ_CHECK(keys::LoadPad(*set, AT_FDCWD, scramble, error) == keys::Loaded::ok);
  return scramble ? set->scramble_pad : set->pad;
}

Bytes UnitStarts(Kind kind, const Bytes& expanded) {
  const PadTable& table = PadOf(kind, false);
  Bytes starts;
  int32_t pad = 0;
  for (size_t at = 0; at < expanded.size();) {
    starts.push_back(expanded[at]);
    pad = pad % kPadEntries + 1;
    at += 1 + static_cast<size_t>(table[pad]);
  }
  return starts;
}

}  // namespace tav::fuzz
