// SPDX-License-Identifier: MIT
// encrypt -r and decrypt -r: every regular file below the named folders, many
// at once, into the same folders or a mirror of them, and optionally the
// source wiped once its output is known to give it back. The whole job is
// planned before the first file is written: a file reached twice runs once,
// and two files that would give one output stop the job there.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <pthread.h>
#include <sched.h>
#include <set>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <system_error>
#include <sys/stat.h>
#include <thread>
#include <tuple>
#include <unistd.h>
#include <utility>
#include <vector>
#include <dirent.h>

#include "cipher.hpp"
#include "console.hpp"

namespace tavtool {

namespace {

constexpr size_t kChunk = size_t{1} << 20;

// From these sizes on the library shares one file among its own workers
// (block mode; expanded encoding; expanded decoding). Such files go one at a
// time, so that the tool's threads and the library's add up to -T.
constexpr uint64_t kLargeBlock = uint64_t{4} << 20;
constexpr uint64_t kLargeEncode = uint64_t{256} << 10;
constexpr uint64_t kLargeDecode = uint64_t{32} << 20;

// Folder descriptors kept open while no thread uses them; the others are
// closed and opened again from their parent when needed, so that a tree of
// any size or depth runs within the descriptor limit.
constexpr size_t kIdleFolders = 16;

// A folder that is no longer the one the walk found (swapped or replaced).
constexpr int kChanged = -1;

std::string Reason(int error) { return error == kChanged ? "changed during the job; not followed" : std::strerror(error); }

struct Fd {
  int fd = -1;
  Fd() = default;
  explicit Fd(int f) : fd(f) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd >= 0) close(fd);
  }
};

using FileId = std::pair<dev_t, ino_t>;

struct Folder {
  size_t parent = SIZE_MAX;  // SIZE_MAX: `name` is relative to the cache's root
  std::string name;
  std::string path;          // for messages
  FileId id{0, 0};           // {0, 0} until known: then not checked
  mode_t mode = 0;
  bool follow = false;       // a single file's folder, named as the user wrote it
  bool created = false;      // made by this job: takes `mode` at the end
};

// The job's folders, opened on demand by descriptor from their parent and
// checked against what the walk saw.
class Folders {
 public:
  explicit Folders(int root) : root_(root) {}
  ~Folders() {
    for (const Slot& s : slots_) {
      if (s.fd >= 0) close(s.fd);
    }
  }
  Folders(const Folders&) = delete;
  Folders& operator=(const Folders&) = delete;

  // The folder's descriptor, to be given back with Release; -1 with `error`.
  int Acquire(size_t index, int& error) {
    const std::lock_guard hold(lock_);
    return AcquireLocked(index, error);
  }
  void Release(size_t index) {
    const std::lock_guard hold(lock_);
    ReleaseLocked(index);
  }
  void SetRoot(int root) { root_ = root; }
  std::vector<Folder> list;  // grows only while no other thread runs

 private:
  struct Slot {
    int fd = -1;
    unsigned users = 0;
    uint64_t used = 0;
  };

  int AcquireLocked(size_t index, int& error) {
    if (slots_.size() < list.size()) slots_.resize(list.size());
    Slot& slot = slots_[index];
    if (slot.fd < 0) {
      slot.fd = Open(index, error);
      if (slot.fd < 0) return -1;
    } else if (slot.users == 0) {
      --idle_;
    }
    ++slot.users;
    slot.used = ++clock_;
    return slot.fd;
  }

  void ReleaseLocked(size_t index) {
    Slot& slot = slots_[index];
    if (--slot.users > 0) return;
    if (++idle_ <= kIdleFolders) return;
    // The folder unused longest goes.
    Slot* oldest = nullptr;
    for (Slot& s : slots_) {
      if (s.fd >= 0 && s.users == 0 && (oldest == nullptr || s.used < oldest->used)) oldest = &s;
    }
    close(std::exchange(oldest->fd, -1));
    --idle_;
  }

  int Open(size_t index, int& error) {
    const Folder& f = list[index];
    int parent = root_;
    if (f.parent != SIZE_MAX && (parent = AcquireLocked(f.parent, error)) < 0) return -1;
    const int fd = openat(parent, f.name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | (f.follow ? 0 : O_NOFOLLOW));
    error = errno;
    if (f.parent != SIZE_MAX) ReleaseLocked(f.parent);
    struct stat st;
    if (fd >= 0 && f.id != FileId{0, 0} && (fstat(fd, &st) != 0 || FileId{st.st_dev, st.st_ino} != f.id)) {
      close(fd);
      error = kChanged;
      return -1;
    }
    return fd;
  }

  int root_;
  std::mutex lock_;
  std::vector<Slot> slots_;
  size_t idle_ = 0;
  uint64_t clock_ = 0;
};

// A folder's descriptor for as long as this lives.
class Held {
 public:
  Held(Folders* folders, size_t index) : folders_(folders), index_(index) {
    if (folders_ != nullptr) fd = folders_->Acquire(index_, error);
  }
  explicit Held(int root) : fd(root) {}
  ~Held() {
    if (folders_ != nullptr && fd >= 0) folders_->Release(index_);
  }
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;
  int fd = -1;
  int error = 0;

 private:
  Folders* folders_ = nullptr;
  size_t index_ = 0;
};

struct Entry {
  size_t folder = 0;
  size_t out_folder = SIZE_MAX;  // mirror: SIZE_MAX is OUT itself
  std::string name, out_name;
  uint64_t size = 0;
  bool expanded = false;
  bool large = false;
};

enum class Outcome { written, failed, cancelled };

std::string Join(const std::string& dir, const std::string& name) {
  return dir.empty() ? name : dir.ends_with('/') ? dir + name : dir + "/" + name;
}

// The name a top folder gets under --output-dir: its last component, or none
// (its contents go straight in) for ".", ".." and "/".
std::string MirrorName(std::string path) {
  while (path.size() > 1 && path.ends_with('/')) path.pop_back();
  const size_t slash = path.rfind('/');
  std::string last = slash == std::string::npos ? path : path.substr(slash + 1);
  return last == "." || last == ".." || last == "/" ? "" : last;
}

std::string Count(size_t n, const char* one, const char* many) { return std::to_string(n) + " " + (n == 1 ? one : many); }

// The plain length of an expanded file of `size` bytes, or UINT64_MAX when no
// plain length gives that size.
uint64_t PlainLength(const tav_keys* keys, uint64_t size) {
  uint64_t low = 0, high = size;
  while (low < high) {
    const uint64_t mid = low + (high - low) / 2;
    uint64_t expanded = 0;
    if (tav_expanded_size(keys, mid, &expanded) != TAV_OK) return UINT64_MAX;
    if (expanded < size) low = mid + 1; else high = mid;
  }
  uint64_t expanded = 0;
  return tav_expanded_size(keys, low, &expanded) == TAV_OK && expanded == size ? low : UINT64_MAX;
}

// Everything the threads share while the files go through.
class Job {
 public:
  Job(const CipherOptions& o, const tav_keys* keys, Folders& sources, Folders* mirror, int out_root,
      std::vector<Entry>& entries, unsigned workers)
      : o_(o), keys_(keys), sources_(sources), mirror_(mirror), out_root_(out_root), entries_(entries),
        workers_(workers) {
    for (const Entry& e : entries_) total_bytes_ += e.size;
  }

  // Runs every entry on `threads` threads, drawing the line on this one.
  void Run(unsigned threads);
  void Summary(size_t skipped, size_t walk_failures) const;
  int Status() const { return first_status_; }
  bool Stopped() const { return stopped_at_ != SIZE_MAX; }

 private:
  struct FileProgress {
    Job* job;
    uint64_t reported = 0;
  };
  static int Callback(void* context, uint64_t done, uint64_t total);

  bool Cancelled() const { return StopSignal() != 0 || (o_.fail_fast && failed_.load() > 0); }
  void Work();
  void WorkOn(tav_options* options);
  Outcome Process(const Entry& entry, FileProgress& progress, tav_options* options);
  // Whether the output already there is what this job would write (--resume).
  bool Complete(const Entry& entry, int source, int out_dir) const;
  Outcome CheckAndWipe(const Entry& entry, int source, const struct stat& st, int src_dir, int out_dir);
  bool Verify(const Entry& entry, int source, int output, std::string& why);
  void Fail(const std::string& name, tav_status status, int error, const std::string& why = "");
  void Note(const std::string& text);
  void Draw(Progress& line, double start, bool last);
  std::string OutPath(const Entry& entry) const;

  const CipherOptions& o_;
  const tav_keys* keys_;
  Folders& sources_;
  Folders* mirror_;  // null in place
  int out_root_;
  std::vector<Entry>& entries_;
  unsigned workers_;  // threads the library may use for one large file
  uint64_t total_bytes_ = 0;
  std::atomic<size_t> next_{0};
  std::atomic<unsigned> active_{0};  // workers still running
  std::atomic<size_t> done_{0}, written_{0}, resumed_{0}, failed_{0}, wiped_{0}, kept_{0};
  std::atomic<uint64_t> bytes_{0};
  std::shared_mutex large_;  // a large file runs alone
  std::mutex messages_lock_;
  std::deque<std::string> messages_;
  int first_status_ = 0;  // under messages_lock_
  size_t stopped_at_ = SIZE_MAX;
};

int Job::Callback(void* context, uint64_t done, uint64_t) {
  auto* p = static_cast<FileProgress*>(context);
  if (done > p->reported) p->job->bytes_ += done - std::exchange(p->reported, done);
  return p->job->Cancelled() ? 1 : 0;
}

void Job::Note(const std::string& text) {
  const std::lock_guard lock(messages_lock_);
  messages_.push_back(text + "\n");
}

void Job::Fail(const std::string& name, tav_status status, int error, const std::string& why) {
  std::string text = "tav: " + Shown(name) + ": ";
  if (!why.empty()) {
    text += why;
  } else if (status == TAV_EXISTS) {
    text += "File exists; -f replaces it";
    if (!o_.resume) text += ", --resume skips complete ones";
  } else {
    text += error != 0 ? Reason(error) : tav_strerror(status);
  }
  const std::lock_guard lock(messages_lock_);
  messages_.push_back(text + "\n");
  if (first_status_ == 0) first_status_ = status;
  ++failed_;
}

std::string Job::OutPath(const Entry& entry) const {
  if (mirror_ == nullptr) return Join(sources_.list[entry.folder].path, entry.out_name);
  return Join(entry.out_folder == SIZE_MAX ? o_.output_dir : mirror_->list[entry.out_folder].path, entry.out_name);
}

// Reads the plain bytes of one file: as they are, or decrypted from the
// block or the expanded format.
class PlainReader {
 public:
  enum class Form { plain, block, expanded };
  PlainReader(const tav_keys* keys, int fd, Form form) : keys_(keys), fd_(fd), form_(form), raw_(kChunk) {
    if (form_ == Form::expanded && tav_decoder_new(&decoder_, keys_) != TAV_OK) decoder_ = nullptr;
  }
  ~PlainReader() {
    explicit_bzero(raw_.data(), raw_.size());
    tav_decoder_free(decoder_);
  }
  PlainReader(const PlainReader&) = delete;
  PlainReader& operator=(const PlainReader&) = delete;

  // Up to kChunk plain bytes into `out`; 0 at the end, -1 on an error (errno).
  ssize_t Next(uint8_t* out) {
    if (form_ == Form::expanded && decoder_ == nullptr) return errno = ENOMEM, -1;
    for (;;) {
      const ssize_t got = pread(fd_, form_ == Form::plain ? out : raw_.data(), kChunk, offset_);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return got;
      const auto n = static_cast<size_t>(got);
      const uint64_t at = std::exchange(offset_, offset_ + n);
      if (form_ == Form::plain) return got;
      // A failed decryption fails the check: nothing unverified is wiped.
      if (form_ == Form::block) {
        if (tav_block_decrypt(keys_, at, raw_.data(), out, n) != TAV_OK) return errno = EIO, -1;
        return got;
      }
      size_t plain = 0;
      if (tav_decoder_update(decoder_, raw_.data(), n, out, &plain) != TAV_OK) return errno = EIO, -1;
      if (plain > 0) return static_cast<ssize_t>(plain);  // a chunk of filler only gives nothing
    }
  }

 private:
  const tav_keys* keys_;
  int fd_;
  Form form_;
  tav_decoder* decoder_ = nullptr;
  std::vector<uint8_t> raw_;
  off_t offset_ = 0;
};

// The plain file and the decryption of the cipher file, compared as they
// stream, a chunk of each at a time.
bool Job::Verify(const Entry& entry, int source, int output, std::string& why) {
  const PlainReader::Form form = entry.expanded ? PlainReader::Form::expanded : PlainReader::Form::block;
  PlainReader plain(keys_, o_.encrypt ? source : output, PlainReader::Form::plain);
  PlainReader decrypted(keys_, o_.encrypt ? output : source, form);
  std::vector<uint8_t> a(kChunk), b(kChunk);
  size_t a_at = 0, a_len = 0, b_at = 0, b_len = 0;
  bool same = true;
  for (;;) {
    if (Cancelled()) {
      why = "stopped before the check ended; source kept";
      same = false;
      break;
    }
    if (a_at == a_len) a_at = 0, a_len = 0;
    if (b_at == b_len) b_at = 0, b_len = 0;
    const ssize_t got_a = a_len == 0 ? plain.Next(a.data()) : 1;
    const ssize_t got_b = b_len == 0 ? decrypted.Next(b.data()) : 1;
    if (got_a < 0 || got_b < 0) {
      why = std::string("cannot read it back: ") + std::strerror(errno) + "; source kept";
      same = false;
      break;
    }
    if (a_len == 0) a_len = static_cast<size_t>(got_a);
    if (b_len == 0) b_len = static_cast<size_t>(got_b);
    if (a_len == 0 || b_len == 0) {
      same = a_len == b_len;
      break;
    }
    const size_t n = std::min(a_len - a_at, b_len - b_at);
    if (std::memcmp(a.data() + a_at, b.data() + b_at, n) != 0) {
      same = false;
      break;
    }
    a_at += n;
    b_at += n;
  }
  explicit_bzero(a.data(), a.size());
  explicit_bzero(b.data(), b.size());
  if (!same && why.empty()) why = "the output does not give back the source; source kept, output removed";
  return same;
}


bool Job::Complete(const Entry& entry, int source, int out_dir) const {
  struct stat in, out;
  if (fstat(source, &in) != 0 || fstatat(out_dir, entry.out_name.c_str(), &out, AT_SYMLINK_NOFOLLOW) != 0 ||
      !S_ISREG(out.st_mode)) {
    return false;
  }
  const auto in_size = static_cast<uint64_t>(in.st_size), out_size = static_cast<uint64_t>(out.st_size);
  if (!entry.expanded) return in_size == out_size;
  if (!o_.encrypt) return PlainLength(keys_, in_size) == out_size;
  uint64_t expanded = 0;
  return tav_expanded_size(keys_, in_size, &expanded) == TAV_OK && expanded == out_size;
}

Outcome Job::Process(const Entry& entry, FileProgress& progress, tav_options* options) {
  const std::string source_name = Join(sources_.list[entry.folder].path, entry.name);
  const std::string out_name = OutPath(entry);
  const Held src_dir(&sources_, entry.folder);
  if (src_dir.fd < 0) {
    Fail(source_name, TAV_BAD_SOURCE, 0, "its folder cannot be opened: " + Reason(src_dir.error));
    return Outcome::failed;
  }
  const Held out_dir = mirror_ == nullptr ? Held(src_dir.fd)
                       : entry.out_folder == SIZE_MAX ? Held(out_root_)
                                                      : Held(mirror_, entry.out_folder);
  if (out_dir.fd < 0) {
    Fail(out_name, TAV_BAD_DEST, 0, "its folder could not be made or opened");
    return Outcome::failed;
  }
  // Opened once, never through a link; the library reads this very file.
  const Fd source(openat(src_dir.fd, entry.name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat st;
  if (source.fd < 0 || fstat(source.fd, &st) != 0) {
    Fail(source_name, TAV_BAD_SOURCE, errno);
    return Outcome::failed;
  }
  if (!S_ISREG(st.st_mode)) {
    Fail(source_name, TAV_BAD_SOURCE, 0, "no longer a regular file");
    return Outcome::failed;
  }
  if (o_.resume && !o_.force && Complete(entry, source.fd, out_dir.fd)) {
    ++resumed_;
    return o_.wipe_source ? CheckAndWipe(entry, source.fd, st, src_dir.fd, out_dir.fd) : Outcome::written;
  }
  // The library reads this very descriptor.
  int error = 0;
  tav_status status = tav_options_set(options, TAV_OPTION_EXPANDED, entry.expanded);
  if (status == TAV_OK) status = tav_options_set_progress(options, Callback, &progress);
  if (status == TAV_OK) status = tav_file_run(keys_, options, source.fd, 0, out_dir.fd, entry.out_name.c_str(), &error);
  if (status == TAV_CANCELLED) return Outcome::cancelled;
  if (status != TAV_OK) {
    Fail(status == TAV_BAD_SOURCE ? source_name : out_name, status, error);
    return Outcome::failed;
  }
  if (!o_.wipe_source) return Outcome::written;
  return CheckAndWipe(entry, source.fd, st, src_dir.fd, out_dir.fd);
}

Outcome Job::CheckAndWipe(const Entry& entry, int source, const struct stat& st, int src_dir, int out_dir) {
  const std::string source_name = Join(sources_.list[entry.folder].path, entry.name);
  // The output as it now stands on disk, read back and compared with the source.
  const Fd output(openat(out_dir, entry.out_name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat out_st;
  std::string why;
  // The library flushed it: dropping its cached pages makes the check read the disk's copy.
  if (output.fd >= 0) posix_fadvise(output.fd, 0, 0, POSIX_FADV_DONTNEED);
  if (output.fd < 0 || fstat(output.fd, &out_st) != 0) {
    why = std::string("cannot read the output back: ") + std::strerror(errno) + "; source kept";
  } else if (!Verify(entry, source, output.fd, why)) {
    struct stat now;
    if (why.ends_with("removed") && fstatat(out_dir, entry.out_name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
        now.st_dev == out_st.st_dev && now.st_ino == out_st.st_ino) {
      unlinkat(out_dir, entry.out_name.c_str(), 0);
    }
  }
  if (!why.empty()) {
    ++kept_;
    if (why.starts_with("stopped")) return Outcome::written;  // complete; only the check was cut short
    Fail(source_name, TAV_BAD_DEST, 0, why);
    return Outcome::failed;
  }
  if (Cancelled()) {  // verified, but the user asked to stop: nothing more is destroyed
    ++kept_;
    return Outcome::written;
  }
  // A wipe goes through the file's blocks: with another name the file lives
  // on elsewhere, perhaps outside the folders named, and is not ours to destroy.
  struct stat now;
  if (fstat(source, &now) == 0 && now.st_nlink > 1) {
    ++kept_;
    Note("tav: " + Shown(source_name) + ": has " + Count(now.st_nlink - 1, "other hard link", "other hard links") +
         "; not wiped");
    return Outcome::written;
  }
  // The wipe goes by name: it must still be the file that was checked.
  if (fstatat(src_dir, entry.name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 || now.st_dev != st.st_dev ||
      now.st_ino != st.st_ino) {
    ++kept_;
    Fail(source_name, TAV_BAD_SOURCE, 0, "was replaced during the job; not wiped");
    return Outcome::failed;
  }
  int error = 0;
  tav_status wiped;
  {
    const Deferred deferred;  // a source is wiped whole or not at all
    wiped = tav_wipe_at(src_dir, entry.name.c_str(), &error);
  }
  if (wiped != TAV_OK) {
    ++kept_;
    Fail(source_name, wiped, error, std::string("cannot wipe it: ") +
                                        (error != 0 ? std::strerror(error) : tav_strerror(wiped)));
    return Outcome::failed;
  }
  ++wiped_;
  return Outcome::written;
}
void Job::Work() {
  // Stop signals go to the thread that draws the line.
  sigset_t stops;
  sigemptyset(&stops);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stops, sig);
  pthread_sigmask(SIG_BLOCK, &stops, nullptr);
  // The knobs of every file of this thread; the mode and progress change per file.
  tav_options* options = nullptr;
  const bool made = tav_options_new(&options) == TAV_OK &&
                    tav_options_set(options, TAV_OPTION_DECRYPT, !o_.encrypt) == TAV_OK &&
                    tav_options_set(options, TAV_OPTION_REPLACE, o_.force) == TAV_OK &&
                    tav_options_set(options, TAV_OPTION_SOURCE_MODE, 1) == TAV_OK &&
                    tav_options_set(options, TAV_OPTION_KEEP_TIMES, 1) == TAV_OK &&
                    tav_options_set(options, TAV_OPTION_WORKERS, workers_) == TAV_OK;
  if (!made) {
    tav_options_free(options);
    Fail("a worker thread", TAV_NO_MEMORY, ENOMEM);
    return;
  }
  WorkOn(options);
  tav_options_free(options);
}

void Job::WorkOn(tav_options* options) {
  for (;;) {
    if (Cancelled()) return;
    const size_t i = next_++;
    if (i >= entries_.size()) return;
    const Entry& entry = entries_[i];
    FileProgress progress{this};
    Outcome outcome;
    if (entry.large) {
      const std::unique_lock lock(large_);
      outcome = Process(entry, progress, options);
    } else {
      const std::shared_lock lock(large_);
      outcome = Process(entry, progress, options);
    }
    if (outcome == Outcome::cancelled) return;
    bytes_ += entry.size - std::min(entry.size, progress.reported);
    if (outcome == Outcome::written) ++written_;
    ++done_;
  }
}

double Now() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

void Job::Draw(Progress& line, double start, bool last) {
  std::deque<std::string> messages;
  {
    const std::lock_guard lock(messages_lock_);
    messages.swap(messages_);
  }
  if (!messages.empty()) line.Show("");
  for (const std::string& m : messages) std::fputs(m.c_str(), stderr);
  const double seconds = Now() - start;
  if (last || seconds < 1) return;  // quick jobs draw nothing
  const double done = static_cast<double>(bytes_.load()) / 1e6, all = static_cast<double>(total_bytes_) / 1e6;
  const double rate = done / seconds;
  const long left = rate > 0 ? static_cast<long>((all - done) / rate + 0.5) : 0;
  char text[160];
  std::snprintf(text, sizeof text, "tav: %zu of %zu files  %.1f of %.1f MB  %.1f MB/s  %ld:%02ld left", done_.load(),
                entries_.size(), done, all, rate, left / 60, left % 60);
  line.Show(text);
}

void Job::Run(unsigned threads) {
  Progress line(!o_.quiet && (o_.progress || isatty(STDERR_FILENO)), "");
  const double start = Now();
  threads = static_cast<unsigned>(std::clamp<size_t>(threads, 1, std::max<size_t>(entries_.size(), 1)));
  {
    std::vector<std::jthread> workers;
    for (unsigned i = 0; i < threads; ++i) {
      ++active_;
      try {
        workers.emplace_back([this] {
          Work();
          --active_;
        });
      } catch (const std::system_error&) {  // fewer threads, then
        --active_;
        break;
      }
    }
    if (workers.empty()) {
      ++active_;
      Work();
      --active_;
    }
    const bool terminal = isatty(STDERR_FILENO) == 1;
    for (double last = 0; active_.load() > 0;) {
      if (const double now = Now(); now - last >= (terminal ? 0.2 : 1.0)) {
        Draw(line, start, false);
        last = now;
      }
      timespec pause{0, 20'000'000};
      nanosleep(&pause, nullptr);
    }
  }  // joined: no thread outlives the job
  Draw(line, start, true);
  line.Show("");
  if (done_.load() < entries_.size()) stopped_at_ = done_.load();
}

void Job::Summary(size_t skipped, size_t walk_failures) const {
  const size_t resumed = resumed_.load();
  std::string text = "tav: " + std::to_string(written_.load() - resumed) + " written, " +
                     std::to_string(skipped + resumed) + " skipped, " +
                     std::to_string(failed_.load() + walk_failures) + " failed";
  if (o_.wipe_source) {
    text += "; " + Count(wiped_.load(), "source wiped, ", "sources wiped, ") + std::to_string(kept_.load()) + " kept";
  }
  if (Stopped()) {
    text += "; stopped after " + std::to_string(done_.load()) + " of " + Count(entries_.size(), "file, ", "files, ") +
            std::to_string(entries_.size() - done_.load()) + " not written";
  }
  std::fprintf(stderr, "%s\n", text.c_str());
}

// The walk: every folder opened without following a link, every name looked
// at without following one; links and special files are skipped, a folder or
// file reached a second time (overlapping inputs) is taken once.
class Walk {
 public:
  Walk(const CipherOptions& o, Folders& folders, std::vector<Entry>& entries, FileId out_root)
      : o_(o), folders_(folders), entries_(entries), out_root_(out_root) {}

  // Adds the folder (or single file) `path`; false after a message.
  bool AddTop(const std::string& path);
  // Whether the job would write two outputs to one name, or an output over
  // one of its own inputs; each such pair is named.
  bool Conflicts(const Folders* mirror) const;

  size_t skipped = 0, failed = 0;
  std::set<FileId> scanned;  // the folders walked

 private:
  enum class Added { yes, no, twice };
  void Scan(size_t index);
  Added AddFile(size_t folder, const std::string& name, const struct stat& st);
  void Skip(const std::string& path, const std::string& why) {
    ++skipped;
    std::fprintf(stderr, "tav: %s: %s, skipped\n", Shown(path).c_str(), why.c_str());
  }
  void Failed(const std::string& path, const std::string& why) {
    ++failed;
    std::fprintf(stderr, "tav: %s: %s\n", Shown(path).c_str(), why.c_str());
  }

  using Key = std::tuple<dev_t, ino_t, std::string>;  // a name in a folder
  const CipherOptions& o_;
  Folders& folders_;
  std::vector<Entry>& entries_;
  FileId out_root_;
  std::map<Key, size_t> inputs_;  // every input of the job, by folder and name
};

Walk::Added Walk::AddFile(size_t folder, const std::string& name, const struct stat& st) {
  Entry e;
  e.folder = folder;
  e.name = name;
  e.size = static_cast<uint64_t>(st.st_size);
  const std::string_view suffix = ModeSuffix(name);
  // In place, the outputs of an earlier run are not encrypted again.
  if (o_.encrypt && (suffix.empty() || !o_.output_dir.empty())) {
    e.expanded = o_.expanded;
    e.out_name = name + std::string(e.expanded ? kExpandedSuffix : kSuffix);
  } else {
    if (suffix.empty() || o_.encrypt) {
      ++skipped;  // not ciphertext (or already ciphertext): left alone without a word
      return Added::no;
    }
    e.expanded = o_.expanded || (!o_.block && suffix == kExpandedSuffix);
    e.out_name = name.substr(0, name.size() - suffix.size());
  }
  const Folder& f = folders_.list[folder];
  const auto [at, added] = inputs_.try_emplace(Key{f.id.first, f.id.second, name}, entries_.size());
  if (!added) {
    Skip(Join(f.path, name), "already in this job as " + Shown(Join(folders_.list[entries_[at->second].folder].path, name)));
    return Added::twice;
  }
  e.large = e.size >= (!e.expanded ? kLargeBlock : o_.encrypt ? kLargeEncode : kLargeDecode);
  entries_.push_back(std::move(e));
  return Added::yes;
}

void Walk::Scan(size_t index) {
  const std::string path = folders_.list[index].path;
  const Held folder(&folders_, index);
  if (folder.fd < 0) return Failed(path, "cannot be opened: " + Reason(folder.error));
  const int copy = dup(folder.fd);
  DIR* dir = copy >= 0 ? fdopendir(copy) : nullptr;
  if (dir == nullptr) {
    if (copy >= 0) close(copy);
    return Failed(path, std::string("cannot be read: ") + std::strerror(errno));
  }
  std::vector<std::string> names;
  errno = 0;
  while (const dirent* d = readdir(dir)) {
    const std::string_view name = d->d_name;
    if (name != "." && name != "..") names.emplace_back(name);
    errno = 0;
  }
  if (errno != 0) Failed(path, std::string("cannot be read to its end: ") + std::strerror(errno));
  closedir(dir);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    const std::string file = Join(path, name);
    struct stat st;
    if (fstatat(folder.fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      Failed(file, std::strerror(errno));
    } else if (S_ISREG(st.st_mode)) {
      AddFile(index, name, st);
    } else if (S_ISLNK(st.st_mode)) {
      Skip(file, "symbolic link");
    } else if (!S_ISDIR(st.st_mode)) {
      Skip(file, S_ISFIFO(st.st_mode) ? "FIFO" : S_ISSOCK(st.st_mode) ? "socket" : "device");
    } else if (const FileId id{st.st_dev, st.st_ino}; id == out_root_) {
      // The output folder inside the tree is not walked into.
    } else if (!scanned.insert(id).second) {
      Skip(file, "already in this job");
    } else {
      // Opened when scanned, without following a link swapped in meanwhile.
      folders_.list.push_back({index, name, file, id, static_cast<mode_t>(st.st_mode & 07777)});
    }
  }
}

bool Walk::AddTop(const std::string& path) {
  const Fd top(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat st;
  if (top.fd < 0 || fstat(top.fd, &st) != 0) {
    if (errno == ELOOP) {
      std::fprintf(stderr, "tav: %s: is a symbolic link; name the folder it points to\n", Shown(path).c_str());
    } else {
      Report(path, TAV_BAD_SOURCE, errno);
    }
    return false;
  }
  if (S_ISDIR(st.st_mode)) {
    if (!scanned.insert({st.st_dev, st.st_ino}).second) {
      Skip(path, "already in this job");
      return true;
    }
    folders_.list.push_back({SIZE_MAX, path, path, {st.st_dev, st.st_ino}, static_cast<mode_t>(st.st_mode & 07777)});
    for (size_t i = folders_.list.size() - 1; i < folders_.list.size(); ++i) Scan(i);
    return true;
  }
  if (!S_ISREG(st.st_mode)) {
    std::fprintf(stderr, "tav: %s: not a regular file or folder\n", Shown(path).c_str());
    return false;
  }
  // A single file: its own folder is the one to work in.
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  const Fd folder(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  struct stat dir_st;
  if (folder.fd < 0 || fstat(folder.fd, &dir_st) != 0) return Report(dir, TAV_BAD_SOURCE, errno), false;
  folders_.list.push_back({SIZE_MAX, dir, slash == std::string::npos ? "" : dir, {dir_st.st_dev, dir_st.st_ino}, 0,
                           true});
  const Added added = AddFile(folders_.list.size() - 1, slash == std::string::npos ? path : path.substr(slash + 1), st);
  if (added == Added::no) {
    --skipped;
    std::fprintf(stderr, "tav: %s: %s\n", Shown(path).c_str(),
                 o_.encrypt ? "already ends in .tav or .tavx" : "no .tav or .tavx suffix to strip");
  }
  return added != Added::no;
}

bool Walk::Conflicts(const Folders* mirror) const {
  std::map<Key, size_t> outputs;
  bool found = false;
  const auto source = [&](const Entry& e) { return Shown(Join(folders_.list[e.folder].path, e.name)); };
  for (size_t i = 0; i < entries_.size(); ++i) {
    const Entry& e = entries_[i];
    const Folder& f = folders_.list[e.folder];
    // In place an output is known by its folder; a mirror's folders may not exist yet.
    Key key{f.id.first, f.id.second, e.out_name};
    std::string shown = Join(f.path, e.out_name);
    if (mirror != nullptr) {
      shown = Join(e.out_folder == SIZE_MAX ? o_.output_dir : mirror->list[e.out_folder].path, e.out_name);
      key = Key{0, 0, shown};
    }
    if (const auto [at, added] = outputs.try_emplace(key, i); !added) {
      std::fprintf(stderr, "tav: %s and %s would both be written to %s\n", source(entries_[at->second]).c_str(),
                   source(e).c_str(), Shown(shown).c_str());
      found = true;
    } else if (const auto input = inputs_.find(key); mirror == nullptr && input != inputs_.end()) {
      std::fprintf(stderr, "tav: %s is an input of this job and would be the output of %s\n", Shown(shown).c_str(),
                   source(e).c_str());
      found = true;
    }
  }
  return found;
}

// The mirror of the source folders under OUT: the same names and modes, but
// a top folder named ".", ".." or "/" and a single file's folder are OUT itself.
void PlanMirror(const CipherOptions& o, const Folders& sources, std::vector<Entry>& entries, Folders& mirror) {
  std::vector<size_t> out_of(sources.list.size(), SIZE_MAX);
  for (size_t i = 0; i < sources.list.size(); ++i) {
    const Folder& f = sources.list[i];
    const bool top = f.parent == SIZE_MAX;
    const std::string name = top ? MirrorName(f.path) : f.name;
    if (f.follow || name.empty()) continue;
    const size_t parent = top ? SIZE_MAX : out_of[f.parent];
    mirror.list.push_back({parent, name, Join(parent == SIZE_MAX ? o.output_dir : mirror.list[parent].path, name),
                           {0, 0}, f.mode});
    out_of[i] = mirror.list.size() - 1;
  }
  for (Entry& e : entries) e.out_folder = out_of[e.folder];
}

// Looks at the mirror's folders that exist already (nothing is made): false
// after a message when one of them is a folder being walked, whose inputs
// the outputs would then join.
bool MirrorIsApart(int out_root, Folders& mirror, const std::set<FileId>& scanned) {
  if (out_root < 0) return true;  // OUT is still to be made
  std::vector<bool> exists(mirror.list.size());
  for (size_t i = 0; i < mirror.list.size(); ++i) {
    Folder& f = mirror.list[i];
    if (f.parent != SIZE_MAX && !exists[f.parent]) continue;
    const Held parent = f.parent == SIZE_MAX ? Held(out_root) : Held(&mirror, f.parent);
    struct stat st;
    if (parent.fd < 0 || fstatat(parent.fd, f.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode)) {
      continue;
    }
    exists[i] = true;
    f.id = {st.st_dev, st.st_ino};
    if (scanned.count(f.id) != 0) {  // the first one says it: its subfolders would follow
      std::fprintf(stderr, "tav: %s: is one of the folders being walked; name another --output-dir\n",
                   Shown(f.path).c_str());
      return false;
    }
  }
  return true;
}

// Makes the mirror's missing folders, private while the job runs.
void MakeMirror(Folders& mirror, int out_root) {
  for (size_t i = 0; i < mirror.list.size(); ++i) {
    Folder& f = mirror.list[i];
    if (f.id != FileId{0, 0}) continue;
    const Held parent = f.parent == SIZE_MAX ? Held(out_root) : Held(&mirror, f.parent);
    if (parent.fd < 0) continue;  // its files fail, naming the folder
    f.created = mkdirat(parent.fd, f.name.c_str(), 0700) == 0;
    if (!f.created && errno != EEXIST) {
      std::fprintf(stderr, "tav: %s: %s\n", Shown(f.path).c_str(), std::strerror(errno));
      continue;
    }
    const Fd made(openat(parent.fd, f.name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (made.fd < 0 || fstat(made.fd, &st) != 0) {
      std::fprintf(stderr, "tav: %s: %s\n", Shown(f.path).c_str(), std::strerror(errno));
      continue;
    }
    f.id = {st.st_dev, st.st_ino};
  }
}

unsigned CpuCount() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) return static_cast<unsigned>(std::max(1, CPU_COUNT(&set)));
  return std::max(1u, std::thread::hardware_concurrency());
}

}  // namespace

int RunTree(const CipherOptions& o) {
  if (o.string || !o.output.empty() || o.to_stdout) {
    return UsageError("-r writes files beside the inputs or under --output-dir; not with -o, -c or --string",
                      kUsageCipher);
  }
  if (o.args.empty()) return UsageError("-r needs at least one folder", kUsageCipher);
  for (const std::string& a : o.args) {
    if (a == "-") return UsageError("-r takes folders, not standard input", kUsageCipher);
  }
  // OUT, when it exists; a missing one is made once the job is planned.
  Fd out_root;
  FileId out_id{0, 0};
  if (!o.output_dir.empty()) {
    out_root.fd = open(o.output_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat st;
    if (out_root.fd >= 0 && fstat(out_root.fd, &st) == 0) {
      out_id = {st.st_dev, st.st_ino};
    } else if (out_root.fd >= 0 || errno != ENOENT) {
      return Report(o.output_dir, TAV_BAD_DEST, errno);
    }
  }
  Folders sources(AT_FDCWD);
  std::vector<Entry> entries;
  Walk walk(o, sources, entries, out_id);
  bool all_found = true;
  for (const std::string& a : o.args) all_found = walk.AddTop(a) && all_found;
  if (!all_found) return TAV_BAD_SOURCE;  // refused before the passphrase, as for single files
  Folders mirror(out_root.fd);
  if (!o.output_dir.empty()) PlanMirror(o, sources, entries, mirror);
  if (walk.Conflicts(o.output_dir.empty() ? nullptr : &mirror) || !MirrorIsApart(out_root.fd, mirror, walk.scanned)) {
    std::fputs("tav: nothing written\n", stderr);
    return TAV_BAD_DEST;
  }
  tav_keys* keys = nullptr;
  if (const int status = MakeKeys(o.passphrase, o.encrypt, o.text ? TAV_TEXT : TAV_BINARY, &keys)) return status;
  if (!o.output_dir.empty() && out_root.fd < 0) {
    if (mkdir(o.output_dir.c_str(), 0777) == 0 || errno == EEXIST) {
      out_root.fd = open(o.output_dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    }
    if (out_root.fd < 0) {
      tav_keys_free(keys);
      return Report(o.output_dir, TAV_BAD_DEST, errno);
    }
    mirror.SetRoot(out_root.fd);
  }
  MakeMirror(mirror, out_root.fd);
  // Large files run alone on the library's workers: as many as -T.
  const unsigned threads = o.threads != 0 ? o.threads : CpuCount();
  // Large files first, so that the small ones fill the threads at the end.
  std::stable_partition(entries.begin(), entries.end(), [](const Entry& e) { return e.large; });
  CatchStopSignals();
  Job job(o, keys, sources, o.output_dir.empty() ? nullptr : &mirror, out_root.fd, entries, std::min(threads, 64u));
  job.Run(threads);
  job.Summary(walk.skipped, walk.failed);
  // The walk ran first, so its failures come first.
  int result = walk.failed > 0 ? TAV_BAD_SOURCE : job.Status();
  if (job.Stopped() && StopSignal() != 0) result = StoppedBySignal();
  tav_keys_free(keys);
  // Children first: a parent's mode may shut the way to them.
  for (size_t i = mirror.list.size(); i-- > 0;) {
    if (!mirror.list[i].created) continue;
    const Held made(&mirror, i);
    if (made.fd >= 0) fchmod(made.fd, mirror.list[i].mode);
  }
  return result;
}

}  // namespace tavtool
