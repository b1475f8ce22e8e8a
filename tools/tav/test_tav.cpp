// SPDX-License-Identifier: MIT
// Drives the built tav binary as a user would, and checks its files against
// the library called directly.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <poll.h>
#include <pty.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "tavsdk.h"

namespace fs = std::filesystem;
extern char** environ;

namespace {

const std::string kPassphrase = "Hello";

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream data;
  data << in.rdbuf();
  return data.str();
}

void WriteFile(const fs::path& path, const std::string& data) {
  std::ofstream(path, std::ios::binary) << data;
}

std::string Hex(const std::string& bytes) {
  std::string hex;
  char digits[3];
  for (unsigned char b : bytes) {
    std::snprintf(digits, sizeof digits, "%02x", b);
    hex += digits;
  }
  return hex;
}

std::string Reversed(std::string s) {
  std::reverse(s.begin(), s.end());
  return s;
}

struct Result {
  int status = -1;
  std::string out, err;
};

class Tav : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tav-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    work_ = root_ / "work";
    tmp_ = root_ / "tmp";
    fs::create_directory(work_);
    fs::create_directory(tmp_);
  }
  void TearDown() override { fs::remove_all(root_); }

  // The environment of a run: the test's own, with TMPDIR pointing to a
  // directory of ours and the passphrase variable as given ("" = unset).
  std::vector<std::string> Environment(const std::map<std::string, std::string>& vars) const {
    std::map<std::string, std::string> all = {{"TMPDIR", tmp_.string()}, {"TAV_PASSPHRASE", kPassphrase}};
    for (const auto& [name, value] : vars) all[name] = value;
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
      const std::string entry = *e;
      const std::string name = entry.substr(0, entry.find('='));
      if (name != "XDG_RUNTIME_DIR" && all.count(name) == 0) env.push_back(entry);
    }
    for (const auto& [name, value] : all) {
      if (!(name == "TAV_PASSPHRASE" && value == "\x01unset")) env.push_back(name + "=" + value);
    }
    return env;
  }

  [[noreturn]] void Exec(const std::vector<std::string>& args, const std::vector<std::string>& env) const {
    std::vector<char*> argv = {const_cast<char*>(TAV_TOOL_PATH)};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    if (chdir(work_.c_str()) == 0) execve(TAV_TOOL_PATH, argv.data(), envp.data());
    _exit(127);
  }

  // Starts tav in work_ without a controlling terminal; stdout and stderr go
  // to files, stdin comes from `input`.
  pid_t Start(const std::vector<std::string>& args, const std::string& input = "",
              const std::map<std::string, std::string>& vars = {}) {
    WriteFile(root_ / "stdin", input);
    const auto env = Environment(vars);
    const pid_t pid = fork();
    if (pid == 0) {
      setsid();
      const int in = open((root_ / "stdin").c_str(), O_RDONLY);
      const int out = open((root_ / "stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      const int err = open((root_ / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(127);
      Exec(args, env);
    }
    return pid;
  }

  Result Finish(pid_t pid) {
    Result r;
    int status = 0;
    waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
    r.out = ReadFile(root_ / "stdout");
    r.err = ReadFile(root_ / "stderr");
    ExpectNoKeysLeft();
    return r;
  }

  Result Run(const std::vector<std::string>& args, const std::string& input = "",
             const std::map<std::string, std::string>& vars = {}) {
    return Finish(Start(args, input, vars));
  }

  // Neither the temporary directory nor the working directory keeps
  // anything of tav's: no private directory, key file or scratch file.
  void ExpectNoKeysLeft() const {
    EXPECT_TRUE(fs::is_empty(tmp_)) << "left in TMPDIR: " << fs::directory_iterator(tmp_)->path();
    for (const auto& entry : fs::directory_iterator(work_)) {
      const std::string name = entry.path().filename();
      EXPECT_FALSE(name.size() == 6 && name[0] == 'k' && (name.ends_with(".txt") || name.ends_with(".bin")))
          << name;
      EXPECT_NE(name, "k6.dat");
      EXPECT_NE(name, "turnabot.dat");
    }
  }

  // Runs `f` with the library in a directory of its own, as a peer would.
  template <typename F>
  void WithLibrary(bool text, F f) {
    const fs::path dir = root_ / "library";
    fs::create_directories(dir);
    const int here = open(".", O_RDONLY | O_DIRECTORY);
    ASSERT_EQ(chdir(dir.c_str()), 0);
    ASSERT_EQ(text ? TavGenTextKeys(kPassphrase.c_str()) : TavGenBinaryKeys(kPassphrase.c_str()), 0);
    f();
    TavShutdown();
    ASSERT_EQ(fchdir(here), 0);
    close(here);
  }

  fs::path root_, work_, tmp_;
};

std::string AllBytes(size_t size) {
  std::string data(size, '\0');
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 131 + i / 256) & 0xFF);
  return data;
}

TEST_F(Tav, FilesRoundTripAndMatchTheLibraryInBothAlphabets) {
  const std::string plain = AllBytes(20000);
  WriteFile(work_ / "plain", plain);
  for (const bool text : {false, true}) {
    SCOPED_TRACE(text ? "text" : "binary");
    const std::string alphabet = text ? "--text" : "--binary";
    ASSERT_EQ(Run({"encrypt", alphabet, "plain", "plain.tav"}).status, 0);
    ASSERT_EQ(Run({"decrypt", alphabet, "plain.tav", "back"}).status, 0);
    EXPECT_EQ(ReadFile(work_ / "back"), plain);
    ASSERT_EQ(Run({"encrypt", "--expanded", alphabet, "plain", "plain.exp"}).status, 0);

    const auto lib = [&](const char* name) { return (root_ / "library" / name).string(); };
    WithLibrary(text, [&] {
      const auto block_enc = text ? TavTextFileEnc : TavBinaryFileEnc;
      const auto expand_enc = text ? TavTExpandFileEnc : TavBExpandFileEnc;
      const auto expand_dec = text ? TavTExpandFileDec : TavBExpandFileDec;
      ASSERT_EQ(block_enc((work_ / "plain").c_str(), lib("cipher").c_str()), 0);
      ASSERT_EQ(expand_dec((work_ / "plain.exp").c_str(), lib("from-tav").c_str()), 0);
      ASSERT_EQ(expand_enc((work_ / "plain").c_str(), (work_ / "lib.exp").c_str()), 0);
    });
    EXPECT_EQ(ReadFile(work_ / "plain.tav"), ReadFile(lib("cipher")));
    EXPECT_EQ(ReadFile(lib("from-tav")), plain);
    ASSERT_EQ(Run({"decrypt", "--expanded", alphabet, "lib.exp", "back"}).status, 0);
    EXPECT_EQ(ReadFile(work_ / "back"), plain);
  }
  // Binary is the default alphabet.
  ASSERT_EQ(Run({"encrypt", "--binary", "plain", "binary.tav"}).status, 0);
  ASSERT_EQ(Run({"encrypt", "plain", "default.tav"}).status, 0);
  EXPECT_EQ(ReadFile(work_ / "default.tav"), ReadFile(work_ / "binary.tav"));

  // Conformance data from an independent implementation.
  const fs::path vectors = TAVSDK_VECTORS_DIR;
  for (const char* alphabet : {"text", "binary"}) {
    const fs::path plain_vector = vectors / "files" / (std::string("hello-") + alphabet + "-2500.plain");
    ASSERT_TRUE(fs::exists(plain_vector)) << plain_vector;
    ASSERT_EQ(Run({"encrypt", std::string("--") + alphabet, "--passphrase-file",
                   (vectors / "keys/hello/passphrase").string(), plain_vector.string(), "vector.tav"},
                  "", {{"TAV_PASSPHRASE", "not this one"}})
                  .status,
              0);
    EXPECT_EQ(ReadFile(work_ / "vector.tav"), ReadFile(fs::path(plain_vector).replace_extension(".cipher")));
  }
}

TEST_F(Tav, StringsPrintFaithfullyReadBackAndMatchTheLibrary) {
  // Latin-1 letters, a quote, line feeds inside and at the end.
  const std::string utf8 = "Gr\xC3\xBC\xC3\x9F" "e \"quoted\"\nline two\n";
  const std::string latin1 = "Gr\xFC\xDF" "e \"quoted\"\nline two\n";
  const Result text = Run({"encrypt", "--string", "--text", utf8});
  ASSERT_EQ(text.status, 0) << text.err;
  std::string expected_text, expected_hex;
  const std::string binary_plain = "binary \xFF\x01 string";
  WithLibrary(true, [&] {
    std::string buffer = latin1;
    ASSERT_EQ(TavTEnc(buffer.data()), OutString);
    for (unsigned char c : std::string(OutString, latin1.size())) {
      expected_text += c < 0x80 ? std::string(1, static_cast<char>(c))
                                : std::string{static_cast<char>(0xC0 | (c >> 6)), static_cast<char>(0x80 | (c & 0x3F))};
    }
  });
  WithLibrary(false, [&] {
    std::string buffer = binary_plain;
    ASSERT_EQ(TavBEnc(buffer.data()), OutString);
    expected_hex = Hex(std::string(OutString, binary_plain.size()));
  });
  EXPECT_EQ(text.out, expected_text + "\n");
  EXPECT_EQ(Run({"decrypt", "--string", "--text"}, text.out).out, utf8 + "\n");

  const Result binary = Run({"encrypt", "--string", binary_plain});
  EXPECT_EQ(binary.out, expected_hex + "\n");
  EXPECT_EQ(Run({"decrypt", "--string"}, binary.out).out, binary_plain + "\n");

  // A ciphertext with a 0 byte, which the string operations would cut.
  const std::string long_plain(3000, 'a');
  const Result with_zero = Run({"encrypt", "--string"}, long_plain + "\n");
  bool has_zero = false;
  for (size_t i = 0; i + 1 < with_zero.out.size(); i += 2) has_zero |= with_zero.out.compare(i, 2, "00") == 0;
  ASSERT_TRUE(has_zero);
  EXPECT_EQ(Run({"decrypt", "--string"}, with_zero.out).out, long_plain + "\n");

  EXPECT_EQ(Run({"encrypt", "--string", "--text", "price \xE2\x82\xAC" "5"}).status, 64);
  EXPECT_EQ(Run({"encrypt", "--string"}, std::string(8192, 'x')).status, 64);
  EXPECT_EQ(Run({"encrypt", "--string"}, std::string(8191, 'x')).status, 0);
  EXPECT_EQ(Run({"decrypt", "--string"}, "abc").status, 64);
}

TEST_F(Tav, KeygenScrambleXScrambleAndWipe) {
  const fs::path vectors = TAVSDK_VECTORS_DIR;
  const std::string passfile = (vectors / "keys/hello/passphrase").string();
  ASSERT_TRUE(fs::exists(passfile)) << passfile;
  {
    fs::create_directory(work_ / "keys");
    ASSERT_EQ(Run({"keygen", "--passphrase-file", passfile, "keys"}).status, 0);
    for (const char* alphabet : {"text", "binary"}) {
      for (const auto& key : fs::directory_iterator(vectors / "keys/hello" / alphabet)) {
        const std::string name = key.path().filename();
        if (name.starts_with("k")) {
          EXPECT_EQ(ReadFile(work_ / "keys" / name), ReadFile(key.path())) << name;
        }
      }
    }
    EXPECT_EQ(Run({"keygen", "--passphrase-file", passfile, "keys"}).status, 3);
    EXPECT_EQ(Run({"keygen", "--force", "--passphrase-file", passfile, "keys"}).status, 0);
    fs::remove_all(work_ / "keys");
  }

  const std::string data = AllBytes(10000);
  WriteFile(work_ / "f", data);
  ASSERT_EQ(Run({"scramble", "f"}).status, 0);
  EXPECT_EQ(ReadFile(work_ / "f"), Reversed(data));
  ASSERT_EQ(Run({"scramble", "f"}).status, 0);
  ASSERT_EQ(Run({"scramble", "f", "--blocks", "3", "--size", "100"}).status, 0);
  EXPECT_EQ(ReadFile(work_ / "f"), Reversed(data.substr(0, 100)) + Reversed(data.substr(100, 100)) +
                                       Reversed(data.substr(200, 100)) + data.substr(300));
  ASSERT_EQ(Run({"scramble", "f", "--blocks", "3", "--size", "100"}).status, 0);
  EXPECT_EQ(Run({"scramble", "f", "--blocks", "3", "--size", "5001"}).status, 4);
  EXPECT_EQ(Run({"scramble", "f", "--blocks", "101", "--size", "100"}).status, 5);
  EXPECT_EQ(Run({"scramble", "f", "--blocks", "3"}).status, 64);
  EXPECT_EQ(ReadFile(work_ / "f"), data);

  ASSERT_EQ(Run({"xscramble", "f"}).status, 0);
  EXPECT_NE(ReadFile(work_ / "f"), data);
  ASSERT_EQ(Run({"xscramble", "f"}).status, 0);
  EXPECT_EQ(ReadFile(work_ / "f"), data);

  WriteFile(work_ / "g", "secret");
  EXPECT_EQ(Run({"wipe", "f", "g"}).status, 0);
  EXPECT_FALSE(fs::exists(work_ / "f") || fs::exists(work_ / "g"));
  const Result missing = Run({"wipe", "f"});
  EXPECT_EQ(missing.status, 2);
  EXPECT_NE(missing.err.find("f: "), std::string::npos);
}

TEST_F(Tav, ExitStatusesAndPassphraseSources) {
  WriteFile(work_ / "plain", "some plain text");
  const Result from_env = Run({"encrypt", "--string", "x"});
  WriteFile(work_ / "pass", kPassphrase + "\nsecond line\n");
  const Result from_file = Run({"encrypt", "--passphrase-file", "pass", "--string", "x"}, "", {{"TAV_PASSPHRASE", "other"}});
  EXPECT_EQ(from_file.out, from_env.out);
  EXPECT_NE(Run({"encrypt", "--string", "x"}, "", {{"TAV_PASSPHRASE", "other"}}).out, from_env.out);

  EXPECT_EQ(Run({"--version"}).status, 0);
  EXPECT_EQ(Run({"encrypt", "--help"}).status, 0);
  const Result unknown = Run({"encrypt", "--passphrase", kPassphrase, "plain", "c"});
  EXPECT_EQ(unknown.status, 64);
  EXPECT_NE(unknown.err.find("usage: "), std::string::npos);
  EXPECT_EQ(Run({"encrypt", "plain"}).status, 64);
  EXPECT_EQ(Run({"encrypt", "plain", "c"}, "", {{"TAV_PASSPHRASE", ""}}).status, 64);
  WriteFile(work_ / "empty", "\n");
  EXPECT_EQ(Run({"encrypt", "--passphrase-file", "empty", "plain", "c"}).status, 64);
  const Result no_terminal = Run({"encrypt", "plain", "c"}, "", {{"TAV_PASSPHRASE", "\x01unset"}});
  EXPECT_EQ(no_terminal.status, 64);
  EXPECT_NE(no_terminal.err.find("terminal"), std::string::npos);

  EXPECT_EQ(Run({"encrypt", "plain", "c"}, "", {{"TMPDIR", (root_ / "none").string()}}).status, 1);
  const Result no_source = Run({"decrypt", "absent", "c"});
  EXPECT_EQ(no_source.status, 2);
  EXPECT_NE(no_source.err.find("absent: cannot read the source: " TAV_MSG_BAD_SOURCE), std::string::npos);
  const Result no_dest = Run({"encrypt", "plain", "no/such/dir/c"});
  EXPECT_EQ(no_dest.status, 3);
  EXPECT_NE(no_dest.err.find("no/such/dir/c: cannot write the destination: " TAV_MSG_BAD_DEST), std::string::npos);
  EXPECT_FALSE(fs::exists(work_ / "c"));
}

// Reads the pseudo-terminal until `text` shows up (or 20 s pass).
bool ReadUntil(int master, std::string& seen, const std::string& text) {
  for (int waited = 0; seen.find(text) == std::string::npos; waited += 100) {
    pollfd p = {master, POLLIN, 0};
    if (waited > 20000) return false;
    if (poll(&p, 1, 100) <= 0) continue;
    char buffer[256];
    const ssize_t n = read(master, buffer, sizeof buffer);
    if (n <= 0) return false;
    seen.append(buffer, static_cast<size_t>(n));
  }
  return true;
}

TEST_F(Tav, PromptsTwiceOnTheTerminalWithoutEcho) {
  const std::string expected = Run({"encrypt", "--string", "x"}).out;
  for (const bool match : {true, false}) {
    const auto env = Environment({{"TAV_PASSPHRASE", "\x01unset"}});
    int master = -1;
    const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) Exec({"encrypt", "--string", "x"}, env);
    std::string seen;
    ASSERT_TRUE(ReadUntil(master, seen, "Passphrase: "));
    ASSERT_EQ(write(master, (kPassphrase + "\n").data(), kPassphrase.size() + 1), static_cast<ssize_t>(kPassphrase.size() + 1));
    ASSERT_TRUE(ReadUntil(master, seen, "again): "));
    const std::string second = (match ? kPassphrase : "Hallo") + "\n";
    ASSERT_EQ(write(master, second.data(), second.size()), static_cast<ssize_t>(second.size()));
    ReadUntil(master, seen, match ? expected.substr(0, expected.size() - 1) : "match");
    int status = 0;
    waitpid(pid, &status, 0);
    close(master);
    EXPECT_EQ(WEXITSTATUS(status), match ? 0 : 64) << seen;
    EXPECT_EQ(seen.find(kPassphrase), std::string::npos) << seen;
    ExpectNoKeysLeft();
  }
}

TEST_F(Tav, InterruptStopsTheWorkAndLeavesNothing) {
  // A sparse 256 MiB file expands to several GB: far from done when stopped.
  {
    std::ofstream(work_ / "big");
  }
  fs::resize_file(work_ / "big", 256LL << 20);
  const std::string passphrase = "no-argument-shows-this";
  const pid_t pid = Start({"encrypt", "--expanded", "--progress", "big", "big.tav"}, "", {{"TAV_PASSPHRASE", passphrase}});
  bool drawing = false;
  for (int i = 0; i < 400 && !drawing; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    drawing = fs::exists(work_ / "big.tav") && ReadFile(root_ / "stderr").find("MB/s") != std::string::npos;
  }
  EXPECT_TRUE(drawing) << "no progress line on stderr";
  EXPECT_EQ(ReadFile("/proc/" + std::to_string(pid) + "/cmdline").find(passphrase), std::string::npos);
  EXPECT_FALSE(fs::is_empty(tmp_));
  kill(pid, SIGINT);
  const Result r = Finish(pid);
  EXPECT_EQ(r.status, 128 + SIGINT);
  EXPECT_FALSE(fs::exists(work_ / "big.tav"));
  EXPECT_NE(r.err.find('\r'), std::string::npos);
}

}  // namespace
