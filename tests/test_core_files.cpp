// SPDX-License-Identifier: MIT
// The core interface where files and descriptors meet trouble: one file on
// both ends, a broken pipe, a failing key save, names the scrambler must not
// touch, the hidden name of a replace, key files that are no files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/aio_abi.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "common/fileio.hpp"
#include "engine/cipher.hpp"
#include "keys/keyset.hpp"
#include "ops/fileop.hpp"
#include "tree/store.hpp"
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


// ---- The file operation with options and open descriptors ------------------

struct Options {
  tav_options* o = nullptr;
  explicit Options(std::initializer_list<std::pair<tav_option, int64_t>> set = {}) {
    EXPECT_EQ(tav_options_new(&o), TAV_OK);
    for (const auto& [option, value] : set) EXPECT_EQ(tav_options_set(o, option, value), TAV_OK);
  }
  Options(const Options&) = delete;
  Options& operator=(const Options&) = delete;
  ~Options() { tav_options_free(o); }
};

TEST(CoreOptions, EveryOptionTakesItsRangeOnly) {
  Options options;
  const struct {
    int option;
    int64_t value, fallback;  // fallback: the default, and what stays after a refusal
    bool taken;
  } cases[] = {
      {TAV_OPTION_DECRYPT, 1, 0, true},      {TAV_OPTION_DECRYPT, 2, 0, false},
      {TAV_OPTION_EXPANDED, 2, 0, true},     {TAV_OPTION_EXPANDED, 3, 0, false},
      {TAV_OPTION_REPLACE, -1, 0, false},
      {TAV_OPTION_SOURCE_MODE, 1, 0, true},  {TAV_OPTION_KEEP_TIMES, 1, 0, true},
      {TAV_OPTION_DURABLE, 0, 1, true},      {TAV_OPTION_WORKERS, 64, 0, true},
      {TAV_OPTION_WORKERS, 65, 0, false},    {TAV_OPTION_WORKERS, -1, 0, false},
      {TAV_OPTION_FILES, 64, 0, true},       {TAV_OPTION_FILES, 65, 0, false},
      {TAV_OPTION_WIPE_SOURCE, 1, 0, true},  {TAV_OPTION_RESUME, 1, 0, true},
      {TAV_OPTION_FAIL_FAST, 1, 0, true},    {0, 0, 0, false},
      {12, 1, 0, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.option << " = " << c.value);
    Options fresh;
    int64_t value = -7;
    const int option = c.option;
    const bool known = tav_options_get(fresh.o, option, &value) == TAV_OK;
    EXPECT_EQ(known ? value : c.fallback, c.fallback);
    EXPECT_EQ(tav_options_set(fresh.o, option, c.value), c.taken ? TAV_OK : TAV_BAD_ARGUMENT);
    if (known) {
      EXPECT_EQ(tav_options_get(fresh.o, option, &value), TAV_OK);
      EXPECT_EQ(value, c.taken ? c.value : c.fallback);
    }
  }
  EXPECT_EQ(tav_options_new(nullptr), TAV_BAD_ARGUMENT);
  EXPECT_EQ(tav_options_set(nullptr, TAV_OPTION_DECRYPT, 1), TAV_BAD_ARGUMENT);
  EXPECT_EQ(tav_options_set_progress(nullptr, nullptr, nullptr), TAV_BAD_ARGUMENT);
  tav_options_free(nullptr);
}

// An open source is read from its offset on through that descriptor alone:
// its name may lead elsewhere by then, and its own offset stays put. The
// output is the message that starts at the offset, on one thread and split.
TEST(CoreOptions, OpenSourceIsReadFromItsOffsetNeverByName) {
  ScratchDir scratch;
  Keys keys(TAV_BINARY, "open source");
  // Block ranges go to workers from 4 MiB on, expanded encoding from 256 KiB.
  for (const bool expanded : {false, true}) {
    const Bytes plain = RandomBytes(expanded ? (size_t{700} << 10) + 333 : (size_t{9} << 20) + 333, 40);
    for (const size_t offset : {size_t{0}, size_t{5}, plain.size() * 4 / 9, plain.size()}) {
      for (const int workers : {1, 3}) {
        for (const bool into_fd : {false, true}) {
          SCOPED_TRACE(testing::Message() << expanded << " " << offset << " " << workers << " " << into_fd);
          WriteFile("src", plain);
          const int fd = open("src", O_RDONLY | O_CLOEXEC);
          ASSERT_GE(fd, 0);
          ASSERT_EQ(lseek(fd, 7, SEEK_SET), 7);
          WriteFile("other", "not the source");
          ASSERT_EQ(rename("other", "src"), 0);  // a reopened name would read this
          Options options({{TAV_OPTION_EXPANDED, expanded}, {TAV_OPTION_WORKERS, workers}});
          int error = -1;
          if (into_fd) {
            const int out = open("out", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
            EXPECT_EQ(tav_file_run_fd(keys.k, options.o, fd, offset, out, &error), TAV_OK) << error;
            close(out);
          } else {
            EXPECT_EQ(tav_file_run(keys.k, options.o, fd, offset, AT_FDCWD, "out", &error), TAV_OK) << error;
          }
          EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 7);
          close(fd);
          const Bytes tail(plain.begin() + static_cast<ptrdiff_t>(offset), plain.end());
          const Bytes out = ReadFile("out");
          Bytes back(out.size());
          size_t length = out.size();
          if (!expanded) {
            ASSERT_EQ(tav_block_decrypt(keys.k, 0, out.data(), back.data(), out.size()), TAV_OK);
          } else {
            tav_decoder* decoder = nullptr;
            ASSERT_EQ(tav_decoder_new(&decoder, keys.k), TAV_OK);
            EXPECT_EQ(tav_decoder_update(decoder, out.data(), out.size(), back.data(), &length), TAV_OK);
            tav_decoder_free(decoder);
          }
          back.resize(length);
          EXPECT_TRUE(back == tail);
          ASSERT_EQ(unlink("out"), 0);
        }
      }
    }
  }
}

// TAV_OPTION_WORKERS bounds the threads of one file, whatever TAVSDK_THREADS
// says; 0 leaves the choice (and the variable) to the library. Counted as the
// threads that write (a sanitizer may run threads of its own).
TEST(CoreOptions, WorkersBoundTheThreadsOfOneFile) {
  ScratchDir scratch;
  Keys keys(TAV_BINARY, "workers");
  WriteFile("src", RandomBytes(size_t{12} << 20, 41));
  const struct {
    int workers;
    const char* variable;
    size_t most;
  } cases[] = {{1, nullptr, 1}, {2, nullptr, 2}, {3, "1", 3}, {0, "1", 1}, {0, "2", 2}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.workers << " " << (c.variable ? c.variable : "-"));
    if (c.variable != nullptr) setenv("TAVSDK_THREADS", c.variable, 1);
    std::mutex lock;
    std::vector<pid_t> writers;
    Hook hook([&](io::Step step, int) {
      const std::lock_guard hold(lock);
      if (step == io::Step::write && std::find(writers.begin(), writers.end(), gettid()) == writers.end()) {
        writers.push_back(gettid());
      }
      return 0;
    });
    Options options({{TAV_OPTION_WORKERS, c.workers}, {TAV_OPTION_REPLACE, 1}});
    const int fd = open("src", O_RDONLY | O_CLOEXEC);
    EXPECT_EQ(tav_file_run(keys.k, options.o, fd, 0, AT_FDCWD, "out", nullptr), TAV_OK);
    close(fd);
    unsetenv("TAVSDK_THREADS");
    // Twelve ranges of 1 MiB: every worker gets some.
    EXPECT_LE(writers.size(), c.most);
    EXPECT_GE(writers.size(), std::min<size_t>(c.most, 2));
  }
}

// Flushing, times and mode as the options say.
TEST(CoreOptions, DurableTimesAndMode) {
  ScratchDir scratch;
  Keys keys(TAV_BINARY, "durable");
  WriteFile("src", RandomBytes(5000, 42));
  ASSERT_EQ(chmod("src", 0640), 0);
  const timespec past[2] = {{1000000000, 0}, {1000000000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, "src", past, 0), 0);
  for (const int setting : {0, 1}) {
    SCOPED_TRACE(setting);
    int flushes = 0;
    Hook hook([&](io::Step step, int) { return flushes += step == io::Step::destination_flush, 0; });
    Options options({{TAV_OPTION_DURABLE, setting}, {TAV_OPTION_KEEP_TIMES, setting},
                     {TAV_OPTION_SOURCE_MODE, setting}, {TAV_OPTION_REPLACE, 1}});
    const mode_t mask = umask(022);
    const int fd = open("src", O_RDONLY | O_CLOEXEC);
    EXPECT_EQ(tav_file_run(keys.k, options.o, fd, 0, AT_FDCWD, "out", nullptr), TAV_OK);
    close(fd);
    umask(mask);
    struct stat st {};
    ASSERT_EQ(stat("out", &st), 0);
    EXPECT_EQ(flushes, setting);
    EXPECT_EQ(st.st_mtim.tv_sec == 1000000000, setting == 1);
    EXPECT_EQ(st.st_mode & 0777, setting == 1 ? 0640u : 0644u);
  }
}

// A large durable file is flushed while it is written, on one thread or
// split; a flush that failed meanwhile fails the file even though the final
// flush succeeds (the kernel reports a write-back error once), and nothing
// takes the name.
TEST(CoreOptions, BackgroundFlushFailureFailsTheFile) {
  aio_context_t context = 0;
  if (syscall(SYS_io_setup, 1, &context) != 0) GTEST_SKIP() << "no asynchronous I/O here";
  (void)syscall(SYS_io_destroy, context);
  ScratchDir scratch;
  Keys keys(TAV_BINARY, "flushed meanwhile");
  WriteFile("src", RandomBytes(4096, 43));
  ASSERT_EQ(truncate("src", int64_t{130} << 20), 0);  // sparse: cheap to read
  for (const auto& c : {std::pair{1, 0}, {1, EIO}, {2, 0}, {2, EIO}}) {
    const int workers = c.first, failure = c.second;  // a lambda may not capture a structured binding
    SCOPED_TRACE(testing::Message() << workers << " " << failure);
    (void)unlink("out");
    int flushes = 0;
    Hook hook([&](io::Step step, int) { return step == io::Step::background_flush ? ++flushes, failure : 0; });
    Options options({{TAV_OPTION_WORKERS, workers}});
    const int fd = open("src", O_RDONLY | O_CLOEXEC);
    int error = -1;
    EXPECT_EQ(tav_file_run(keys.k, options.o, fd, 0, AT_FDCWD, "out", &error), failure ? TAV_BAD_DEST : TAV_OK);
    close(fd);
    EXPECT_EQ(error, failure);
    EXPECT_GE(flushes, 1);
    EXPECT_EQ(access("out", F_OK) == 0, failure == 0);
  }
  EXPECT_EQ(Entries(), std::vector<std::string>{"src"});
}

// A wipe through a descriptor removes the name only while it leads to that
// very file.
TEST(CoreOptions, WipeThroughADescriptorRemovesOnlyItsOwnName) {
  ScratchDir scratch;
  const struct {
    const char* name;  // given to the call
    bool swapped;      // another file took the name before the call
    tav_status status;
    int error;
  } cases[] = {{"f", false, TAV_OK, 0}, {"f", true, TAV_BAD_SOURCE, ESTALE}, {nullptr, false, TAV_OK, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << (c.name ? c.name : "null") << " " << c.swapped);
    WriteFile("f", RandomBytes(10000, 43));
    const int fd = open("f", O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    if (c.swapped) {
      WriteFile("g", "someone else's");
      ASSERT_EQ(rename("g", "f"), 0);
    }
    int error = -1;
    EXPECT_EQ(tav_wipe_fd(fd, AT_FDCWD, c.name, &error), c.status);
    EXPECT_EQ(error, c.error);
    Bytes left(10000);
    EXPECT_EQ(pread(fd, left.data(), left.size(), 0), 10000);
    EXPECT_TRUE(std::all_of(left.begin(), left.end(), [](uint8_t b) { return b == '`'; }));
    close(fd);
    EXPECT_EQ(Exists("f"), c.swapped || c.name == nullptr);
    if (c.swapped) {
      const Bytes other = ReadFile("f");
      EXPECT_EQ(std::string(other.begin(), other.end()), "someone else's");
    }
    unlink("f");
  }
  const int read_only = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  int error = 0;
  EXPECT_EQ(tav_wipe_fd(read_only, AT_FDCWD, nullptr, &error), TAV_BAD_SOURCE);
  EXPECT_EQ(error, EBADF);
  close(read_only);
  EXPECT_EQ(tav_wipe_fd(-1, AT_FDCWD, nullptr, nullptr), TAV_BAD_ARGUMENT);
}

// What the new calls cannot do they refuse, touching nothing.
TEST(CoreOptions, RefusalsTouchNothing) {
  ScratchDir scratch;
  Keys keys(TAV_BINARY, "refusals");
  WriteFile("src", RandomBytes(100, 44));
  ASSERT_EQ(link("src", "twin"), 0);
  const int reading = open("src", O_RDONLY | O_CLOEXEC);
  const int writing = open("src", O_WRONLY | O_CLOEXEC);
  const int folder = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  Options options;
  const struct {
    const char* what;
    int source;
    uint64_t offset;
    const char* destination;  // null: into `writing`
    tav_status status;
    int error;
  } cases[] = {
      {"closed", 999, 0, "out", TAV_BAD_SOURCE, EBADF},
      {"write-only", writing, 0, "out", TAV_BAD_SOURCE, EBADF},
      {"folder", folder, 0, "out", TAV_BAD_SOURCE, EISDIR},
      {"past the end", reading, 101, "out", TAV_BAD_ARGUMENT, 0},
      {"offset on a pipe", pipe_fds[0], 1, "out", TAV_BAD_ARGUMENT, 0},
      {"a link to itself", reading, 0, "twin", TAV_BAD_DEST, 0},
      {"its own descriptor", reading, 0, nullptr, TAV_BAD_DEST, 0},
      {"into a read-only descriptor", pipe_fds[0], 0, "", TAV_BAD_DEST, EBADF},
  };
  const Bytes before = ReadFile("src");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    int error = -1;
    const tav_status status =
        c.destination == nullptr ? tav_file_run_fd(keys.k, options.o, c.source, c.offset, writing, &error)
        : *c.destination == 0    ? tav_file_run_fd(keys.k, options.o, reading, c.offset, c.source, &error)
                                 : tav_file_run(keys.k, options.o, c.source, c.offset, AT_FDCWD, c.destination, &error);
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(Entries(), (std::vector<std::string>{"src", "twin"}));
    EXPECT_EQ(ReadFile("src"), before);
  }
  EXPECT_EQ(tav_file_run(nullptr, options.o, reading, 0, AT_FDCWD, "out", nullptr), TAV_BAD_ARGUMENT);
  EXPECT_EQ(tav_file_run(keys.k, nullptr, reading, 0, AT_FDCWD, "out", nullptr), TAV_BAD_ARGUMENT);
  for (const int fd : {reading, writing, folder, pipe_fds[0], pipe_fds[1]}) close(fd);
}

// A stream into a named file: complete at the name, or nothing there.
TEST(CoreOptions, PipeIntoANamedFile) {
  ScratchDir scratch;
  Keys keys(TAV_BINARY, "pipe");
  const Bytes plain = RandomBytes(300000, 45);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::thread writer([&] {
    EXPECT_EQ(write(fds[1], plain.data(), plain.size()), static_cast<ssize_t>(plain.size()));
    close(fds[1]);
  });
  Options options;
  EXPECT_EQ(tav_file_run(keys.k, options.o, fds[0], 0, AT_FDCWD, "out", nullptr), TAV_OK);
  writer.join();
  close(fds[0]);
  Bytes expected(plain.size());
  ASSERT_EQ(tav_block_encrypt(keys.k, 0, plain.data(), expected.data(), plain.size()), TAV_OK);
  EXPECT_EQ(ReadFile("out"), expected);
}


// ---- Folder jobs ----------------------------------------------------------------

// A folder job on two threads, each file's output read back and the sources
// wiped, then decrypted into a mirror: every report in its place, every byte back.
// A folder job files every name it plans in one table: the table must grow
// by doubling, or planning a large tree copies it once per name.
TEST(CoreTree, NameTableGrowsByDoubling) {
  tav::tree::Names names;
  int moves = 0;
  const char* last = names.c_str(0);
  for (int i = 0; i < 20000; ++i) {
    const size_t at = names.Join(0, "file-name-" + std::to_string(i));
    ASSERT_NE(at, SIZE_MAX);
    ASSERT_EQ(names[at], "file-name-" + std::to_string(i));
    moves += names.c_str(0) != last;
    last = names.c_str(0);
  }
  EXPECT_LE(moves, 40);
}

TEST(CoreTree, EncryptsWipesAndMirrorsBack) {
  ScratchDir scratch;
  Keys keys(TAV_BINARY, "tree");
  std::vector<std::pair<std::string, Bytes>> files;
  for (int i = 0; i < 24; ++i) {
    const std::string name = (i % 3 == 0 ? "src/a/" : i % 3 == 1 ? "src/a/b/" : "src/") + std::to_string(i);
    files.emplace_back(name, RandomBytes(i == 5 ? size_t{5} << 20 : 100 * static_cast<size_t>(i), 50 + i));
  }
  fs::create_directories("src/a/b");
  for (const auto& [name, data] : files) WriteFile(name, data);
  ASSERT_EQ(symlink("0", "src/link"), 0);
  struct Heard {
    std::vector<std::string> written, skipped, failed;
  } heard;
  const auto hear = [](void* context, const tav_tree_report* r) {
    auto& h = *static_cast<Heard*>(context);
    (r->event == TAV_TREE_WRITTEN ? h.written : r->event == TAV_TREE_SKIPPED ? h.skipped : h.failed)
        .push_back(r->source);
  };
  for (const bool decrypt : {false, true}) {
    SCOPED_TRACE(decrypt);
    heard = {};
    Options options({{TAV_OPTION_DECRYPT, decrypt}, {TAV_OPTION_FILES, 2}, {TAV_OPTION_WIPE_SOURCE, !decrypt},
                     {TAV_OPTION_EXPANDED, 2}});
    const char* inputs[] = {"src", "src/a"};  // the second is in the first: taken once
    tav_tree* tree = nullptr;
    ASSERT_EQ(tav_tree_new(&tree, options.o, inputs, 2, decrypt ? "back" : nullptr, hear, &heard, nullptr), TAV_OK);
    EXPECT_EQ(tav_tree_files(tree, nullptr), files.size());
    EXPECT_EQ(tav_tree_run(tree, keys.k, nullptr), TAV_OK);
    EXPECT_EQ(tav_tree_run(tree, keys.k, nullptr), TAV_BAD_ARGUMENT);  // once only
    tav_tree_free(tree);
    EXPECT_EQ(heard.written.size(), files.size());
    EXPECT_EQ(heard.failed, std::vector<std::string>{});
    EXPECT_EQ(heard.skipped.size(), decrypt ? 2u : 2u);  // the link, and src/a reached twice
  }
  for (const auto& [name, data] : files) {
    EXPECT_FALSE(Exists(name)) << name;
    EXPECT_EQ(ReadFile("back/" + name), data) << name;
  }
}

// Planned before written: two inputs with one output refuse the whole job,
// and nothing appears.
TEST(CoreTree, TwinOutputsRefuseTheJob) {
  ScratchDir scratch;
  fs::create_directories("d");
  WriteFile("d/x.tav", "block");
  WriteFile("d/x.tavx", "expanded");
  Options options({{TAV_OPTION_DECRYPT, 1}, {TAV_OPTION_EXPANDED, 2}});
  std::vector<int> why;
  const char* inputs[] = {"d"};
  tav_tree* tree = nullptr;
  EXPECT_EQ(tav_tree_new(&tree, options.o, inputs, 1, nullptr,
                         [](void* context, const tav_tree_report* r) {
                           static_cast<std::vector<int>*>(context)->push_back(r->why);
                         },
                         &why, nullptr),
            TAV_BAD_DEST);
  EXPECT_EQ(tree, nullptr);
  EXPECT_EQ(why, std::vector<int>{TAV_WHY_TWIN});
  EXPECT_EQ(fs::directory_iterator("d") == fs::directory_iterator(), false);
  EXPECT_FALSE(Exists("d/x"));
  Options wiping({{TAV_OPTION_DECRYPT, 1}, {TAV_OPTION_WIPE_SOURCE, 1}});
  EXPECT_EQ(tav_tree_new(&tree, wiping.o, inputs, 1, nullptr, nullptr, nullptr, nullptr), TAV_BAD_ARGUMENT);
}


// A new file written by the caller appears at its name only once committed,
// and only over an existing file when asked.
TEST(CoreNewFile, AppearsOnlyWhenCommitted) {
  ScratchDir scratch;
  WriteFile("old", "old");
  const struct {
    const char* name;
    int replace;
    tav_status status;
    const char* left;  // what the name holds afterwards; null: nothing
  } cases[] = {{"new", 0, TAV_OK, "written"},
               {"old", 0, TAV_EXISTS, "old"},
               {"old", 1, TAV_OK, "written"},
               {"gone", -1, TAV_OK, nullptr}};  // -1: freed without a commit
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.name << " " << c.replace);
    tav_newfile* file = nullptr;
    ASSERT_EQ(tav_newfile_open(&file, AT_FDCWD, c.name, 0644, nullptr), TAV_OK);
    ASSERT_EQ(write(tav_newfile_fd(file), "written", 7), 7);
    if (std::string(c.name) == "new") {
      EXPECT_FALSE(Exists("new"));
    }
    if (c.replace >= 0) {
      EXPECT_EQ(tav_newfile_commit(file, c.replace, 1, nullptr), c.status);
    }
    tav_newfile_free(file);
    if (c.left == nullptr) {
      EXPECT_FALSE(Exists(c.name));
    } else {
      const Bytes held = ReadFile(c.name);
      EXPECT_EQ(std::string(held.begin(), held.end()), c.left);
    }
  }
  EXPECT_EQ(Entries(), (std::vector<std::string>{"new", "old"}));
  tav_newfile* file = nullptr;
  int error = 0;
  EXPECT_EQ(tav_newfile_open(&file, AT_FDCWD, "nowhere/x", 0644, &error), TAV_BAD_DEST);
  EXPECT_EQ(error, ENOENT);
  EXPECT_EQ(tav_newfile_commit(nullptr, 0, 1, nullptr), TAV_BAD_ARGUMENT);
}

// One thread hands the kernel pieces long enough for its full rate (1 MiB
// where any length is): every write of the output but the last carries at
// least that much, from a file or a pipe, into a descriptor or a named file,
// in both alphabets.
TEST(CoreStreams, OneThreadWritesFullRatePieces) {
  ScratchDir scratch;
  const Bytes plain = RandomBytes((size_t{12} << 20) + 5, 46);
  WriteFile("plain", plain);
  Options one({{TAV_OPTION_WORKERS, 1}});
  // Each call returns its status; `in` is the source, a file or a pipe's end.
  using Call = std::function<tav_status(const tav_keys*, int in)>;
  const std::pair<const char*, Call> calls[] = {
      {"fd", [](const tav_keys* k, int in) {
         const int out = open("out", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
         const tav_status s = tav_fd_encrypt(k, in, out, 0, nullptr, nullptr, nullptr);
         close(out);
         return s;
       }},
      {"run", [&](const tav_keys* k, int in) {
         unlink("out");
         return tav_file_run(k, one.o, in, 0, AT_FDCWD, "out", nullptr);
       }},
  };
  setenv("TAVSDK_THREADS", "1", 1);
  for (const tav_alphabet alphabet : {TAV_TEXT, TAV_BINARY}) {
    Keys keys(alphabet, "full rate");
    const size_t full = engine::FullRateLength(keys.k->tables), least = full > 0 ? full : size_t{1} << 20;
    const Bytes want = [&] {
      Bytes out(plain.size());
      EXPECT_EQ(tav_block_encrypt(keys.k, 0, plain.data(), out.data(), plain.size()), TAV_OK);
      return out;
    }();
    for (const auto& [name, call] : calls) {
      for (const bool piped : {false, true}) {
        SCOPED_TRACE(std::string(name) + (piped ? " from a pipe" : " from a file") +
                     (alphabet == TAV_TEXT ? " text" : " binary"));
        int fds[2] = {open("plain", O_RDONLY | O_CLOEXEC), -1};
        std::thread feeder;
        if (piped) {
          close(fds[0]);
          ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
          feeder = std::thread([&] {
            for (size_t at = 0; at < plain.size();) {
              const ssize_t put = write(fds[1], plain.data() + at, plain.size() - at);
              if (put <= 0) break;
              at += static_cast<size_t>(put);
            }
            close(fds[1]);
          });
        }
        int writes = 0;
        tav_status status;
        {
          Hook count([&](io::Step step, int) { return writes += step == io::Step::write, 0; });
          status = call(keys.k, fds[0]);
        }
        if (feeder.joinable()) feeder.join();
        close(fds[0]);
        EXPECT_EQ(status, TAV_OK);
        EXPECT_TRUE(ReadFile("out") == want);
        EXPECT_LE(static_cast<size_t>(writes - 1) * least, plain.size()) << writes << " writes";
      }
    }
  }
  unsetenv("TAVSDK_THREADS");
}

// The block area lent to one thread holds no text once the transfer is done,
// and is touched no further than the input reached: its pages are only taken
// as they are written.
TEST(CoreStreams, TheLentAreaKeepsNoText) {
  ScratchDir scratch;
  Keys keys(TAV_BINARY, "lent area");
  const size_t area = ops::SequentialBytes(*keys.k);
  std::vector<uint8_t> block(area);
  ops::StackSpace stack;
  setenv("TAVSDK_THREADS", "1", 1);
  for (const size_t size : {size_t{1000}, 2 * area + 17}) {
    SCOPED_TRACE(size);
    WriteFile("plain", RandomBytes(size, 47));
    std::fill(block.begin(), block.end(), 0x5a);
    ops::Buffers lent = stack.View();
    lent.block = block.data();
    lent.block_bytes = area;
    const int in = open("plain", O_RDONLY | O_CLOEXEC);
    const int out = open("out", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    int error = 0;
    EXPECT_EQ(ops::RunTransfer(*keys.k, in, out, false, false, nullptr, nullptr, lent, error), TAV_OK);
    close(in);
    close(out);
    const size_t used = std::min(size, area);
    EXPECT_EQ(std::count(block.begin(), block.begin() + static_cast<ptrdiff_t>(used), 0), static_cast<ptrdiff_t>(used));
    EXPECT_EQ(std::count(block.begin() + static_cast<ptrdiff_t>(used), block.end(), 0x5a),
              static_cast<ptrdiff_t>(area - used));
  }
  unsetenv("TAVSDK_THREADS");
}

}  // namespace
}  // namespace tav::test
