// SPDX-License-Identifier: MIT
// An output file that appears only when it is complete: it is written as an
// unnamed file in the destination's directory (or, where the file system
// has none, under a hidden temporary name there) and takes its name in one
// step once it is flushed. Until then the name keeps whatever it held; after
// a failure, a signal or a crash nothing of the output is left at the name.
#pragma once

#include <climits>
#include <sys/types.h>

#include "common/fileio.hpp"

namespace tav::io {

class NewFile {
public:
  NewFile() = default;
  NewFile(const NewFile&) = delete;
  NewFile& operator=(const NewFile&) = delete;
  ~NewFile() { Discard(); }

  // Opens the file beside `path` (relative to dirfd; links in the directory
  // part are followed), with `mode` less the umask. False, with `error` set,
  // when the directory cannot be opened or written.
  bool Open(int dirfd, const char* path, mode_t mode, int& error);

  int fd() const { return file_.get(); }

  // Flushes the file (unless `flush` is false: the caller flushes later) and
  // gives it the name. Without `replace` a name that
  // exists by now is left alone (false, EEXIST); with it, whatever stands at
  // the name is replaced in one step (a directory is not: EISDIR). A free
  // name is taken directly; to replace one, an unnamed file passes a hidden
  // name ".tav-" and 16 hex digits for two system calls, during which this
  // thread holds off every signal it can. The
  // descriptor stays open for the caller. False, with `error` set, on any
  // failure; the output is then discarded.
  bool Commit(bool replace, int& error, bool flush = true);

  // Drops an output that was not committed.
  void Discard();

  // Discard, and closes the descriptor of a committed file too.
  void Close() {
    Discard();
    file_ = Fd();
  }

private:
  bool LinkAs(const char* name, int& error);

  Fd dir_;
  Fd file_;
  char name_[NAME_MAX + 1] = {};
  char temp_[32] = {};  // the hidden temporary name, when one is in use
  bool committed_ = false;
};

// Splits path into its directory part (into dir, "." when there is none) and
// returns its last component, or null when it has none or does not fit.
const char* SplitPath(const char* path, char (&dir)[PATH_MAX]);

}  // namespace tav::io
