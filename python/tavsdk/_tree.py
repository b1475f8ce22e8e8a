# SPDX-License-Identifier: MIT
"""Whole folders: the library's folder job, its reports as a TreeResult."""

from __future__ import annotations

import ctypes
import os
import signal
import threading
from typing import Any, Callable, List, NamedTuple, Optional, Tuple

from . import _lib
from ._errors import Error, PathName, make_error
from ._keys import Keys, require_keys

__all__ = ["encrypt_tree", "decrypt_tree", "TreeResult", "TreeError"]

Progress = Callable[[int, Optional[int]], Any]


class TreeResult(NamedTuple):
    """What a tree call did: the source files written and those skipped
    (symbolic links, special files, names the job leaves alone), as paths
    relative to the source folder."""

    written: List[str]
    skipped: List[str]


class TreeError(Error):
    """Some files of a tree failed, or the job was refused before anything
    was written. ``failures`` lists (relative path, exception) pairs;
    ``result`` is what was done nonetheless."""

    failures: List[Tuple[str, Error]]
    result: TreeResult


def _encoded(path: PathName) -> bytes:
    encoded = os.fsencode(path)
    if b"\0" in encoded:
        raise ValueError("embedded null byte in path")
    return encoded


class _Job:
    """What the library reports, gathered on the calling thread."""

    def __init__(self, top: bytes, progress: Optional[Progress]) -> None:
        # The library names each file as the input followed by its path below it.
        self.prefix = top if top.endswith(b"/") else top + b"/"
        self.user_progress = progress
        self.written: List[str] = []
        self.skipped: List[str] = []
        self.failures: List[Tuple[str, Error]] = []
        self.refused = False
        self.raised: List[BaseException] = []
        self.interrupted: List[int] = []
        self.report = _lib.TREE_FN(self.heard)
        self.progress = _lib.PROGRESS_FN(self.moved)

    def below(self, path: bytes) -> str:
        return os.fsdecode(path[len(self.prefix):] if path.startswith(self.prefix) else path)

    def heard(self, context: Any, pointer: Any) -> None:
        try:
            self.take(pointer.contents)
        except BaseException as e:  # nothing may escape into the library
            self.raised.append(e)

    def take(self, r: _lib.TreeReport) -> None:
        source = self.below(r.source) if r.source else None
        output = os.fsdecode(r.output) if r.output else None
        if r.event == _lib.TREE_WRITTEN and source is not None:
            self.written.append(source)
        elif r.event == _lib.TREE_SKIPPED and source is not None:
            self.skipped.append(source)
        elif r.event == _lib.TREE_FAILED and source is not None:
            name = output if output is not None and r.status != _lib.BAD_SOURCE else os.fsdecode(r.source)
            self.failures.append((source, make_error(r.status, r.error, name)))
        elif r.event == _lib.TREE_REFUSED:
            self.refused = True
            if r.why == _lib.WHY_TWIN and source is not None and r.other:
                pair = sorted((self.below(r.other), source))
                error = make_error(_lib.BAD_DEST, 0, output, f"{' and '.join(pair)} would each be written to {output}")
                self.failures += [(name, error) for name in pair]
            elif r.why == _lib.WHY_INPUT_OUTPUT and source is not None:
                error = make_error(_lib.BAD_DEST, 0, output, f"its output {output} is another input of the job")
                self.failures.append((source, error))
            else:
                error = make_error(_lib.BAD_DEST, 0, output, f"the output folder {output} is a folder being walked")
                self.failures.append((output or "", error))

    def moved(self, context: Any, done: int, total: int) -> int:
        if self.interrupted or self.raised:
            return 1
        try:
            if self.user_progress is not None:
                self.user_progress(done, total)
        except BaseException as e:
            self.raised.append(e)
            return 1
        return 1 if self.interrupted else 0

    def error(self, files: int, refused: bool) -> TreeError:
        failures = sorted(self.failures, key=lambda failure: failure[0])
        listed = "; ".join(f"{path}: {error}" for path, error in failures)
        message = (f"the job was refused, nothing was written: {listed}" if refused
                   else f"{len(failures)} of {files} files failed: {listed}")
        error = TreeError(message)
        error.status, error.errno, error.filename, error.strerror = failures[0][1].status, None, None, message
        error.failures, error.result = failures, TreeResult(sorted(self.written), sorted(self.skipped))
        return error


def _tree(encrypt: bool, src: PathName, dst: Optional[PathName], keys: Keys, expanded: bool, replace: bool,
          threads: Optional[int], progress: Optional[Progress]) -> TreeResult:
    require_keys(keys)
    if progress is not None and not callable(progress):
        raise TypeError("progress must be callable")
    if threads is not None and threads < 1:
        raise ValueError("threads must be 1 or more")
    top, out = _encoded(src), None if dst is None else _encoded(dst)
    settings = {_lib.OPTION_DECRYPT: int(not encrypt),
                # Decryption takes each file's mode from its suffix unless told.
                _lib.OPTION_EXPANDED: 1 if expanded else 0 if encrypt else 2,
                _lib.OPTION_REPLACE: int(bool(replace)), _lib.OPTION_FILES: threads or 0}
    job = _Job(top, progress)
    tree = ctypes.c_void_p()
    error = ctypes.c_int(0)
    inputs = (ctypes.c_char_p * 1)(top)
    with _lib.options(settings, job.progress) as options:
        status = _lib.lib.tav_tree_new(ctypes.byref(tree), options, inputs, 1, out, job.report, None,
                                       ctypes.byref(error))
    if job.raised:
        _lib.lib.tav_tree_free(tree)
        raise job.raised[0]
    if status == _lib.BAD_DEST and job.refused:
        raise job.error(0, True)
    if status != _lib.OK:
        raise make_error(status, error.value, dst if status == _lib.BAD_DEST else src)
    # Python runs a signal handler only between its own bytecodes: during the
    # job Ctrl-C just marks it, and the next progress report cancels it.
    swap = (threading.current_thread() is threading.main_thread()
            and signal.getsignal(signal.SIGINT) is signal.default_int_handler)
    try:
        files = _lib.lib.tav_tree_files(tree, None)
        if swap:
            signal.signal(signal.SIGINT, lambda number, frame: job.interrupted.append(number))
        with keys._use() as handle:
            status = _lib.lib.tav_tree_run(tree, handle, ctypes.byref(error))
    finally:
        if swap:
            signal.signal(signal.SIGINT, signal.default_int_handler)
        _lib.lib.tav_tree_free(tree)
    if job.interrupted:
        raise KeyboardInterrupt
    if job.raised:
        raise job.raised[0]
    if job.failures:
        raise job.error(files, False)
    if status != _lib.OK:
        raise make_error(status, error.value, dst if status == _lib.BAD_DEST else src)
    return TreeResult(sorted(job.written), sorted(job.skipped))


def encrypt_tree(src: PathName, dst: Optional[PathName], keys: Keys, *, expanded: bool = False,
                 replace: bool = False, threads: Optional[int] = None,
                 progress: Optional[Progress] = None) -> TreeResult:
    """Encrypts every regular file below the folder `src` into NAME.tav (or
    NAME.tavx with `expanded`), beside each file (`dst` None) or mirrored
    under the folder `dst` (made when missing) as dst/LAST/..., LAST being
    the last name of `src` ("." and "/" go straight into `dst`); mirrored
    folders get their source's modes.

    Symbolic links are neither followed nor copied, and with special files
    they are listed as skipped; so are, in place, files that already end in
    .tav or .tavx. `dst` inside `src` is not walked into. A job in which two
    inputs would write one output, an output is another input, or a mirrored
    folder is a folder being walked is refused before anything is written
    (TreeError listing the inputs concerned).
    Each output takes its name only when complete and gets the source's
    permission bits and times; `replace` replaces existing outputs. `threads`
    files run at once (default: the CPU count). `progress(done, total)` is
    called on this thread about ten times a second with the bytes done and
    the bytes of all files; an exception it raises stops the job and is
    raised here. One failing file does not stop the others: at the end
    TreeError lists every failure. Ctrl-C stops the files in flight, which
    leave nothing, and raises KeyboardInterrupt.
    """
    return _tree(True, src, dst, keys, expanded, replace, threads, progress)


def decrypt_tree(src: PathName, dst: Optional[PathName], keys: Keys, *, expanded: bool = False,
                 replace: bool = False, threads: Optional[int] = None,
                 progress: Optional[Progress] = None) -> TreeResult:
    """Decrypts every NAME.tav and NAME.tavx below the folder `src` into NAME
    (.tavx in the expanded mode, .tav in the block mode unless `expanded`);
    other files are skipped. Otherwise as encrypt_tree()."""
    return _tree(False, src, dst, keys, expanded, replace, threads, progress)
