# SPDX-License-Identifier: MIT
"""Whole folders: every regular file below one, many at once."""

from __future__ import annotations

import concurrent.futures
import ctypes
import os
import signal
import stat
import threading
import time
from typing import Any, Callable, Dict, List, NamedTuple, Optional, Set, Tuple

from . import _lib
from ._errors import Error, PathName, make_error
from ._keys import Keys, require_keys

__all__ = ["encrypt_tree", "decrypt_tree", "TreeResult", "TreeError"]

Progress = Callable[[int, Optional[int]], Any]

_SUFFIX, _EXPANDED_SUFFIX = ".tav", ".tavx"
# From these sizes on the library shares one file among its own workers
# (block mode, expanded encoding, expanded decoding): such files run one at a
# time so that its workers and ours do not pile up.
_LARGE_BLOCK, _LARGE_ENCODE, _LARGE_DECODE = 4 << 20, 256 << 10, 32 << 20
_DIRECTORY = os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC
# A folder by device and inode: the same folder under any name or mount.
FolderId = Tuple[int, int]


class TreeResult(NamedTuple):
    """What a tree call did: the source files written (paths relative to the
    source folder) and those skipped (symbolic links, special files, and for
    decryption files without a .tav or .tavx suffix; the output folder
    when it is inside the source)."""

    written: List[str]
    skipped: List[str]


def _folder_id(fd: int) -> FolderId:
    st = os.fstat(fd)
    return st.st_dev, st.st_ino


class TreeError(Error):
    """Some files of a tree failed. ``failures`` lists (relative path,
    exception) pairs; ``result`` is what was done nonetheless."""

    failures: List[Tuple[str, Error]]
    result: TreeResult


class _Folder(NamedTuple):
    fd: int
    out_fd: int
    path: str  # relative to the source folder ("" at its top)
    mode: int
    created: bool
    out_id: FolderId


class _Entry(NamedTuple):
    folder: int
    name: str
    out_name: str
    size: int
    expanded: bool
    large: bool


def _join(folder: str, name: str) -> str:
    return f"{folder}/{name}" if folder else name


class _Tree:
    def __init__(self, encrypt: bool, keys: Keys, expanded: bool, replace: bool) -> None:
        self.encrypt, self.keys, self.expanded, self.replace = encrypt, keys, expanded, replace
        self.in_place = False
        self.output_id: Optional[FolderId] = None  # never walked into
        self.planned = 0
        self.folders: List[_Folder] = []
        self.entries: List[_Entry] = []
        self.written: List[str] = []
        self.skipped: List[str] = []
        self.failures: List[Tuple[str, Error]] = []
        self.lock = threading.Lock()
        self.done = 0
        self.cancel = threading.Event()

    def close(self) -> None:
        for f in reversed(self.folders):
            if f.created:
                os.chmod(f.out_fd, f.mode)
            if f.out_fd != f.fd:
                os.close(f.out_fd)
            os.close(f.fd)

    def add_file(self, folder: int, name: str, size: int) -> None:
        suffix = next((s for s in (_EXPANDED_SUFFIX, _SUFFIX) if name.endswith(s) and len(name) > len(s)), "")
        # In place, the outputs of an earlier run are not encrypted again.
        if self.encrypt and not (suffix and self.in_place):
            out_name, expanded = name + (_EXPANDED_SUFFIX if self.expanded else _SUFFIX), self.expanded
        else:
            if not suffix or self.encrypt:
                self.skipped.append(_join(self.folders[folder].path, name))
                return
            out_name, expanded = name[:-len(suffix)], self.expanded or suffix == _EXPANDED_SUFFIX
        limit = _LARGE_BLOCK if not expanded else _LARGE_ENCODE if self.encrypt else _LARGE_DECODE
        self.entries.append(_Entry(folder, name, out_name, size, expanded, size >= limit))

    def add_folder(self, fd: int, out_parent: Optional[int], name: str, path: str, mode: int) -> None:
        """The folder open at `fd`, mirrored as `name` under `out_parent`
        (None: in place; "": `out_parent` itself)."""
        out_fd, created = fd, False
        try:
            if out_parent is not None and name:
                try:
                    os.mkdir(name, 0o700, dir_fd=out_parent)
                    created = True
                except FileExistsError:
                    pass
                out_fd = os.open(name, _DIRECTORY, dir_fd=out_parent)
            elif out_parent is not None:
                out_fd = os.dup(out_parent)
            out_id = _folder_id(out_fd)
        except OSError:
            if out_fd != fd:
                os.close(out_fd)
            os.close(fd)
            raise
        self.folders.append(_Folder(fd, out_fd, path, mode, created, out_id))

    def walk(self) -> None:
        """Every folder opened once, without following a link; every name
        looked at without following one."""
        index = 0
        while index < len(self.folders):
            folder = self.folders[index]
            with os.scandir(folder.fd) as scan:
                names = sorted(entry.name for entry in scan)
            for name in names:
                path = _join(folder.path, name)
                try:
                    st = os.stat(name, dir_fd=folder.fd, follow_symlinks=False)
                except OSError as e:
                    self.failures.append((path, make_error(_lib.BAD_SOURCE, e.errno or 0, path)))
                    continue
                if stat.S_ISREG(st.st_mode):
                    self.add_file(index, name, st.st_size)
                elif not stat.S_ISDIR(st.st_mode) or (st.st_dev, st.st_ino) == self.output_id:
                    self.skipped.append(path)
                else:
                    try:
                        sub = os.open(name, _DIRECTORY, dir_fd=folder.fd)
                        self.add_folder(sub, folder.out_fd if folder.out_fd != folder.fd else None, name, path,
                                        stat.S_IMODE(st.st_mode))
                    except OSError as e:
                        self.failures.append((path, make_error(_lib.BAD_DEST, e.errno or 0, path)))
            index += 1

    def plan(self) -> None:
        """Refuses, before anything is written, every input whose output
        another input would also write (one of them would be lost) or whose
        output is another input (read after it was replaced)."""
        self.planned = len(self.entries)
        inputs: Set[Tuple[FolderId, str]] = set()
        claims: Dict[Tuple[FolderId, str], List[_Entry]] = {}
        ids = [_folder_id(f.fd) for f in self.folders]
        for e in self.entries:
            inputs.add((ids[e.folder], e.name))
            claims.setdefault((self.folders[e.folder].out_id, e.out_name), []).append(e)
        kept = []
        for e in self.entries:
            folder = self.folders[e.folder]
            target = (folder.out_id, e.out_name)
            out = _join(folder.path, e.out_name)
            rivals = sorted(_join(self.folders[r.folder].path, r.name) for r in claims[target])
            if len(rivals) > 1:
                why = f"{' and '.join(rivals)} would each be written to {out}; none was"
            elif target in inputs:
                why = f"its output {out} is another input; not written"
            else:
                kept.append(e)
                continue
            self.failures.append((_join(folder.path, e.name), make_error(_lib.BAD_DEST, 0, out, why)))
        self.entries = kept

    def run_one(self, entry: _Entry) -> None:
        folder = self.folders[entry.folder]
        path = _join(folder.path, entry.name)
        reported = [0]

        def report(context: Any, done: int, total: int) -> int:
            with self.lock:
                self.done += done - reported[0]
            reported[0] = done
            return 1 if self.cancel.is_set() else 0

        callback = _lib.PROGRESS_FN(report)
        try:
            source = os.open(entry.name, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC,
                             dir_fd=folder.fd)
        except OSError as e:
            self.failed(path, make_error(_lib.BAD_SOURCE, e.errno or 0, path))
            return
        try:
            st = os.fstat(source)
            function = _lib.lib.tav_file_encrypt_at if self.encrypt else _lib.lib.tav_file_decrypt_at
            flags = ((_lib.EXPANDED if entry.expanded else 0) | _lib.SOURCE_MODE
                     | (_lib.REPLACE if self.replace else 0))
            error = ctypes.c_int(0)
            # The library reads the very file opened here, never a link swapped in.
            with self.keys._use() as handle:
                status = function(handle, _lib.AT_FDCWD, f"/proc/self/fd/{source}".encode(), folder.out_fd,
                                  os.fsencode(entry.out_name), flags, callback, None, ctypes.byref(error))
        finally:
            os.close(source)
        if status == _lib.CANCELLED:
            return
        if status != _lib.OK:
            name = path if status == _lib.BAD_SOURCE else _join(folder.path, entry.out_name)
            self.failed(path, make_error(status, error.value, name))
            return
        os.utime(entry.out_name, ns=(st.st_atime_ns, st.st_mtime_ns), dir_fd=folder.out_fd, follow_symlinks=False)
        with self.lock:
            self.done += entry.size - reported[0]
            self.written.append(path)

    def failed(self, path: str, error: Error) -> None:
        with self.lock:
            self.failures.append((path, error))

    def run(self, threads: int, progress: Optional[Progress]) -> None:
        total = sum(e.size for e in self.entries)

        def show() -> None:
            if progress is not None:
                with self.lock:
                    done = self.done
                progress(done, total)

        for entry in (e for e in self.entries if e.large):
            if self.cancel.is_set():
                return
            self.run_one(entry)
            show()
        small = [e for e in self.entries if not e.large]
        with concurrent.futures.ThreadPoolExecutor(max_workers=max(1, threads)) as pool:
            pending = [pool.submit(self.run_one_unless_cancelled, e) for e in small]
            try:
                while pending:
                    _, waiting = concurrent.futures.wait(pending, timeout=0.1)
                    pending = list(waiting)
                    show()
            except BaseException:
                self.cancel.set()
                raise
        show()

    def run_one_unless_cancelled(self, entry: _Entry) -> None:
        if not self.cancel.is_set():
            self.run_one(entry)


def _tree(encrypt: bool, src: PathName, dst: Optional[PathName], keys: Keys, expanded: bool, replace: bool,
          threads: Optional[int], progress: Optional[Progress]) -> TreeResult:
    require_keys(keys)
    if progress is not None and not callable(progress):
        raise TypeError("progress must be callable")
    if threads is not None and threads < 1:
        raise ValueError("threads must be 1 or more")
    tree = _Tree(encrypt, keys, expanded, replace)
    try:
        top = os.open(src, _DIRECTORY)
    except OSError as e:
        raise make_error(_lib.BAD_SOURCE, e.errno or 0, src) from None
    interrupted: List[int] = []
    swap = (threading.current_thread() is threading.main_thread()
            and signal.getsignal(signal.SIGINT) is signal.default_int_handler)
    try:
        out_root: Optional[int] = None
        if dst is not None:
            os.makedirs(dst, exist_ok=True)
            out_root = os.open(dst, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
            tree.output_id = _folder_id(out_root)
            if tree.output_id == _folder_id(top):
                os.close(out_root)  # the source itself: in place
                out_root = None
        tree.in_place = out_root is None
        try:
            tree.add_folder(top, out_root, "", "", 0)
        finally:
            if out_root is not None:
                os.close(out_root)
        tree.walk()
        tree.plan()
        # Ctrl-C cancels the files in flight, which then leave nothing.
        def on_interrupt(number: int, frame: Any) -> None:
            interrupted.append(number)
            tree.cancel.set()

        if swap:
            signal.signal(signal.SIGINT, on_interrupt)
        tree.run(threads or os.cpu_count() or 1, progress)
    finally:
        if swap:
            signal.signal(signal.SIGINT, signal.default_int_handler)
        tree.close()
    if interrupted:
        raise KeyboardInterrupt
    result = TreeResult(sorted(tree.written), sorted(tree.skipped))
    if tree.failures:
        failures = sorted(tree.failures, key=lambda failure: failure[0])
        listed = "; ".join(f"{path}: {error}" for path, error in failures)
        message = f"{len(failures)} of {tree.planned} files failed: {listed}"
        error = TreeError(message)
        error.status, error.errno, error.filename, error.strerror = failures[0][1].status, None, None, message
        error.failures, error.result = failures, result
        raise error
    return result


def encrypt_tree(src: PathName, dst: Optional[PathName], keys: Keys, *, expanded: bool = False,
                 replace: bool = False, threads: Optional[int] = None,
                 progress: Optional[Progress] = None) -> TreeResult:
    """Encrypts every regular file below the folder `src` into NAME.tav (or
    NAME.tavx with `expanded`), mirrored under the folder `dst` (made when
    missing; folders get the source's modes) or, with None, beside each file.

    Symbolic links are neither followed nor copied, and with special files
    they are listed as skipped; so are, in place, files that already end in
    .tav or .tavx. `dst` inside `src` is not walked into (it is listed as
    skipped); `dst` naming `src` itself means in place. Inputs that would
    write one output, or whose output is another input, are refused before
    anything is written (failures; nothing is written for them).
    Each output takes its name only when complete
    and gets the source's permission bits and times; `replace` replaces
    existing outputs. `threads` files run at once (default: the CPU count;
    files of some MiB run one at a time on the library's own workers).
    `progress(done, total)` is called on this thread about ten times a second
    with the bytes done and the bytes of all files. One failing file does not
    stop the others: at the end TreeError lists every failure. Ctrl-C stops
    the files in flight, which leave nothing, and raises KeyboardInterrupt.
    """
    return _tree(True, src, dst, keys, expanded, replace, threads, progress)


def decrypt_tree(src: PathName, dst: Optional[PathName], keys: Keys, *, expanded: bool = False,
                 replace: bool = False, threads: Optional[int] = None,
                 progress: Optional[Progress] = None) -> TreeResult:
    """Decrypts every NAME.tav and NAME.tavx below the folder `src` into NAME
    (.tavx in the expanded mode, .tav in the block mode unless `expanded`);
    other files are skipped. Otherwise as encrypt_tree()."""
    return _tree(False, src, dst, keys, expanded, replace, threads, progress)
