// SPDX-License-Identifier: MIT
#include "support.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "legacy/state.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "tavsdk.h"

namespace tav::test {

ScratchDir::ScratchDir() {
  char cwd[4096];
  previous_ = getcwd(cwd, sizeof cwd) != nullptr ? cwd : "/";
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/tavsdk-test-XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back(0);
  if (mkdtemp(buf.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = buf.data();
  if (chdir(path_.c_str()) != 0) throw std::runtime_error("chdir failed");
}

ScratchDir::~ScratchDir() {
  if (chdir(previous_.c_str()) != 0) std::perror("chdir");
  std::error_code ec;
  // Tests may leave read-only entries behind; make them removable first.
  for (auto& e : std::filesystem::recursive_directory_iterator(path_, ec))
    std::filesystem::permissions(e.path(), std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ec);
  std::filesystem::remove_all(path_, ec);
}

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const std::string& path, const Bytes& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

void WriteFile(const std::string& path, const std::string& data) { WriteFile(path, Bytes(data.begin(), data.end())); }

bool Exists(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

Bytes FromHex(const std::string& hex) {
  Bytes out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

Bytes RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes out(n);
  for (auto& b : out) b = static_cast<uint8_t>(rng());
  return out;
}

Unprivileged::Unprivileged(unsigned directory_mode) {
  if (geteuid() != 0) return;
  if (chmod(".", directory_mode) != 0 || seteuid(65534) != 0) throw std::runtime_error("cannot drop privileges");
  dropped_ = true;
}

Unprivileged::~Unprivileged() {
  if (dropped_ && seteuid(0) != 0) std::abort();
}

std::string VectorsDir() {
  const char* chosen = std::getenv("TAVSDK_VECTORS_DIR");
  return chosen != nullptr && *chosen != 0 ? chosen : TAVSDK_VECTORS_DIR;
}

PadTable PadFromFile(const std::string& path) {
  PadTable table;
  table.fill(-1);
  const Bytes raw = ReadFile(path);
  if (!BuildPadTable(raw.data(), std::min<size_t>(raw.size(), kFieldBytes), table)) table.fill(-1);
  return table;
}

const tav_keys& CurrentKeys(Kind kind) {
  static tav_keys keys;
  int error = 0;
  if (keys::LoadCipher(keys, kind, AT_FDCWD, legacy::state.schedule, error) != keys::Loaded::ok)
    ADD_FAILURE() << "no usable key files";
  (void)keys::LoadPad(keys, AT_FDCWD, false, error);
  return keys;
}

void ResetFlags() {
  TextSys = 0;
  BinSys = 0;
}

}  // namespace tav::test
