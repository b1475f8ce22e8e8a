// SPDX-License-Identifier: MIT
// Files that are not what they seem: symbolic links, FIFOs, procfs files,
// failing reads and writes, and names that change between two steps of a
// call. The step hook of the openers puts each change exactly into its window.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "common/fileio.hpp"
#include "keygen/keyfiles.hpp"
#include "support.hpp"
#include "tavsdk.h"

namespace tav::test {
namespace {

using io::Step;

// Runs `action` at the hook's steps while in scope; its result is the errno
// injected into a read or write (0: none).
class Seam {
public:
  explicit Seam(std::function<int(Step, int)> action) {
    action_ = std::move(action);
    io::step_hook = [](Step step, int fd) { return action_(step, fd); };
  }
  ~Seam() {
    io::step_hook = nullptr;
    action_ = nullptr;
  }
  Seam(const Seam&) = delete;
  Seam& operator=(const Seam&) = delete;

private:
  static inline std::function<int(Step, int)> action_;
};

// The name a descriptor was opened by, relative to the current directory.
std::string NameOf(int fd) {
  char target[4096];
  const ssize_t n = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), target, sizeof target - 1);
  if (n <= 0) return "";
  const std::string path(target, static_cast<size_t>(n));
  return path.substr(path.rfind('/') + 1);
}

// Fails every read (or write) of the file opened by `name` with EIO.
std::function<int(Step, int)> FailOn(Step which, const std::string& name) {
  return [which, name](Step step, int fd) { return step == which && fd >= 0 && NameOf(fd) == name ? EIO : 0; };
}

// Runs `change` once, at `when`.
std::function<int(Step, int)> At(Step when, std::function<void()> change) {
  return [when, change](Step step, int) {
    if (step == when) change();
    return 0;
  };
}

bool IsRegular(const char* path) {
  struct stat st {};
  return lstat(path, &st) == 0 && S_ISREG(st.st_mode);
}

std::string LinkTarget(const char* path) {
  char target[4096];
  const ssize_t n = readlink(path, target, sizeof target - 1);
  return n < 0 ? "" : std::string(target, static_cast<size_t>(n));
}

// A call that would block on a FIFO ends the test binary instead of hanging.
class NoHang : public ::testing::Test {
protected:
  void SetUp() override { alarm(60); }
  void TearDown() override { alarm(0); }
  ScratchDir scratch_;
};

using Op = NamedFileOp;
const auto& kAllOps = kFileOps;

const Bytes kVictim = {'k', 'e', 'e', 'p'};

class FileOpSafety : public NoHang, public ::testing::WithParamInterface<Op> {
protected:
  void SetUp() override {
    NoHang::SetUp();
    ResetFlags();
    ASSERT_EQ(TavGenTextKeys("links and pipes"), 0);
    ASSERT_EQ(TavGenBinaryKeys("links and pipes"), 0);
    WriteFile("src", RandomBytes(5000, 7));
    WriteFile("victim", kVictim);
    std::strcpy(cmd, "untouched");
  }
  int Run(const char* source, const char* destination) { return GetParam().run(source, destination); }
  const char* KeyMessage() const {
    return GetParam().kind == Kind::text ? TAV_MSG_NO_TEXT_KEYS : TAV_MSG_NO_BINARY_KEYS;
  }
  std::vector<const char*> KeyFilesRead() const {
    const Kind kind = GetParam().kind;
    std::vector<const char*> names = {KeyFileName(KeyFile::wheels, kind), KeyFileName(KeyFile::scheme, kind),
                                      KeyFileName(KeyFile::steps, kind)};
    if (GetParam().expanded) names.push_back(KeyFileName(KeyFile::pad, kind));
    return names;
  }
};

TEST_P(FileOpSafety, DestinationLinkIsReplacedAsANameOnly) {
  ASSERT_EQ(symlink("victim", "out"), 0);
  EXPECT_EQ(Run("src", "out"), 0);
  EXPECT_TRUE(IsRegular("out"));
  EXPECT_EQ(ReadFile("victim"), kVictim);

  ASSERT_EQ(symlink("nowhere", "dangling"), 0);
  EXPECT_EQ(Run("src", "dangling"), 0);
  EXPECT_TRUE(IsRegular("dangling"));
  EXPECT_FALSE(Exists("nowhere"));

  // A link to the source is the source named twice: refused, nothing changes.
  ASSERT_EQ(symlink("src", "alias"), 0);
  const Bytes source = ReadFile("src");
  EXPECT_EQ(Run("src", "alias"), 3);
  EXPECT_STREQ(cmd, TAV_MSG_BAD_DEST);
  EXPECT_EQ(LinkTarget("alias"), "src");
  EXPECT_EQ(ReadFile("src"), source);
}

TEST_P(FileOpSafety, FifosAndDanglingKeyLinksAreRefusedWithoutWaiting) {
  ASSERT_EQ(mkfifo("pipe", 0600), 0);
  EXPECT_EQ(Run("pipe", "out"), 2);
  EXPECT_STREQ(cmd, TAV_MSG_BAD_SOURCE);
  EXPECT_FALSE(Exists("out"));
  EXPECT_EQ(Run("src", "pipe"), 3);
  EXPECT_STREQ(cmd, TAV_MSG_BAD_DEST);

  // A key file that is a FIFO, or a link to nothing, is damaged, not missing.
  for (const char* key : KeyFilesRead()) {
    for (const bool fifo : {true, false}) {
      SCOPED_TRACE(std::string(key) + (fifo ? " fifo" : " dangling link"));
      ASSERT_EQ(rename(key, "saved"), 0);
      ASSERT_EQ(fifo ? mkfifo(key, 0600) : symlink("nowhere", key), 0);
      std::strcpy(cmd, "untouched");
      EXPECT_EQ(Run("src", "out"), 1);
      EXPECT_STREQ(cmd, KeyMessage());
      EXPECT_FALSE(Exists("out"));
      ASSERT_EQ(rename("saved", key), 0);
    }
  }
}

TEST_P(FileOpSafety, KeyFileReadErrorRefusesOnlyMissingStepFilesDefault) {
  for (const char* key : KeyFilesRead()) {
    SCOPED_TRACE(key);
    Seam seam(FailOn(Step::read, key));
    std::strcpy(cmd, "untouched");
    EXPECT_EQ(Run("src", "out"), 1);
    EXPECT_STREQ(cmd, KeyMessage());
    EXPECT_FALSE(Exists("out"));
  }
  // Without k3 and k4 the built-in stepping stands in.
  ASSERT_EQ(unlink(KeyFileName(KeyFile::scheme, GetParam().kind)), 0);
  ASSERT_EQ(unlink(KeyFileName(KeyFile::steps, GetParam().kind)), 0);
  EXPECT_EQ(Run("src", "out"), 0);
}

// The output takes the name in one step, over whatever stands there by then;
// nothing is ever written through the name.
TEST_P(FileOpSafety, NameChangedBeforeCommitIsReplacedNotWritten) {
  Seam seam(At(Step::destination_commit, [] { ASSERT_EQ(symlink("victim", "out"), 0); }));
  EXPECT_EQ(Run("src", "out"), 0);
  EXPECT_EQ(ReadFile("victim"), kVictim);
  EXPECT_TRUE(IsRegular("out"));
}

// The old destination stays whole until the new one is complete, and is
// cleared through its descriptor once replaced: a second link sees "@@@".
TEST_P(FileOpSafety, OldDestinationIsIntactUntilReplacedThenCleared) {
  WriteFile("out", std::string("old output"));
  ASSERT_EQ(link("out", "peer"), 0);
  const Bytes old = ReadFile("out");
  Seam seam(At(Step::destination_commit, [&] { EXPECT_EQ(ReadFile("out"), old); }));
  EXPECT_EQ(Run("src", "out"), 0);
  EXPECT_EQ(ReadFile("peer"), Bytes({'@', '@', '@'}));
  EXPECT_NE(ReadFile("out"), old);
}

// A failed call leaves nothing new behind and the old destination as it was:
// a read error, a write error, or a directory the caller cannot write.
TEST_P(FileOpSafety, FailedCallLeavesTheOldDestinationIntact) {
  WriteFile("out", std::string("old output"));
  const Bytes old = ReadFile("out");
  const auto entries = [] {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(".")) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  };
  const auto before = entries();
  {
    Seam seam(FailOn(Step::read, "src"));
    EXPECT_EQ(Run("src", "out"), 2);
    EXPECT_STREQ(cmd, TAV_MSG_BAD_SOURCE);
  }
  {
    Seam seam([](Step step, int) { return step == Step::write ? EIO : 0; });
    EXPECT_EQ(Run("src", "out"), 3);
    EXPECT_STREQ(cmd, TAV_MSG_BAD_DEST);
  }
  EXPECT_EQ(ReadFile("out"), old);
  EXPECT_EQ(entries(), before);
  // Key files, source and destination open to the user; the directory not.
  for (const auto& e : std::filesystem::directory_iterator(".")) ASSERT_EQ(chmod(e.path().c_str(), 0666), 0);
  {
    Unprivileged user(0555);
    std::strcpy(cmd, "untouched");
    EXPECT_EQ(Run("src", "out"), 3);
    EXPECT_STREQ(cmd, TAV_MSG_BAD_DEST);
  }
  EXPECT_EQ(ReadFile("out"), old);
}

// A link at the destination that leads to a device, a FIFO or a socket is
// refused like the thing itself, and left alone.
TEST_P(FileOpSafety, DestinationLinkToSomethingElseThanAFileIsRefused) {
  ASSERT_EQ(mkfifo("pipe", 0600), 0);
  for (const char* target : {"/dev/null", "pipe", "."}) {
    SCOPED_TRACE(target);
    ASSERT_EQ(symlink(target, "out"), 0);
    EXPECT_EQ(Run("src", "out"), 3);
    EXPECT_STREQ(cmd, TAV_MSG_BAD_DEST);
    EXPECT_EQ(LinkTarget("out"), target);
    ASSERT_EQ(unlink("out"), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(AllFileOps, FileOpSafety, ::testing::ValuesIn(kAllOps),
                         [](const auto& info) { return std::string(info.param.name); });

// procfs files report a size of 0 and still have content.
TEST_F(NoHang, ProcfsSourceIsEncryptedAsRead) {
  const char* source = "/proc/version";
  const Bytes content = ReadFile(source);
  ASSERT_FALSE(content.empty());
  WriteFile("copy", content);
  ResetFlags();
  ASSERT_EQ(TavGenTextKeys("procfs"), 0);
  ASSERT_EQ(TavGenBinaryKeys("procfs"), 0);
  for (const Op& op : kAllOps) {
    if (op.decrypts) continue;
    const FileOpPair pair = FileOpsOf(op.kind, op.expanded);
    ASSERT_EQ(pair.enc(source, "enc"), 0);
    ASSERT_EQ(pair.dec("enc", "dec"), 0);
    EXPECT_EQ(ReadFile("dec"), content);
  }
  ASSERT_EQ(TavBinaryFileEnc("copy", "expected"), 0);
  ASSERT_EQ(TavBinaryFileEnc(source, "enc"), 0);
  EXPECT_EQ(ReadFile("enc"), ReadFile("expected"));
}

TEST_F(NoHang, StringOperationsTreatDamagedKeysAsNone) {
  ResetFlags();
  ASSERT_EQ(TavGenTextKeys("strings"), 0);
  ASSERT_EQ(TavGenBinaryKeys("strings"), 0);
  ASSERT_EQ(unlink("k3.txt"), 0);
  ASSERT_EQ(mkfifo("k3.txt", 0600), 0);
  char text[] = "hello";
  EXPECT_EQ(TavTEnc(text), text);
  EXPECT_EQ(text[0], 0);

  Seam seam(FailOn(Step::read, "k4.bin"));
  char binary[] = "hello";
  EXPECT_EQ(TavBEnc(binary), binary);
  EXPECT_EQ(binary[0], 0);
}

TEST_F(NoHang, ShutdownWritesOnlyRealKeyFiles) {
  WriteFile("victim", kVictim);
  ASSERT_EQ(symlink("victim", "k1.txt"), 0);
  ASSERT_EQ(symlink("nowhere", "k1.bin"), 0);
  ASSERT_EQ(mkfifo("k3.txt", 0600), 0);
  WriteFile("k6.dat", std::string("0102030405060708091011"));
  EXPECT_EQ(TavShutdown(), 0);
  EXPECT_EQ(ReadFile("victim"), kVictim);
  EXPECT_FALSE(Exists("nowhere"));
  for (const char* name : kKeyFileNames) EXPECT_FALSE(Exists(name)) << name;
}

TEST_F(NoHang, WipeRefusesLinksAndFifosAndKeepsANameThatChanged) {
  WriteFile("victim", kVictim);
  ASSERT_EQ(symlink("victim", "link"), 0);
  ASSERT_EQ(mkfifo("pipe", 0600), 0);
  for (const char* name : {"link", "pipe"}) {
    std::strcpy(cmd, "untouched");
    EXPECT_EQ(TavKillFile(name), 2) << name;
    EXPECT_STREQ(cmd, TAV_MSG_BAD_SOURCE);
    EXPECT_TRUE(Exists(name));
  }
  EXPECT_EQ(LinkTarget("link"), "victim");
  EXPECT_EQ(ReadFile("victim"), kVictim);

  WriteFile("secret", std::string("secret"));
  Seam seam(At(Step::wipe_remove, [] {
    ASSERT_EQ(rename("secret", "wiped"), 0);
    WriteFile("secret", std::string("new"));
  }));
  EXPECT_EQ(TavKillFile("secret"), 2);
  EXPECT_EQ(ReadFile("secret"), Bytes({'n', 'e', 'w'}));
  EXPECT_EQ(ReadFile("wiped"), Bytes(8192, '`'));
}

TEST_F(NoHang, ScramblersNeverLoseOrMisdirectData) {
  const Bytes original = RandomBytes(3 << 20, 5);
  WriteFile("f", original);
  const Bytes reversed(original.rbegin(), original.rend());
  {
    // The reversed copy is complete before the write-back fails.
    Seam seam(FailOn(Step::write, "f"));
    EXPECT_EQ(TavScrambleFile("f", 1, 0), 2);
  }
  EXPECT_EQ(ReadFile("turnabot.dat"), reversed);
  {
    // A scratch name taken over between its removal and creation.
    WriteFile("victim", kVictim);
    Seam seam(At(Step::scratch_create, [] { ASSERT_EQ(symlink("victim", "turnabot.dat"), 0); }));
    EXPECT_EQ(TavScrambleFile("f", 1, 0), 2);
    EXPECT_EQ(ReadFile("victim"), kVictim);
    EXPECT_EQ(ReadFile("f"), original);
  }
  ASSERT_EQ(mkfifo("pipe", 0600), 0);
  EXPECT_EQ(TavScrambleFile("pipe", 2, 3), 2);
  EXPECT_EQ(TavXScrambleFile("pipe"), 2);

  // A good table first, so that a failed read cannot fall back on it.
  WriteFile("k6.dat", std::string("0102030405060708091011"));
  ASSERT_EQ(TavXScrambleFile("f"), 0);
  ASSERT_EQ(TavXScrambleFile("f"), 0);
  {
    Seam seam(FailOn(Step::read, "k6.dat"));
    EXPECT_EQ(TavXScrambleFile("f"), 1);
  }
  ASSERT_EQ(unlink("k6.dat"), 0);
  ASSERT_EQ(mkfifo("k6.dat", 0600), 0);
  EXPECT_EQ(TavXScrambleFile("f"), 1);
  EXPECT_EQ(ReadFile("f"), original);
}

}  // namespace
}  // namespace tav::test
