# SPDX-License-Identifier: MIT
"""Files written by open(): unnamed until a normal close, as the library's
whole-file calls write them."""

from __future__ import annotations

import builtins
import errno
import os
import stat
from typing import Any, Optional, Tuple

from . import _lib
from ._errors import PathName, make_error

# A file system without unnamed files gets the data under such a name first;
# only a crash or SIGKILL can leave one behind.
HIDDEN_PREFIX = b".tav-"
_HIDDEN_TRIES = 8


def _hidden_name() -> bytes:
    return HIDDEN_PREFIX + os.urandom(8).hex().encode()


def _failure(e: OSError, path: PathName) -> Exception:
    status = _lib.EXISTS if isinstance(e, FileExistsError) else _lib.BAD_DEST
    return make_error(status, e.errno or 0, path)


class NewFile:
    """A new file in the directory of `path` that takes the name only at
    commit(); discard() (or a failure) leaves whatever was at the name.

    "wb" replaces the name in one step (a symbolic link there is replaced as
    a name, its target never opened) and keeps the permission bits of the
    regular file it replaces; "xb" refuses a name that exists at open or at
    commit. New files get 0666 less the umask.
    """

    def __init__(self, path: PathName, exclusive: bool) -> None:
        self.path = path
        self._exclusive = exclusive
        # A forked child's copy never removes the hidden name its parent writes under.
        self._pid = os.getpid()
        self._dirfd = self._fd = -1
        self._temp: Optional[bytes] = None
        directory, self._name = os.path.split(os.fsencode(path))
        try:
            if not self._name or self._name in (b".", b".."):
                raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR))
            self._dirfd = os.open(directory or b".", os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
            bits = self._check_name()
            self._fd = self._create()
            if bits is not None:
                os.fchmod(self._fd, bits)
        except OSError as e:
            self.discard()
            raise _failure(e, path) from e
        except BaseException:
            self.discard()
            raise

    def _check_name(self) -> Optional[int]:
        """The permission bits to keep, or None; refuses what cannot be replaced."""
        try:
            st = os.stat(self._name, dir_fd=self._dirfd, follow_symlinks=False)
        except FileNotFoundError:
            return None
        if self._exclusive:
            raise FileExistsError(errno.EEXIST, os.strerror(errno.EEXIST))
        if stat.S_ISDIR(st.st_mode):
            raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR))
        return stat.S_IMODE(st.st_mode) & 0o777 if stat.S_ISREG(st.st_mode) else None

    def _create(self) -> int:
        tmpfile = getattr(os, "O_TMPFILE", 0)
        if tmpfile:
            try:
                fd = os.open(".", tmpfile | os.O_WRONLY | os.O_CLOEXEC, 0o666, dir_fd=self._dirfd)
            except OSError as e:
                if e.errno not in (errno.EOPNOTSUPP, errno.EISDIR, errno.EINVAL):
                    raise
            else:
                # Linking it needs /proc.
                if os.path.exists(f"/proc/self/fd/{fd}"):
                    return fd
                os.close(fd)
        for _ in range(_HIDDEN_TRIES):
            name = _hidden_name()
            try:
                fd = os.open(name, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC, 0o666,
                             dir_fd=self._dirfd)
            except FileExistsError:
                continue
            self._temp = name
            return fd
        raise FileExistsError(errno.EEXIST, "no free temporary name")

    def fileobj(self) -> Any:
        return builtins.open(self._fd, "wb", buffering=0, closefd=False)

    def commit(self) -> None:
        """Flushes the file to the disk and gives it its name."""
        try:
            os.fsync(self._fd)
            if self._temp is None:
                try:
                    self._link(self._name)
                    return
                except FileExistsError:
                    if self._exclusive:
                        raise
                # An unnamed file cannot replace a name: it gets a hidden one first.
                for _ in range(_HIDDEN_TRIES):
                    name = _hidden_name()
                    try:
                        self._link(name)
                    except FileExistsError:
                        continue
                    self._temp = name
                    break
                else:
                    raise FileExistsError(errno.EEXIST, "no free temporary name")
            assert self._temp is not None
            if self._exclusive:
                os.link(self._temp, self._name, src_dir_fd=self._dirfd, dst_dir_fd=self._dirfd,
                        follow_symlinks=False)
                os.unlink(self._temp, dir_fd=self._dirfd)
            else:
                os.replace(self._temp, self._name, src_dir_fd=self._dirfd, dst_dir_fd=self._dirfd)
            self._temp = None
        except OSError as e:
            raise _failure(e, self.path) from e
        finally:
            self.discard()

    def _link(self, name: bytes) -> None:
        os.link(f"/proc/self/fd/{self._fd}", name, dst_dir_fd=self._dirfd, follow_symlinks=True)

    def discard(self) -> None:
        """Closes the file; a hidden name, if any, goes with it."""
        if self._temp is not None and self._dirfd >= 0 and os.getpid() == self._pid:
            try:
                os.unlink(self._temp, dir_fd=self._dirfd)
            except OSError:
                pass
        self._temp = None
        for fd in (self._fd, self._dirfd):
            if fd >= 0:
                os.close(fd)
        self._fd = self._dirfd = -1


def open_for_writing(path: PathName, exclusive: bool) -> Tuple[Any, Optional[NewFile]]:
    """The file object to write to, and the NewFile behind it (None for a
    character device or FIFO, written directly: no replacing applies)."""
    try:
        mode = os.lstat(path).st_mode
        special = stat.S_ISCHR(mode) or stat.S_ISFIFO(mode)
    except OSError:
        special = False  # NewFile says why
    if special and not exclusive:
        try:
            # A FIFO without a reader fails (ENXIO) instead of blocking.
            fd = os.open(path, os.O_WRONLY | os.O_NOCTTY | os.O_NONBLOCK | os.O_NOFOLLOW | os.O_CLOEXEC)
        except OSError as e:
            raise _failure(e, path) from e
        mode = os.fstat(fd).st_mode
        if stat.S_ISCHR(mode) or stat.S_ISFIFO(mode):
            os.set_blocking(fd, True)
            return builtins.open(fd, "wb", buffering=0), None
        os.close(fd)  # replaced meanwhile: written as a new file after all
    new = NewFile(path, exclusive)
    return new.fileobj(), new
