// SPDX-License-Identifier: MIT
// Folder jobs: every regular file below the folders named, many at once,
// beside their sources or into a mirror of the folders, the source wiped
// once its output is known to give it back. tav_tree_new walks and plans the
// whole job before anything is written; tav_tree_run writes it.
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "common/fileio.hpp"
#include "common/newfile.hpp"
#include "common/wipe.hpp"
#include "common/workers.hpp"
#include "core/objects.hpp"
#include "core/options.hpp"
#include "engine/cipher.hpp"
#include "expanded/layout.hpp"
#include "keys/keyset.hpp"
#include "ops/fileop.hpp"
#include "ops/scramble.hpp"
#include "ops/transfer.hpp"
#include "tavsdk.h"
#include "tree/store.hpp"

namespace tav::tree {
namespace {

constexpr std::string_view kSuffix = ".tav";
constexpr std::string_view kExpandedSuffix = ".tavx";

// Folder descriptors kept open while no thread uses them; the others are
// closed and opened again from their parent when needed.
constexpr size_t kIdleFolders = 16;

// ---- Folders, opened on demand ---------------------------------------------

struct Folder {
  size_t parent = SIZE_MAX;  // SIZE_MAX: `name` is relative to the root of its set
  size_t name = 0;           // in the job's names
  size_t path = 0;           // for reports
  dev_t dev = 0;
  ino_t ino = 0;
  bool known = false;   // dev and ino are known, and checked at every opening
  bool follow = false;  // a single file's folder, named as the caller wrote it
  bool created = false;
  mode_t mode = 0;
};

// A set of folders (the sources, or the mirror under OUT) whose descriptors
// are opened from their parent when needed and checked against what was
// found; at most kIdleFolders stay open unused.
class Folders {
 public:
  Folders() { pthread_mutex_init(&lock_, nullptr); }
  ~Folders() {
    for (Slot& s : slots_) {
      if (s.fd >= 0) ::close(s.fd);
    }
    pthread_mutex_destroy(&lock_);
  }
  Folders(const Folders&) = delete;
  Folders& operator=(const Folders&) = delete;

  // A descriptor to give back with Release; -1 with `error` (ESTALE: the
  // folder changed since it was found).
  int Acquire(size_t index, int& error) {
    pthread_mutex_lock(&lock_);
    const int fd = AcquireLocked(index, error);
    pthread_mutex_unlock(&lock_);
    return fd;
  }
  void Release(size_t index) {
    pthread_mutex_lock(&lock_);
    ReleaseLocked(index);
    pthread_mutex_unlock(&lock_);
  }
  // Only while no other thread uses the set.
  bool Add(const Folder& f) { return list.Push(f) && slots_.Push(Slot{}); }

  Array<Folder> list;
  const Names* names = nullptr;
  int root = AT_FDCWD;

 private:
  struct Slot {
    int fd = -1;
    unsigned users = 0;
    uint64_t used = 0;
  };

  int AcquireLocked(size_t index, int& error) {
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
    if (--slots_[index].users > 0 || ++idle_ <= kIdleFolders) return;
    Slot* oldest = nullptr;
    for (Slot& s : slots_) {
      if (s.fd >= 0 && s.users == 0 && (oldest == nullptr || s.used < oldest->used)) oldest = &s;
    }
    ::close(std::exchange(oldest->fd, -1));
    --idle_;
  }

  int Open(size_t index, int& error) {
    const Folder& f = list[index];
    int parent = root;
    if (f.parent != SIZE_MAX && (parent = AcquireLocked(f.parent, error)) < 0) return -1;
    const int fd = ::openat(parent, names->c_str(f.name), O_RDONLY | O_DIRECTORY | O_CLOEXEC | (f.follow ? 0 : O_NOFOLLOW));
    error = errno;
    if (f.parent != SIZE_MAX) ReleaseLocked(f.parent);
    struct stat st {};
    if (fd >= 0 && f.known && (::fstat(fd, &st) != 0 || st.st_dev != f.dev || st.st_ino != f.ino)) {
      ::close(fd);
      error = ESTALE;
      return -1;
    }
    return fd;
  }

  Array<Slot> slots_;
  pthread_mutex_t lock_;
  size_t idle_ = 0;
  uint64_t clock_ = 0;
};

// A folder's descriptor for as long as this lives: one of a set, or a
// descriptor that is simply there (OUT).
class Held {
 public:
  Held(Folders* set, size_t index) : set_(set), index_(index) { fd = set_->Acquire(index_, error); }
  explicit Held(int there) : fd(there) {}
  ~Held() {
    if (set_ != nullptr && fd >= 0) set_->Release(index_);
  }
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;
  int fd = -1;
  int error = 0;

 private:
  Folders* set_ = nullptr;
  size_t index_ = 0;
};

// ---- The job ----------------------------------------------------------------

struct Entry {
  size_t folder = 0;
  size_t out_folder = SIZE_MAX;  // mirror: SIZE_MAX is OUT itself
  size_t name = 0, out_name = 0;
  uint64_t size = 0;
  bool expanded = false;
  bool large = false;
  // The outcome, written by the thread that ran it before it is published.
  tav_tree_event event = TAV_TREE_WRITTEN;
  tav_tree_why why = TAV_WHY_NONE;
  tav_status status = TAV_OK;
  int error = 0;
};

std::string_view ModeSuffix(std::string_view name) {
  for (const std::string_view suffix : {kSuffix, kExpandedSuffix}) {
    if (name.size() > suffix.size() && name.ends_with(suffix)) return suffix;
  }
  return {};
}

// The name a top folder has under OUT: its last component, or none (its
// contents go straight in) for ".", ".." and "/".
std::string_view MirrorName(std::string_view path) {
  while (path.size() > 1 && path.ends_with('/')) path.remove_suffix(1);
  const size_t slash = path.rfind('/');
  const std::string_view last = slash == std::string_view::npos ? path : path.substr(slash + 1);
  return last == "." || last == ".." || last == "/" ? std::string_view{} : last;
}

// The working space of one thread: the transfer's buffers, then the check's.
constexpr size_t kCheckBytes = size_t{352} << 10;
constexpr size_t kWipeBytes = size_t{64} << 10;
struct Space {
  alignas(64) uint8_t region[ops::kRegionBytes];
  alignas(64) uint8_t symbols[ops::kRegionSymbols];
  alignas(64) uint32_t words[ops::kRandomWords];
  ops::Buffers View() {
    return {region, sizeof region, region, sizeof region, symbols, sizeof symbols, words, ops::kRandomWords};
  }
};
static_assert(sizeof(Space) <= workers::kSpaceBytes && 3 * kCheckBytes <= workers::kSpaceBytes &&
              kWipeBytes <= workers::kSpaceBytes);

// Durable outputs wait, complete and unnamed, to be flushed together: one
// flush of their file system per batch instead of one per file (each a
// journal commit), then their names. Each holds a descriptor until then.
constexpr size_t kWaitingFiles = 64;                      // in all, shared out among the threads
constexpr uint64_t kWaitingBytes = uint64_t{64} << 20;  // of one thread, before it flushes
struct Waiting {
  io::NewFile file;
  size_t entry = 0;
};

}  // namespace
}  // namespace tav::tree

struct tav_tree {
  tav_options options;
  tav_tree_fn report = nullptr;
  void* context = nullptr;
  tav::tree::Names names;
  tav::tree::Folders sources;
  tav::tree::Folders mirror;
  tav::tree::Array<tav::tree::Entry> entries;
  tav::tree::Array<size_t> order;  // a run's entries as they finish, each plus one
  tav::tree::Index inputs;   // entries by folder and name
  tav::tree::Index scanned;  // folders walked, by device and inode
  size_t out_path = 0;       // OUT as named; 0 in place
  int out_root = -1;         // OUT once it exists
  dev_t out_dev = 0;
  ino_t out_ino = 0;
  size_t walk_failures = 0;
  bool ran = false;
  uint8_t* inline_space = nullptr;  // for a run no thread could be started for
  std::array<tav::tree::Waiting, tav::tree::kWaitingFiles> waiting;
};

namespace tav::tree {
namespace {

constexpr size_t kInlineSpace = workers::kSpaceBytes;

bool InPlace(const tav_tree& t) { return t.out_path == 0; }

void Send(const tav_tree& t, tav_tree_event event, tav_tree_why why, const char* source, const char* other,
          const char* output, tav_status status, int error, uint64_t bytes) {
  if (t.report == nullptr) return;
  const tav_tree_report r{event, why, source, other, output, status, error, bytes};
  t.report(t.context, &r);
}

// ---- Planning: the walk ----------------------------------------------------

uint64_t HashId(dev_t dev, ino_t ino) {
  const uint64_t id[2] = {static_cast<uint64_t>(dev), static_cast<uint64_t>(ino)};
  return Hash(id, sizeof id);
}

bool Scanned(const tav_tree& t, dev_t dev, ino_t ino) {
  return t.scanned.Find(HashId(dev, ino), [&](size_t f) {
    return t.sources.list[f].dev == dev && t.sources.list[f].ino == ino;
  }) != SIZE_MAX;
}

// A folder the walk found, known from now on by its device and inode.
Folder Found(size_t parent, size_t name, size_t path, const struct stat& st) {
  Folder f;
  f.parent = parent;
  f.name = name;
  f.path = path;
  f.dev = st.st_dev;
  f.ino = st.st_ino;
  f.known = true;
  f.mode = st.st_mode & 07777;
  return f;
}

uint64_t HashInput(const Folder& f, std::string_view name) { return Hash(name.data(), name.size(), HashId(f.dev, f.ino)); }

class Walk {
 public:
  explicit Walk(tav_tree& t) : t_(t) {}
  tav_status AddTop(const char* path, int& error);
  bool memory_ok = true;

 private:
  enum class Added { yes, no, twice };
  void Scan(size_t index);
  Added AddFile(size_t folder, std::string_view name, const struct stat& st);
  void Skip(size_t path, tav_tree_why why, const char* other = nullptr) {
    Send(t_, TAV_TREE_SKIPPED, why, t_.names.c_str(path), other, nullptr, TAV_OK, 0, 0);
  }
  void Failed(size_t path, tav_tree_why why, int error) {
    ++t_.walk_failures;
    Send(t_, TAV_TREE_FAILED, why, t_.names.c_str(path), nullptr, nullptr, TAV_BAD_SOURCE, error, 0);
  }
  bool AddFolder(const Folder& f) {
    if (t_.sources.Add(f) && t_.scanned.Insert(HashId(f.dev, f.ino), t_.sources.list.size() - 1)) return true;
    memory_ok = false;
    return false;
  }

  tav_tree& t_;
};

Walk::Added Walk::AddFile(size_t folder, std::string_view name, const struct stat& st) {
  const tav_options& o = t_.options;
  Entry e;
  e.folder = folder;
  e.size = static_cast<uint64_t>(st.st_size);
  const std::string_view suffix = ModeSuffix(name);
  // In place, the outputs of an earlier run are not encrypted again.
  const bool take = !o.decrypt ? suffix.empty() || !InPlace(t_) : !suffix.empty();
  const size_t path = t_.names.Join(t_.sources.list[folder].path, name);
  if (path == SIZE_MAX) return memory_ok = false, Added::no;
  if (!take) {
    Skip(path, TAV_WHY_NOT_FOR_JOB);
    return Added::no;
  }
  const Folder& f = t_.sources.list[folder];
  const uint64_t hash = HashInput(f, name);
  const size_t twin = t_.inputs.Find(hash, [&](size_t i) {
    const Entry& other = t_.entries[i];
    const Folder& of = t_.sources.list[other.folder];
    return of.dev == f.dev && of.ino == f.ino && t_.names[other.name] == name;
  });
  if (twin != SIZE_MAX) {
    const Entry& other = t_.entries[twin];
    const size_t other_path = t_.names.Join(t_.sources.list[other.folder].path, t_.names[other.name]);
    Skip(path, TAV_WHY_TWICE, other_path == SIZE_MAX ? nullptr : t_.names.c_str(other_path));
    return Added::twice;
  }
  e.expanded = o.mode == 1 || (o.mode == 2 && o.decrypt && suffix == kExpandedSuffix);
  e.name = t_.names.Add(name);
  if (!o.decrypt) {
    // NAME.tav or NAME.tavx; one past the system's limit fails when written.
    char out[NAME_MAX + 8];
    const std::string_view added = e.expanded ? kExpandedSuffix : kSuffix;
    const size_t length = std::min(name.size(), sizeof out - added.size());
    std::memcpy(out, name.data(), length);
    std::memcpy(out + length, added.data(), added.size());
    e.out_name = t_.names.Add({out, length + added.size()});
  } else {
    e.out_name = t_.names.Add(name.substr(0, name.size() - suffix.size()));
  }
  e.large = static_cast<int64_t>(e.size) >= ops::SplitThreshold(e.expanded, o.decrypt);
  if (e.name == SIZE_MAX || e.out_name == SIZE_MAX || !t_.inputs.Insert(hash, t_.entries.size()) ||
      !t_.entries.Push(e)) {
    memory_ok = false;
    return Added::no;
  }
  return Added::yes;
}

void Walk::Scan(size_t index) {
  const size_t path = t_.sources.list[index].path;
  const Held folder(&t_.sources, index);
  if (folder.fd < 0) return Failed(path, folder.error == ESTALE ? TAV_WHY_CHANGED : TAV_WHY_FOLDER, folder.error);
  // The names first, then each looked at: the listing reads the descriptor's
  // own position, which nothing else uses.
  Array<size_t> found;
  if (::lseek(folder.fd, 0, SEEK_SET) < 0) return Failed(path, TAV_WHY_FOLDER, errno);
  alignas(8) char listing[32768];
  for (;;) {
    const ssize_t got = ::getdents64(folder.fd, listing, sizeof listing);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      Failed(path, TAV_WHY_FOLDER, errno);
      break;
    }
    if (got == 0) break;
    for (ssize_t at = 0; at < got;) {
      const auto* d = reinterpret_cast<const struct dirent64*>(listing + at);
      at += d->d_reclen;
      const std::string_view name = d->d_name;
      if (name == "." || name == "..") continue;
      const size_t kept = t_.names.Add(name);
      if (kept == SIZE_MAX || !found.Push(kept)) return void(memory_ok = false);
    }
  }
  std::sort(found.begin(), found.end(), [&](size_t a, size_t b) { return t_.names[a] < t_.names[b]; });
  for (const size_t name_at : found) {
    char name[NAME_MAX + 1];  // the table may move while this loop adds to it
    const std::string_view listed = t_.names[name_at];
    std::memcpy(name, listed.data(), std::min(listed.size(), sizeof name - 1));
    name[std::min(listed.size(), sizeof name - 1)] = 0;
    const size_t file = t_.names.Join(path, name);
    if (file == SIZE_MAX) return void(memory_ok = false);
    struct stat st {};
    if (::fstatat(folder.fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      Failed(file, TAV_WHY_FOLDER, errno);
    } else if (S_ISREG(st.st_mode)) {
      AddFile(index, name, st);
    } else if (S_ISLNK(st.st_mode)) {
      Skip(file, TAV_WHY_LINK);
    } else if (!S_ISDIR(st.st_mode)) {
      Skip(file, TAV_WHY_SPECIAL);
    } else if (t_.out_root >= 0 && st.st_dev == t_.out_dev && st.st_ino == t_.out_ino) {
      // OUT inside the tree is not walked into.
    } else if (Scanned(t_, st.st_dev, st.st_ino)) {
      Skip(file, TAV_WHY_TWICE);
    } else if (!AddFolder(Found(index, name_at, file, st))) {
      return;
    }
  }
}

tav_status Walk::AddTop(const char* path, int& error) {
  const size_t shown = t_.names.Add(path);
  if (shown == SIZE_MAX) return memory_ok = false, TAV_NO_MEMORY;
  io::Fd top(::open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat st {};
  if (!top.ok() || ::fstat(top.get(), &st) != 0) {
    error = errno;
    Send(t_, TAV_TREE_FAILED, error == ELOOP ? TAV_WHY_LINK : TAV_WHY_NONE, path, nullptr, nullptr, TAV_BAD_SOURCE,
         error, 0);
    return TAV_BAD_SOURCE;
  }
  if (S_ISDIR(st.st_mode)) {
    if (Scanned(t_, st.st_dev, st.st_ino)) {
      Skip(shown, TAV_WHY_TWICE);
      return TAV_OK;
    }
    if (!AddFolder(Found(SIZE_MAX, shown, shown, st))) return TAV_NO_MEMORY;
    for (size_t i = t_.sources.list.size() - 1; i < t_.sources.list.size() && memory_ok; ++i) Scan(i);
    return memory_ok ? TAV_OK : TAV_NO_MEMORY;
  }
  if (!S_ISREG(st.st_mode)) {
    error = 0;
    Send(t_, TAV_TREE_FAILED, TAV_WHY_SPECIAL, path, nullptr, nullptr, TAV_BAD_SOURCE, 0, 0);
    return TAV_BAD_SOURCE;
  }
  // A single file: its own folder is the one to work in.
  const std::string_view p = path;
  const size_t slash = p.rfind('/');
  char dir[PATH_MAX];
  const std::string_view dir_part = slash == std::string_view::npos ? "." : slash == 0 ? "/" : p.substr(0, slash);
  if (dir_part.size() >= sizeof dir) {
    error = ENAMETOOLONG;
    Send(t_, TAV_TREE_FAILED, TAV_WHY_NONE, path, nullptr, nullptr, TAV_BAD_SOURCE, error, 0);
    return TAV_BAD_SOURCE;
  }
  std::memcpy(dir, dir_part.data(), dir_part.size());
  dir[dir_part.size()] = 0;
  io::Fd folder(::open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  struct stat dir_st {};
  if (!folder.ok() || ::fstat(folder.get(), &dir_st) != 0) {
    error = errno;
    Send(t_, TAV_TREE_FAILED, TAV_WHY_FOLDER, dir, nullptr, nullptr, TAV_BAD_SOURCE, error, 0);
    return TAV_BAD_SOURCE;
  }
  Folder f;
  f.name = t_.names.Add(dir);
  f.path = slash == std::string_view::npos ? 0 : t_.names.Add(dir);
  f.dev = dir_st.st_dev;
  f.ino = dir_st.st_ino;
  f.known = true;
  f.follow = true;
  if (f.name == SIZE_MAX || f.path == SIZE_MAX || !t_.sources.Add(f)) return memory_ok = false, TAV_NO_MEMORY;
  const Added added = AddFile(t_.sources.list.size() - 1, slash == std::string_view::npos ? p : p.substr(slash + 1), st);
  if (!memory_ok) return TAV_NO_MEMORY;
  if (added == Added::no) {
    // Named on its own, a file the job would leave alone is a mistake.
    Send(t_, TAV_TREE_FAILED, TAV_WHY_NOT_FOR_JOB, path, nullptr, nullptr, TAV_BAD_SOURCE, 0, 0);
    return TAV_BAD_SOURCE;
  }
  return TAV_OK;
}

// ---- Planning: the outputs -------------------------------------------------

// The mirror under OUT: the source folders' names and modes, but a top
// folder named ".", ".." or "/" and a single file's folder are OUT itself.
bool PlanMirror(tav_tree& t) {
  Array<size_t> out_of;
  for (size_t i = 0; i < t.sources.list.size(); ++i) {
    const Folder& f = t.sources.list[i];
    const bool top = f.parent == SIZE_MAX;
    const std::string_view name = top ? MirrorName(t.names[f.path]) : t.names[f.name];
    size_t index = SIZE_MAX;
    if (!f.follow && !name.empty()) {
      Folder m;
      m.parent = top ? SIZE_MAX : out_of[f.parent];
      m.name = top ? t.names.Add(name) : f.name;
      m.path = t.names.Join(m.parent == SIZE_MAX ? t.out_path : t.mirror.list[m.parent].path, t.names[m.name]);
      m.mode = f.mode;
      if (m.name == SIZE_MAX || m.path == SIZE_MAX || !t.mirror.Add(m)) return false;
      index = t.mirror.list.size() - 1;
    }
    if (!out_of.Push(index)) return false;
  }
  for (Entry& e : t.entries) e.out_folder = out_of[e.folder];
  return true;
}

size_t OutputPath(tav_tree& t, const Entry& e) {
  const size_t dir = InPlace(t)                  ? t.sources.list[e.folder].path
                     : e.out_folder == SIZE_MAX ? t.out_path
                                                : t.mirror.list[e.out_folder].path;
  return t.names.Join(dir, t.names[e.out_name]);
}

// Two outputs on one name, or an output over an input: each pair reported.
bool Refused(tav_tree& t, bool& memory_ok) {
  Index outputs;
  bool refused = false;
  Array<size_t> paths;  // each entry's output path
  for (size_t i = 0; i < t.entries.size(); ++i) {
    const Entry& e = t.entries[i];
    const size_t out = OutputPath(t, e);
    if (out == SIZE_MAX || !paths.Push(out)) return memory_ok = false, true;
    // In place an output is known by its folder; a mirror's may not exist yet.
    const Folder& f = t.sources.list[e.folder];
    const std::string_view out_name = t.names[e.out_name];
    const uint64_t hash = InPlace(t) ? HashInput(f, out_name) : Hash(t.names[out].data(), t.names[out].size());
    const size_t twin = outputs.Find(hash, [&](size_t j) {
      const Entry& other = t.entries[j];
      if (!InPlace(t)) return t.names[paths[j]] == t.names[out];
      const Folder& of = t.sources.list[other.folder];
      return of.dev == f.dev && of.ino == f.ino && t.names[other.out_name] == out_name;
    });
    const auto source = [&](const Entry& x) { return t.names.Join(t.sources.list[x.folder].path, t.names[x.name]); };
    if (twin != SIZE_MAX) {
      const size_t a = source(t.entries[twin]), b = source(e);
      if (a == SIZE_MAX || b == SIZE_MAX) return memory_ok = false, true;
      Send(t, TAV_TREE_REFUSED, TAV_WHY_TWIN, t.names.c_str(b), t.names.c_str(a), t.names.c_str(out), TAV_BAD_DEST, 0,
           0);
      refused = true;
      continue;
    }
    if (!outputs.Insert(hash, i)) return memory_ok = false, true;
    const size_t input = !InPlace(t) ? SIZE_MAX : t.inputs.Find(HashInput(f, out_name), [&](size_t j) {
      const Folder& of = t.sources.list[t.entries[j].folder];
      return of.dev == f.dev && of.ino == f.ino && t.names[t.entries[j].name] == out_name;
    });
    if (input != SIZE_MAX) {
      const size_t b = source(e);
      if (b == SIZE_MAX) return memory_ok = false, true;
      Send(t, TAV_TREE_REFUSED, TAV_WHY_INPUT_OUTPUT, t.names.c_str(b), nullptr, t.names.c_str(out), TAV_BAD_DEST, 0,
           0);
      refused = true;
    }
  }
  return refused;
}

// The mirror's folders that exist already (nothing is made): refused when
// one of them is a folder walked, whose inputs the outputs would then join.
bool MirrorOnWalkedFolder(tav_tree& t) {
  if (t.out_root < 0) return false;
  for (size_t i = 0; i < t.mirror.list.size(); ++i) {
    Folder& f = t.mirror.list[i];
    if (f.parent != SIZE_MAX && !t.mirror.list[f.parent].known) continue;
    const Held parent = f.parent == SIZE_MAX ? Held(t.out_root) : Held(&t.mirror, f.parent);
    struct stat st {};
    if (parent.fd < 0 || ::fstatat(parent.fd, t.names.c_str(f.name), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISDIR(st.st_mode)) {
      continue;
    }
    f.dev = st.st_dev;
    f.ino = st.st_ino;
    f.known = true;
    if (Scanned(t, f.dev, f.ino)) {  // the first one says it: its subfolders follow
      Send(t, TAV_TREE_REFUSED, TAV_WHY_MIRROR_WALKED, nullptr, nullptr, t.names.c_str(f.path), TAV_BAD_DEST, 0, 0);
      return true;
    }
  }
  return false;
}

// Large files first (each runs alone on many threads), so that the small
// ones fill the threads at the end; otherwise in the order of the walk.
bool LargeFirst(tav_tree& t) {
  Array<Entry> ordered;
  if (!ordered.Reserve(t.entries.size() + 1)) return false;
  for (const bool large : {true, false}) {
    for (const Entry& e : t.entries) {
      if (e.large == large) (void)ordered.Push(e);
    }
  }
  t.entries.Swap(ordered);
  return true;
}

// ---- Running ----------------------------------------------------------------

// Makes the mirror's missing folders, private while the job runs.
void MakeMirror(tav_tree& t) {
  for (size_t i = 0; i < t.mirror.list.size(); ++i) {
    Folder& f = t.mirror.list[i];
    if (f.known) continue;
    const Held parent = f.parent == SIZE_MAX ? Held(t.out_root) : Held(&t.mirror, f.parent);
    if (parent.fd < 0) continue;  // its files fail, naming the folder
    f.created = ::mkdirat(parent.fd, t.names.c_str(f.name), 0700) == 0;
    if (!f.created && errno != EEXIST) continue;
    io::Fd made(::openat(parent.fd, t.names.c_str(f.name), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (!made.ok() || ::fstat(made.get(), &st) != 0) continue;
    f.dev = st.st_dev;
    f.ino = st.st_ino;
    f.known = true;
  }
}

// The plain length of an expanded file of `size` bytes, or UINT64_MAX when
// no plain length gives that size.
uint64_t PlainLength(const tav_keys& keys, uint64_t size) {
  uint64_t low = 0, high = size;
  while (low < high) {
    const uint64_t mid = low + (high - low) / 2;
    if (expanded::UnitsBytes(keys, 0, mid) < size) {
      low = mid + 1;
    } else {
      high = mid;
    }
  }
  return expanded::UnitsBytes(keys, 0, low) == size ? low : UINT64_MAX;
}

// Reads the plain bytes of one file: as they are, or decrypted from the block
// or the expanded format; the check of a source before it is wiped.
class PlainReader {
 public:
  enum class Form { plain, block, expanded };
  PlainReader(const tav_keys& keys, int fd, Form form, uint8_t* raw) : keys_(keys), fd_(fd), form_(form), raw_(raw) {
    if (form_ == Form::expanded) engine::CipherStart(cipher_, keys.tables, 0);
  }
  ~PlainReader() {
    engine::CipherWipe(cipher_);
    SecureZeroObject(picker_);
  }
  PlainReader(const PlainReader&) = delete;
  PlainReader& operator=(const PlainReader&) = delete;

  // Up to kCheckBytes plain bytes into `out`; 0 at the end, -1 on an error.
  int64_t Next(uint8_t* out) {
    for (;;) {
      const int64_t got = io::PreadFull(fd_, form_ == Form::plain ? out : raw_, kCheckBytes, offset_);
      if (got <= 0) return got;
      const auto n = static_cast<size_t>(got);
      const uint64_t at = std::exchange(offset_, offset_ + got);
      if (form_ == Form::plain) return got;
      if (form_ == Form::block) {
        engine::Cipher c;
        engine::CipherStart(c, keys_.tables, at);
        std::memcpy(out, raw_, n);
        engine::CipherDecrypt(c, out, n);
        engine::CipherWipe(c);
        return got;
      }
      size_t consumed = 0;
      const size_t plain = expanded::Pick(keys_, picker_, raw_, n, out, n, consumed);
      engine::CipherDecrypt(cipher_, out, plain);
      if (plain > 0) return static_cast<int64_t>(plain);  // a stretch of filler only gives nothing
    }
  }

 private:
  const tav_keys& keys_;
  int fd_;
  Form form_;
  uint8_t* raw_;
  int64_t offset_ = 0;
  expanded::Picker picker_;
  engine::Cipher cipher_;
};

struct Run;

struct FileProgress {
  Run* run;
  uint64_t reported = 0;
};

// One thread's share of the outputs waiting for a flush.
struct Batch {
  Waiting* slots = nullptr;
  size_t capacity = 0, used = 0;
  uint64_t bytes = 0;
};

enum class Outcome { ended, waiting, cancelled };

// What the threads of one run share.
struct Run {
  tav_tree& t;
  const tav_keys& keys;
  int large_workers = 1;
  std::atomic<size_t> next{0};
  std::atomic<size_t> published{0};  // entries finished, in t.order
  std::atomic<uint64_t> bytes{0};
  std::atomic<bool> cancel{false};    // the caller's progress callback said stop
  std::atomic<bool> failed{false};
  size_t batch_files = 0;            // outputs each thread lets wait for one flush; 0: each flushed alone
  std::atomic<size_t> joined{0};     // threads that took their share of t.waiting
  pthread_rwlock_t large = PTHREAD_RWLOCK_INITIALIZER;  // a large file runs alone
  size_t reported = 0;               // on the caller's thread only
  uint64_t total = 0;

  bool Stopping() const { return cancel.load() || (t.options.fail_fast && failed.load()); }

  void Publish(size_t index) {
    const size_t slot = published.fetch_add(1);
    std::atomic_ref<size_t>(t.order[slot]).store(index + 1, std::memory_order_release);
  }

  static int Progress(void* context, uint64_t done, uint64_t) {
    auto* p = static_cast<FileProgress*>(context);
    if (done > p->reported) p->run->bytes += done - std::exchange(p->reported, done);
    return p->run->Stopping() ? 1 : 0;
  }

  // On the caller's thread: the reports of the files finished since the last
  // time, then the progress.
  void Monitor() {
    for (; reported < t.entries.size(); ++reported) {
      const size_t index = std::atomic_ref<size_t>(t.order[reported]).load(std::memory_order_acquire);
      if (index == 0) break;
      Report(t.entries[index - 1]);
    }
    const tav_options& o = t.options;
    if (o.progress != nullptr && !cancel.load() && o.progress(o.progress_context, bytes.load(), total) != 0) {
      cancel = true;
    }
  }

  void Report(const Entry& e) {
    char source[2 * PATH_MAX], output[2 * PATH_MAX];
    const std::string_view dir = t.names[t.sources.list[e.folder].path];
    std::snprintf(source, sizeof source, "%.*s%s%s", static_cast<int>(dir.size()), dir.data(),
                  dir.empty() || dir.ends_with('/') ? "" : "/", t.names.c_str(e.name));
    const std::string_view out = t.names[InPlace(t)                  ? t.sources.list[e.folder].path
                                         : e.out_folder == SIZE_MAX ? t.out_path
                                                                    : t.mirror.list[e.out_folder].path];
    std::snprintf(output, sizeof output, "%.*s%s%s", static_cast<int>(out.size()), out.data(),
                  out.empty() || out.ends_with('/') ? "" : "/", t.names.c_str(e.out_name));
    Send(t, e.event, e.why, source, nullptr, output, e.status, e.error, e.size);
  }

  void Finish(Entry& e, tav_tree_event event, tav_tree_why why, tav_status status, int error) {
    e.event = event;
    e.why = why;
    e.status = status;
    e.error = error;
    if (event == TAV_TREE_FAILED) failed = true;
  }

  bool Complete(const Entry& e, int source, int out_dir) const;
  bool Verify(const Entry& e, int source, int output, uint8_t* space, tav_tree_why& why);
  void CheckAndWipe(Entry& e, int source, const struct stat& st, int src_dir, int out_dir, uint8_t* space);
  Outcome Process(Entry& e, uint8_t* space, FileProgress& progress, Batch& batch);
  Batch TakeBatch() {
    const size_t k = joined++;
    return {&t.waiting[k * batch_files], batch_files};
  }
  void Settle(Batch& batch);
  static void Body(void* context, uint8_t* space);
};

bool Run::Complete(const Entry& e, int source, int out_dir) const {
  struct stat in {}, out {};
  if (::fstat(source, &in) != 0 || ::fstatat(out_dir, t.names.c_str(e.out_name), &out, AT_SYMLINK_NOFOLLOW) != 0 ||
      !S_ISREG(out.st_mode)) {
    return false;
  }
  const auto in_size = static_cast<uint64_t>(in.st_size), out_size = static_cast<uint64_t>(out.st_size);
  if (!e.expanded) return in_size == out_size;
  if (!keys.has_pad) return false;
  if (t.options.decrypt) return PlainLength(keys, in_size) == out_size;
  return in_size <= UINT64_MAX / static_cast<uint64_t>(keys.pad_max_unit) &&
         expanded::UnitsBytes(keys, 0, in_size) == out_size;
}

// The plain file and the decryption of the cipher file, compared as they
// stream, a piece of each at a time.
bool Run::Verify(const Entry& e, int source, int output, uint8_t* space, tav_tree_why& why) {
  uint8_t* a = space;
  uint8_t* b = space + kCheckBytes;
  uint8_t* raw = space + 2 * kCheckBytes;
  const bool encrypted = !t.options.decrypt;
  PlainReader plain(keys, encrypted ? source : output, PlainReader::Form::plain, raw);
  PlainReader decrypted(keys, encrypted ? output : source,
                        e.expanded ? PlainReader::Form::expanded : PlainReader::Form::block, raw);
  size_t a_at = 0, a_len = 0, b_at = 0, b_len = 0;
  bool same = true;
  for (;;) {
    if (Stopping()) {
      why = TAV_WHY_STOPPED;
      same = false;
      break;
    }
    if (a_at == a_len) a_at = 0, a_len = 0;
    if (b_at == b_len) b_at = 0, b_len = 0;
    const int64_t got_a = a_len == 0 ? plain.Next(a) : 1;
    const int64_t got_b = b_len == 0 ? decrypted.Next(b) : 1;
    if (got_a < 0 || got_b < 0) {
      why = TAV_WHY_READ_BACK;
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
    if (std::memcmp(a + a_at, b + b_at, n) != 0) {
      same = false;
      break;
    }
    a_at += n;
    b_at += n;
  }
  SecureZero(space, 3 * kCheckBytes);
  if (!same && why == TAV_WHY_NONE) why = TAV_WHY_MISMATCH;
  return same;
}

void Run::CheckAndWipe(Entry& e, int source, const struct stat& st, int src_dir, int out_dir, uint8_t* space) {
  const char* out_name = t.names.c_str(e.out_name);
  const char* name = t.names.c_str(e.name);
  // The output as it now stands on the device, read back and compared.
  io::Fd output(::openat(out_dir, out_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat out_st {};
  // The output was flushed: dropping its cached pages makes the check read the device's copy.
  if (output.ok()) (void)::posix_fadvise(output.get(), 0, 0, POSIX_FADV_DONTNEED);
  if (!output.ok() || ::fstat(output.get(), &out_st) != 0) return Finish(e, TAV_TREE_FAILED, TAV_WHY_READ_BACK, TAV_BAD_DEST, errno);
  tav_tree_why why = TAV_WHY_NONE;
  if (!Verify(e, source, output.get(), space, why)) {
    if (why == TAV_WHY_STOPPED) return Finish(e, TAV_TREE_WRITTEN, why, TAV_OK, 0);
    struct stat now {};
    if (why == TAV_WHY_MISMATCH && ::fstatat(out_dir, out_name, &now, AT_SYMLINK_NOFOLLOW) == 0 &&
        now.st_dev == out_st.st_dev && now.st_ino == out_st.st_ino) {
      (void)::unlinkat(out_dir, out_name, 0);
    }
    return Finish(e, TAV_TREE_FAILED, why, TAV_BAD_DEST, 0);
  }
  // Checked, but asked to stop: nothing more is destroyed.
  if (Stopping()) return Finish(e, TAV_TREE_WRITTEN, TAV_WHY_STOPPED, TAV_OK, 0);
  // A wipe goes through the file's blocks: with another name the file lives
  // on elsewhere, perhaps outside the folders named, and is not ours to destroy.
  struct stat now {};
  if (::fstat(source, &now) == 0 && now.st_nlink > 1) return Finish(e, TAV_TREE_WRITTEN, TAV_WHY_HARD_LINKS, TAV_OK, 0);
  // The file checked, opened again for writing through its folder and known
  // by device and inode: the wipe overwrites that file and removes the name
  // only while it still leads there.
  io::Fd writable(::openat(src_dir, name, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!writable.ok()) return Finish(e, TAV_TREE_FAILED, errno == ENOENT || errno == ELOOP ? TAV_WHY_REPLACED : TAV_WHY_WIPE, TAV_BAD_SOURCE, errno);
  if (::fstat(writable.get(), &now) != 0 || now.st_dev != st.st_dev || now.st_ino != st.st_ino) {
    return Finish(e, TAV_TREE_FAILED, TAV_WHY_REPLACED, TAV_BAD_SOURCE, 0);
  }
  int error = 0;
  const tav_status wiped = ops::WipeOpenFile(writable.get(), src_dir, name, {space, kWipeBytes}, error);
  if (wiped != TAV_OK) {
    return Finish(e, TAV_TREE_FAILED, error == ESTALE ? TAV_WHY_REPLACED : TAV_WHY_WIPE, wiped, error);
  }
  Finish(e, e.event, e.why, TAV_OK, 0);
}

Outcome Run::Process(Entry& e, uint8_t* space, FileProgress& progress, Batch& batch) {
  const tav_options& o = t.options;
  const Held src_dir(&t.sources, e.folder);
  if (src_dir.fd < 0) {
    Finish(e, TAV_TREE_FAILED, src_dir.error == ESTALE ? TAV_WHY_CHANGED : TAV_WHY_FOLDER, TAV_BAD_SOURCE, src_dir.error);
    return Outcome::ended;
  }
  const Held out_dir = InPlace(t)                 ? Held(src_dir.fd)
                       : e.out_folder == SIZE_MAX ? Held(t.out_root)
                                                  : Held(&t.mirror, e.out_folder);
  if (out_dir.fd < 0) {
    Finish(e, TAV_TREE_FAILED, TAV_WHY_FOLDER, TAV_BAD_DEST, out_dir.error);
    return Outcome::ended;
  }
  // Opened once, never through a link; the transfer reads this very descriptor.
  io::Fd source(::openat(src_dir.fd, t.names.c_str(e.name), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat st {};
  if (!source.ok() || ::fstat(source.get(), &st) != 0) {
    Finish(e, TAV_TREE_FAILED, TAV_WHY_NONE, TAV_BAD_SOURCE, errno);
    return Outcome::ended;
  }
  if (!S_ISREG(st.st_mode)) {
    Finish(e, TAV_TREE_FAILED, TAV_WHY_CHANGED, TAV_BAD_SOURCE, 0);
    return Outcome::ended;
  }
  if (o.resume && !o.replace && Complete(e, source.get(), out_dir.fd)) {
    Finish(e, TAV_TREE_SKIPPED, TAV_WHY_DONE, TAV_OK, 0);
    if (o.wipe_source) CheckAndWipe(e, source.get(), st, src_dir.fd, out_dir.fd, space);
    return Outcome::ended;
  }
  // Large files flush alone: their flush is small beside their cipher work.
  Waiting* slot = batch.used < batch.capacity && !e.large ? &batch.slots[batch.used] : nullptr;
  const ops::FileJob job{.keys = &keys,
                         .expanded = e.expanded,
                         .decrypt = o.decrypt,
                         .source_fd = source.get(),
                         .source_offset = 0,
                         .workers = e.large ? large_workers : 1,
                         .dest_dirfd = out_dir.fd,
                         .destination = t.names.c_str(e.out_name),
                         .policy = {.replace = o.replace,
                                    .clear_old = false,
                                    .source_mode = true,
                                    .keep_times = true,
                                    .durable = o.durable || o.wipe_source},
                         .progress = Progress,
                         .progress_context = &progress,
                         .unnamed = slot != nullptr ? &slot->file : nullptr};
  int error = 0;
  // A small file in block mode lends the transfer only what it needs: the
  // transfer wipes all it was lent, and most files of a tree are small.
  ops::Buffers buffers = reinterpret_cast<Space*>(space)->View();
  if (!e.expanded) {
    constexpr uint64_t kLeast = uint64_t{64} << 10;
    const uint64_t need = std::max(kLeast, (e.size + kLeast) / kLeast * kLeast);
    buffers.block_bytes = buffers.region_bytes = static_cast<size_t>(std::min<uint64_t>(need, buffers.block_bytes));
  }
  const tav_status status = ops::RunFile(job, buffers, error);
  if (status == TAV_CANCELLED) return Outcome::cancelled;
  if (status != TAV_OK) {
    Finish(e, TAV_TREE_FAILED, TAV_WHY_NONE, status, error);
    return Outcome::ended;
  }
  if (slot != nullptr) {
    slot->entry = static_cast<size_t>(&e - &t.entries[0]);
    ++batch.used;
    batch.bytes += e.size;
    return Outcome::waiting;
  }
  Finish(e, TAV_TREE_WRITTEN, TAV_WHY_NONE, TAV_OK, 0);
  if (o.wipe_source) CheckAndWipe(e, source.get(), st, src_dir.fd, out_dir.fd, space);
  return Outcome::ended;
}

// One syncfs per file system the batch wrote to, then the names. Since Linux
// 5.8 syncfs also reports a write-back error of the file system met since
// the file was opened; an error fails every file it covered.
void Run::Settle(Batch& batch) {
  std::array<dev_t, kWaitingFiles> devices{};
  std::array<int, kWaitingFiles> flushed{};
  size_t known = 0;
  for (size_t k = 0; k < batch.used; ++k) {
    Waiting& w = batch.slots[k];
    Entry& e = t.entries[w.entry];
    struct stat st {};
    int error = ::fstat(w.file.fd(), &st) == 0 ? 0 : errno;
    if (error == 0) {
      size_t d = 0;
      while (d < known && devices[d] != st.st_dev) ++d;
      if (d == known) {
        devices[known] = st.st_dev;
#ifdef TAVSDK_TEST_SEAM
        if (io::step_hook != nullptr) (void)io::step_hook(io::Step::destination_flush, w.file.fd());
#endif
        flushed[known++] = ::syncfs(w.file.fd()) == 0 ? 0 : errno;
      }
      error = flushed[d];
    }
    if (error == 0 && w.file.Commit(t.options.replace, error, false)) {
      Finish(e, TAV_TREE_WRITTEN, TAV_WHY_NONE, TAV_OK, 0);
    } else {
      Finish(e, TAV_TREE_FAILED, TAV_WHY_NONE, error == EEXIST && !t.options.replace ? TAV_EXISTS : TAV_BAD_DEST,
             error);
    }
    w.file.Close();
    Publish(w.entry);
  }
  batch.used = 0;
  batch.bytes = 0;
}

void Run::Body(void* context, uint8_t* space) {
  auto& run = *static_cast<Run*>(context);
  Batch batch = run.TakeBatch();
  for (;;) {
    if (run.Stopping()) break;
    const size_t i = run.next++;
    if (i >= run.t.entries.size()) break;
    Entry& e = run.t.entries[i];
    if (e.large) {
      pthread_rwlock_wrlock(&run.large);
    } else {
      pthread_rwlock_rdlock(&run.large);
    }
    FileProgress progress{&run};
    const Outcome outcome = run.Process(e, space, progress, batch);
    pthread_rwlock_unlock(&run.large);
    if (outcome == Outcome::cancelled) break;
    // Every file that ended counts whole, whatever its progress said.
    run.bytes += e.size - std::min(e.size, progress.reported);
    if (outcome == Outcome::ended) run.Publish(i);
    if (batch.used == batch.capacity || batch.bytes >= kWaitingBytes) run.Settle(batch);
  }
  // Outputs already complete take their names, after a cancel too.
  run.Settle(batch);
}

// How many outputs each of `threads` threads may keep waiting for a flush:
// each holds a descriptor, so at most half of what the soft limit leaves
// beside the walk's few dozen; none where that makes no batch.
size_t WaitingShare(size_t threads) {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur <= 128) return 0;
  const size_t share = static_cast<size_t>(std::min<rlim_t>(kWaitingFiles, (limit.rlim_cur - 128) / 2)) / threads;
  return share >= 2 ? share : 0;
}

}  // namespace
}  // namespace tav::tree

using tav::tree::Array;

extern "C" {

TAVSDK_API tav_status tav_tree_new(tav_tree** tree, const tav_options* options, const char* const* inputs,
                                   size_t count, const char* output_dir, tav_tree_fn report, void* context,
                                   int* error) {
  int err = 0;
  if (error != nullptr) *error = 0;
  if (tree == nullptr) return TAV_BAD_ARGUMENT;
  *tree = nullptr;
  if (options == nullptr || inputs == nullptr || count == 0 || (options->wipe_source && options->decrypt))
    return TAV_BAD_ARGUMENT;
  for (size_t i = 0; i < count; ++i) {
    if (inputs[i] == nullptr) return TAV_BAD_ARGUMENT;
  }
  tav_tree* t = tav::core::Make<tav_tree>();
  if (t == nullptr) return TAV_NO_MEMORY;
  t->options = *options;
  t->report = report;
  t->context = context;
  t->sources.names = &t->names;
  t->mirror.names = &t->names;
  tav_status status = TAV_OK;
  if (output_dir != nullptr) {
    t->out_path = t->names.Add(output_dir);
    t->out_root = ::open(output_dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat st {};
    if (t->out_path == SIZE_MAX) {
      status = TAV_NO_MEMORY;
    } else if (t->out_root >= 0 && ::fstat(t->out_root, &st) == 0) {
      t->out_dev = st.st_dev;
      t->out_ino = st.st_ino;
      t->mirror.root = t->out_root;
    } else if (t->out_root >= 0 || errno != ENOENT) {
      err = errno;
      status = TAV_BAD_DEST;
    }
  }
  tav::tree::Walk walk(*t);
  for (size_t i = 0; i < count && status != TAV_NO_MEMORY && status != TAV_BAD_DEST; ++i) {
    int top_error = 0;
    const tav_status added = walk.AddTop(inputs[i], top_error);
    if (added != TAV_OK && status == TAV_OK) status = added, err = top_error;
    if (added == TAV_NO_MEMORY) status = added;
  }
  bool memory_ok = walk.memory_ok;
  if (status == TAV_OK && !tav::tree::InPlace(*t) && !tav::tree::PlanMirror(*t)) memory_ok = false;
  if (status == TAV_OK && memory_ok && (tav::tree::Refused(*t, memory_ok) || tav::tree::MirrorOnWalkedFolder(*t))) {
    status = TAV_BAD_DEST;
  }
  if (status == TAV_OK && !memory_ok) status = TAV_NO_MEMORY;
  if (status == TAV_OK) {
    t->inline_space = static_cast<uint8_t*>(tav::core::Allocate(tav::tree::kInlineSpace));
    if (t->inline_space == nullptr || !tav::tree::LargeFirst(*t) || !t->order.Reserve(t->entries.size() + 1)) {
      status = TAV_NO_MEMORY;
    }
    for (size_t i = 0; status == TAV_OK && i < t->entries.size(); ++i) (void)t->order.Push(0);
  }
  if (status != TAV_OK) {
    tav_tree_free(t);
    if (error != nullptr) *error = err;
    return status;
  }
  *tree = t;
  return TAV_OK;
}

TAVSDK_API size_t tav_tree_files(const tav_tree* tree, uint64_t* bytes) {
  uint64_t total = 0;
  if (tree != nullptr) {
    for (const auto& e : tree->entries) total += e.size;
  }
  if (bytes != nullptr) *bytes = total;
  return tree == nullptr ? 0 : tree->entries.size();
}

TAVSDK_API tav_status tav_tree_run(tav_tree* tree, const tav_keys* keys, int* error) {
  if (error != nullptr) *error = 0;
  if (tree == nullptr || keys == nullptr || tree->ran) return TAV_BAD_ARGUMENT;
  tav_tree& t = *tree;
  t.ran = true;
  const tav_options& o = t.options;
  if (o.expanded() && !keys->has_pad) return TAV_NO_KEYS;
  if (!tav::tree::InPlace(t) && t.out_root < 0) {
    const char* out = t.names.c_str(t.out_path);
    if (::mkdir(out, 0777) == 0 || errno == EEXIST) t.out_root = ::open(out, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (t.out_root < 0) {
      if (error != nullptr) *error = errno;
      return TAV_BAD_DEST;
    }
  }
  t.mirror.root = t.out_root;
  tav::tree::MakeMirror(t);
  tav::tree::Run run{.t = t, .keys = *keys};
  (void)tav_tree_files(&t, &run.total);
  const int files = o.files > 0 ? o.files : tav::workers::Count();
  const int threads = static_cast<int>(std::min<size_t>(static_cast<size_t>(files), std::max<size_t>(t.entries.size(), 1)));
  run.large_workers = o.workers > 0 ? o.workers : files;
  // A wiped source waits for its own output's flush, and its check.
  if (o.durable && !o.wipe_source) run.batch_files = tav::tree::WaitingShare(static_cast<size_t>(threads));
  const auto monitor = [](void* context) { static_cast<tav::tree::Run*>(context)->Monitor(); };
  if (tav::workers::Run(threads, tav::tree::Run::Body, &run, monitor) == 0) {
    // No thread to be had: this one does the work, reporting between files.
    const size_t all = t.entries.size();
    tav::tree::Batch batch = run.TakeBatch();
    while (!run.Stopping() && run.next.load() < all) {
      const size_t before = run.next.load();
      tav::tree::Entry& e = t.entries[before];
      run.next = before + 1;
      tav::tree::FileProgress progress{&run};
      const tav::tree::Outcome outcome = run.Process(e, t.inline_space, progress, batch);
      if (outcome == tav::tree::Outcome::cancelled) break;
      run.bytes += e.size - std::min(e.size, progress.reported);
      if (outcome == tav::tree::Outcome::ended) run.Publish(before);
      if (batch.used == batch.capacity || batch.bytes >= tav::tree::kWaitingBytes) run.Settle(batch);
      run.Monitor();
    }
    run.Settle(batch);
    tav::SecureZero(t.inline_space, tav::tree::kInlineSpace);
  }
  run.Monitor();
  pthread_rwlock_destroy(&run.large);
  // Children first: a parent's mode may shut the way to them.
  for (size_t i = t.mirror.list.size(); i-- > 0;) {
    if (!t.mirror.list[i].created) continue;
    const tav::tree::Held made(&t.mirror, i);
    if (made.fd >= 0) (void)::fchmod(made.fd, t.mirror.list[i].mode);
  }
  if (t.walk_failures > 0) return TAV_BAD_SOURCE;
  for (size_t k = 0; k < run.published.load(); ++k) {
    const tav::tree::Entry& e = t.entries[t.order[k] - 1];
    if (e.event == TAV_TREE_FAILED) {
      if (error != nullptr) *error = e.error;
      return e.status;
    }
  }
  return run.cancel.load() ? TAV_CANCELLED : TAV_OK;
}

TAVSDK_API void tav_tree_free(tav_tree* tree) {
  if (tree == nullptr) return;
  if (tree->out_root >= 0) ::close(tree->out_root);
  tav::core::Release(tree->inline_space, tav::tree::kInlineSpace);
  tav::core::Destroy(tree);
}

}
