// SPDX-License-Identifier: MIT
// Block file operations, and the argument checks and destination handling that
// every two-path file operation shares.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <sstream>

#include "engine/alphabet.hpp"
#include "engine/cipher.hpp"
#include "support.hpp"
#include "tavsdk.h"

namespace tav::test {
namespace {

namespace fs = std::filesystem;
using Op = NamedFileOp;
const auto& kAllOps = kFileOps;

struct BlockMode {
  const char* name;
  Kind kind;
  FileOp enc;
  FileOp dec;
};

const BlockMode kBlockModes[] = {
    {"text", Kind::text, FileOpsOf(Kind::text, false).enc, FileOpsOf(Kind::text, false).dec},
    {"binary", Kind::binary, FileOpsOf(Kind::binary, false).enc, FileOpsOf(Kind::binary, false).dec},
};

const char* KeyMessage(Kind kind) { return kind == Kind::text ? TAV_MSG_NO_TEXT_KEYS : TAV_MSG_NO_BINARY_KEYS; }

void GenerateBoth() {
  ResetFlags();
  ASSERT_EQ(TavGenTextKeys("file operations"), 0);
  ASSERT_EQ(TavGenBinaryKeys("file operations"), 0);
}

void MarkCmd() { std::strcpy(cmd, "untouched"); }

// The whole stream through a private engine instance.
Bytes StreamThroughEngine(Kind kind, Bytes data, bool decrypt) {
  static engine::Cipher c;
  engine::CipherStart(c, CurrentKeys(kind).tables, 0);
  if (decrypt) {
    engine::CipherDecrypt(c, data.data(), data.size());
  } else {
    engine::CipherEncrypt(c, data.data(), data.size());
  }
  return data;
}

TEST(BlockFiles, RoundTripAsOneContinuousStream) {
  ScratchDir scratch;
  GenerateBoth();
  for (const BlockMode& mode : kBlockModes) {
    // Three and a bit of the operation's own buffers, to cross its boundaries.
    for (size_t size : {0, 1, 999, 1000, 1001, 2500, 3 * 1048576 + 7}) {
      SCOPED_TRACE(std::string(mode.name) + " " + std::to_string(size));
      const Bytes plain = RandomBytes(size, static_cast<uint32_t>(size) + 11);
      WriteFile("plain", plain);
      MarkCmd();
      ASSERT_EQ(mode.enc("plain", "cipher"), 0);
      const Bytes cipher = ReadFile("cipher");
      ASSERT_EQ(cipher, StreamThroughEngine(mode.kind, plain, false));
      ASSERT_EQ(mode.dec("cipher", "restored"), 0);
      ASSERT_EQ(ReadFile("restored"), plain);
      EXPECT_STREQ(cmd, "untouched");
      if (mode.kind == Kind::text) {
        for (size_t i = 0; i < size; ++i) {
          if (kTextIndex[plain[i]] == kNotInAlphabet) {
            ASSERT_EQ(cipher[i], plain[i]) << i;
          }
        }
      }
    }
  }
}

TEST(BlockFiles, ExistingDestinationIsReplacedWhole) {
  ScratchDir scratch;
  GenerateBoth();
  WriteFile("plain", std::string("short"));
  WriteFile("out", std::string(5000, 'x'));
  ASSERT_EQ(TavTextFileEnc("plain", "out"), 0);
  EXPECT_EQ(ReadFile("out").size(), 5u);
  WriteFile("empty", std::string());
  ASSERT_EQ(TavBinaryFileDec("empty", "out"), 0);
  EXPECT_TRUE(ReadFile("out").empty());
}

// ---- Checks shared by all eight file operations -----------------------------

TEST(FileChecks, KeysMissingComeFirstWhateverThePaths) {
  ScratchDir scratch;
  WriteFile("plain", std::string("abc"));
  for (const Op& op : kAllOps) {
    SCOPED_TRACE(op.name);
    ResetFlags();
    MarkCmd();
    EXPECT_EQ(op.run(nullptr, nullptr), 1);
    EXPECT_STREQ(cmd, KeyMessage(op.kind));
    EXPECT_EQ(op.run("plain", "out"), 1);
    EXPECT_FALSE(Exists("out"));
  }
}

TEST(FileChecks, OnlyTheOperationsOwnAlphabetCounts) {
  ScratchDir scratch;
  GenerateBoth();
  WriteFile("plain", RandomBytes(3000, 1));
  for (const Kind down : {Kind::binary, Kind::text}) {
    GenerateBoth();
    (down == Kind::text ? TextSys : BinSys) = 0;
    for (const Op& op : kAllOps) {
      SCOPED_TRACE(std::string(op.name) + (down == Kind::text ? " text down" : " binary down"));
      fs::remove("out");
      MarkCmd();
      if (op.kind == down) {
        EXPECT_EQ(op.run("plain", "out"), 1);
        EXPECT_STREQ(cmd, KeyMessage(op.kind));
        EXPECT_FALSE(Exists("out"));
      } else {
        EXPECT_EQ(op.run("plain", "out"), 0);
        EXPECT_STREQ(cmd, "untouched");
        EXPECT_TRUE(Exists("out"));
      }
    }
  }
}

TEST(FileChecks, UnusableWheelFileActsAsMissingKeys) {
  ScratchDir scratch;
  WriteFile("plain", std::string("abc"));
  for (const Op& op : kAllOps) {
    SCOPED_TRACE(op.name);
    const std::string wheels = op.kind == Kind::text ? "k1.txt" : "k1.bin";
    for (bool removed : {true, false}) {
      GenerateBoth();
      if (removed) {
        fs::remove(wheels);
      } else {
        fs::resize_file(wheels, fs::file_size(wheels) / 2);
      }
      EXPECT_EQ(op.run(nullptr, nullptr), 1);
      EXPECT_EQ(op.run("plain", "out"), 1);
      EXPECT_STREQ(cmd, KeyMessage(op.kind));
      EXPECT_FALSE(Exists("out"));
    }
  }
}

TEST(FileChecks, BadSourceAndDestinationPaths) {
  ScratchDir scratch;
  GenerateBoth();
  fs::create_directory("dir");
  WriteFile("plain", std::string("some data"));
  for (const Op& op : kAllOps) {
    SCOPED_TRACE(op.name);
    MarkCmd();
    EXPECT_EQ(op.run(nullptr, nullptr), 2);
    EXPECT_STREQ(cmd, TAV_MSG_BAD_SOURCE);
    MarkCmd();
    EXPECT_EQ(op.run("plain", nullptr), 3);
    EXPECT_STREQ(cmd, TAV_MSG_BAD_DEST);
    for (const char* source : {"absent", "dir", ""}) {
      MarkCmd();
      EXPECT_EQ(op.run(source, "out"), 2) << source;
      EXPECT_STREQ(cmd, TAV_MSG_BAD_SOURCE);
      EXPECT_FALSE(Exists("out"));
    }
    for (const char* dest : {"missing/out", "dir", ""}) {
      MarkCmd();
      EXPECT_EQ(op.run("plain", dest), 3) << dest;
      EXPECT_STREQ(cmd, TAV_MSG_BAD_DEST);
    }
    EXPECT_TRUE(fs::is_directory("dir"));
  }
  const Bytes raw = ReadFile("plain");
  EXPECT_EQ(std::string(raw.begin(), raw.end()), "some data");
}

TEST(FileChecks, DestinationThatIsTheSourceIsRefusedUntouched) {
  ScratchDir scratch;
  GenerateBoth();
  fs::create_directory("sub");
  const Bytes original = RandomBytes(2500, 3);
  WriteFile("plain", original);
  fs::create_symlink("plain", "link");
  fs::create_hard_link("plain", "hard");
  const std::string absolute = scratch.path() + "/plain";
  for (const Op& op : kAllOps) {
    for (const std::string& dest : {std::string("plain"), std::string("./plain"), absolute, std::string("sub/../plain"),
                                    std::string("link"), std::string("hard"), scratch.path() + "//sub/../link"}) {
      SCOPED_TRACE(std::string(op.name) + " -> " + dest);
      MarkCmd();
      EXPECT_EQ(op.run("plain", dest.c_str()), 3);
      EXPECT_STREQ(cmd, TAV_MSG_BAD_DEST);
      ASSERT_EQ(ReadFile("plain"), original);
    }
    // The same the other way round: the source named through the link.
    EXPECT_EQ(op.run("link", "plain"), 3);
    EXPECT_EQ(op.run("hard", absolute.c_str()), 3);
    ASSERT_EQ(ReadFile("plain"), original);
    EXPECT_TRUE(fs::is_symlink("link"));
  }
}

TEST(FileChecks, SpecialFileAsDestinationIsLeftAlone) {
  ScratchDir scratch;
  GenerateBoth();
  WriteFile("plain", std::string("data"));
  ASSERT_EQ(mkfifo("fifo", 0600), 0);
  for (const Op& op : kAllOps) {
    SCOPED_TRACE(op.name);
    EXPECT_EQ(op.run("plain", "fifo"), 3);
    EXPECT_TRUE(fs::is_fifo("fifo"));
  }
}

// Runs op in a child whose file-size limit cuts the destination short and
// reports status, message and whether the old destination is intact.
void ExpectWriteFaultKeepsDestination(const Op& op) {
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{32 * 1024, 32 * 1024};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(100);
    const int status = op.run("plain", "out");
    const bool message = std::strcmp(cmd, TAV_MSG_BAD_DEST) == 0;
    const bool intact = ReadFile("out") == Bytes({'o', 'l', 'd'});
    _exit(status | (message ? 16 : 0) | (intact ? 32 : 0));
  }
  int wstatus = 0;
  ASSERT_EQ(waitpid(child, &wstatus, 0), child);
  ASSERT_TRUE(WIFEXITED(wstatus));
  const int code = WEXITSTATUS(wstatus);
  EXPECT_EQ(code & 15, 3) << op.name;
  EXPECT_TRUE(code & 16) << op.name << ": message";
  EXPECT_TRUE(code & 32) << op.name << ": old destination changed";
}

TEST(FileChecks, WriteFaultMidFileIsReportedAndCleanedUp) {
  ScratchDir scratch;
  GenerateBoth();
  // Large enough that every operation, the decoders included, writes past the limit.
  const Bytes original = RandomBytes(4 << 20, 9);
  WriteFile("plain", original);
  for (const Op& op : kAllOps) {
    WriteFile("out", std::string("old"));
    ExpectWriteFaultKeepsDestination(op);
    EXPECT_EQ(ReadFile("out"), Bytes({'o', 'l', 'd'}));
  }
  EXPECT_EQ(ReadFile("plain"), original);
}

TEST(FileChecks, SourceShorterThanItsSizeIsReadToItsEnd) {
  // sysfs attributes report a size of a page but hold a few bytes.
  const char* candidates[] = {"/sys/kernel/mm/transparent_hugepage/enabled", "/sys/kernel/profiling",
                              "/sys/power/state"};
  const char* source = nullptr;
  for (const char* c : candidates) {
    struct stat st {};
    if (stat(c, &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 4096 && access(c, R_OK) == 0) {
      source = c;
      break;
    }
  }
  if (source == nullptr) GTEST_SKIP() << "no suitable sysfs file";
  ScratchDir scratch;
  GenerateBoth();
  const Bytes content = ReadFile(source);
  ASSERT_LT(content.size(), 4096u);
  WriteFile("copy", content);
  for (const BlockMode& mode : kBlockModes) {
    SCOPED_TRACE(mode.name);
    ASSERT_EQ(mode.enc("copy", "expected"), 0);
    MarkCmd();
    EXPECT_EQ(mode.enc(source, "out"), 0);
    EXPECT_STREQ(cmd, "untouched");
    EXPECT_EQ(ReadFile("out"), ReadFile("expected"));
  }
}

}  // namespace
}  // namespace tav::test
