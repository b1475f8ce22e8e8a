# SPDX-License-Identifier: MIT
"""Folders and large files on a Dask cluster, with the bytes one machine gives.

    from distributed import Client
    import tavsdk.dask as td

    client = Client("tcp://scheduler:8786")      # or Client(LocalCluster(...))
    keys = td.ClusterKeys.from_passphrase("my passphrase", "binary")
    result = td.encrypt_tree(client, keys, "/data/photos", "/data/encrypted")
    print(result.summary())
    td.encrypt_file(client, keys, "/data/disk.img", "/data/disk.img.tav", range_bytes=64 << 20)

Every path must name the same file on the client and on every worker: a
local file system for a LocalCluster, a shared mount (NFS and the like) for
machines. Plain paths and "file://" URLs are taken; other fsspec protocols
are refused, since outputs take their names only when complete and ranges
are written in place, which object stores cannot do.

This module needs the ``distributed`` package; ``import tavsdk`` never
imports it.
"""

from __future__ import annotations

import ctypes
import errno as errno_codes
import hashlib
import importlib
import math
import os
import re
import secrets
import stat
import threading
import time
from typing import Any, Dict, Iterable, List, Mapping, NamedTuple, Optional, Sequence, Tuple, Union

try:
    import distributed as _distributed_typed
except ImportError as e:
    raise ImportError("tavsdk.dask needs Dask's distributed package (pip install distributed; "
                      "Debian: apt-get install python3-distributed)") from e

# Dask's functions as untyped callables: not all of them carry annotations.
distributed: Any = _distributed_typed

from . import _lib
from ._errors import Error, PathName, make_error
from ._keys import Alphabet, AlphabetLike, Keys, to_alphabet
from ._oneshot import decrypt as _block_decrypt
from ._oneshot import encrypt as _block_encrypt
from ._tree import TreeError, TreeResult

__all__ = ["ClusterKeys", "FileResult", "JobResult", "TreePlan", "plan_tree", "run_tree", "encrypt_tree",
           "decrypt_tree", "encrypt_paths", "decrypt_paths", "encrypt_file", "decrypt_file"]

SUFFIX = ".tav"
EXPANDED_SUFFIX = ".tavx"
# Hidden names of the outputs of encrypt_file() while their ranges are written.
TEMP_PREFIX = ".tav-dask-"
_CHUNK = 4 << 20
# Ranges at least this long flush while they are written (see _Flusher).
_FLUSH_WHILE_WRITING = 32 << 20
_FLUSH_EVERY_S = 0.02
_NAME_MAX = 255


# ---- Keys over the cluster --------------------------------------------------

def _wipe(buffer: bytearray) -> None:
    if buffer:
        ctypes.memset((ctypes.c_char * len(buffer)).from_buffer(buffer), 0, len(buffer))


def _as_bytearray(data: Any) -> bytearray:
    if isinstance(data, str):
        return bytearray(data.encode("utf-8"))
    return bytearray(memoryview(data).cast("B"))


class ClusterKeys:
    """What the workers rebuild a key set from, in memory: a passphrase, or the
    contents of key files (with the passphrase of their generation as
    `master` where the keys came from one, since the master schedule is in no
    key file).

    The material travels with every task over the cluster's connections
    (pickled with it; nothing is written to a worker's disk). Each worker
    process builds the key set once, keeps it in memory under a digest of
    the material keyed with a secret of that process, and overwrites the
    copy of the material each task brought. Use TLS (distributed's security
    settings) between machines: without it the material crosses the network
    as it is.
    """

    __slots__ = ("alphabet", "_passphrase", "_files", "_received")

    def __init__(self, alphabet: AlphabetLike, passphrase: Optional[bytearray],
                 files: Optional[Dict[str, bytearray]], received: bool = False) -> None:
        self.alphabet: Alphabet = to_alphabet(alphabet)
        self._passphrase = passphrase
        self._files = files
        # Only a copy that came over a connection is overwritten after use: a
        # cluster in this process may hand a task the caller's own object.
        self._received = received

    @classmethod
    def from_passphrase(cls, passphrase: Union[str, bytes, bytearray], alphabet: AlphabetLike = "binary"
                        ) -> "ClusterKeys":
        """Keys derived from `passphrase` on every worker, as tavsdk.Keys does."""
        made = cls(alphabet, _as_bytearray(passphrase), None)
        made.keys().close()  # refuses an empty passphrase here, not on every worker
        return made

    @classmethod
    def from_files(cls, files: Mapping[str, Any], alphabet: AlphabetLike = "binary", *,
                   master: Union[str, bytes, bytearray, None] = None) -> "ClusterKeys":
        """Keys made from key files held in memory, as tavsdk.Keys.from_files."""
        made = cls(alphabet, None if master is None else _as_bytearray(master),
                   {str(name): _as_bytearray(data) for name, data in files.items()})
        made.keys().close()
        return made

    @classmethod
    def load(cls, directory: PathName, alphabet: AlphabetLike = "binary", *,
             master: Union[str, bytes, bytearray, None] = None) -> "ClusterKeys":
        """The key files of `alphabet` in `directory`, read here on the client."""
        chosen = to_alphabet(alphabet)
        ext = "txt" if chosen == Alphabet.TEXT else "bin"
        files: Dict[str, bytearray] = {}
        try:
            for name in [f"k{i}.{ext}" for i in range(1, 6)] + ["k6.dat"]:
                path = os.path.join(os.fsdecode(directory), name)
                try:
                    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC)
                except FileNotFoundError:
                    continue  # the library's rules say what a missing one means
                with open(fd, "rb", buffering=0) as f:
                    st = os.fstat(fd)
                    if not stat.S_ISREG(st.st_mode):
                        raise make_error(_lib.NO_KEYS, 0, path, "a key file that is not a regular file")
                    # Read straight into a buffer that can be overwritten.
                    data = files[name] = bytearray(st.st_size)
                    if f.readinto(data) != st.st_size or f.read(1):
                        raise make_error(_lib.NO_KEYS, 0, path, "a key file that changed while it was read")
            return cls.from_files(files, chosen, master=master)
        finally:
            for data in files.values():
                _wipe(data)

    def keys(self) -> Keys:
        """A new key set of this material (the caller closes it)."""
        if self._files is None:
            assert self._passphrase is not None
            return Keys(self._passphrase, self.alphabet)
        return Keys.from_files(self._files, self.alphabet, master=self._passphrase)

    def _digest(self, salt: bytes) -> bytes:
        h = hashlib.blake2b(key=salt, digest_size=32)
        h.update(bytes([self.alphabet]))
        for name, data in [("", self._passphrase or bytearray())] + sorted((self._files or {}).items()):
            h.update(len(name).to_bytes(8, "little") + name.encode() + len(data).to_bytes(8, "little"))
            h.update(data)
        return h.digest()

    def _wipe_received(self) -> None:
        if not self._received:
            return
        _wipe(self._passphrase or bytearray())
        for data in (self._files or {}).values():
            _wipe(data)

    def __repr__(self) -> str:
        kind = "passphrase" if self._files is None else "key files"
        return f"<tavsdk.dask.ClusterKeys {self.alphabet.name.lower()} from {kind}>"

    def __reduce__(self) -> Any:
        files = None if self._files is None else {name: bytes(data) for name, data in self._files.items()}
        return (_received, (int(self.alphabet), None if self._passphrase is None else bytes(self._passphrase),
                            files))


def _received(alphabet: int, passphrase: Optional[bytes], files: Optional[Dict[str, bytes]]) -> ClusterKeys:
    return ClusterKeys(alphabet, None if passphrase is None else bytearray(passphrase),
                       None if files is None else {name: bytearray(data) for name, data in files.items()}, True)


_cache: Dict[bytes, Keys] = {}
_cache_lock = threading.Lock()
# Digests of key material mean nothing outside this process.
_cache_salt = secrets.token_bytes(32)


def _worker_keys(material: ClusterKeys) -> Keys:
    """The key set of `material`, built once per worker process; the copy the
    task brought is overwritten either way."""
    try:
        digest = material._digest(_cache_salt)
        with _cache_lock:
            keys = _cache.get(digest)
            if keys is None:
                keys = _cache[digest] = material.keys()
        return keys
    finally:
        material._wipe_received()


def _require_material(keys: Any) -> ClusterKeys:
    if isinstance(keys, Keys):
        raise TypeError("a tavsdk.Keys cannot travel (its master schedule is in no key file): pass "
                        "ClusterKeys.from_passphrase(...) or ClusterKeys.from_files(...)")
    if not isinstance(keys, ClusterKeys):
        raise TypeError(f"keys must be a tavsdk.dask.ClusterKeys, not {type(keys).__name__}")
    return keys


# ---- Paths -------------------------------------------------------------------

def _local(path: Any) -> str:
    """A plain path, or the path of an fsspec URL of the local file system
    ("file://..."); other file systems are refused."""
    text = os.fsdecode(os.fspath(path))
    if "\0" in text:
        raise ValueError("embedded null byte in path")
    scheme = re.match(r"([A-Za-z][A-Za-z0-9+.-]*)://", text)
    if scheme is None:
        return text
    try:
        # fsspec has no type hints: used as Any.
        fsspec_core: Any = importlib.import_module("fsspec.core")
        local: Any = importlib.import_module("fsspec.implementations.local").LocalFileSystem
    except ImportError:  # the local file system's names, as fsspec has them
        if scheme.group(1) in ("file", "local"):
            return text[scheme.end():] or "/"
    else:
        protocol, _ = fsspec_core.split_protocol(text)
        names = (local.protocol,) if isinstance(local.protocol, str) else tuple(local.protocol)
        if protocol in names:
            return str(local._strip_protocol(text))
    raise ValueError(f"{text}: only the local file system is supported (plain paths, file:// URLs; a shared "
                     f"mount is a local path): {scheme.group(1)}:// can neither give a file its name only when "
                     "it is complete nor write a range in place")


# ---- Results -----------------------------------------------------------------

class FileResult(NamedTuple):
    """One file of a job: `status` is "written", "skipped" (`error` says
    why), "failed" (`error` is the tavsdk.Error) or "not run" (the job
    stopped first, with fail_fast)."""

    source: str
    output: Optional[str]
    status: str
    error: Optional[BaseException]


class JobResult(NamedTuple):
    files: List[FileResult]

    @property
    def written(self) -> List[FileResult]:
        return [f for f in self.files if f.status == "written"]

    @property
    def failures(self) -> List[FileResult]:
        return [f for f in self.files if f.status == "failed"]

    @property
    def ok(self) -> bool:
        return all(f.status in ("written", "skipped") for f in self.files)

    def summary(self) -> str:
        counts = {s: sum(f.status == s for f in self.files) for s in ("written", "skipped", "failed", "not run")}
        text = ", ".join(f"{n} {s}" for s, n in counts.items() if n or s != "not run")
        return "; ".join([text] + [f"{f.source}: {f.error}" for f in self.failures])

    def raise_for_failures(self) -> None:
        """Raises tavsdk.TreeError listing every failure, as tavsdk.encrypt_tree does."""
        if self.ok:
            return
        failures = [(f.source, f.error) for f in self.files if f.status in ("failed", "not run")]
        message = f"{len(failures)} of {len(self.files)} files failed: {self.summary()}"
        error = TreeError(message)
        error.status, error.errno, error.filename, error.strerror = _lib.BAD_SOURCE, None, None, message
        error.failures = failures  # type: ignore[assignment]
        error.result = TreeResult(sorted(f.source for f in self.written),
                                  sorted(f.source for f in self.files if f.status == "skipped"))
        raise error


# ---- Planning a folder job -----------------------------------------------------

# Where outputs go: a folder given by the caller (OUT, or in place the input),
# then the names below it, each opened without following a link.
_Place = Tuple[str, Tuple[str, ...]]


class _Item(NamedTuple):
    source: str         # as the walk reached it: the input, then the path below it
    output: str
    expanded: bool
    size: int
    fresh: bool         # nothing stood at the output when planned
    place: _Place
    name: str           # the output's name in its folder


class TreePlan(NamedTuple):
    """A planned job: the files to write (in the order of the walk), the
    results known already (skips, folders that could not be read, outputs
    that exist), and the mirror folders made for it with their final modes."""

    decrypt: bool
    items: List[_Item]
    known: List[FileResult]
    folders: List[Tuple[_Place, int]]
    replace: bool

    @property
    def bytes(self) -> int:
        return sum(item.size for item in self.items)


def _mirror_name(path: str) -> str:
    while len(path) > 1 and path.endswith("/"):
        path = path[:-1]
    last = path.rsplit("/", 1)[-1] if path != "/" else "/"
    return "" if last in (".", "..", "/") else last


def _mode_suffix(name: str) -> str:
    for suffix in (SUFFIX, EXPANDED_SUFFIX):
        if len(name) > len(suffix) and name.endswith(suffix):
            return suffix
    return ""


def _join(folder: str, name: str) -> str:
    return folder + name if folder.endswith("/") else folder + "/" + name


class _Walk:
    def __init__(self, decrypt: bool, expanded: Optional[bool], out: Optional[str], replace: bool) -> None:
        self.decrypt, self.expanded, self.out, self.replace = decrypt, expanded, out, replace
        self.items: List[_Item] = []
        self.known: List[FileResult] = []
        self.walked: Dict[Tuple[int, int], str] = {}
        self.files: Dict[Tuple[int, int, str], str] = {}
        self.mirror: List[Tuple[_Place, int, Tuple[int, int]]] = []  # mirror folder, mode, source folder id
        self.out_id: Optional[Tuple[int, int]] = None
        if out is not None:
            try:
                st = os.stat(out)
                self.out_id = (st.st_dev, st.st_ino)
            except OSError:
                pass

    def skip(self, path: str, why: str) -> None:
        self.known.append(FileResult(path, None, "skipped", None if not why else _Reason(why)))

    def fail(self, path: str, number: int, why: str) -> None:
        self.known.append(FileResult(path, None, "failed", make_error(_lib.BAD_SOURCE, number, path, why)))

    def add_file(self, folder_id: Tuple[int, int], path: str, name: str, place: _Place,
                 st: os.stat_result) -> bool:
        suffix = _mode_suffix(name)
        in_place = self.out is None
        take = (suffix == "" or not in_place) if not self.decrypt else suffix != ""
        if not take:
            self.skip(path, "already has a suffix of this job" if not self.decrypt else "no .tav or .tavx suffix")
            return False
        key = (folder_id[0], folder_id[1], name)
        if key in self.files:
            self.skip(path, f"already in this job as {self.files[key]}")
            return True
        self.files[key] = path
        expanded = bool(self.expanded) if self.expanded is not None or not self.decrypt \
            else suffix == EXPANDED_SUFFIX
        if not self.decrypt:
            added = EXPANDED_SUFFIX if expanded else SUFFIX
            out_name = name.encode("utf-8", "surrogateescape")[:_NAME_MAX + 8 - len(added)]
            out_name_text = os.fsdecode(out_name) + added
        else:
            out_name_text = name[:-len(suffix)]
        output = _join(_join(place[0], "/".join(place[1])) if place[1] else place[0], out_name_text)
        self.items.append(_Item(path, output, expanded, st.st_size, True, place, out_name_text))
        return True

    def scan(self, fd: int, path: str, place: _Place) -> None:
        try:
            names = sorted(os.listdir(fd), key=os.fsencode)
        except OSError as e:
            return self.fail(path, e.errno or 0, "the folder could not be read")
        st_self = os.fstat(fd)
        for name in names:
            file = _join(path, name)
            try:
                st = os.stat(name, dir_fd=fd, follow_symlinks=False)
            except OSError as e:
                self.fail(file, e.errno or 0, "could not be looked at")
                continue
            if stat.S_ISREG(st.st_mode):
                self.add_file((st_self.st_dev, st_self.st_ino), file, name, place, st)
            elif stat.S_ISLNK(st.st_mode):
                self.skip(file, "a symbolic link")
            elif not stat.S_ISDIR(st.st_mode):
                self.skip(file, "a FIFO, socket or device")
            elif (st.st_dev, st.st_ino) == self.out_id:
                continue  # OUT inside the tree is not walked into
            elif (st.st_dev, st.st_ino) in self.walked:
                self.skip(file, "already in this job")
            else:
                try:
                    sub = os.open(name, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC, dir_fd=fd)
                except OSError as e:
                    self.fail(file, e.errno or 0, "the folder could not be opened")
                    continue
                try:
                    st_sub = os.fstat(sub)
                    if (st_sub.st_dev, st_sub.st_ino) != (st.st_dev, st.st_ino):
                        self.fail(file, 0, "the folder changed during the walk")
                        continue
                    self.walked[(st.st_dev, st.st_ino)] = file
                    below = (place[0], place[1] + (name,))
                    if self.out is not None:
                        self.mirror.append((below, stat.S_IMODE(st.st_mode), (st.st_dev, st.st_ino)))
                    self.scan(sub, file, below)
                finally:
                    os.close(sub)

    def top(self, path: str) -> None:
        try:
            fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC)
        except OSError as e:
            raise make_error(_lib.BAD_SOURCE, e.errno or 0, path) from None
        try:
            st = os.fstat(fd)
            if stat.S_ISDIR(st.st_mode):
                if (st.st_dev, st.st_ino) in self.walked:
                    return self.skip(path, "already in this job")
                self.walked[(st.st_dev, st.st_ino)] = path
                place: _Place = (path, ())
                if self.out is not None:
                    name = _mirror_name(path)
                    place = (self.out, (name,) if name else ())
                    if name:
                        self.mirror.append((place, stat.S_IMODE(st.st_mode), (st.st_dev, st.st_ino)))
                return self.scan(fd, path, place)
            if not stat.S_ISREG(st.st_mode):
                raise make_error(_lib.BAD_SOURCE, 0, path, "neither a file nor a folder")
            folder = os.stat(os.path.dirname(path) or ".")
            place = (self.out, ()) if self.out is not None else (os.path.dirname(path) or ".", ())
            if not self.add_file((folder.st_dev, folder.st_ino), path, os.path.basename(path), place, st):
                raise make_error(_lib.BAD_SOURCE, 0, path, "a file this job leaves alone")
        finally:
            os.close(fd)

    def refusals(self) -> List[Tuple[str, Error]]:
        refused: List[Tuple[str, Error]] = []
        by_output: Dict[str, str] = {}
        inputs = {item.source for item in self.items}
        for item in self.items:
            if item.output in by_output:
                pair = sorted((by_output[item.output], item.source))
                error = make_error(_lib.BAD_DEST, 0, item.output,
                                   f"{' and '.join(pair)} would each be written to {item.output}")
                refused += [(name, error) for name in pair]
            by_output[item.output] = item.source
            if item.output in inputs:
                refused.append((item.source, make_error(_lib.BAD_DEST, 0, item.output,
                                                        f"its output {item.output} is another input of the job")))
        for place, _, _ in self.mirror:
            folder = _join(place[0], "/".join(place[1]))
            try:
                st = os.stat(folder, follow_symlinks=False)
            except OSError:
                continue
            if (st.st_dev, st.st_ino) in self.walked:
                refused.append((folder, make_error(_lib.BAD_DEST, 0, folder,
                                                   f"the output folder {folder} is a folder being walked")))
        return refused


class _Reason(Exception):
    """Why a name was skipped."""


def plan_tree(inputs: Union[PathName, Sequence[PathName]], dst: Optional[PathName], *, decrypt: bool = False,
              expanded: Optional[bool] = None, replace: bool = False) -> TreePlan:
    """Walks the inputs here on the client as the library's folder job does
    and makes the missing mirror folders (mode 0700 until run_tree() ends);
    writes no file. See encrypt_tree() for the layout and the rules."""
    paths = [inputs] if isinstance(inputs, (str, bytes, os.PathLike)) else list(inputs)
    if not paths:
        raise ValueError("no input")
    out = None if dst is None else _local(dst)
    walk = _Walk(decrypt, expanded, out, replace)
    for path in paths:
        walk.top(_local(path))
    refused = walk.refusals()
    if refused:
        listed = "; ".join(f"{name}: {error}" for name, error in sorted(refused, key=lambda r: r[0]))
        message = f"the job was refused, nothing was written: {listed}"
        error = TreeError(message)
        error.status, error.errno, error.filename, error.strerror = _lib.BAD_DEST, None, None, message
        error.failures, error.result = refused, TreeResult([], [])
        raise error
    folders: List[Tuple[_Place, int]] = []
    if out is not None:
        try:
            os.mkdir(out)
        except FileExistsError:
            pass
        except OSError as e:
            raise make_error(_lib.BAD_DEST, e.errno or 0, out) from None
        with _Opened() as opened:
            for place, mode, _ in walk.mirror:
                parent = opened.folder((place[0], place[1][:-1]))
                try:
                    os.mkdir(place[1][-1], 0o700, dir_fd=parent)
                    folders.append((place, mode))
                except OSError:
                    pass  # an existing folder is used; otherwise its files fail, naming it
    items = []
    for item in walk.items:
        try:
            os.lstat(item.output)
            exists = True
        except OSError:
            exists = False
        if exists and not replace:
            walk.known.append(FileResult(item.source, item.output, "failed",
                                         make_error(_lib.EXISTS, errno_codes.EEXIST, item.output)))
            continue
        items.append(item._replace(fresh=not exists))
    return TreePlan(decrypt, items, walk.known, folders, replace)


# ---- Running a folder job on the workers ------------------------------------------

class _Opened:
    """Output folders opened from their root one name at a time, never through
    a link, and kept open while a batch runs."""

    def __init__(self) -> None:
        self.fds: Dict[_Place, int] = {}
        self.errors: Dict[_Place, OSError] = {}

    def folder(self, place: _Place) -> int:
        """The folder's descriptor; raises OSError when it cannot be opened."""
        if place in self.errors:
            raise self.errors[place]
        fd = self.fds.get(place)
        if fd is not None:
            return fd
        try:
            if place[1]:
                fd = os.open(place[1][-1], os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC,
                             dir_fd=self.folder((place[0], place[1][:-1])))
            else:
                fd = os.open(place[0], os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
        except OSError as e:
            self.errors[place] = e
            raise
        self.fds[place] = fd
        return fd

    def __enter__(self) -> "_Opened":
        return self

    def __exit__(self, *exc: object) -> None:
        for fd in self.fds.values():
            os.close(fd)
        self.fds.clear()


def _ours(folder: int, name: str, source: os.stat_result, expanded: bool, decrypt: bool, keys: Keys) -> bool:
    """Whether `output` is what this job wrote before its worker was lost: a
    regular file with the source's modification time and the size this job
    gives it."""
    try:
        st = os.stat(name, dir_fd=folder, follow_symlinks=False)
    except OSError:
        return False
    if not stat.S_ISREG(st.st_mode) or st.st_mtime_ns != source.st_mtime_ns:
        return False
    if not expanded:
        return st.st_size == source.st_size
    return st.st_size < source.st_size if decrypt else st.st_size == keys.expanded_size(source.st_size)


_libc = ctypes.CDLL(None, use_errno=True)
_WAITING = 32  # outputs of one task waiting, complete and unnamed, for one flush: a descriptor each


class _Waiting(NamedTuple):
    item: _Item
    handle: ctypes.c_void_p  # the tav_newfile
    source: os.stat_result


def _write(keys: Keys, handle: int, options: Dict[bool, int], item: _Item, decrypt: bool,
           opened: _Opened, waiting: Optional[List[_Waiting]] = None) -> Optional[FileResult]:
    """Writes one output: named at once (flushed first where the options say
    so), or, with `waiting`, complete but unnamed and unflushed, added there
    for _settle to flush with others and name (None is returned then)."""
    try:
        folder = opened.folder(item.place)
    except OSError as e:
        why = "its output folder could not be opened"
        return FileResult(item.source, item.output, "failed", make_error(_lib.BAD_DEST, e.errno or 0,
                                                                          os.path.dirname(item.output), why))
    try:
        fd = os.open(item.source, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC)
    except OSError as e:
        return FileResult(item.source, item.output, "failed", make_error(_lib.BAD_SOURCE, e.errno or 0, item.source))
    try:
        st = os.fstat(fd)
        if not stat.S_ISREG(st.st_mode):
            error = make_error(_lib.BAD_SOURCE, 0, item.source, "no longer a regular file")
            return FileResult(item.source, item.output, "failed", error)
        number = ctypes.c_int(0)
        if waiting is None:
            status = _lib.lib.tav_file_run(handle, options[item.expanded], fd, 0, folder, os.fsencode(item.name),
                                           ctypes.byref(number))
        else:
            new = ctypes.c_void_p()
            status = _lib.lib.tav_newfile_open(ctypes.byref(new), folder, os.fsencode(item.name), 0o666,
                                               ctypes.byref(number))
            if status == _lib.OK:
                status = _lib.lib.tav_file_run_fd(handle, options[item.expanded], fd, 0,
                                                  _lib.lib.tav_newfile_fd(new), ctypes.byref(number))
                if status == _lib.OK:
                    waiting.append(_Waiting(item, new, st))
                    return None
                _lib.lib.tav_newfile_free(new)
    finally:
        os.close(fd)
    return _outcome(status, number.value, item, st, folder, decrypt, keys)


def _outcome(status: int, number: int, item: _Item, st: os.stat_result, folder: int, decrypt: bool,
             keys: Keys) -> FileResult:
    if status == _lib.OK:
        return FileResult(item.source, item.output, "written", None)
    if status == _lib.EXISTS and item.fresh and _ours(folder, item.name, st, item.expanded, decrypt, keys):
        return FileResult(item.source, item.output, "written", None)  # a rerun of a lost task
    name = item.source if status == _lib.BAD_SOURCE else item.output
    return FileResult(item.source, item.output, "failed", make_error(status, number, name))


def _settle(waiting: List[_Waiting], replace: bool, decrypt: bool, keys: Keys,
            opened: _Opened) -> Dict[int, FileResult]:
    """Flushes the waiting outputs with one syncfs per file system (one
    journal commit for them all instead of one per file), then names them."""
    flushed: Dict[int, int] = {}
    results: Dict[int, FileResult] = {}
    # Each leaves the list before it is freed: should anything below raise,
    # the caller frees only the ones still waiting, none twice.
    while waiting:
        w = waiting.pop(0)
        fd = _lib.lib.tav_newfile_fd(w.handle)
        number = 0
        try:
            device = os.fstat(fd).st_dev
            if device not in flushed:
                flushed[device] = 0 if _libc.syncfs(fd) == 0 else ctypes.get_errno()
            number = flushed[device]
        except OSError as e:
            number = e.errno or 0
        status = _lib.BAD_DEST
        if number == 0:
            error = ctypes.c_int(0)
            status = _lib.lib.tav_newfile_commit(w.handle, int(replace), 0, ctypes.byref(error))
            number = error.value
        _lib.lib.tav_newfile_free(w.handle)
        results[id(w.item)] = _outcome(status, number, w.item, w.source, opened.folder(w.item.place), decrypt, keys)
    return results


class _Stop:
    """Whether the job was told to stop (fail_fast), asked of the scheduler at
    most every 50 ms: a task already running when another fails still ends
    each file whole, and then starts no other."""

    def __init__(self, name: Optional[str]) -> None:
        self.event = None if name is None else distributed.Event(name)
        self.asked = 0.0
        self.stopped = False

    def __call__(self) -> bool:
        if self.event is None or self.stopped:
            return self.stopped
        now = time.monotonic()
        if now - self.asked >= 0.05:
            self.asked = now
            self.stopped = bool(self.event.is_set())
        return self.stopped


def _batch_task(material: ClusterKeys, items: List[_Item], decrypt: bool, replace: bool, durable: bool,
                threads: int, stop: Optional[str]) -> List[FileResult]:
    keys = _worker_keys(material)
    stopping = _Stop(stop)
    base = {_lib.OPTION_DECRYPT: int(decrypt), _lib.OPTION_REPLACE: int(replace), _lib.OPTION_SOURCE_MODE: 1,
            _lib.OPTION_KEEP_TIMES: 1, _lib.OPTION_WORKERS: threads, _lib.OPTION_DURABLE: int(durable)}
    # Durable outputs wait, complete and unnamed, to be flushed a few dozen at
    # a time; the library then flushes none of them itself.
    waiting: Optional[List[_Waiting]] = [] if durable else None
    base[_lib.OPTION_DURABLE] = 0 if durable else base[_lib.OPTION_DURABLE]
    results: List[Optional[FileResult]] = []
    named: Dict[int, FileResult] = {}
    with _lib.options({**base, _lib.OPTION_EXPANDED: 0}) as block, \
            _lib.options({**base, _lib.OPTION_EXPANDED: 1}) as expanded, keys._use() as handle, \
            _Opened() as opened:
        try:
            for item in items:
                if stopping():
                    results.append(FileResult(item.source, item.output, "not run", None))
                    continue
                results.append(_write(keys, handle, {False: block, True: expanded}, item, decrypt, opened, waiting))
                if waiting is not None and len(waiting) >= _WAITING:
                    named.update(_settle(waiting, replace, decrypt, keys, opened))
            if waiting:
                named.update(_settle(waiting, replace, decrypt, keys, opened))
        finally:
            for w in waiting or []:
                _lib.lib.tav_newfile_free(w.handle)  # unnamed: nothing of it stays
    return [r if r is not None else named[id(item)] for item, r in zip(items, results)]


def _batches(items: List[_Item], workers: int, batch_bytes: int, batch_files: int) -> List[List[_Item]]:
    """Small files together, so that they do not cost a task each; at least a
    few batches per worker so that the work spreads."""
    total = sum(item.size for item in items)
    spread = 4 * max(1, workers)
    most_bytes = max(1, min(batch_bytes, math.ceil(total / spread)))
    most_files = max(1, min(batch_files, math.ceil(len(items) / spread)))
    batches: List[List[_Item]] = []
    current: List[_Item] = []
    held = 0
    # Large files first, so that the small ones fill the workers at the end.
    for item in sorted(items, key=lambda i: -i.size if i.size >= most_bytes else 0):
        if current and (held + item.size > most_bytes or len(current) >= most_files):
            batches.append(current)
            current, held = [], 0
        current.append(item)
        held += item.size
    if current:
        batches.append(current)
    return batches


def _workers(client: Any) -> int:
    try:
        return max(1, int(sum(client.nthreads().values())))
    except Exception:
        return 1


def _show_progress(futures: List[Any]) -> None:
    distributed.progress(futures)


def run_tree(client: Any, keys: ClusterKeys, plan: TreePlan, *, batch_bytes: int = 64 << 20,
             batch_files: int = 256, fail_fast: bool = False, durable: bool = True, threads: int = 1,
             progress: bool = False) -> JobResult:
    """Runs a plan on the cluster; see encrypt_tree()."""
    material = _require_material(keys)
    if threads < 1 or threads > 64:
        raise ValueError("threads must be 1 to 64")
    batches = _batches(plan.items, _workers(client), batch_bytes, batch_files)
    token = secrets.token_hex(8)
    # Cancelling a task does not stop one that runs: with fail_fast, the
    # tasks ask this event between files.
    stop = distributed.Event(f"tavsdk-stop-{token}", client=client) if fail_fast else None
    futures = [client.submit(_batch_task, material, batch, plan.decrypt, plan.replace, durable, threads,
                             None if stop is None else stop.name, key=f"tavsdk-tree-{token}-{i}", retries=0)
               for i, batch in enumerate(batches)]
    results: List[FileResult] = list(plan.known)
    done = set()
    try:
        if progress:
            _show_progress(futures)
        index_of = {future.key: i for i, future in enumerate(futures)}
        for future in distributed.as_completed(futures):
            index = index_of[future.key]
            try:
                got = future.result()
            except Exception as e:  # a task that could not run at all: its files say why
                got = [FileResult(item.source, item.output, "failed", e) for item in batches[index]]
            done.add(index)
            results += got
            if stop is not None and any(r.status == "failed" for r in got):
                stop.set()
    finally:
        if len(done) < len(batches):  # interrupted here: no task starts any more
            client.cancel([f for i, f in enumerate(futures) if i not in done])
        if stop is not None:
            stop.clear()
        # Children first: a parent's mode may shut the way to them.
        with _Opened() as opened:
            for place, mode in reversed(plan.folders):
                try:
                    os.chmod(opened.folder(place), mode)
                except OSError:
                    pass
    order = {item.source: i for i, item in enumerate(plan.items)}
    results.sort(key=lambda r: (order.get(r.source, -1), r.source))
    return JobResult(results)


def _tree(decrypt: bool, client: Any, keys: ClusterKeys, inputs: Any, dst: Optional[PathName],
          expanded: Optional[bool], replace: bool, **run: Any) -> JobResult:
    _require_material(keys)
    plan = plan_tree(inputs, dst, decrypt=decrypt, expanded=expanded, replace=replace)
    return run_tree(client, keys, plan, **run)


def encrypt_tree(client: Any, keys: ClusterKeys, src: PathName, dst: Optional[PathName], *,
                 expanded: bool = False, replace: bool = False, batch_bytes: int = 64 << 20,
                 batch_files: int = 256, fail_fast: bool = False, durable: bool = True, threads: int = 1,
                 progress: bool = False) -> JobResult:
    """Encrypts every regular file below the folder `src` on the workers of
    `client`, with the layout, names and bytes of tavsdk.encrypt_tree():
    mirrored under `dst` as dst/LAST/... (beside each file when `dst` is
    None), NAME.tav (NAME.tavx with `expanded`), links and special files
    skipped, outputs with their source's permission bits and times.

    The walk runs here; the files go to the workers in batches of at most
    `batch_files` files and `batch_bytes` bytes (and at least four batches
    per worker thread). Each output is written unnamed and takes its name
    only when complete (flushed to the device unless `durable` is false), so
    a task that Dask runs again after losing its worker writes the same file
    again and nothing partial ever stands at a final name. One failing file
    does not stop the others unless `fail_fast`. `progress` shows Dask's
    progress bar. Returns a JobResult: every file with its status.
    """
    return _tree(False, client, keys, src, dst, expanded, replace, batch_bytes=batch_bytes,
                 batch_files=batch_files, fail_fast=fail_fast, durable=durable, threads=threads,
                 progress=progress)


def decrypt_tree(client: Any, keys: ClusterKeys, src: PathName, dst: Optional[PathName], *,
                 expanded: Optional[bool] = None, replace: bool = False, batch_bytes: int = 64 << 20,
                 batch_files: int = 256, fail_fast: bool = False, durable: bool = True, threads: int = 1,
                 progress: bool = False) -> JobResult:
    """Decrypts every NAME.tav and NAME.tavx below `src` into NAME (the suffix
    gives the mode unless `expanded` is given); otherwise as encrypt_tree()."""
    return _tree(True, client, keys, src, dst, expanded, replace, batch_bytes=batch_bytes,
                 batch_files=batch_files, fail_fast=fail_fast, durable=durable, threads=threads,
                 progress=progress)


def encrypt_paths(client: Any, keys: ClusterKeys, paths: Iterable[PathName], dst: Optional[PathName],
                  **options: Any) -> JobResult:
    """encrypt_tree() on several folders and files at once: each folder goes
    to dst/its last name, each file straight into `dst`."""
    return _tree(False, client, keys, list(paths), dst, options.pop("expanded", False),
                 options.pop("replace", False), **options)


def decrypt_paths(client: Any, keys: ClusterKeys, paths: Iterable[PathName], dst: Optional[PathName],
                  **options: Any) -> JobResult:
    """decrypt_tree() on several folders and files at once."""
    return _tree(True, client, keys, list(paths), dst, options.pop("expanded", None),
                 options.pop("replace", False), **options)


# ---- One large file by ranges -----------------------------------------------------

class _Target(NamedTuple):
    path: str
    dev: int
    ino: int


def _open_checked(target: _Target, flags: int) -> int:
    """Opens the very file the client planned with, or fails."""
    fd = os.open(target.path, flags | os.O_NOCTTY | os.O_NONBLOCK | os.O_CLOEXEC)
    st = os.fstat(fd)
    if (st.st_dev, st.st_ino) != (target.dev, target.ino):
        os.close(fd)
        raise OSError(errno_codes.ESTALE, "replaced since the job was planned", target.path)
    return fd


_libc = ctypes.CDLL(None, use_errno=True)
_sync_file_range = getattr(_libc, "sync_file_range", None)
if _sync_file_range is not None:
    _sync_file_range.argtypes = [ctypes.c_int, ctypes.c_int64, ctypes.c_int64, ctypes.c_uint]
    _sync_file_range.restype = ctypes.c_int
_SYNC_FILE_RANGE_WRITE = 2


def _write_back(fd: int, offset: int, length: int) -> None:
    """Starts writing a range back to the device as soon as it is written, as
    the library's own workers do: the flush before the rename then waits
    for the last pieces only, and the dirty pages of a large file do not
    throttle the writers. A hint: a failure shows in that flush."""
    if _sync_file_range is not None:
        _sync_file_range(fd, offset, length, _SYNC_FILE_RANGE_WRITE)


class _Flusher:
    """Flushes a file on a thread of its own while the task writes it: on
    virtual disks the flush before the rename cost about as long as writing
    the file, and waited for the whole of it after every range was done."""

    def __init__(self, fd: int) -> None:
        self._fd = fd
        self._stop = threading.Event()
        self.error: Optional[OSError] = None
        self._thread = threading.Thread(target=self._run, name="tavsdk-flush", daemon=True)
        self._thread.start()

    def _run(self) -> None:
        while not self._stop.wait(_FLUSH_EVERY_S):
            try:
                os.fdatasync(self._fd)
            except OSError as e:
                self.error = self.error or e
                return

    def stop(self) -> Optional[OSError]:
        self._stop.set()
        self._thread.join()
        return self.error


def _range_task(material: ClusterKeys, decrypt: bool, source: _Target, temp: _Target, start: int,
                length: int) -> int:
    keys = _worker_keys(material)
    transform = _block_decrypt if decrypt else _block_encrypt
    buffer = bytearray(min(_CHUNK, max(length, 1)))
    view = memoryview(buffer)
    try:
        try:
            src = _open_checked(source, os.O_RDONLY)
        except OSError as e:
            raise make_error(_lib.BAD_SOURCE, e.errno or 0, source.path) from None
        try:
            try:
                out = _open_checked(temp, os.O_WRONLY | os.O_NOFOLLOW)
            except OSError as e:
                raise make_error(_lib.BAD_DEST, e.errno or 0, temp.path) from None
            flusher = _Flusher(out) if length >= _FLUSH_WHILE_WRITING else None
            try:
                at, end = start, start + length
                while at < end:
                    want = min(len(buffer), end - at)
                    piece = view[:want]
                    got = 0
                    while got < want:
                        try:
                            n = os.preadv(src, [piece[got:]], at + got)
                        except OSError as e:
                            raise make_error(_lib.BAD_SOURCE, e.errno or 0, source.path) from None
                        if n == 0:
                            raise make_error(_lib.BAD_SOURCE, 0, source.path, "the source shrank during the job")
                        got += n
                    transform(piece, keys, at, out=piece)
                    put = 0
                    while put < want:
                        try:
                            put += os.pwrite(out, piece[put:], at + put)
                        except OSError as e:
                            raise make_error(_lib.BAD_DEST, e.errno or 0, temp.path) from None
                    _write_back(out, at, want)
                    at += want
            finally:
                failed = flusher.stop() if flusher is not None else None
                os.close(out)
            if failed is not None:
                # The flush before the rename might not see it: the kernel
                # reports a write-back error once.
                raise make_error(_lib.BAD_DEST, failed.errno or 0, temp.path)
        finally:
            os.close(src)
    finally:
        view.release()
        _wipe(buffer)
    return length


def _ranges(size: int, workers: int, ranges: Optional[int], range_bytes: Optional[int]) -> List[Tuple[int, int]]:
    if ranges is not None and range_bytes is not None:
        raise ValueError("give ranges or range_bytes, not both")
    if ranges is not None:
        if ranges < 1:
            raise ValueError("ranges must be 1 or more")
        step = math.ceil(size / ranges)
    elif range_bytes is not None:
        if range_bytes < 1:
            raise ValueError("range_bytes must be 1 or more")
        step = range_bytes
    else:
        # One range per worker thread: on two shared cores, four ranges of 64 MiB
        # took half as long again as two of 128 MiB.
        step = max(16 << 20, math.ceil(size / workers))
    if step > 4096:
        step = math.ceil(step / 4096) * 4096  # whole pages for each task's writes
    return [(at, min(step, size - at)) for at in range(0, size, step)] or [(0, 0)]


def _commit(temp: str, fd: int, dst: str, replace: bool) -> None:
    os.fsync(fd)
    if replace:
        os.replace(temp, dst)
    else:
        try:
            os.link(temp, dst)  # fails on any name that exists, in one step
        except FileExistsError:
            raise make_error(_lib.EXISTS, errno_codes.EEXIST, dst) from None
        except OSError as e:
            raise make_error(_lib.BAD_DEST, e.errno or 0, dst) from None
        os.unlink(temp)
    folder = os.open(os.path.dirname(dst) or ".", os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        os.fsync(folder)
    finally:
        os.close(folder)


def _file(decrypt: bool, client: Any, keys: ClusterKeys, src: PathName, dst: PathName, ranges: Optional[int],
          range_bytes: Optional[int], expanded: bool, replace: bool, source_mode: bool, progress: bool) -> None:
    material = _require_material(keys)
    if expanded:
        raise ValueError("the expanded mode cannot be split into ranges: where each byte lands and the cipher's "
                         "state there depend on every byte before it; use tavsdk.encrypt_file() on one machine")
    source_path, dst_path = _local(src), _local(dst)
    try:
        fd = os.open(source_path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC)
    except OSError as e:
        raise make_error(_lib.BAD_SOURCE, e.errno or 0, source_path) from None
    try:
        st = os.fstat(fd)
    finally:
        os.close(fd)
    if not stat.S_ISREG(st.st_mode):
        raise make_error(_lib.BAD_SOURCE, errno_codes.EISDIR if stat.S_ISDIR(st.st_mode) else errno_codes.EINVAL,
                         source_path)
    try:
        there = os.stat(dst_path)
        if (there.st_dev, there.st_ino) == (st.st_dev, st.st_ino):
            raise make_error(_lib.BAD_DEST, 0, dst_path, "the destination is the source")
        if not replace:
            raise make_error(_lib.EXISTS, errno_codes.EEXIST, dst_path)
    except FileNotFoundError:
        pass
    folder = os.path.dirname(dst_path) or "."
    temp_path = os.path.join(folder, TEMP_PREFIX + secrets.token_hex(8))
    try:
        out = os.open(temp_path, os.O_RDWR | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC, 0o600)
    except OSError as e:
        raise make_error(_lib.BAD_DEST, e.errno or 0, dst_path) from None
    committed = False
    futures: List[Any] = []
    try:
        # Its full size without reserving the blocks: writing into reserved
        # (unwritten) blocks ran at a third of the speed. A file system
        # without room for it fails now rather than after the job.
        try:
            room = os.fstatvfs(out)
            if room.f_bavail * room.f_frsize < st.st_size:
                raise OSError(errno_codes.ENOSPC, os.strerror(errno_codes.ENOSPC))
            os.ftruncate(out, st.st_size)
        except OSError as e:
            raise make_error(_lib.BAD_DEST, e.errno or 0, dst_path) from None
        made = os.fstat(out)
        source = _Target(source_path, st.st_dev, st.st_ino)
        temp = _Target(temp_path, made.st_dev, made.st_ino)
        token = secrets.token_hex(8)
        futures = [client.submit(_range_task, material, decrypt, source, temp, at, length,
                                 key=f"tavsdk-range-{token}-{i}", retries=0)
                   for i, (at, length) in enumerate(_ranges(st.st_size, _workers(client), ranges, range_bytes))]
        if progress:
            _show_progress(futures)
        distributed.wait(futures)
        for future in futures:
            if future.status != "finished":
                future.result()  # raises the task's error
        umask = os.umask(0)
        os.umask(umask)
        os.fchmod(out, stat.S_IMODE(st.st_mode) & 0o7777 if source_mode else 0o666 & ~umask)
        _commit(temp_path, out, dst_path, replace)
        committed = True
    finally:
        if not committed:
            client.cancel(futures)
            try:
                os.unlink(temp_path)
            except OSError:
                pass
        os.close(out)


def encrypt_file(client: Any, keys: ClusterKeys, src: PathName, dst: PathName, *, ranges: Optional[int] = None,
                 range_bytes: Optional[int] = None, expanded: bool = False, replace: bool = False,
                 source_mode: bool = False, progress: bool = False) -> None:
    """Encrypts one large file in the block mode on the workers of `client`,
    a range each (`ranges` of them, or of `range_bytes` each; by default one
    per worker thread, of at least 16 MiB): the same bytes as
    tavsdk.encrypt_file().

    The output is made beside `dst` under a hidden name (".tav-dask-" and 16
    hex digits) at its full size (once the file system is seen to have room
    for it); each task writes its range there, and
    once all are written it is flushed and takes the name `dst`. An existing
    `dst` is refused (DestinationExistsError) unless `replace`. After any
    failure the hidden file is removed and nothing new is at `dst`; the
    error of the first failed range is raised. A range that Dask runs again
    after losing its worker is written again, to the same bytes. The
    expanded mode is refused (ValueError).
    """
    _file(False, client, keys, src, dst, ranges, range_bytes, expanded, replace, source_mode, progress)


def decrypt_file(client: Any, keys: ClusterKeys, src: PathName, dst: PathName, *, ranges: Optional[int] = None,
                 range_bytes: Optional[int] = None, expanded: bool = False, replace: bool = False,
                 source_mode: bool = False, progress: bool = False) -> None:
    """Decrypts one large block-mode file by ranges; as encrypt_file()."""
    _file(True, client, keys, src, dst, ranges, range_bytes, expanded, replace, source_mode, progress)
