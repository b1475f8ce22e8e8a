// SPDX-License-Identifier: MIT
// The scramblers: whole-file and fixed-block reversal, key-driven blocks.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <csignal>
#include <cstring>
#include <numeric>
#include <string>
#include <thread>

#include "support.hpp"
#include "tavsdk.h"

namespace tav::test {
namespace {

const std::string kDigits = "0123456789";

std::string ReadText(const std::string& path) {
  const Bytes b = ReadFile(path);
  return std::string(b.begin(), b.end());
}


// The reference rule: reverse `count` blocks of `size` bytes from the start.
Bytes ReverseBlocks(Bytes data, size_t count, size_t size) {
  for (size_t i = 0; i < count; ++i) std::reverse(data.begin() + i * size, data.begin() + (i + 1) * size);
  return data;
}

// The reference rule of the key-driven pass over the pad table of k6.dat.
Bytes ReversePadBlocks(Bytes data) {
  const PadTable pkey = PadFromFile("k6.dat");
  size_t at = 0;
  for (int32_t n = 1;; n = NextPadIndex(n)) {
    const auto b = static_cast<size_t>(pkey[n]);
    if (at + b > data.size()) return data;
    std::reverse(data.begin() + at, data.begin() + at + b);
    at += b;
  }
}

TEST(ScrambleFile, TenDigitExamples) {
  ScratchDir scratch;
  struct Case {
    int count, size, status;
    std::string result;
  } cases[] = {
      {1, 0, 0, "9876543210"},  {2, 3, 0, "2105436789"}, {3, 4, 5, kDigits},
      {2, 5, 0, "4321098765"},  {1, 11, 5, kDigits},     {1, 10, 0, "9876543210"},
      {10, 1, 0, kDigits},      {1, -5, 0, "9876543210"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.count) + " x " + std::to_string(c.size));
    WriteFile("f", kDigits);
    EXPECT_EQ(TavScrambleFile("f", c.count, c.size), c.status);
    EXPECT_EQ(ReadText("f"), c.result);
    EXPECT_EQ(TavScrambleFile("f", c.count, c.size), c.status);
    EXPECT_EQ(ReadText("f"), kDigits);
    EXPECT_FALSE(Exists("turnabot.dat"));
  }
}

TEST(ScrambleFile, RefusalsComeInOrderAndLeaveTheFileAlone) {
  ScratchDir scratch;
  mkdir("dir", 0700);
  struct Case {
    const char* path;
    int count, size, status;
  } cases[] = {
      {nullptr, 1, 0, 2},
      {"missing", 0, 0, 2},   // the file is tested before the arguments
      {"dir", 1, 0, 2},
      {"f", 0, 3, 4},
      {"f", 0, -3, 4},
      {"f", 1, 5001, 4},
      {"f", 2, 5001, 4},
      {"f", 2, 0, 4},
      {"f", -1, 0, 4},
      {"f", 2, -1, 4},        // a negative size is never a block length
      {"f", -2, -1, 4},
      {"f", 2, 6, 5},
      {"f", 1, 11, 5},
      {"f", INT_MAX, 5000, 5},  // no overflow of count * size
      {"f", 3, INT_MIN, 4},
  };
  WriteFile("f", kDigits);
  std::strcpy(cmd, "untouched");
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.path ? c.path : "null") + " " + std::to_string(c.count) + " x " +
                 std::to_string(c.size));
    EXPECT_EQ(TavScrambleFile(c.path, c.count, c.size), c.status);
    EXPECT_EQ(ReadText("f"), kDigits);
  }
  EXPECT_FALSE(Exists("missing"));
  EXPECT_FALSE(Exists("turnabot.dat"));
  EXPECT_STREQ(cmd, "untouched");
}

TEST(ScrambleFile, NegativeCountOrEmptyFileChangesNothing) {
  ScratchDir scratch;
  WriteFile("f", kDigits);
  EXPECT_EQ(TavScrambleFile("f", -2, 3), 0);
  EXPECT_EQ(TavScrambleFile("f", INT_MIN, 5000), 0);
  EXPECT_EQ(ReadText("f"), kDigits);
  WriteFile("e", "");
  EXPECT_EQ(TavScrambleFile("e", 1, 0), 0);
  EXPECT_TRUE(ReadFile("e").empty());
  EXPECT_EQ(TavScrambleFile("e", 1, 1), 5);
  EXPECT_FALSE(Exists("turnabot.dat"));
}

TEST(ScrambleFile, ReadOnlyFileIsRefusedUnchanged) {
  ScratchDir scratch;
  WriteFile("f", kDigits);
  chmod("f", 0444);
  {
    Unprivileged user;
    EXPECT_EQ(TavScrambleFile("f", 1, 0), 2);
    EXPECT_EQ(TavScrambleFile("f", 2, 3), 2);
  }
  EXPECT_EQ(ReadText("f"), kDigits);
  EXPECT_FALSE(Exists("turnabot.dat"));
}

// Files of several megabytes cross the boundaries of the library's buffers.
TEST(ScrambleFile, LargeFilesMatchTheReferenceAndRestore) {
  ScratchDir scratch;
  const Bytes original = RandomBytes((3u << 20) + 12345, 7);
  WriteFile("f", original);

  ASSERT_EQ(TavScrambleFile("f", 1, 0), 0);
  EXPECT_EQ(ReadFile("f"), Bytes(original.rbegin(), original.rend()));
  ASSERT_EQ(TavScrambleFile("f", 1, 0), 0);
  EXPECT_EQ(ReadFile("f"), original);

  for (const auto& [count, size] : {std::pair{600, 4999}, std::pair{3 << 10, 1024}, std::pair{1 << 20, 3}}) {
    SCOPED_TRACE(std::to_string(count) + " x " + std::to_string(size));
    ASSERT_EQ(TavScrambleFile("f", count, size), 0);
    EXPECT_EQ(ReadFile("f"), ReverseBlocks(original, static_cast<size_t>(count), static_cast<size_t>(size)));
    ASSERT_EQ(TavScrambleFile("f", count, size), 0);
    EXPECT_EQ(ReadFile("f"), original);
  }
  EXPECT_FALSE(Exists("turnabot.dat"));
}

TEST(ScrambleFile, StaleScratchFileIsReplacedNotWrittenThrough) {
  ScratchDir scratch;
  WriteFile("turnabot.dat", "stale");
  ASSERT_EQ(link("turnabot.dat", "peer"), 0);
  WriteFile("f", kDigits);
  EXPECT_EQ(TavScrambleFile("f", 1, 0), 0);
  EXPECT_EQ(ReadText("f"), "9876543210");
  EXPECT_FALSE(Exists("turnabot.dat"));
  EXPECT_EQ(ReadText("peer"), "stale");

  // The scratch name linked to the file itself: replacing it would lose the file.
  ASSERT_EQ(link("f", "turnabot.dat"), 0);
  EXPECT_EQ(TavScrambleFile("f", 1, 0), 2);
  EXPECT_EQ(TavScrambleFile("turnabot.dat", 1, 0), 2);
  EXPECT_EQ(ReadText("f"), "9876543210");
  unlink("turnabot.dat");

  // A scratch name that cannot be replaced.
  mkdir("turnabot.dat", 0700);
  EXPECT_EQ(TavScrambleFile("f", 1, 0), 2);
  EXPECT_EQ(ReadText("f"), "9876543210");
}

TEST(ScrambleFile, WriteFailureReportsAndRemovesTheScratchFile) {
  ScratchDir scratch;
  const Bytes original = RandomBytes(100000, 3);
  WriteFile("f", original);
  // The file fits, its reversed copy does not: the scratch write fails.
  rlimit saved{};
  getrlimit(RLIMIT_FSIZE, &saved);
  const auto previous = std::signal(SIGXFSZ, SIG_IGN);
  rlimit limited = saved;
  limited.rlim_cur = 4096;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
  const int status = TavScrambleFile("f", 1, 0);
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, previous);

  EXPECT_EQ(status, 2);
  EXPECT_EQ(ReadFile("f"), original);
  EXPECT_FALSE(Exists("turnabot.dat"));
}

// The scratch file lives only inside the call: a watcher opens it as soon as
// it appears and inspects it once the call has returned.
TEST(ScrambleFile, ScratchFileIsPrivateAndHoldsTheReversedCopy) {
  ScratchDir scratch;
  const Bytes original = RandomBytes(24u << 20, 11);
  WriteFile("f", original);
  const int events = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  ASSERT_GE(events, 0);
  ASSERT_GE(inotify_add_watch(events, ".", IN_CREATE), 0);
  int seen = -1;
  std::thread watcher([&] {
    alignas(inotify_event) char buf[4096];
    for (;;) {
      pollfd ready{events, POLLIN, 0};
      if (poll(&ready, 1, 20000) <= 0) return;
      const ssize_t n = read(events, buf, sizeof buf);
      if (n <= 0) return;
      for (ssize_t at = 0; at < n;) {
        const auto* e = reinterpret_cast<const inotify_event*>(buf + at);
        if (e->len > 0 && std::strcmp(e->name, "turnabot.dat") == 0) {
          seen = open("turnabot.dat", O_RDONLY | O_CLOEXEC);
          return;
        }
        at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
      }
    }
  });
  EXPECT_EQ(TavScrambleFile("f", 1, 0), 0);
  watcher.join();
  close(events);
  if (seen < 0) GTEST_SKIP() << "the scratch file was gone before the watcher reached it";

  struct stat st {};
  ASSERT_EQ(fstat(seen, &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(st.st_nlink, 0u);  // removed
  Bytes copy(original.size());
  EXPECT_EQ(pread(seen, copy.data(), copy.size(), 0), static_cast<ssize_t>(copy.size()));
  EXPECT_EQ(copy, Bytes(original.rbegin(), original.rend()));
  close(seen);
}

class XScrambleFile : public ::testing::Test {
protected:
  ScratchDir scratch_;
  // Small fields give short blocks, so a few megabytes run through the table.
  static constexpr const char* kPadKeys = "0102010301020104010208091011121314202122";

  // Bytes that one full round of the pad table covers.
  static size_t TableLength() {
    const PadTable pkey = PadFromFile("k6.dat");
    return static_cast<size_t>(std::accumulate(pkey.begin() + 1, pkey.end(), int64_t{0}));
  }
};

TEST_F(XScrambleFile, MatchesTheReferenceAcrossTableWrapsAndRestores) {
  WriteFile("k6.dat", std::string(kPadKeys));
  const size_t round = TableLength();
  const PadTable pkey = PadFromFile("k6.dat");
  // Ends exactly on a block boundary, one byte before one, and mid-block.
  const size_t first = static_cast<size_t>(pkey[1]) + static_cast<size_t>(pkey[2]);
  for (size_t length : {2 * round + first, 2 * round + first - 1, (size_t{5} << 20) + 777}) {
    SCOPED_TRACE(length);
    const Bytes original = RandomBytes(length, static_cast<uint32_t>(length));
    WriteFile("f", original);
    ASSERT_EQ(TavXScrambleFile("f"), 0);
    const Bytes once = ReadFile("f");
    EXPECT_EQ(once, ReversePadBlocks(original));
    EXPECT_NE(once, original);
    ASSERT_EQ(TavXScrambleFile("f"), 0);
    EXPECT_EQ(ReadFile("f"), original);
  }
}

TEST_F(XScrambleFile, ShortFileIsLeftAlone) {
  WriteFile("k6.dat", std::string(kPadKeys));
  const PadTable pkey = PadFromFile("k6.dat");
  ASSERT_GT(pkey[1], 1);
  const Bytes original = RandomBytes(static_cast<size_t>(pkey[1] - 1), 5);
  WriteFile("f", original);
  EXPECT_EQ(TavXScrambleFile("f"), 0);
  EXPECT_EQ(ReadFile("f"), original);
  WriteFile("e", "");
  EXPECT_EQ(TavXScrambleFile("e"), 0);
}

TEST_F(XScrambleFile, WorksWithGeneratedKeysAndNoFlags) {
  ASSERT_EQ(TavGenBinaryKeys("scramble"), 0);
  ResetFlags();
  const size_t round = TableLength();
  const Bytes original = RandomBytes(round + round / 3, 9);  // the table wraps
  WriteFile("f", original);
  ASSERT_EQ(TavXScrambleFile("f"), 0);
  EXPECT_EQ(ReadFile("f"), ReversePadBlocks(original));
  ASSERT_EQ(TavXScrambleFile("f"), 0);
  EXPECT_EQ(ReadFile("f"), original);
}

TEST_F(XScrambleFile, RefusesBadPathsAndPadKeysBeforeTouchingAnything) {
  mkdir("dir", 0700);
  const Bytes original = RandomBytes(5000, 1);
  WriteFile("f", original);
  std::strcpy(cmd, "untouched");

  EXPECT_EQ(TavXScrambleFile("f"), 1);  // no k6.dat
  WriteFile("k6.dat", "080910111213142021");  // nine fields
  EXPECT_EQ(TavXScrambleFile("f"), 1);
  EXPECT_EQ(ReadFile("f"), original);
  unlink("k6.dat");
  mkdir("k6.dat", 0700);
  EXPECT_EQ(TavXScrambleFile("f"), 1);

  // The file is tested first.
  EXPECT_EQ(TavXScrambleFile(nullptr), 2);
  EXPECT_EQ(TavXScrambleFile("missing"), 2);
  EXPECT_EQ(TavXScrambleFile("dir"), 2);
  rmdir("k6.dat");
  WriteFile("k6.dat", std::string(kPadKeys));
  chmod("f", 0444);
  {
    Unprivileged user;
    EXPECT_EQ(TavXScrambleFile("f"), 2);
  }
  EXPECT_EQ(ReadFile("f"), original);
  EXPECT_FALSE(Exists("missing"));
  EXPECT_STREQ(cmd, "untouched");
}

}  // namespace
}  // namespace tav::test
