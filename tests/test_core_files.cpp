// SPDX-License-Identifier: MIT
// The core interface where files and descriptors meet trouble: one file on
// both ends, a broken pipe, a failing key save, names the scrambler must not
// touch, the hidden name of a replace, key files that are no files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "common/fileio.hpp"
#include "support.hpp"
#include "tavsdk.h"

namespace tav::test {
namespace {

namespace fs = std::filesystem;

struct Keys {
  tav_keys* k = nullptr;
  Keys(tav_alphabet alphabet, const std::string& passphrase) {
    EXPECT_EQ(tav_keys_new(&k, alphabet, passphrase.data(), passphrase.size()), TAV_OK);
  }
  Keys(const Keys&) = delete;
  Keys& operator=(const Keys&) = delete;
  ~Keys() { tav_keys_free(k); }
};

std::vector<std::string> Entries() {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(".")) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

// Runs the hook's `action` while in scope.
class Hook {
public:
  explicit Hook(std::function<int(io::Step, int)> action) {
    action_ = std::move(action);
    io::step_hook = [](io::Step step, int fd) { return action_(step, fd); };
  }
  ~Hook() {
    io::step_hook = nullptr;
    action_ = nullptr;
  }
  Hook(const Hook&) = delete;
  Hook& operator=(const Hook&) = delete;

private:
  static inline std::function<int(io::Step, int)> action_;
};

// One file as input and output, by one descriptor or two, in both modes,
// on one thread and split: refused, the file untouched. Small files would
// get the ciphertext appended, large ones overwritten piece by piece.
TEST(CoreFileSafety, OneFileOnBothEndsIsRefused) {
  ScratchDir scratch;
  // Were it not refused, the expanded mode would read its own output forever.
  rlimit saved {};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  const rlimit cap{size_t{64} << 20, saved.rlim_max};
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &cap), 0);
  const auto old_handler = signal(SIGXFSZ, SIG_IGN);
  Keys keys(TAV_BINARY, "same file");
  for (const size_t size : {size_t{1000}, size_t{5} << 20}) {
    const Bytes plain = RandomBytes(size, 30);
    WriteFile("f", plain);
    for (const char* threads : {"1", "2"}) {
      setenv("TAVSDK_THREADS", threads, 1);
      for (const unsigned flags : {0u, unsigned{TAV_EXPANDED}}) {
        for (const bool second : {false, true}) {
          SCOPED_TRACE(std::to_string(size) + " threads " + threads + " flags " + std::to_string(flags) +
                       (second ? " two descriptors" : " one descriptor"));
          const int fd = open("f", O_RDWR | O_CLOEXEC);
          const int other = second ? open("f", O_RDWR | O_CLOEXEC) : fd;
          int error = -1;
          EXPECT_EQ(tav_fd_encrypt(keys.k, fd, other, flags, nullptr, nullptr, &error), TAV_BAD_ARGUMENT);
          EXPECT_EQ(error, 0);
          EXPECT_EQ(tav_fd_decrypt(keys.k, fd, other, flags, nullptr, nullptr, nullptr), TAV_BAD_ARGUMENT);
          if (second) close(other);
          close(fd);
          EXPECT_TRUE(ReadFile("f") == plain);
        }
      }
    }
  }
  unsetenv("TAVSDK_THREADS");
  signal(SIGXFSZ, old_handler);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);
  // One device on both ends is no file to lose.
  const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
  EXPECT_EQ(tav_fd_encrypt(keys.k, null, null, 0, nullptr, nullptr, nullptr), TAV_OK);
  close(null);
}

// A reader that went away: TAV_BAD_DEST with EPIPE and no SIGPIPE, on one
// thread or two, in both modes; a SIGPIPE the host had pending stays pending.
// Each case runs in a child, which the signal would kill.
TEST(CoreFileSafety, BrokenPipeRaisesNoSignal) {
  ScratchDir scratch;
  Keys keys(TAV_BINARY, "broken pipe");
  WriteFile("plain", RandomBytes(size_t{3} << 20, 31));
  for (const char* threads : {"1", "2"}) {
    for (const unsigned flags : {0u, unsigned{TAV_EXPANDED}}) {
      for (const bool host_pending : {false, true}) {
        SCOPED_TRACE(std::string("threads ") + threads + " flags " + std::to_string(flags) +
                     (host_pending ? " host signal pending" : ""));
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
          setenv("TAVSDK_THREADS", threads, 1);
          signal(SIGPIPE, SIG_DFL);
          sigset_t pipe_set, before, after, pending;
          sigemptyset(&pipe_set);
          sigaddset(&pipe_set, SIGPIPE);
          if (host_pending) {
            pthread_sigmask(SIG_BLOCK, &pipe_set, nullptr);
            raise(SIGPIPE);
          }
          pthread_sigmask(SIG_BLOCK, nullptr, &before);
          int p[2];
          if (pipe2(p, O_CLOEXEC) != 0) _exit(10);
          close(p[0]);
          const int in = open("plain", O_RDONLY | O_CLOEXEC);
          int error = 0;
          if (tav_fd_encrypt(keys.k, in, p[1], flags, nullptr, nullptr, &error) != TAV_BAD_DEST) _exit(11);
          if (error != EPIPE) _exit(12);
          pthread_sigmask(SIG_BLOCK, nullptr, &after);
          if (sigismember(&after, SIGPIPE) != sigismember(&before, SIGPIPE)) _exit(13);
          sigpending(&pending);
          if (sigismember(&pending, SIGPIPE) != (host_pending ? 1 : 0)) _exit(14);
          _exit(0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status)) << "signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
        EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 0);
      }
    }
  }
}

// A save that fails while writing leaves every old key file as it was and
// nothing else behind; one that succeeds replaces them all.
TEST(CoreFileSafety, FailedKeySaveKeepsTheOldSet) {
  ScratchDir scratch;
  Keys old_keys(TAV_TEXT, "old set"), new_keys(TAV_TEXT, "new set");
  const int dir = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_EQ(tav_keys_save(old_keys.k, dir, nullptr), TAV_OK);
  const std::vector<std::string> names = Entries();
  std::vector<Bytes> old_files;
  for (const std::string& name : names) old_files.push_back(ReadFile(name));
  for (const int failing : {1, 3, 6}) {
    SCOPED_TRACE(failing);
    int writes = 0;
    Hook hook([&](io::Step step, int) { return step == io::Step::write && ++writes == failing ? ENOSPC : 0; });
    int error = 0;
    EXPECT_EQ(tav_keys_save(new_keys.k, dir, &error), TAV_BAD_DEST);
    EXPECT_EQ(error, ENOSPC);
    EXPECT_EQ(Entries(), names);
    for (size_t i = 0; i < names.size(); ++i) EXPECT_EQ(ReadFile(names[i]), old_files[i]) << names[i];
  }
  ASSERT_EQ(tav_keys_save(new_keys.k, dir, nullptr), TAV_OK);
  EXPECT_EQ(Entries(), names);
  EXPECT_NE(ReadFile("k1.txt"), old_files[0]);
  close(dir);
}

// The whole-file reversal never removes or writes a name it did not create;
// a long name is no obstacle where no copy is made, and argument errors are
// reported as such.
TEST(CoreFileSafety, ScrambleCopyNameIsTakenOnlyWhenFree) {
  ScratchDir scratch;
  const Bytes data = RandomBytes(5000, 32), other = RandomBytes(100, 33);
  WriteFile("f", data);
  WriteFile("unrelated", other);
  const std::function<void()> occupy[] = {
      [&] { WriteFile("f.reversed", other); },
      [] { ASSERT_EQ(symlink("unrelated", "f.reversed"), 0); },
      [] { ASSERT_EQ(symlink("nowhere", "f.reversed"), 0); },
      [] { ASSERT_EQ(link("f", "f.reversed"), 0); },
  };
  for (const auto& taken : occupy) {
    taken();
    struct stat before {};
    ASSERT_EQ(lstat("f.reversed", &before), 0);
    int error = 0;
    EXPECT_EQ(tav_scramble_at(AT_FDCWD, "f", 1, 0, &error), TAV_EXISTS);
    EXPECT_EQ(error, EEXIST);
    struct stat after {};
    ASSERT_EQ(lstat("f.reversed", &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(ReadFile("f"), data);
    EXPECT_EQ(ReadFile("unrelated"), other);
    ASSERT_EQ(unlink("f.reversed"), 0);
  }
  const std::string long_name(250, 'n');
  WriteFile(long_name, data);
  struct Case {
    int count, size;
    tav_status want;
    int error;
  } cases[] = {
      {0, 1, TAV_BAD_BLOCKS, 0}, {2, 5001, TAV_BAD_BLOCKS, 0}, {9, 1000, TAV_PAST_END, 0},
      {1, 0, TAV_BAD_SOURCE, ENAMETOOLONG}, {2, 100, TAV_OK, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.count) + " x " + std::to_string(c.size));
    int error = -1;
    EXPECT_EQ(tav_scramble_at(AT_FDCWD, long_name.c_str(), c.count, c.size, &error), c.want);
    EXPECT_EQ(error, c.error);
  }
  Bytes want = data;
  std::reverse(want.begin(), want.begin() + 100);
  std::reverse(want.begin() + 100, want.begin() + 200);
  EXPECT_EQ(ReadFile(long_name), want);
}

// The finished file takes a free name directly; over an existing one it
// passes a hidden ".tav-" name, with the signals that can be held off held
// off for that moment.
TEST(CoreFileSafety, ReplaceShowsTheHiddenNameOnlyWhereItMust) {
  ScratchDir scratch;
  Keys keys(TAV_BINARY, "hidden");
  WriteFile("plain", RandomBytes(1000, 34));
  for (const bool existing : {false, true}) {
    SCOPED_TRACE(existing);
    if (existing) WriteFile("out", "old");
    int seen = 0;
    bool blocked = false;
    std::vector<std::string> between;
    Hook hook([&](io::Step step, int) {
      if (step != io::Step::destination_rename) return 0;
      ++seen;
      sigset_t mask;
      pthread_sigmask(SIG_BLOCK, nullptr, &mask);
      blocked = sigismember(&mask, SIGTERM) == 1 && sigismember(&mask, SIGINT) == 1;
      between = Entries();
      return 0;
    });
    ASSERT_EQ(tav_file_encrypt_at(keys.k, AT_FDCWD, "plain", AT_FDCWD, "out", TAV_REPLACE, nullptr, nullptr, nullptr),
              TAV_OK);
    EXPECT_EQ(seen, existing ? 1 : 0);
    if (existing) {
      EXPECT_TRUE(blocked);
      ASSERT_EQ(between.size(), 3u);
      EXPECT_EQ(between[0].rfind(".tav-", 0), 0u);
      EXPECT_EQ(between[0].size(), 21u);
    }
    EXPECT_EQ(Entries(), (std::vector<std::string>{"out", "plain"}));
    sigset_t mask;
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    EXPECT_EQ(sigismember(&mask, SIGTERM), 0);
    ASSERT_EQ(unlink("out"), 0);
  }
}

// Key files that are no regular files: refused with a value that says so.
TEST(CoreFileSafety, KeyLoadErrorsNameTheirCause) {
  ScratchDir scratch;
  Keys keys(TAV_BINARY, "errno");
  const int dir = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_EQ(tav_keys_save(keys.k, dir, nullptr), TAV_OK);
  struct Case {
    std::function<int()> make;
    int error;
  } cases[] = {
      {[] { return mkdir("k1.bin", 0700); }, EISDIR},
      {[] { return mkfifo("k1.bin", 0600); }, 0},
      {[] { return symlink("/dev/zero", "k1.bin"); }, 0},
      {[] { return symlink("nowhere", "k1.bin"); }, ENOENT},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(remove("k1.bin"), 0);
    ASSERT_EQ(c.make(), 0);
    tav_keys* loaded = nullptr;
    int error = -1;
    EXPECT_EQ(tav_keys_load(&loaded, TAV_BINARY, dir, nullptr, &error), TAV_NO_KEYS);
    EXPECT_EQ(error, c.error);
  }
  close(dir);
}

}  // namespace
}  // namespace tav::test
