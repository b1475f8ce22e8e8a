// SPDX-License-Identifier: MIT
// Drives the built tav binary as a user would, and checks its files against
// the conformance data and the library called directly.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <poll.h>
#include <pty.h>
#include <random>
#include <regex>
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

const std::string kPassphrase = "Hello";  // the conformance data's
const fs::path kVectors = TAVSDK_VECTORS_DIR;

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

std::string AllBytes(size_t size) {
  std::string data(size, '\0');
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 131 + i / 256) & 0xFF);
  return data;
}

// A conformance pair: plain file and its ciphertext under kPassphrase.
struct Vector {
  std::string plain, cipher;
};
Vector LoadVector(const std::string& alphabet, int size) {
  const fs::path base = kVectors / "files" / ("hello-" + alphabet + "-" + std::to_string(size));
  return {ReadFile(base.string() + ".plain"), ReadFile(base.string() + ".cipher")};
}

struct Result {
  int status = -1;
  std::string out, err;
};

// The tool the shell tests run: this build's, or another one (an installed
// or older tav) named by TAV_TEST_TOOL.
std::string Tool() {
  const char* other = std::getenv("TAV_TEST_TOOL");
  return other != nullptr && *other != 0 ? other : TAV_TOOL_PATH;
}

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

  // The test's environment with TMPDIR pointing to a directory of ours, the
  // passphrase variable as given ("\x01unset": none) and TAV naming the tool.
  std::vector<std::string> Environment(const std::map<std::string, std::string>& vars) const {
    std::map<std::string, std::string> all = {
        {"TMPDIR", tmp_.string()}, {"TAV_PASSPHRASE", kPassphrase}, {"TAV", Tool()},
        {"TAV_COMPLETION", TAV_COMPLETION_PATH}};
    for (const auto& [name, value] : vars) all[name] = value;
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
      const std::string entry = *e;
      if (all.count(entry.substr(0, entry.find('='))) == 0) env.push_back(entry);
    }
    for (const auto& [name, value] : all) {
      if (value != "\x01unset") env.push_back(name + "=" + value);
    }
    return env;
  }

  [[noreturn]] void Exec(const std::vector<std::string>& args, const std::vector<std::string>& env,
                         const std::string& binary = TAV_TOOL_PATH) const {
    std::vector<char*> argv = {const_cast<char*>(binary.c_str())};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    if (chdir(work_.c_str()) == 0) execve(binary.c_str(), argv.data(), envp.data());
    _exit(127);
  }

  // Starts tav in work_ without a controlling terminal; stdout and stderr go
  // to files, stdin comes from `input`.
  pid_t Start(const std::vector<std::string>& args, const std::string& input = "",
              const std::map<std::string, std::string>& vars = {}, const std::string& binary = TAV_TOOL_PATH) {
    WriteFile(root_ / "stdin", input);
    const auto env = Environment(vars);
    const pid_t pid = fork();
    if (pid == 0) {
      setsid();
      const int in = open((root_ / "stdin").c_str(), O_RDONLY);
      const int out = open((root_ / "stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      const int err = open((root_ / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(127);
      Exec(args, env, binary);
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
    ExpectNothingLeft();
    return r;
  }

  Result Run(const std::vector<std::string>& args, const std::string& input = "",
             const std::map<std::string, std::string>& vars = {}) {
    return Finish(Start(args, input, vars));
  }

  Result Run(const std::vector<std::string>& args, const std::string& input,
             const std::map<std::string, std::string>& vars, const std::string& binary) {
    return Finish(Start(args, input, vars, binary));
  }

  // Nothing of tav's stays behind: no key file, no scratch or temporary file.
  void ExpectNothingLeft() const {
    EXPECT_TRUE(fs::is_empty(tmp_)) << "left in TMPDIR: " << fs::directory_iterator(tmp_)->path();
    for (const auto& entry : fs::directory_iterator(work_)) {
      const std::string name = entry.path().filename();
      EXPECT_FALSE(std::regex_match(name, std::regex("k[1-5]\\.(txt|bin)|k6\\.dat|turnabot\\.dat|\\.tav-.*"))) << name;
    }
  }

  fs::path root_, work_, tmp_;
};

// Command lines with pipes, in bash ($TAV is the tool).
class TavShell : public Tav {
 protected:
  Result Shell(const std::string& command, const std::map<std::string, std::string>& vars = {}) {
    return Run({"-o", "pipefail", "-c", "umask 022; " + command}, "", vars, "/bin/bash");
  }

  // A command line, its exit status, and a text it shows ("=TEXT": exactly
  // that on standard output and nothing on standard error).
  struct Case {
    const char* command;
    int status;
    const char* shown;
  };
  // Each command in an empty work folder.
  void ExpectAll(std::initializer_list<Case> cases) {
    for (const Case& c : cases) {
      SCOPED_TRACE(c.command);
      for (const auto& entry : fs::directory_iterator(work_)) fs::remove_all(entry.path());
      const Result r = Shell(c.command);
      EXPECT_EQ(r.status, c.status) << r.err;
      if (c.shown[0] == '=') {
        EXPECT_EQ(r.out, c.shown + 1);
        EXPECT_EQ(r.err, "");
      } else {
        EXPECT_NE((r.out + r.err).find(c.shown), std::string::npos) << r.out << r.err;
      }
    }
  }
};

TEST_F(TavShell, InputsAndOutputsMatchTheConformanceData) {
  const Vector v = LoadVector("binary", 2500);
  WriteFile(work_ / "p", v.plain);
  WriteFile(root_ / "p", v.plain);
  struct Case {
    const char* command;
    const char* file;  // where the ciphertext lands; empty: standard output
  } cases[] = {
      {"cat p | $TAV encrypt", ""},
      {"cat p | $TAV encrypt - | cat", ""},
      {"cat p | $TAV encrypt -o out", "out"},
      {"$TAV encrypt p -o - | cat", ""},
      {"$TAV encrypt -c p | cat", ""},
      {"$TAV encrypt p -o out", "out"},
      {"$TAV encrypt p", "p.tav"},
      {"$TAV encrypt <(cat p) -o out", "out"},
      {"$TAV encrypt < p > out", "out"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    fs::remove(work_ / "out");
    fs::remove(work_ / "p.tav");
    const Result r = Shell(c.command);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(*c.file ? ReadFile(work_ / c.file) : r.out, v.cipher);
  }
  // Several inputs, each to NAME.tav; decryption strips the suffix.
  WriteFile(work_ / "q", "second file");
  WriteFile(work_ / "r", "third file");
  ASSERT_EQ(Shell("$TAV encrypt p q r && mv p p.orig && $TAV decrypt p.tav q.tav -o - >/dev/null").status, 64);
  ASSERT_EQ(Shell("rm q r && $TAV decrypt p.tav q.tav r.tav && cmp p p.orig && cat q r").out, "second filethird file");
  const Result no_suffix = Shell("$TAV decrypt p.orig");
  EXPECT_EQ(no_suffix.status, 64);
  EXPECT_NE(no_suffix.err.find("p.orig: no .tav or .tavx suffix"), std::string::npos) << no_suffix.err;
  EXPECT_EQ(Shell("$TAV encrypt p.orig -o e && $TAV decrypt e -o x && cmp x p.orig").status, 0);
  EXPECT_EQ(Shell("$TAV encrypt - q -").status, 64);  // standard input twice
  // Errors name the file and the reason.
  const Result full = Shell("$TAV encrypt -c p > /dev/full");
  EXPECT_EQ(full.status, TAV_BAD_DEST);
  EXPECT_NE(full.err.find("tav: standard output: No space left on device"), std::string::npos) << full.err;
}

// Standard input and output that are pipes are widened to 1 MiB: at the
// default 64 KiB, tav and the processes at the pipes' other ends took turns
// so often that `cat | tav | cat` ran at half the rate of file to file.
TEST_F(Tav, PipesAreWidenedAndCarryTheConformanceData) {
  constexpr int kWide = 1 << 20;
  int probe[2];
  ASSERT_EQ(pipe2(probe, O_CLOEXEC), 0);
  const bool may_widen = fcntl(probe[1], F_SETPIPE_SZ, kWide) >= kWide;
  close(probe[0]);
  close(probe[1]);
  if (!may_widen) GTEST_SKIP() << "this system keeps pipes under 1 MiB";
  const Vector v = LoadVector("binary", 2500);
  int in[2], out[2];
  ASSERT_EQ(pipe2(in, O_CLOEXEC), 0);
  ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
  const auto env = Environment({});
  const pid_t pid = fork();
  if (pid == 0) {
    if (dup2(in[0], 0) < 0 || dup2(out[1], 1) < 0) _exit(127);
    Exec({"encrypt"}, env);
  }
  close(in[0]);
  close(out[1]);
  // tav widens its pipes before it reads.
  int in_size = 0;
  for (int i = 0; i < 500 && (in_size = fcntl(in[1], F_GETPIPE_SZ)) < kWide; ++i) usleep(10000);
  EXPECT_TRUE(write(in[1], v.plain.data(), v.plain.size()) == static_cast<ssize_t>(v.plain.size()));
  close(in[1]);
  std::string cipher;
  char buf[4096];
  for (ssize_t n; (n = read(out[0], buf, sizeof buf)) > 0;) cipher.append(buf, static_cast<size_t>(n));
  const int out_size = fcntl(out[0], F_GETPIPE_SZ);
  close(out[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(cipher, v.cipher);
  EXPECT_GE(in_size, kWide);
  EXPECT_GE(out_size, kWide);
}

// What a new user tries, in bash: each command with its exit status and a
// text shown on stdout or stderr ("=TEXT": stdout is TEXT, stderr empty).
TEST_F(TavShell, HabitsOfOtherFileTools) {
  ExpectAll({
      // Positional names are inputs; a missing second one points to -o.
      {"echo A>a.txt; echo B>b.txt; $TAV encrypt -f *.txt; cat b.txt; $TAV decrypt -c a.txt.tav b.txt.tav", 0,
       "=B\nA\nB\n"},
      {"echo A>a; $TAV encrypt a b", TAV_BAD_SOURCE, "tav: b: No such file or directory; -o names an output"},
      // Expanded files have their own suffix; decrypt takes the mode from it.
      {"echo A>f; $TAV encrypt --expanded f && rm f && $TAV decrypt f.tavx && ls && cat f", 0, "=f\nf.tavx\nA\n"},
      {"echo A>f; $TAV encrypt --expanded f -o x.tav && $TAV decrypt --expanded -c x.tav", 0, "=A\n"},
      {"echo A>f; $TAV encrypt f -o x.tavx && $TAV decrypt --block -c x.tavx", 0, "=A\n"},
      // Commands and options are named; prefixes, help and version work.
      {"echo A>f; $TAV enc -c f | $TAV dec", 0, "=A\n"},
      {"$TAV encrpyt f", 64, "tav: unknown command 'encrpyt'; did you mean 'encrypt'?"},
      {"$TAV encrypt --passphrase x f", 64, "tav: encrypt: unknown option '--passphrase'; did you mean"},
      {"$TAV help decrypt", 0, "Decrypt files"},
      {"$TAV version", 0, "=tav " TAVSDK_VERSION_STRING "\n"},
      {"$TAV decrypt nosuch", TAV_BAD_SOURCE, "tav: nosuch: No such file or directory\n"},
      {"echo A>f; ln -s f l; $TAV wipe l", TAV_BAD_SOURCE, "tav: l: is a symbolic link; not wiped"},
      {"echo A>f; mkdir d; $TAV encrypt f -o d", TAV_BAD_DEST, "tav: d: Is a directory\n"},
      // A closed pipe ends quietly, as if the signal had stopped tav.
      {"head -c 2000000 /dev/zero >f; $TAV encrypt f; $TAV decrypt -c f.tav | head -c1 >/dev/null;"
       " echo ${PIPESTATUS[0]}", 0, "=141\n"},
      {"trap '' PIPE; $TAV encrypt --string $(head -c 100000 /dev/zero | tr '\\0' a) | head -c1 >/dev/null; echo ${PIPESTATUS[0]}",
       0, "=141\n"},
      // Explicit destinations: character devices are written directly.
      {"echo A>f; $TAV encrypt -o /dev/null f && $TAV encrypt f -o /dev/stdout | wc -c", 0, "=2\n"},
      // --hex is the ciphertext's encoding only.
      {"$TAV encrypt --string --text --hex 'Gr\u00fc\u00dfe' | $TAV decrypt --string --text --hex", 0,
       "=Gr\u00fc\u00dfe\n"},
      {"echo A>f; $TAV encrypt --hex f", 64, "--hex"},
      // The modification time goes with the permission bits.
      {"echo A>f; touch -d @1000000000 f; $TAV encrypt f; rm f; $TAV decrypt f.tav; stat -c %Y f.tav f", 0,
       "=1000000000\n1000000000\n"},
      {"$TAV keygen --text new >/dev/null 2>&1; stat -c %a new; ls new | wc -l", 0, "=700\n6\n"},
      {"$TAV keygen --binary new", 0, "new: k6.dat k1.bin k2.bin k3.bin k4.bin k5.bin"},
      {"(head -c 9000000 /dev/zero; sleep 1.3; head -c 1 /dev/zero) | $TAV encrypt --progress -o out 2>err;"
       " grep -q MB/s err && ! grep -q $'\\r' err && echo one line per update", 0, "=one line per update\n"},
      // Completion without the bash-completion package; decrypt offers its suffixes first.
      {"touch a.tav b.tavx c; bash --norc -c 'source $TAV_COMPLETION; COMP_WORDS=(tav decrypt \"\"); COMP_CWORD=2;"
       " _tav; echo ${COMPREPLY[*]}; COMP_WORDS=(tav enc); COMP_CWORD=1; _tav; echo ${COMPREPLY[*]}'",
       0, "=a.tav b.tavx\nencrypt\n"},
  });
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

// Reads the pseudo-terminal until the program closes it (or 20 s pass).
void Drain(int master, std::string& seen) {
  char buffer[256];
  for (int waited = 0; waited < 20000; waited += 100) {
    pollfd p = {master, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    const ssize_t n = read(master, buffer, sizeof buffer);
    if (n <= 0) return;
    seen.append(buffer, static_cast<size_t>(n));
  }
}

TEST_F(Tav, TerminalPromptsTwiceWithoutEchoAndGetsNoBinary) {
  const Vector v = LoadVector("binary", 1000);
  WriteFile(work_ / "p", v.plain);
  const std::string expected = Run({"encrypt", "--string", "x"}).out;
  struct Case {
    std::vector<std::string> args;
    std::vector<std::string> answers;
    int status;
    std::string shown;
  } cases[] = {
      {{"encrypt", "--string", "x"}, {kPassphrase, kPassphrase}, 0, expected.substr(0, expected.size() - 1)},
      {{"encrypt", "--string", "x"}, {kPassphrase, "Hallo"}, 64, "match"},
      {{"encrypt", "-"}, {}, 64, "terminal"},
      {{"encrypt", "p", "-o", "-"}, {kPassphrase, kPassphrase}, 0, ""},
      {{"encrypt", "-c", "p"}, {kPassphrase, kPassphrase}, 0, ""},
  };
  for (const Case& c : cases) {
    const auto env = Environment({{"TAV_PASSPHRASE", "\x01unset"}});
    int master = -1;
    const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) Exec(c.args, env);
    std::string seen;
    for (size_t i = 0; i < c.answers.size(); ++i) {
      ASSERT_TRUE(ReadUntil(master, seen, i == 0 ? "Passphrase: " : "again): ")) << seen;
      const std::string line = c.answers[i] + "\n";
      ASSERT_EQ(write(master, line.data(), line.size()), static_cast<ssize_t>(line.size()));
    }
    Drain(master, seen);
    int status = 0;
    kill(pid, SIGKILL);  // one that still waits, at a prompt, fails
    waitpid(pid, &status, 0);
    close(master);
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : 1000, c.status) << seen;
    EXPECT_NE(seen.find(c.shown), std::string::npos) << seen;
    EXPECT_EQ(seen.find(kPassphrase), std::string::npos) << seen;
    ExpectNothingLeft();
  }
}

TEST_F(Tav, FilesRoundTripAndMatchTheLibraryInBothAlphabets) {
  const std::string plain = AllBytes(20000);
  WriteFile(work_ / "plain", plain);
  for (const bool text : {false, true}) {
    SCOPED_TRACE(text ? "text" : "binary");
    const std::string alphabet = text ? "--text" : "--binary";
    const Vector v = LoadVector(text ? "text" : "binary", 40000);
    WriteFile(work_ / "v", v.plain);
    ASSERT_EQ(Run({"encrypt", "-f", alphabet, "v"}).status, 0);
    EXPECT_EQ(ReadFile(work_ / "v.tav"), v.cipher);
    ASSERT_EQ(Run({"encrypt", "-f", "--expanded", alphabet, "plain", "-o", "plain.exp"}).status, 0);
    ASSERT_EQ(Run({"decrypt", "-f", "--expanded", alphabet, "plain.exp", "-o", "back"}).status, 0);
    EXPECT_EQ(ReadFile(work_ / "back"), plain);

    // The library called directly reads tav's expanded file and the reverse.
    const fs::path lib = root_ / "library";
    fs::create_directories(lib);
    const int here = open(".", O_RDONLY | O_DIRECTORY);
    ASSERT_EQ(chdir(lib.c_str()), 0);
    ASSERT_EQ(text ? TavGenTextKeys(kPassphrase.c_str()) : TavGenBinaryKeys(kPassphrase.c_str()), 0);
    ASSERT_EQ((text ? TavTExpandFileDec : TavBExpandFileDec)((work_ / "plain.exp").c_str(), "from-tav"), 0);
    ASSERT_EQ((text ? TavTExpandFileEnc : TavBExpandFileEnc)((work_ / "plain").c_str(), "lib.exp"), 0);
    TavShutdown();
    ASSERT_EQ(fchdir(here), 0);
    close(here);
    EXPECT_EQ(ReadFile(lib / "from-tav"), plain);
    ASSERT_EQ(Run({"decrypt", "-f", "--expanded", alphabet, (lib / "lib.exp").string(), "-o", "back"}).status, 0);
    EXPECT_EQ(ReadFile(work_ / "back"), plain);
  }
  // Binary is the default alphabet.
  EXPECT_EQ(Run({"encrypt", "-c", "v"}).out, Run({"encrypt", "--binary", "-c", "v"}).out);
}

TEST_F(TavShell, ExistingOutputsAreRefusedOrReplacedWholeWithTheSourceMode) {
  const Vector v = LoadVector("binary", 2500);
  WriteFile(work_ / "p", v.plain);
  fs::permissions(work_ / "p", fs::perms::owner_read | fs::perms::owner_write);
  struct Case {
    const char* command;
    int status;
    const char* message;
  } cases[] = {
      {"$TAV encrypt p -o out", TAV_EXISTS, "tav: out: File exists; -f replaces it"},
      {"cat p | $TAV encrypt -o out", TAV_EXISTS, "out: File exists"},
      {"$TAV encrypt p -o p", TAV_BAD_DEST, "tav: p: is the source file\n"},
      {"$TAV encrypt -f p -o p", TAV_BAD_DEST, "p: is the source"},
      {"$TAV encrypt -f p -o dir", TAV_BAD_DEST, "dir: Is a directory"},
      {"$TAV encrypt -f p -o no/such/out", TAV_BAD_DEST, "no/such/out: No such file or directory"},
      {"$TAV encrypt -f absent -o out", TAV_BAD_SOURCE, "absent: No such file or directory"},
      {"$TAV encrypt -f dir -o out", TAV_BAD_SOURCE, "dir: Is a directory"},
      {"$TAV encrypt -f p -o out", 0, ""},
      {"$TAV encrypt -f p -o link", 0, ""},
      {"cat p | $TAV encrypt -f -o out", 0, ""},
      {"cat p | $TAV encrypt -f -o link", 0, ""},
  };
  fs::create_directory(work_ / "dir");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    WriteFile(work_ / "out", "old");
    WriteFile(root_ / "target", "link target");
    fs::remove(work_ / "link");
    fs::create_symlink(root_ / "target", work_ / "link");
    const Result r = Shell(c.command, {{"TAV_PASSPHRASE", "\x01unset"}});
    // Refusals come before the passphrase, which is missing here.
    if (c.status != 0) {
      EXPECT_EQ(r.status, c.status) << r.err;
      EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
      EXPECT_EQ(ReadFile(work_ / "out"), "old");
      continue;
    }
    const Result done = Shell(c.command);
    ASSERT_EQ(done.status, 0) << done.err;
    const bool from_pipe = std::string(c.command).starts_with("cat");
    const fs::path written = std::string(c.command).ends_with("link") ? work_ / "link" : work_ / "out";
    EXPECT_EQ(ReadFile(written), v.cipher);
    EXPECT_FALSE(fs::is_symlink(written));
    EXPECT_EQ(ReadFile(root_ / "target"), "link target");
    // A file's mode goes to its output; a pipe's output gets the umask's.
    const auto mode = fs::status(written).permissions();
    EXPECT_EQ(mode & fs::perms::all, from_pipe ? fs::perms::owner_read | fs::perms::owner_write |
                                                     fs::perms::group_read | fs::perms::others_read
                                               : fs::perms::owner_read | fs::perms::owner_write)
        << c.command;
  }
}

// Starts `args` with an existing output, stops it with `sig` after a random
// delay, and checks that the old output is whole and nothing else is there.
TEST_F(TavShell, SignalsLeaveTheOldOutputWholeAndNoPartialFile) {
  {
    std::ofstream(work_ / "big");
  }
  fs::resize_file(work_ / "big", 256LL << 20);  // sparse; expanded it is several GB
  std::mt19937 random(std::random_device{}());
  const std::string passphrase = "no-argument-shows-this";
  for (const char* command : {"exec $TAV encrypt -f --expanded --progress big -o out",
                              "exec $TAV encrypt -f --expanded --progress -o out < <(cat big)"}) {
    for (const int sig : {SIGINT, SIGTERM, SIGKILL}) {
      SCOPED_TRACE(std::string(command) + " " + strsignal(sig));
      WriteFile(work_ / "out", "old");
      const pid_t pid = Start({"-c", command}, "", {{"TAV_PASSPHRASE", passphrase}}, "/bin/bash");
      bool drawing = false;
      for (int i = 0; i < 400 && !drawing; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        drawing = ReadFile(root_ / "stderr").find("MB/s") != std::string::npos;
      }
      EXPECT_TRUE(drawing) << "no progress line on stderr";
      EXPECT_EQ(ReadFile("/proc/" + std::to_string(pid) + "/cmdline").find(passphrase), std::string::npos);
      std::this_thread::sleep_for(std::chrono::milliseconds(random() % 300));
      kill(pid, sig);
      const Result r = Finish(pid);
      EXPECT_EQ(r.status, sig == SIGKILL ? 1000 + SIGKILL : 128 + sig) << r.err;
      if (sig != SIGKILL) {
        EXPECT_NE(r.err.find("stopped by signal"), std::string::npos) << r.err;
      }
      EXPECT_TRUE(ReadFile(work_ / "out") == "old") << "the old output was changed";
      std::vector<std::string> names;
      for (const auto& entry : fs::directory_iterator(work_)) names.push_back(entry.path().filename());
      std::sort(names.begin(), names.end());
      EXPECT_EQ(names, (std::vector<std::string>{"big", "out"}));
    }
  }
}

TEST_F(Tav, StringsSurviveTheShellAndMatchTheLibrary) {
  // Latin-1 letters, a quote, line feeds inside and at the end.
  const std::string utf8 = "Gr\xC3\xBC\xC3\x9F" "e \"quoted\"\nline two\n";
  const std::string latin1 = "Gr\xFC\xDF" "e \"quoted\"\nline two\n";
  const std::string binary_plain = "binary \xFF\x01 string";
  std::string text_cipher, binary_cipher;
  {
    const fs::path lib = root_ / "library";
    fs::create_directories(lib);
    const int here = open(".", O_RDONLY | O_DIRECTORY);
    ASSERT_EQ(chdir(lib.c_str()), 0);
    std::string buffer = latin1;
    ASSERT_EQ(TavGenTextKeys(kPassphrase.c_str()), 0);
    ASSERT_EQ(TavTEnc(buffer.data()), OutString);
    text_cipher.assign(OutString, latin1.size());
    buffer = binary_plain;
    ASSERT_EQ(TavGenBinaryKeys(kPassphrase.c_str()), 0);
    ASSERT_EQ(TavBEnc(buffer.data()), OutString);
    binary_cipher.assign(OutString, binary_plain.size());
    TavShutdown();
    ASSERT_EQ(fchdir(here), 0);
    close(here);
  }
  std::string text_shown;
  for (unsigned char c : text_cipher) {
    text_shown += c < 0x80 ? std::string(1, static_cast<char>(c))
                           : std::string{static_cast<char>(0xC0 | (c >> 6)), static_cast<char>(0x80 | (c & 0x3F))};
  }
  const std::string long_plain(20000, 'a');
  struct Case {
    std::vector<std::string> args;
    std::string input, out;
    int status;
  } cases[] = {
      {{"encrypt", "--string", "--text", utf8}, "", text_shown + "\n", 0},
      {{"decrypt", "--string", "--text"}, text_shown + "\n", utf8 + "\n", 0},
      {{"encrypt", "--string", "--text", "--hex", utf8}, "", Hex(text_cipher) + "\n", 0},
      {{"decrypt", "--string", "--text", "--hex"}, Hex(text_cipher), utf8 + "\n", 0},
      {{"encrypt", "--string", binary_plain}, "", Hex(binary_cipher) + "\n", 0},
      {{"decrypt", "--string"}, Hex(binary_cipher) + "\n", binary_plain + "\n", 0},
      {{"decrypt", "--string", "--hex"}, Hex(binary_cipher), binary_plain + "\n", 0},
      {{"encrypt", "--string", ""}, "", "\n", 0},
      {{"encrypt", "--string", "--text", "price \xE2\x82\xAC" "5"}, "", "", 64},
      {{"decrypt", "--string"}, "abc", "", 64},
      {{"encrypt", "--string", "-o", "x", "text"}, "", "", 64},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[c.args.size() - 1]);
    const Result r = Run(c.args, c.input);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_EQ(r.out, c.out);
  }
  // Long strings, and binary ciphertext with 0 bytes, round trip.
  const Result cipher = Run({"encrypt", "--string"}, long_plain + "\n");
  ASSERT_NE(cipher.out.find("00"), std::string::npos);
  EXPECT_EQ(Run({"decrypt", "--string"}, cipher.out).out, long_plain + "\n");
}

TEST_F(Tav, PassphrasesFromEverySourceWithRefusalsAndWarnings) {
  const std::string expected = Run({"encrypt", "--string", "x"}).out;
  const std::string long_passphrase = "a passphrase of more than 18 bytes";
  const std::string prefix = long_passphrase.substr(0, TAV_PASSPHRASE_BYTES);
  WriteFile(work_ / "pass", kPassphrase + "\nsecond line\n");
  WriteFile(work_ / "open", kPassphrase + "\n");
  WriteFile(work_ / "nul", "Hel" + std::string(1, '\0') + "lo\n");
  WriteFile(work_ / "long", long_passphrase + "\n");
  fs::permissions(work_ / "pass", fs::perms::owner_read);
  fs::permissions(work_ / "open", fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  const std::string prefix_result = Run({"encrypt", "--string", "x"}, "", {{"TAV_PASSPHRASE", prefix}}).out;
  ASSERT_NE(prefix_result, expected);
  struct Case {
    std::vector<std::string> args;
    std::string input;
    int status;
    std::string out, warning;
  } cases[] = {
      {{"--passphrase-file", "pass"}, "", 0, expected, ""},
      {{"--passphrase-file", "open"}, "", 0, expected, "open is readable by others (mode 0444)"},
      {{"--passphrase-fd", "0"}, kPassphrase + "\n", 0, expected, ""},
      {{"--passphrase-fd", "3"}, "", 0, expected, ""},
      {{"--passphrase-file", "nul"}, "", 64, "", "nul: the passphrase holds a NUL byte"},
      {{"--passphrase-fd", "0"}, "Hel" + std::string(1, '\0') + "lo\n", 64, "", "the passphrase holds a NUL byte"},
      {{"--passphrase-file", "long"}, "", 0, prefix_result, "is 34 bytes long; only its first 18 bytes count"},
      {{"--passphrase-file", "empty"}, "", 64, "", "empty: cannot open"},
      {{"--passphrase-file", "pass", "--passphrase-fd", "0"}, "", 64, "", "excludes"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args[1]);
    std::string command = "exec $TAV encrypt --string x";
    for (const auto& a : c.args) command += " " + a;
    const Result r = Run({"-c", command + " 3<pass"}, c.input, {{"TAV_PASSPHRASE", "other"}}, "/bin/bash");
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_EQ(r.out, c.out);
    EXPECT_NE(r.err.find(c.warning), std::string::npos) << r.err;
  }
  // The data follows the passphrase's line on a shared descriptor.
  const Vector v = LoadVector("binary", 1000);
  EXPECT_EQ(Run({"encrypt", "--passphrase-fd", "0"}, kPassphrase + "\n" + v.plain, {{"TAV_PASSPHRASE", "x"}}).out,
            v.cipher);
  const Result none = Run({"encrypt", "--string", "x"}, "", {{"TAV_PASSPHRASE", "\x01unset"}});
  EXPECT_EQ(none.status, 64);
  EXPECT_NE(none.err.find("terminal"), std::string::npos);
  EXPECT_EQ(Run({"encrypt", "--string", "x"}, "", {{"TAV_PASSPHRASE", ""}}).status, 64);
  // Help and manual say that a wrong passphrase gives garbage and exit 0.
  const Result help = Run({"decrypt", "--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("a wrong passphrase, alphabet or mode decrypts to garbage"), std::string::npos);
  const Result unknown = Run({"encrypt", "--passphrase", kPassphrase, "plain", "c"});
  EXPECT_EQ(unknown.status, 64);
  EXPECT_NE(unknown.err.find("usage: "), std::string::npos);
}

TEST_F(Tav, KeygenScrambleXScrambleAndWipe) {
  const std::string passfile = (kVectors / "keys/hello/passphrase").string();
  fs::create_directory(work_ / "keys");
  ASSERT_EQ(Run({"keygen", "--passphrase-file", passfile, "keys"}).status, 0);
  for (const char* alphabet : {"text", "binary"}) {
    for (const auto& key : fs::directory_iterator(kVectors / "keys/hello" / alphabet)) {
      const std::string name = key.path().filename();
      if (name.starts_with("k")) {
        EXPECT_EQ(ReadFile(work_ / "keys" / name), ReadFile(key.path())) << name;
      }
    }
  }
  EXPECT_EQ(Run({"keygen", "--passphrase-file", passfile, "keys"}).status, TAV_EXISTS);
  EXPECT_EQ(Run({"keygen", "--force", "--passphrase-file", passfile, "keys"}).status, 0);
  fs::remove_all(work_ / "keys");

  const std::string data = AllBytes(10000);
  WriteFile(work_ / "f", data);
  ASSERT_EQ(Run({"scramble", "f"}).status, 0);
  EXPECT_EQ(ReadFile(work_ / "f"), Reversed(data));
  ASSERT_EQ(Run({"scramble", "f"}).status, 0);
  ASSERT_EQ(Run({"scramble", "f", "--blocks", "3", "--size", "100"}).status, 0);
  EXPECT_EQ(ReadFile(work_ / "f"), Reversed(data.substr(0, 100)) + Reversed(data.substr(100, 100)) +
                                       Reversed(data.substr(200, 100)) + data.substr(300));
  ASSERT_EQ(Run({"scramble", "f", "--blocks", "3", "--size", "100"}).status, 0);
  EXPECT_EQ(Run({"scramble", "f", "--blocks", "3", "--size", "5001"}).status, TAV_BAD_BLOCKS);
  EXPECT_EQ(Run({"scramble", "f", "--blocks", "101", "--size", "100"}).status, TAV_PAST_END);
  EXPECT_EQ(Run({"scramble", "f", "--blocks", "3"}).status, 64);
  EXPECT_EQ(ReadFile(work_ / "f"), data);

  ASSERT_EQ(Run({"xscramble", "f"}).status, 0);
  EXPECT_NE(ReadFile(work_ / "f"), data);
  ASSERT_EQ(Run({"xscramble", "f"}).status, 0);
  EXPECT_EQ(ReadFile(work_ / "f"), data);
  const Result absent = Run({"xscramble", "absent"}, "", {{"TAV_PASSPHRASE", "\x01unset"}});
  EXPECT_EQ(absent.status, TAV_BAD_SOURCE);  // before the prompt
  EXPECT_NE(absent.err.find("absent: No such file or directory"), std::string::npos) << absent.err;

  // A write-back that fails keeps the complete reversed copy and names it.
  for (const char* after : {"0", "4096"}) {
    WriteFile(work_ / "f", data);
    const Result failed = Run({"scramble", "f"}, "", {{"LD_PRELOAD", TAV_EIO_SHIM}, {"TAV_EIO_FILE", (work_ / "f").string()}, {"TAV_EIO_AFTER", after}});
    EXPECT_EQ(failed.status, TAV_COPY_KEPT) << failed.err;
    EXPECT_NE(failed.err.find("f: Input/output error; the complete reversed copy is kept in f.reversed"),
              std::string::npos)
        << failed.err;
    EXPECT_TRUE(ReadFile(work_ / "f.reversed") == Reversed(data)) << "the kept copy is not the whole reversed file";
    fs::remove(work_ / "f.reversed");
  }
  // A name taken at the copy's place is named, and left as it was.
  WriteFile(work_ / "f.reversed", "mine");
  const Result taken = Run({"scramble", "f"});
  EXPECT_EQ(taken.status, TAV_EXISTS);
  EXPECT_NE(taken.err.find("tav: f.reversed: File exists"), std::string::npos) << taken.err;
  EXPECT_EQ(ReadFile(work_ / "f.reversed"), "mine");
  fs::remove(work_ / "f.reversed");

  WriteFile(work_ / "g", "secret");
  EXPECT_EQ(Run({"wipe", "f", "g"}).status, 0);
  EXPECT_FALSE(fs::exists(work_ / "f") || fs::exists(work_ / "g"));
  const Result missing = Run({"wipe", "f"});
  EXPECT_EQ(missing.status, TAV_BAD_SOURCE);
  EXPECT_NE(missing.err.find("tav: f: No such file or directory"), std::string::npos) << missing.err;
}

#ifdef TAV_INSTALL_COMMAND
// Every command but keygen, traced: no key file name is opened for writing.
TEST_F(TavShell, NoKeyFileIsOpenedForWritingOutsideKeygen) {
  if (system("strace -V >/dev/null 2>&1") != 0) GTEST_SKIP() << "strace is not installed";
  WriteFile(work_ / "f", AllBytes(5000));
  fs::create_directory(work_ / "keys");
  const std::string trace = "strace -f -qq -e trace=open,openat,openat2,creat,rename,renameat,renameat2,link,linkat -o ";
  // LeakSanitizer cannot run under a tracer.
  const Result r = Shell("export ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0; " + trace +
                         "../all.log bash -c '$TAV encrypt f && $TAV decrypt -o g f.tav && "
                         "$TAV encrypt --expanded f -o e && cat f | $TAV encrypt --text | $TAV decrypt --text > h && "
                         "$TAV encrypt --string x && $TAV scramble f && $TAV xscramble f && $TAV wipe g' && " +
                         trace + "../keygen.log $TAV keygen keys");
  ASSERT_EQ(r.status, 0) << r.err;
  const std::regex written("(O_WRONLY|O_RDWR|O_CREAT|creat|rename|link).*k([1-5]\\.(txt|bin)|6\\.dat)|"
                           "k([1-5]\\.(txt|bin)|6\\.dat).*(O_WRONLY|O_RDWR|O_CREAT)");
  const auto writes = [&](const std::string& log) {
    std::istringstream lines(ReadFile(root_ / log));
    std::vector<std::string> found;
    for (std::string line; std::getline(lines, line);) {
      if (std::regex_search(line, written)) found.push_back(line);
    }
    return found;
  };
  EXPECT_EQ(writes("all.log"), std::vector<std::string>{});
  EXPECT_GE(writes("keygen.log").size(), 11u);  // the check sees keygen's own files
}

// Installed under a new prefix, the tool finds its library with no help.
TEST_F(TavShell, InstalledToolRunsFromAnyPrefix) {
  const fs::path prefix = root_ / "prefix";
  for (const char* component : {"runtime", "tav"}) {
    const std::string install = std::string(TAV_INSTALL_COMMAND) + " --install " + TAV_BUILD_DIR + " --prefix " +
                                prefix.string() + " --component " + component + " >/dev/null";
    ASSERT_EQ(system(install.c_str()), 0) << install;
  }
  const fs::path completion = prefix / "share/bash-completion/completions/tav";
  ASSERT_TRUE(fs::exists(completion));
  const std::string tav = (prefix / "bin/tav").string();
  ASSERT_TRUE(fs::exists(tav));
  const Result run = Shell("LD_LIBRARY_PATH= " + tav + " encrypt --string x");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, Run({"encrypt", "--string", "x"}).out);
  const Result loaded = Shell("LD_LIBRARY_PATH= ldd " + tav);
  EXPECT_NE(loaded.out.find("libtavsdk.so.1 => " + prefix.string() + "/"), std::string::npos) << loaded.out;
  const Result completion_loaded = Shell("source " + completion.string() + " && complete -p tav");
  EXPECT_EQ(completion_loaded.out, "complete -F _tav tav\n") << completion_loaded.err;
}
#endif


// ---- Folders (-r) -----------------------------------------------------------

// The plain bytes of `cipher` under the test passphrase, by the library.
std::string LibraryDecrypt(const std::string& cipher, bool expanded) {
  tav_keys* keys = nullptr;
  EXPECT_EQ(tav_keys_new(&keys, TAV_BINARY, kPassphrase.data(), kPassphrase.size()), TAV_OK);
  std::string plain(cipher.size(), '\0');
  size_t length = cipher.size();
  if (!expanded) {
    EXPECT_EQ(tav_block_decrypt(keys, 0, cipher.data(), plain.data(), cipher.size()), TAV_OK);
  } else {
    tav_decoder* decoder = nullptr;
    EXPECT_EQ(tav_decoder_new(&decoder, keys), TAV_OK);
    EXPECT_EQ(tav_decoder_update(decoder, cipher.data(), cipher.size(), plain.data(), &length), TAV_OK);
    tav_decoder_free(decoder);
  }
  tav_keys_free(keys);
  return plain.substr(0, length);
}

// Every regular file below `dir`, by its path relative to it.
std::map<std::string, std::string> Files(const fs::path& dir) {
  std::map<std::string, std::string> files;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    if (e.symlink_status().type() == fs::file_type::regular) {
      files[fs::relative(e.path(), dir).string()] = ReadFile(e.path());
    }
  }
  return files;
}

// Compares file maps, naming only the files that differ (the contents are large).
::testing::AssertionResult SameFiles(const std::map<std::string, std::string>& got,
                                     const std::map<std::string, std::string>& want) {
  std::string differ;
  for (const auto& [name, data] : got) differ += want.count(name) == 0 || want.at(name) != data ? " " + name : "";
  for (const auto& [name, data] : want) differ += got.count(name) == 0 ? " missing:" + name : "";
  if (differ.empty()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "differ:" << differ;
}

// A tree of every kind of name and file; "bad" cannot be read (by a shim,
// since permission bits do not stop root).
std::map<std::string, std::string> MakeTree(const fs::path& src, bool big) {
  std::map<std::string, std::string> files = {
      {"top", "top file\n"}, {"a/empty", ""}, {"a/b/c/deep", AllBytes(70000)}, {"with space/new\nline", "nl"},
      {"a/b/empty too", ""}, {"x.tav", "looks encrypted"}};
  if (big) files["a/big"] = AllBytes(64 << 20);
  for (const auto& [name, data] : files) {
    fs::create_directories((src / name).parent_path());
    WriteFile(src / name, data);
  }
  fs::create_directories(src / "empty folder");
  fs::permissions(src / "a", fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
  fs::create_symlink("top", src / "link");
  EXPECT_EQ(mkfifo((src / "a/fifo").c_str(), 0600), 0);
  WriteFile(src / "bad", "unreadable");
  fs::permissions(src / "bad", fs::perms::none);
  return files;
}

TEST_F(TavShell, FoldersMirrorAndComeBackWithSkipsAndFailures) {
  const std::map<std::string, std::string> vars = {
      {"SHIM", TAV_EIO_SHIM}, {"TAV_EIO_READ_FILE", (work_ / "src/bad").string()}};
  for (const bool expanded : {false, true}) {
    SCOPED_TRACE(expanded ? "expanded" : "block");
    for (const auto& entry : fs::directory_iterator(work_)) fs::remove_all(entry.path());
    const auto files = MakeTree(work_ / "src", !expanded);
    const std::string mode = expanded ? " --expanded" : "";
    // The shim goes into tav only (bash may lack a sanitizer's runtime).
    const Result enc = Shell("LD_PRELOAD=$SHIM $TAV encrypt -r -T 3" + mode + " src --output-dir out", vars);
    EXPECT_EQ(enc.status, TAV_BAD_SOURCE) << enc.err;
    for (const char* said : {"tav: src/link: symbolic link, skipped\n", "tav: src/a/fifo: FIFO, skipped\n",
                             "tav: src/bad: ", "written, 2 skipped, 1 failed\n"}) {
      EXPECT_NE(enc.err.find(said), std::string::npos) << said << " in " << enc.err;
    }
    EXPECT_FALSE(fs::exists(work_ / "out/src/bad.tav"));
    EXPECT_EQ(fs::status(work_ / "out/src/a").permissions() & fs::perms::all,
              fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
    EXPECT_TRUE(fs::is_directory(work_ / "out/src/empty folder"));
    const std::string suffix = expanded ? ".tavx" : ".tav";
    for (const auto& [name, data] : files) {
      EXPECT_TRUE(LibraryDecrypt(ReadFile(work_ / "out/src" / (name + suffix)), expanded) == data) << name;
    }
    // Back: only the suffixed files, the rest of the folder left alone.
    WriteFile(work_ / "out/src/stray", "not ciphertext");
    const Result dec = Shell("$TAV decrypt -r -T 2 out/src --output-dir back");
    EXPECT_EQ(dec.status, 0) << dec.err;
    EXPECT_TRUE(SameFiles(Files(work_ / "back/src"), files));
  }
}

// Command lines on folders, each with its exit status and a text it shows.
TEST_F(TavShell, FolderOptionsAndRefusals) {
  ExpectAll({
      {"mkdir d; echo A>d/f; $TAV encrypt -r d && rm d/f && $TAV decrypt -r d && cat d/f", 0, "A\n"},
      {"mkdir d; echo A>d/f; $TAV encrypt -r d; $TAV encrypt -r d", TAV_EXISTS, "d/f.tav: File exists; -f replaces it"},
      {"mkdir d; echo A>d/f; $TAV encrypt -r d; $TAV encrypt -rf d && $TAV decrypt -c d/f.tav", 0, "A\n"},
      {"mkdir d; echo A>d/a; echo B>d/b; touch d/a.tav; $TAV encrypt -r -T 1 --fail-fast d", TAV_EXISTS,
       "stopped after 1 of 2 files, 1 not written"},
      {"mkdir d; ln -s d l; $TAV encrypt -r l", TAV_BAD_SOURCE, "tav: l: is a symbolic link; name the folder"},
      {"$TAV encrypt -r nosuch", TAV_BAD_SOURCE, "tav: nosuch: No such file or directory"},
      {"echo A>f; $TAV encrypt -r --wipe-source f; ls", 0, "f.tav\n"},
      {"mkdir d; $TAV encrypt -r d -o x", 64, "not with -o"},
      {"echo A>f; $TAV encrypt --wipe-source f", 64, "with -r"},
      {"mkdir d; $TAV encrypt -r -T 0 d", 64, "--threads: Value 0 not in range 1 to 64\n"},
      // The output folder inside the source is not walked into.
      {"mkdir d; echo A>d/f; $TAV encrypt -r d --output-dir d/enc && $TAV encrypt -r d --output-dir d/enc -f; find d | sort",
       0, "d\nd/enc\nd/enc/d\nd/enc/d/f.tav\nd/f\n"},
      {"$TAV help encrypt", 0, "snapshots"},
      {"mkdir d; touch f; bash --norc -c 'source $TAV_COMPLETION; COMP_WORDS=(tav encrypt -r \"\"); COMP_CWORD=3; _tav;"
       " echo ${COMPREPLY[*]}; COMP_WORDS=(tav encrypt --wipe); COMP_CWORD=2; _tav; echo ${COMPREPLY[*]}'", 0,
       "d\n--wipe-source\n"},
  });
}

// A source goes only when its output, read back, gives it again: a write
// corrupted on its way to the disk keeps every source.
TEST_F(TavShell, WipeSourceOnlyAfterTheOutputGivesItBack) {
  const std::map<std::string, std::string> files = {
      {"a", "alpha"}, {"d/b", AllBytes(300000)}, {"d/e/c", AllBytes(5 << 20)}, {"empty", ""}};
  for (const char* mode : {"", " --expanded"}) {
    for (const bool fault : {true, false}) {
      SCOPED_TRACE(std::string(mode) + (fault ? " corrupted" : ""));
      for (const auto& entry : fs::directory_iterator(work_)) fs::remove_all(entry.path());
      for (const auto& [name, data] : files) {
        fs::create_directories((work_ / "src" / name).parent_path());
        WriteFile(work_ / "src" / name, data);
      }
      std::map<std::string, std::string> vars;
      if (fault) vars = {{"SHIM", TAV_EIO_SHIM}, {"TAV_FLIP_UNNAMED", "1"}};
      const Result r = Shell(std::string("LD_PRELOAD=$SHIM $TAV encrypt -r --wipe-source") + mode + " src", vars);
      const bool expanded = *mode != 0;
      const std::string suffix = expanded ? ".tavx" : ".tav";
      if (fault) {
        EXPECT_EQ(r.status, TAV_BAD_DEST) << r.err;
        EXPECT_NE(r.err.find("does not give back the source; source kept"), std::string::npos) << r.err;
        auto kept = files;
        kept.erase("empty");  // nothing written, nothing to corrupt
        kept["empty" + suffix] = "";
        EXPECT_TRUE(SameFiles(Files(work_ / "src"), kept));
        continue;
      }
      EXPECT_EQ(r.status, 0) << r.err;
      EXPECT_NE(r.err.find("4 sources wiped, 0 kept"), std::string::npos) << r.err;
      for (const auto& [name, data] : files) {
        EXPECT_FALSE(fs::exists(work_ / "src" / name));
        EXPECT_TRUE(LibraryDecrypt(ReadFile(work_ / "src" / (name + suffix)), expanded) == data) << name;
      }
      // And back; the ciphertext stays (decryption has no check to wipe it on).
      EXPECT_EQ(Shell("$TAV decrypt -r src --output-dir back").status, 0);
      EXPECT_TRUE(SameFiles(Files(work_ / "back/src"), files));
    }
  }
}

// Slips that once destroyed data: each command leaves every byte a user had.
TEST_F(TavShell, SlipsDestroyNothing) {
  struct Case {
    const char* command;
    const char* shown;  // in the output and errors, in this order
  } cases[] = {
      // A mistyped passphrase decrypts to garbage that reads back as itself.
      {"mkdir d; echo tax>d/t; $TAV encrypt -r --wipe-source d; TAV_PASSPHRASE=Helo $TAV decrypt -r --wipe-source d;"
       " echo $?; ls d", "format has no check|64\nt.tav\n"},
      {"echo A>f.tav; $TAV decrypt --wipe-source f.tav; echo $?; ls", "64\nf.tav\n"},
      // Two inputs, one output: refused before anything is written.
      {"mkdir d; echo A|$TAV encrypt -o d/x.tav; echo B|$TAV encrypt --expanded -o d/x.tavx; echo C>d/x;"
       " $TAV decrypt -r -f d; echo $?; cat d/x", "d/x.tav and d/x.tavx would both be written to d/x|3\nC\n"},
      {"mkdir -p d/1/docs d/2/docs; echo x1 >d/1/docs/r; echo x2 >d/2/docs/r; $TAV encrypt -r -f --wipe-source"
       " --output-dir out d/1/docs d/2/docs; echo $?; cat d/*/docs/r; ls out",
       "would both be written to out/docs/r.tav|nothing written|3\nx1\nx2\n"},
      {"echo A>a; echo B>b; $TAV decrypt -f a.tav b.tav -o x 2>/dev/null; $TAV encrypt -f a a -o x; echo $?; ls",
       "-o names the output of one input|64\na\nb\n"},
      {"echo A>a; echo B>b; $TAV encrypt a; cp a.tav b.tav; $TAV decrypt -c a.tav b.tav >/dev/null; echo $?", "0\n"},
      // An input that is another input's output.
      {"echo new>a; echo precious>a.tav; $TAV encrypt -f a a.tav; echo $?; cat a.tav",
       "a.tav: is also an input of this command|3\nprecious\n"},
      {"mkdir d; echo A>d/a.tav; echo B>d/a.tav.tav; $TAV decrypt -r -f d; echo $?; cat d/a.tav",
       "d/a.tav is an input of this job and would be the output of d/a.tav.tav|3\nA\n"},
      {"mkdir d; echo A>d/f; $TAV encrypt -r d --output-dir .; echo $?; ls d", "is one of the folders being walked|3\nf\n"},
      // A file with another name outside the tree is encrypted, never wiped.
      {"mkdir bk h; echo secret>bk/x; ln bk/x h/x; $TAV encrypt -r --wipe-source h; cat bk/x",
       "h/x: has 1 other hard link; not wiped|0 sources wiped, 1 kept|secret\n"},
      {"echo A>f; $TAV encrypt -r --wipe-source f; ls", "1 written, 0 skipped, 0 failed; 1 source wiped, 0 kept|f.tav\n"},
      // Destructive commands by their full names only.
      {"echo A>f; $TAV w f; $TAV s f; $TAV x f; $TAV scr f; echo $?; cat f",
       "unknown command 'w'; did you mean 'wipe'? (wipe is never shortened)|64\nA\n"},
      // A second suffix is skipped unless forced.
      {"echo A>r.tav; $TAV encrypt r.tav; echo $?; ls; $TAV encrypt -f r.tav && ls",
       "r.tav: already ends in .tav, skipped; -f encrypts it again|2\nr.tav\nr.tav\nr.tav.tav\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    for (const auto& entry : fs::directory_iterator(work_)) fs::remove_all(entry.path());
    const Result r = Shell(c.command);
    const std::string all = r.err + r.out;
    size_t at = 0;
    for (std::string_view want(c.shown); !want.empty();) {
      const std::string part(want.substr(0, want.find('|')));
      want.remove_prefix(std::min(want.size(), part.size() + 1));
      at = all.find(part, at);
      EXPECT_NE(at, std::string::npos) << "'" << part << "' in:\n" << r.err << "---\n" << r.out;
      if (at == std::string::npos) break;
    }
  }
}

// Command-line habits: names after --, names shown escaped, hints, resume.
TEST_F(TavShell, NamesHintsAndResume) {
  ExpectAll({
      {"echo A>-d; $TAV encrypt -- -d && $TAV decrypt -c -- -d.tav && $TAV wipe -- -d && ls", 0, "A\n-d.tav\n"},
      {"echo A>-f; $TAV scramble -- -f && $TAV scramble -- -f && cat -- -f", 0, "A\n"},
      {"echo A>$'e\\e[2J'; $TAV encrypt $'e\\e[2J' -o $'e\\e[2J'", TAV_BAD_DEST, "tav: e\\x1b[2J: is the source file\n"},
      {"mkdir $'d\\x9b'; echo A>$'d\\x9b/\\x01'; $TAV encrypt -r $'d\\x9b' -o x", 64, "not with -o"},
      {"mkdir $'d\\xc2\\x9b'; echo A>$'d\\xc2\\x9b/\\x7f'; $TAV encrypt -r d*; $TAV encrypt -r d*", TAV_EXISTS,
       "tav: d\\xc2\\x9b/\\x7f.tav: File exists"},
      {"$TAV -d x.tav", 64, "the command comes first: tav decrypt"},
      {"mkdir d; $TAV encrypt d", TAV_BAD_SOURCE, "tav: d: Is a directory; -r encrypts the files below it\n"},
      {"mkdir s; echo x1 >s/a; echo x2 >s/b; $TAV encrypt -r s; rm s/a.tav; echo x3 >s/b;"
       " $TAV encrypt -r --resume s 2>&1 && $TAV decrypt -c s/a.tav", 0, "1 written, 2 skipped, 0 failed\nx1\n"},
      {"mkdir s; echo x1 >s/a; $TAV encrypt -r --expanded s; $TAV decrypt -r s --output-dir o;"
       " $TAV decrypt -r --resume s --output-dir o 2>&1", 0, "0 written, 2 skipped"},
      // An interrupted job with --wipe-source goes on: its sources are checked, then wiped.
      {"mkdir s; echo x1 >s/a; echo x2 >s/b; $TAV encrypt -r s; rm s/a.tav; $TAV encrypt -r --resume --wipe-source s 2>&1; ls s",
       0, "1 written, 2 skipped, 0 failed; 2 sources wiped, 0 kept\na.tav\nb.tav\n"},
      {"mkdir s; echo x1 >s/a; $TAV encrypt -r s; echo 22>s/a; $TAV encrypt -r --resume s", TAV_EXISTS, "File exists"},
  });
}

// A walk holds a bounded number of descriptors, and a folder it cannot read
// fails the job instead of passing over its files unsaid.
TEST_F(TavShell, DeepAndUnreadableFoldersAreWalkedOrReported) {
  const Result deep = Shell(
      "p=deep; for i in $(seq 200); do mkdir $p; echo $i>$p/f; p=$p/s; done;"
      " prlimit --nofile=40:40 $TAV encrypt -r deep 2>&1; echo $?; find deep -name f.tav | wc -l");
  EXPECT_NE(deep.out.find("200 written, 0 skipped, 0 failed\n0\n200\n"), std::string::npos) << deep.out;
  // Permission bits do not stop root: the walk runs as another user then.
  const Result shut = Shell(
      "chmod 755 .. .; mkdir -p t/ok t/shut; echo A>t/ok/f; echo B>t/shut/g; chmod 777 t/ok; chmod 0 t/shut;"
      " as=; [ $(id -u) = 0 ] && as='setpriv --reuid=65534 --regid=65534 --clear-groups';"
      " $as $TAV encrypt -r t; echo $?; ls t/ok");
  EXPECT_NE(shut.err.find("tav: t/shut: cannot be read: Permission denied\n"), std::string::npos) << shut.err;
  EXPECT_NE(shut.err.find("1 written, 0 skipped, 1 failed"), std::string::npos) << shut.err;
  EXPECT_EQ(shut.out, "2\nf\nf.tav\n");
}

// Rounds of folder jobs that wipe their sources over overlapping inputs, twin
// outputs and hard links, on two threads: every byte stays recoverable.
TEST_F(TavShell, OverlapsTwinsAndLinksLoseNothing) {
  std::mt19937 random(std::random_device{}());
  for (int round = 0; round < 8; ++round) {
    SCOPED_TRACE(round);
    for (const auto& entry : fs::directory_iterator(work_)) fs::remove_all(entry.path());
    std::map<std::string, std::string> files = {{"bk/x", "kept elsewhere"}};
    for (int i = 0; i < 24; ++i) {
      files[(i % 3 == 0 ? "c/sub/" : "c/") + std::to_string(i)] = AllBytes(1000 + random() % 300000);
    }
    for (const auto& [name, data] : files) {
      fs::create_directories((work_ / name).parent_path());
      WriteFile(work_ / name, data);
    }
    fs::create_hard_link(work_ / "bk/x", work_ / "c/x");
    fs::create_hard_link(work_ / "c/1", work_ / "c/sub/twin");
    files["c/x"] = files["bk/x"];
    files["c/sub/twin"] = files["c/1"];
    std::string inputs = round % 4 < 2 ? "c c/sub c/1" : "c/sub c c/sub/3";
    const std::string out = round % 3 == 0 ? " --output-dir out" : "";
    if (round % 2 == 1) {
      // In place an input named with its suffix; mirrored, a second folder "sub".
      inputs += out.empty() ? " c/sub/3.tav" : " e/sub";
      const std::string extra = out.empty() ? "c/sub/3.tav" : "e/sub/3";
      fs::create_directories((work_ / extra).parent_path());
      WriteFile(work_ / extra, files[extra] = "another 3");
    }
    const Result r = Shell("$TAV encrypt -r -f --wipe-source -T 2" + out + " " + inputs);
    for (const auto& [name, data] : files) {
      const fs::path plain = work_ / name;
      const bool top_sub = name.starts_with("e/") || (name.starts_with("c/sub/") && inputs.starts_with("c/sub"));
      const fs::path mirrored = work_ / "out" / (top_sub ? name.substr(2) : name);
      bool kept = fs::exists(plain) && ReadFile(plain) == data;
      for (const fs::path& cipher : {fs::path(plain.string() + ".tav"), fs::path(mirrored.string() + ".tav")}) {
        kept = kept || (fs::exists(cipher) && LibraryDecrypt(ReadFile(cipher), false) == data);
      }
      EXPECT_TRUE(kept) << name << "\n" << r.err;
    }
    EXPECT_EQ(ReadFile(work_ / "bk/x"), "kept elsewhere");
  }
}

// Whether the tool (no longer the shell that starts it) has a handler for sig.
bool CatchesSignal(pid_t pid, int sig) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  bool tool = false;
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("Name:")) tool = line.find("tav") != std::string::npos;
    if (line.starts_with("SigCgt:")) return tool && (std::stoull(line.substr(7), nullptr, 16) >> (sig - 1) & 1);
  }
  return false;
}

// Stopped anywhere, by a signal it handles or by SIGKILL, a job leaves each
// output absent or complete, and a source gone only where its output was
// checked.
TEST_F(TavShell, InterruptedFolderJobsFinishNoFileHalf) {
  std::map<std::string, std::string> files;
  for (size_t i = 0; i < 200; ++i) files[std::to_string(i).insert(0, 1, 'f')] = AllBytes(20000 + i * 997 + i % 7);
  std::mt19937 random(std::random_device{}());
  for (int round = 0; round < 8; ++round) {
    const bool killed = round % 2 == 1;  // SIGKILL, on a job whose outputs wait to be flushed together
    SCOPED_TRACE(killed ? "SIGKILL" : "SIGINT");
    for (const auto& entry : fs::directory_iterator(work_)) fs::remove_all(entry.path());
    fs::create_directory(work_ / "src");
    for (const auto& [name, data] : files) WriteFile(work_ / "src" / name, data);
    const pid_t pid = Start({"-c", killed ? "exec $TAV encrypt -r -T 2 src" : "exec $TAV encrypt -r -T 2 --wipe-source src"},
                            "", {}, "/bin/bash");
    // A SIGINT before the tool has its handler (bash still starting, or the
    // tool's own start) ends the process before there is a job to stop.
    for (int i = 0; i < 1000 && !CatchesSignal(pid, SIGINT); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::this_thread::sleep_for(std::chrono::milliseconds(random() % (killed ? 300 : 2500)));
    kill(pid, killed ? SIGKILL : SIGINT);
    const Result r = Finish(pid);
    SCOPED_TRACE(r.err);
    if (killed) {
      EXPECT_TRUE(r.status == 1000 + SIGKILL || r.status == 0) << r.status;
    } else {
      EXPECT_TRUE(r.status == 128 + SIGINT || r.status == 0) << r.status;
      if (r.status != 0) {
        EXPECT_NE(r.err.find("stopped by signal 2"), std::string::npos);
      }
    }
    int gone = 0;
    for (const auto& [name, data] : files) {
      const bool source = fs::exists(work_ / "src" / name), output = fs::exists(work_ / "src" / (name + ".tav"));
      if (output) {
        EXPECT_TRUE(LibraryDecrypt(ReadFile(work_ / "src" / (name + ".tav")), false) == data) << name;
      }
      EXPECT_TRUE(source || output) << name;
      gone += !source;
    }
    EXPECT_EQ(fs::directory_iterator(work_ / "src") == fs::directory_iterator(), false);
    for (const auto& e : fs::directory_iterator(work_ / "src")) {
      EXPECT_FALSE(e.path().filename().string().starts_with(".tav-")) << e.path();
    }
    if (!killed) {
      EXPECT_NE(r.err.find(std::to_string(gone) + " sources wiped"), std::string::npos);
    }
  }
}

// Traced, a folder job names no output before it is flushed: a write makes
// its descriptor unflushed until an fsync of it or a syncfs; a link from
// /proc/self/fd or a rename must find it flushed. The outputs are flushed a
// batch at a time, not one by one.
TEST_F(TavShell, FolderOutputsAreFlushedInBatchesBeforeTheirNames) {
  if (system("strace -V >/dev/null 2>&1") != 0) GTEST_SKIP() << "strace is not installed";
  fs::create_directory(work_ / "src");
  constexpr int kFiles = 200;
  for (int i = 0; i < kFiles; ++i) WriteFile(work_ / "src" / std::to_string(i).insert(0, 1, 'f'), AllBytes(3000 + i));
  const Result r = Shell("export ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0; strace -f -qq -o ../trace.log "
                         "-e trace=write,pwrite64,pwritev,fsync,fdatasync,syncfs,linkat,renameat,renameat2,close "
                         "$TAV encrypt -q -r -T 2 src");
  ASSERT_EQ(r.status, 0) << r.err;
  std::istringstream lines(ReadFile(root_ / "trace.log"));
  const std::regex call(R"(^(\d+) +(<\.\.\. )?(\w+)(\(| resumed>)(\d*))"), proc(R"(/proc/self/fd/(\d+))");
  std::map<int, bool> unflushed;
  std::map<std::string, int> started;  // the descriptor of each thread's unfinished call
  int named = 0, flushes = 0;
  for (std::string line; std::getline(lines, line);) {
    std::smatch m;
    if (!std::regex_search(line, m, call)) continue;
    const std::string name = m[3];
    const bool resumed = m[2].matched, unfinished = line.find("<unfinished") != std::string::npos;
    const int fd = resumed ? started[m[1]] : m[5].length() > 0 ? std::stoi(m[5]) : -1;
    if (unfinished) started[m[1]] = fd;
    if ((name == "write" || name.starts_with("pwrite")) && !resumed && fd > 2) unflushed[fd] = true;
    if ((name == "fsync" || name == "fdatasync") && !unfinished) unflushed[fd] = false, ++flushes;
    if (name == "syncfs" && !unfinished) unflushed.clear(), ++flushes;
    if (name == "close" && !unfinished) unflushed.erase(fd);
    std::smatch p;
    if (name == "linkat" && !resumed && std::regex_search(line, p, proc)) {
      ++named;
      EXPECT_FALSE(unflushed[std::stoi(p[1])]) << line;
    }
  }
  EXPECT_EQ(named, kFiles);
  EXPECT_GE(flushes, 1);
  EXPECT_LE(flushes, kFiles / 8);
}

}  // namespace
