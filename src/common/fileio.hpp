// SPDX-License-Identifier: MIT
// Every file the library touches is opened here, once, and then checked and
// used through its descriptor only: no name is checked and opened again, no
// link is followed to write, no open waits for the peer of a FIFO. Every call
// retries on EINTR and reports failure plainly; nothing here allocates.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/stat.h>
#include <sys/types.h>

namespace tav::io {

// Points between the steps of the openers where another program could change
// a name, and the reads and writes of every descriptor (see step_hook).
enum class Step {
  read,                 // before each read of fd
  write,                // before each write of fd
  destination_commit,   // before a complete destination takes its name
  destination_flush,    // before a complete destination is flushed to the device
  destination_rename,   // between its hidden name and the rename over the old file
  scratch_create,       // before the scratch file is created
  scratch_remove,       // before the scratch file's name is unlinked
  wipe_remove,          // before a wiped file's name is unlinked
  background_flush,     // as a background flush of fd completes (see BackgroundFlush)
};

#ifdef TAVSDK_TEST_SEAM
// Test seam: when set, runs at each step with the descriptor concerned (-1
// for the steps on names). A non-zero result makes that read or write fail
// with this errno. Only the internal library the tests link has it: the
// shared library is built without TAVSDK_TEST_SEAM and carries none of it.
extern int (*step_hook)(Step step, int fd);
#endif

// Owns a file descriptor for the span of one call. Close() reports whether the
// close succeeded (a deferred write error shows up there); the destructor
// closes silently on early-return paths.
class Fd {
public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  Fd(Fd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  Fd& operator=(Fd&& other) noexcept;
  ~Fd();

  int get() const { return fd_; }
  bool ok() const { return fd_ >= 0; }
  bool Close();

private:
  int fd_ = -1;
};

// The one read loop: until n bytes or end of file, at `offset` or, with
// kSequential, at the descriptor's own offset. Returns the count, or -1 on
// an error.
inline constexpr int64_t kSequential = -1;
int64_t ReadLoop(int fd, void* buf, size_t n, int64_t offset);
// The one write loop: all n bytes or false. A broken pipe gives EPIPE, never
// SIGPIPE. A caller that knows fd is no pipe or socket (no reader can go away)
// passes pipe = false and saves the three system calls of holding the signal
// off.
bool WriteLoop(int fd, const void* buf, size_t n, int64_t offset, bool pipe = true);

inline int64_t ReadFull(int fd, void* buf, size_t n) { return ReadLoop(fd, buf, n, kSequential); }
inline int64_t PreadFull(int fd, void* buf, size_t n, int64_t offset) { return ReadLoop(fd, buf, n, offset); }
inline bool WriteAll(int fd, const void* buf, size_t n, bool pipe = true) {
  return WriteLoop(fd, buf, n, kSequential, pipe);
}
inline bool PwriteAll(int fd, const void* buf, size_t n, int64_t offset) { return WriteLoop(fd, buf, n, offset); }

// Flushes a file to the device while it is still written, so that the flush
// once it is complete waits for its last pieces only, not for all of it (on
// virtual disks that flush took about as long as writing the file). A thread
// that writes it starts flushes through the kernel's asynchronous I/O
// (Written): it does not wait for them, and no thread is started; one flush
// is in flight at a time, once `kEveryBytes` more were written. Where the
// kernel refuses (no asynchronous flush for this file, a sandbox, no
// contexts left) nothing happens and the final flush does all. A thread that
// only waits for others writing the file flushes itself (Now). A flush that
// failed must fail the job even when the final one succeeds, as the kernel
// reports a write-back error once: Finish() says which errno.
class BackgroundFlush {
public:
  static constexpr uint64_t kEveryBytes = uint64_t{8} << 20;

  explicit BackgroundFlush(int fd) : fd_(fd) {}
  BackgroundFlush(const BackgroundFlush&) = delete;
  BackgroundFlush& operator=(const BackgroundFlush&) = delete;
  ~BackgroundFlush() { (void)Finish(); }

  // `written`: bytes written so far. Starts a flush when none is in flight
  // and enough came since the last one.
  void Written(uint64_t written);
  // Flushes now, on this thread: for a thread that would otherwise only
  // wait for others writing the file.
  void Now();
  // Waits for the flush in flight; the errno of the first that failed, or 0.
  int Finish();

private:
  bool Collect(bool wait);

  int fd_;
  unsigned long context_ = 0;  // aio_context_t; 0 before the first flush
  bool refused_ = false;
  bool in_flight_ = false;
  static constexpr uint64_t kNotYet = UINT64_MAX;
  uint64_t flushed_at_ = kNotYet;
  int error_ = 0;
};

// Identity of an open file, to recognise it again under a name.
struct FileId {
  dev_t dev = 0;
  ino_t ino = 0;
  bool Is(const struct stat& st) const { return st.st_dev == dev && st.st_ino == ino; }
};

// ---- Data files -------------------------------------------------------------

// A file to read from start to end. Invalid for anything but a regular file;
// `info` receives its fstat. Links are followed: reading is what the caller
// asked for.
Fd OpenSource(int dirfd, const char* path, struct stat& info);

// Opens what stands at `path` without following a link there: with O_PATH
// even a link itself, and a file the caller may not read or write.
Fd OpenNoFollow(int dirfd, const char* path, int flags);

// Unlinks `path` only while it still names the file `id`. True when removed.
// `step` names the point for the test seam.
bool RemoveIfSame(int dirfd, const char* path, FileId id, Step step);

// A file to rewrite in place (the scramblers): a regular file opened once for
// reading and writing, links followed as for a source. When the file can be
// read but not written, `out` is invalid, `length` is still set and the result
// is true, so that argument errors can be reported before the write refusal.
// False when the file cannot be read or is not a regular file.
bool OpenForRewrite(int dirfd, const char* path, Fd& out, int64_t& length);

// A file to wipe: a regular file opened for reading and writing, never through
// a symbolic link. Invalid otherwise; `id` identifies it for RemoveIfSame.
Fd OpenToWipe(int dirfd, const char* path, int64_t& length, FileId& id);

// A new scratch file (owner read and write only); never written through a
// link or into a file someone else holds. With `replace` whatever file stands
// at the name is removed first; without it a name that exists fails (EEXIST).
Fd CreateScratch(int dirfd, const char* path, bool replace, FileId& id);

// ---- Key files --------------------------------------------------------------

enum class KeyRead { ok, missing, damaged };

// Reads at most cap bytes from the start of a key file `name` in the
// directory dirfd; `got` is the count. `missing` only when nothing exists at
// the name; anything but a regular file and every open or read failure is
// `damaged`, with `error` set to the errno (EISDIR for a directory, 0 for
// anything else that is not a regular file).
KeyRead ReadKeyFile(int dirfd, const char* name, void* buf, size_t cap, int64_t& got, int& error);

// Opens a key file for destruction: a regular file for writing, with its
// length. A link or anything else gives an invalid Fd; the name is then only
// to be unlinked, never written. Missing files set `missing`.
Fd OpenKeyFileToDestroy(const char* path, int64_t& length, bool& missing);

}  // namespace tav::io
