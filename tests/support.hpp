// Helpers shared by the tests: a private working directory per test, file
// access, and the conformance data.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tav::test {

using Bytes = std::vector<uint8_t>;

// Makes a fresh directory, switches the process into it (the key files are
// read and written in the current directory) and removes it afterwards.
class ScratchDir {
public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::string& path() const { return path_; }

private:
  std::string path_;
  std::string previous_;
};

Bytes ReadFile(const std::string& path);
void WriteFile(const std::string& path, const Bytes& data);
void WriteFile(const std::string& path, const std::string& data);
bool Exists(const std::string& path);
Bytes FromHex(const std::string& hex);
Bytes RandomBytes(size_t n, uint32_t seed);

// The conformance data folder, or "" when it is not present on this machine.
std::string VectorsDir();

// Resets the process-global library state the tests depend on: both key flags
// down, as in a fresh process.
void ResetFlags();

}  // namespace tav::test
