# SPDX-License-Identifier: MIT
"""Whole files, written atomically by the library."""

from __future__ import annotations

import ctypes
import errno
import os
import signal
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


def _run(function: Any, src: PathName, dst: PathName, keys: Keys, expanded: bool, replace: bool,
         source_mode: bool, progress: Optional[Progress]) -> None:
    require_keys(keys)
    source, destination = _path(src), _path(dst)
    if progress is not None and not callable(progress):
        raise TypeError("progress must be callable")
    flags = ((_lib.EXPANDED if expanded else 0) | (_lib.REPLACE if replace else 0)
             | (_lib.SOURCE_MODE if source_mode else 0))
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
    # Python runs a signal handler when the next Python function starts, here
    # the callback: Ctrl-C's KeyboardInterrupt would escape it unseen. For the
    # call, SIGINT only marks the call to be cancelled at the next report.
    swap = (threading.current_thread() is threading.main_thread()
            and signal.getsignal(signal.SIGINT) is signal.default_int_handler)
    if swap:
        signal.signal(signal.SIGINT, lambda number, frame: interrupted.append(number))
    try:
        with keys._use() as handle:
            status = function(handle, _lib.AT_FDCWD, source, _lib.AT_FDCWD, destination, flags, callback, None,
                              ctypes.byref(error))
    finally:
        if swap:
            signal.signal(signal.SIGINT, signal.default_int_handler)
    if interrupted:
        raise KeyboardInterrupt
    if raised:
        raise raised[0]
    if status != _lib.OK:
        raise _explained(status, error.value, src, dst)


def _same_file(a: PathName, b: PathName) -> bool:
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


def _explained(status: int, number: int, src: PathName, dst: PathName) -> Error:
    """The library's failure, with the reason it leaves to the status found
    out again where it can be: a directory as source, the source as
    destination."""
    if status == _lib.BAD_SOURCE:
        if number == errno.EINVAL and os.path.isdir(src):
            number = errno.EISDIR
        return make_error(status, number, src)
    if status == _lib.BAD_DEST and _same_file(src, dst):
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
    _run(_lib.lib.tav_file_encrypt_at, src, dst, keys, expanded, replace, source_mode, progress)


def decrypt_file(src: PathName, dst: PathName, keys: Keys, *, expanded: bool = False, replace: bool = False,
                 source_mode: bool = False, progress: Optional[Progress] = None) -> None:
    """Decrypts the file `src` into `dst`; arguments as for encrypt_file()."""
    _run(_lib.lib.tav_file_decrypt_at, src, dst, keys, expanded, replace, source_mode, progress)
