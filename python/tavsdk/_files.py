# SPDX-License-Identifier: MIT
"""Whole files, written atomically by the library."""

from __future__ import annotations

import ctypes
import errno
import os
import signal
import stat
import threading
from typing import Any, Callable, List, Optional

from . import _lib
from ._errors import Error, PathName, make_error
from ._keys import Keys, require_keys

__all__ = ["encrypt_file", "decrypt_file"]

Progress = Callable[[int, Optional[int]], Any]


def _path(path: PathName) -> bytes:
    encoded = os.fsencode(path)
    if b"\0" in encoded:
        raise ValueError("embedded null byte in path")
    return encoded


def _run(decrypt: bool, src: PathName, dst: PathName, keys: Keys, expanded: bool, replace: bool,
         source_mode: bool, progress: Optional[Progress]) -> None:
    require_keys(keys)
    _path(src)
    destination = _path(dst)
    if progress is not None and not callable(progress):
        raise TypeError("progress must be callable")
    raised: List[BaseException] = []
    interrupted: List[int] = []

    # Called on this thread with the GIL taken again.
    def report(context: Any, done: int, total: int) -> int:
        if interrupted:
            return 1
        try:
            if progress is not None:
                progress(done, None if total == _lib.SIZE_UNKNOWN else total)
        except BaseException as e:
            raised.append(e)
            return 1
        return 1 if interrupted else 0

    callback = _lib.PROGRESS_FN(report)
    error = ctypes.c_int(0)
    settings = {_lib.OPTION_DECRYPT: int(decrypt), _lib.OPTION_EXPANDED: int(bool(expanded)),
                _lib.OPTION_REPLACE: int(bool(replace)), _lib.OPTION_SOURCE_MODE: int(bool(source_mode))}
    try:
        # Not blocking on a FIFO without a writer: the library waits for data.
        source = os.open(src, os.O_RDONLY | os.O_NOCTTY | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError as e:
        raise make_error(_lib.BAD_SOURCE, e.errno or 0, src) from None
    # Python runs a signal handler when the next Python function starts, here
    # the callback: Ctrl-C's KeyboardInterrupt would escape it unseen. For the
    # call, SIGINT only marks the call to be cancelled at the next report.
    swap = (threading.current_thread() is threading.main_thread()
            and signal.getsignal(signal.SIGINT) is signal.default_int_handler)
    if swap:
        signal.signal(signal.SIGINT, lambda number, frame: interrupted.append(number))
    try:
        source_stat = os.fstat(source)
        # Regular files only, as before: a FIFO opened without a writer would
        # read as empty, and this call never blocks waiting for one.
        if not stat.S_ISREG(source_stat.st_mode):
            number = errno.EISDIR if stat.S_ISDIR(source_stat.st_mode) else errno.EINVAL
            raise make_error(_lib.BAD_SOURCE, number, src)
        # The library reads the very file opened here; it never opens it by name.
        with _lib.options(settings, callback) as options, keys._use() as handle:
            status = _lib.lib.tav_file_run(handle, options, source, 0, _lib.AT_FDCWD, destination,
                                           ctypes.byref(error))
    finally:
        os.close(source)
        if swap:
            signal.signal(signal.SIGINT, signal.default_int_handler)
    if interrupted:
        raise KeyboardInterrupt
    if raised:
        raise raised[0]
    if status != _lib.OK:
        raise _explained(status, error.value, src, dst, source_stat)


def _is_source(dst: PathName, source: os.stat_result) -> bool:
    try:
        st = os.stat(dst)
    except OSError:
        return False
    return (st.st_dev, st.st_ino) == (source.st_dev, source.st_ino)


def _explained(status: int, number: int, src: PathName, dst: PathName, source: os.stat_result) -> Error:
    """The library's failure with the name it concerns, and the reason it
    leaves to the status where it can be found out: the source as
    destination."""
    if status == _lib.BAD_SOURCE:
        return make_error(status, number, src)
    if status == _lib.BAD_DEST and _is_source(dst, source):
        return make_error(status, 0, dst, "the destination is the source")
    return make_error(status, number, dst)


def encrypt_file(src: PathName, dst: PathName, keys: Keys, *, expanded: bool = False, replace: bool = False,
                 source_mode: bool = False, progress: Optional[Progress] = None) -> None:
    """Encrypts the file `src` into `dst`.

    The output is written to an unnamed file in the destination's directory
    and takes the name only when complete: after a failure nothing new is at
    `dst`. An existing `dst` raises DestinationExistsError unless `replace`
    is true; it is then replaced in one step. `source_mode` gives `dst` the
    permission bits of `src`. `progress(done, total)` is called about ten
    times a second with the bytes read so far and the source's size (None
    when unknown); an exception it raises stops the call and is raised here.
    """
    _run(False, src, dst, keys, expanded, replace, source_mode, progress)


def decrypt_file(src: PathName, dst: PathName, keys: Keys, *, expanded: bool = False, replace: bool = False,
                 source_mode: bool = False, progress: Optional[Progress] = None) -> None:
    """Decrypts the file `src` into `dst`; arguments as for encrypt_file()."""
    _run(True, src, dst, keys, expanded, replace, source_mode, progress)
