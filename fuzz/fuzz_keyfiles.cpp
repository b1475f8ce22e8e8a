// SPDX-License-Identifier: MIT
// Damaged key files. After a good generation one key file is overwritten,
// patched, truncated or replaced by something that is not a regular file.
// Every operation that reads it then either refuses with "no keys" (1, with
// the alphabet's message and nothing created) or succeeds and still
// round-trips; operations that do not read it are not disturbed. The string,
// block and expanded operations read the same wheel and step files, so they
// agree on whether the keys are usable and on the ciphertext.
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "fuzz_support.hpp"
#include "tavsdk.h"

using namespace tav;
using namespace tav::fuzz;

namespace {

constexpr const char* kKeyFiles[] = {"k1.txt", "k3.txt", "k4.txt", "k5.txt", "k1.bin",
                                     "k3.bin", "k4.bin", "k5.bin", "k6.dat"};
constexpr int kKeyFileCount = sizeof kKeyFiles / sizeof kKeyFiles[0];
Bytes good[kKeyFileCount];

enum Damage { kReplace, kPatch, kTruncate, kRemove, kDirectory, kDanglingLink, kLinkToOther, kFifo, kDamageCount };

void DamageKeyFile(int file, int how, size_t offset, const Bytes& payload) {
  const char* name = kKeyFiles[file];
  Bytes content = good[file];
  switch (how) {
    case kReplace:
      content = payload;
      break;
    case kPatch:
      offset %= content.size() + 1;
      if (content.size() < offset + payload.size()) content.resize(offset + payload.size());
      std::copy(payload.begin(), payload.end(), content.begin() + static_cast<ptrdiff_t>(offset));
      break;
    case kTruncate:
      content.resize(offset % content.size());
      break;
    default:
      break;
  }
  Remove(name);
  switch (how) {
    case kRemove:
      break;
    case kDirectory:
      FUZZ_CHECK(mkdir(name, 0700) == 0);
      break;
    case kDanglingLink:
      FUZZ_CHECK(symlink("nowhere", name) == 0);
      break;
    case kLinkToOther:
      // A well-formed key file of the wrong kind or alphabet.
      FUZZ_CHECK(symlink(kKeyFiles[(file + 1 + offset % (kKeyFileCount - 1)) % kKeyFileCount], name) == 0);
      break;
    case kFifo:
      FUZZ_CHECK(mkfifo(name, 0600) == 0);
      break;
    default:
      WriteFile(name, content);
      break;
  }
}

// Runs a file operation; on 1 checks the message and that nothing was created.
// Returns whether it succeeded.
bool FileOperation(const Operations& ops, int (*op)(const char*, const char*), const char* source,
                   const char* destination) {
  cmd[0] = 0;
  const int status = op(source, destination);
  FUZZ_CHECK(status == 0 || status == 1);
  if (status == 1) FUZZ_CHECK(std::strcmp(cmd, ops.key_message) == 0 && !Exists(destination));
  return status == 0;
}

void CheckCipherOperations(const Operations& ops, bool reads_pad_file_only) {
  const Bytes message = NonZeroBytes();

  std::string text(message.begin(), message.end());
  char* result = ops.enc(text.data());
  const bool usable = result == OutString;
  FUZZ_CHECK(usable || (result == text.data() && text[0] == 0));
  // A damaged pad key file leaves the wheels and stepping alone.
  if (reads_pad_file_only) FUZZ_CHECK(usable);
  Bytes cipher;
  if (usable) {
    cipher.assign(OutString, OutString + message.size());
    const size_t readable = strnlen(OutString, message.size());
    FUZZ_CHECK(ops.dec(OutString) == OutString);
    FUZZ_CHECK(strlen(OutString) == readable && std::memcmp(OutString, message.data(), readable) == 0);
  }

  FUZZ_CHECK(FileOperation(ops, ops.file_enc, "plain", "enc") == usable);
  if (usable) {
    FUZZ_CHECK(ReadFile("enc") == cipher);
    FUZZ_CHECK(FileOperation(ops, ops.file_dec, "enc", "back"));
    FUZZ_CHECK(ReadFile("back") == message);
  }

  const bool expanded = FileOperation(ops, ops.expand_enc, "plain", "expanded");
  FUZZ_CHECK(expanded == usable || (reads_pad_file_only && !expanded));
  if (expanded) {
    FUZZ_CHECK(UnitStarts(ops.kind, ReadFile("expanded")) == cipher);
    FUZZ_CHECK(FileOperation(ops, ops.expand_dec, "expanded", "restored"));
    FUZZ_CHECK(ReadFile("restored") == message);
  } else {
    FUZZ_CHECK(!FileOperation(ops, ops.expand_dec, "plain", "restored"));
  }
}

void CheckXScramble() {
  const Bytes message = NonZeroBytes();
  WriteFile("scrambled", message);
  const int status = TavXScrambleFile("scrambled");
  FUZZ_CHECK(status == 0 || status == 1);
  if (status == 1) {
    FUZZ_CHECK(ReadFile("scrambled") == message);
    return;
  }
  FUZZ_CHECK(TavXScrambleFile("scrambled") == 0);
  FUZZ_CHECK(ReadFile("scrambled") == message);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  EnterPrivateDir("keyfiles", *argc, *argv);
  GenerateBothKeys();
  for (int i = 0; i < kKeyFileCount; ++i) good[i] = ReadFile(kKeyFiles[i]);
  WriteFile("plain", NonZeroBytes());
  return 0;
}

// Input: which file, how to damage it, two bytes of offset, then the bytes
// written into it.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  constexpr size_t kHeader = 4;
  if (size < kHeader) return 0;
  const int file = data[0] % kKeyFileCount;
  const int how = data[1] % kDamageCount;
  const size_t offset = data[2] | static_cast<size_t>(data[3]) << 8;
  const Bytes payload(data + kHeader, data + size);

  DamageKeyFile(file, how, offset, payload);
  const std::string name = kKeyFiles[file];
  if (name == "k6.dat") {
    CheckXScramble();
  } else {
    const Kind kind = name.ends_with(".txt") ? Kind::text : Kind::binary;
    CheckCipherOperations(OperationsOf(kind), name.starts_with("k5"));
  }

  Remove(kKeyFiles[file]);
  WriteFile(kKeyFiles[file], good[file]);
  for (const char* output : {"enc", "back", "expanded", "restored"}) Remove(output);
  return 0;
}
