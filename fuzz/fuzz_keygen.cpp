// SPDX-License-Identifier: MIT
// Passphrase and key generation: any byte string is a passphrase. An empty one
// is refused without writing anything; any other one gives key files of the
// documented shape that round-trip a string and a file in both alphabets.
#include <sys/stat.h>

#include <cstring>
#include <string>

#include "fuzz_support.hpp"
#include "tavsdk.h"

using namespace tav;
using namespace tav::fuzz;

namespace {

void CheckKeyFile(const char* name, off_t size) {
  struct stat st {};
  FUZZ_CHECK(stat(name, &st) == 0 && S_ISREG(st.st_mode) && st.st_size == size && (st.st_mode & 0777) == 0600);
}

// Twenty two-digit fields, each one of `allowed`.
void CheckFields(const char* name, const char* const* allowed, int n_allowed) {
  const Bytes f = ReadFile(name);
  FUZZ_CHECK(f.size() == 40);
  for (size_t i = 0; i < 40; i += 2) {
    bool found = false;
    for (int a = 0; a < n_allowed && !found; ++a) found = f[i] == allowed[a][0] && f[i + 1] == allowed[a][1];
    FUZZ_CHECK(found);
  }
}

void CheckKeyFiles(Kind kind) {
  const bool text = kind == Kind::text;
  CheckKeyFile(text ? "k1.txt" : "k1.bin", text ? 3020 : 5120);
  CheckKeyFile(text ? "k3.txt" : "k3.bin", 100);
  const Bytes scheme = ReadFile(text ? "k3.txt" : "k3.bin");
  for (int n = 0; n < 20; ++n) FUZZ_CHECK(scheme[static_cast<size_t>(n)] == 'U' || scheme[static_cast<size_t>(n)] == 'D');
  static const char* const kSteps[] = {"01", "02", "03", "04", "05", "06", "07"};
  static const char* const kPads[] = {"08", "09", "10", "11", "12", "13", "14", "20", "21", "22"};
  CheckFields(text ? "k4.txt" : "k4.bin", kSteps, 7);
  CheckFields(text ? "k5.txt" : "k5.bin", kPads, 10);
  CheckFields("k6.dat", kPads, 10);
}

// The string result, the block file and a decryption of each agree.
void RoundTrip(const Operations& ops) {
  const Bytes message = NonZeroBytes();
  std::string text(message.begin(), message.end());
  FUZZ_CHECK(ops.enc(text.data()) == OutString);
  const Bytes cipher(OutString, OutString + message.size());
  FUZZ_CHECK(OutString[message.size()] == 0);

  // Binary ciphertext may hold a 0 byte; decryption then ends there.
  const size_t readable = strnlen(OutString, message.size());
  if (ops.kind == Kind::text) FUZZ_CHECK(readable == message.size());
  FUZZ_CHECK(ops.dec(OutString) == OutString);
  FUZZ_CHECK(strlen(OutString) == readable && std::memcmp(OutString, message.data(), readable) == 0);

  WriteFile("plain", message);
  FUZZ_CHECK(ops.file_enc("plain", "enc") == 0);
  FUZZ_CHECK(ReadFile("enc") == cipher);
  FUZZ_CHECK(ops.file_dec("enc", "back") == 0);
  FUZZ_CHECK(ReadFile("back") == message);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  EnterPrivateDir("keygen", *argc, *argv);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string passphrase(reinterpret_cast<const char*>(data), size);
  const bool empty = size == 0 || data[0] == 0;
  for (Kind kind : {Kind::text, Kind::binary}) {
    const Operations& ops = OperationsOf(kind);
    const char* wheels = kind == Kind::text ? "k1.txt" : "k1.bin";
    if (empty) {
      const int flag = *ops.flag;
      const bool had = Exists(wheels);
      const Bytes before = had ? ReadFile(wheels) : Bytes();
      FUZZ_CHECK(ops.generate(passphrase.c_str()) == 1);
      FUZZ_CHECK(*ops.flag == flag && Exists(wheels) == had && (!had || ReadFile(wheels) == before));
      continue;
    }
    FUZZ_CHECK(ops.generate(passphrase.c_str()) == 0);
    FUZZ_CHECK(*ops.flag == 1);
    CheckKeyFiles(kind);
    RoundTrip(ops);
  }
  return 0;
}
