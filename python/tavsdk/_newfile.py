# SPDX-License-Identifier: MIT
"""Files written by open(): the library's new file, unnamed until a normal
close, as its whole-file calls write them."""

from __future__ import annotations

import builtins
import ctypes
import errno
import os
import stat
from typing import Any, Optional, Tuple

from . import _lib
from ._errors import PathName, make_error


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
        # Only the opening process may release the library's object: a forked
        # child's copy is dropped, never discarded nor named.
        self._pid = os.getpid()
        self._handle: Optional[int] = None
        encoded = os.fsencode(path)
        try:
            bits = self._check_name(encoded)
        except OSError as e:
            raise _failure(e, path) from e
        handle = ctypes.c_void_p()
        error = ctypes.c_int(0)
        status = _lib.lib.tav_newfile_open(ctypes.byref(handle), _lib.AT_FDCWD, encoded, 0o666, ctypes.byref(error))
        if status != _lib.OK:
            raise make_error(status, error.value, path)
        self._handle = handle.value
        self._fd: int = _lib.lib.tav_newfile_fd(self._handle)
        if bits is not None:
            try:
                os.fchmod(self._fd, bits)
            except OSError as e:
                self.discard()
                raise _failure(e, path) from e

    def _check_name(self, path: bytes) -> Optional[int]:
        """The permission bits to keep, or None; refuses what cannot be replaced."""
        name = os.path.basename(path)
        if not name or name in (b".", b".."):
            raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR))
        try:
            st = os.stat(path, follow_symlinks=False)
        except FileNotFoundError:
            return None
        if self._exclusive:
            raise FileExistsError(errno.EEXIST, os.strerror(errno.EEXIST))
        if stat.S_ISDIR(st.st_mode):
            raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR))
        return stat.S_IMODE(st.st_mode) & 0o777 if stat.S_ISREG(st.st_mode) else None

    def fileobj(self) -> Any:
        return builtins.open(self._fd, "wb", buffering=0, closefd=False)

    def commit(self) -> None:
        """Flushes the file to the disk and gives it its name."""
        error = ctypes.c_int(0)
        try:
            status = _lib.lib.tav_newfile_commit(self._handle, int(not self._exclusive), 1, ctypes.byref(error))
            if status != _lib.OK:
                raise make_error(status, error.value, self.path)
        finally:
            self.discard()

    def discard(self) -> None:
        """Releases the file; one not committed leaves nothing at the name."""
        handle, self._handle = self._handle, None
        if handle is not None and os.getpid() == self._pid:
            _lib.lib.tav_newfile_free(handle)

    def __del__(self) -> None:
        self.discard()


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
