# SPDX-License-Identifier: MIT
"""File objects that decrypt what they read and encrypt what they write."""

from __future__ import annotations

import builtins
import ctypes
import errno
import functools
import io
import os
import threading
import warnings
from typing import (IO, TYPE_CHECKING, Any, BinaryIO, Callable, List, Literal, Optional, Tuple, TypeVar, Union, cast,
                    overload)

from . import _lib
from ._buffers import View, address_of, new_bytes
from ._errors import PathName, check, make_error
from ._keys import Keys, require_keys
from ._newfile import NewFile, open_for_writing

if TYPE_CHECKING:
    from _typeshed import ReadableBuffer, WriteableBuffer

__all__ = ["TavFile", "open"]

DEFAULT_BUFFER_SIZE = 256 * 1024
# Plain bytes per encoder call: its output (about 21 to 48 times as much)
# goes through the write buffer.
_ENCODE_CHUNK = 4096
_READ_ALL_CHUNK = 1 << 20
_LINE_CHUNK = 64 * 1024

# The modes of the built-in open() that apply here; "r", "w" and "x" are
# binary, as with gzip.open().
BinaryMode = Literal["r", "w", "x", "rb", "wb", "xb", "br", "bw", "bx"]
TextMode = Literal["rt", "wt", "xt", "tr", "tw", "tx"]
# A path, or a binary file object used from its current position.
FileArgument = Union[PathName, IO[bytes], io.RawIOBase, io.BufferedIOBase]


def _parse_mode(mode: object) -> Tuple[str, bool]:
    """"r", "w" or "x", and whether the mode is a text mode, by the rules of
    the built-in open(): each letter once, one of r/w/x, not both b and t."""
    if not isinstance(mode, str):
        raise TypeError(f"mode must be str, not {type(mode).__name__}")
    kinds = [c for c in mode if c in "rwx"]
    if (len(set(mode)) != len(mode) or not set(mode) <= set("rwxbt") or len(kinds) != 1
            or ("b" in mode and "t" in mode)):
        raise ValueError(f"invalid mode {mode!r}: 'rb', 'wb' or 'xb', or 'rt', 'wt' or 'xt' for text")
    return kinds[0], "t" in mode


Method = TypeVar("Method", bound=Callable[..., Any])


def _one_thread(method: Method) -> Method:
    """Refuses a second thread while one is inside: two threads on one coder
    and one buffer tore the data, hung or crashed the process."""
    @functools.wraps(method)
    def guarded(self: "TavFile", *args: Any, **kwargs: Any) -> Any:
        if not self._lock.acquire(blocking=False):
            raise RuntimeError(f"{self!r} used from several threads at once: one thread at a time may use it")
        try:
            return method(self, *args, **kwargs)
        finally:
            self._lock.release()
    return cast(Method, guarded)


def _no_data_yet() -> BlockingIOError:
    return BlockingIOError(errno.EAGAIN, "no data yet: the file is in non-blocking mode")


class TavFile(io.BufferedIOBase):
    """A binary file object over a ciphertext file: reading ("rb") returns
    plain bytes, writing ("wb", "xb") takes plain bytes and writes ciphertext.

    Block mode: the position in the plain bytes equals the position in the
    file, so a seekable file can be read and written at any position. A gap
    left by writing past the end holds the file system's zero bytes, which
    read back as their decryption, not as zeros. The expanded mode reads and
    writes from the start to the end only.
    One thread at a time may use a TavFile: a second one at once gets
    RuntimeError. A forked child's copy of one opened for writing neither
    writes nor names anything: its close() drops it, flush() raises
    RuntimeError.
    """

    def __init__(self, file: FileArgument, mode: BinaryMode = "rb", *, keys: Keys, expanded: bool = False,
                 buffer_size: int = DEFAULT_BUFFER_SIZE) -> None:
        super().__init__()
        self._lock = threading.RLock()
        self._pid = os.getpid()
        self._reading = True
        self._ready = False
        self._keys: Optional[Keys] = None
        self._coder: Optional[int] = None
        self._fileobj: Any = None
        self._owned = False
        # Writing to a path: the new file, named at a normal close.
        self._pending: Optional[NewFile] = None
        self._discarding = False
        require_keys(keys)
        kind, text = _parse_mode(mode)
        if text:
            raise ValueError(f"invalid mode {mode!r}: TavFile is binary; tavsdk.open() gives text modes")
        if buffer_size <= 0:
            raise ValueError("buffer_size must be positive")
        is_path = isinstance(file, (str, bytes, os.PathLike))
        if not is_path and not hasattr(file, "read" if kind == "r" else "write"):
            raise TypeError(f"file must be a path or a binary file object, not {type(file).__name__}")
        self._reading = kind == "r"
        self.mode = "rb" if self._reading else "wb"
        self._expanded = bool(expanded)
        # A closed key set fails here, before a destination is created.
        self._handle = keys._enter()
        self._keys = keys
        try:
            # Before the file is opened: a key set without a pad table for
            # the expanded mode leaves no empty destination behind.
            coder = ctypes.c_void_p()
            if self._expanded and self._reading:
                check(_lib.lib.tav_decoder_new(ctypes.byref(coder), self._handle))
            elif self._expanded:
                check(_lib.lib.tav_encoder_new(ctypes.byref(coder), self._handle, _lib.SYSTEM_RANDOM, None))
            self._coder = coder.value
            if is_path:
                path = cast(PathName, file)
                if self._reading:
                    self._fileobj = _open_source(path)
                else:
                    self._fileobj, self._pending = open_for_writing(path, kind == "x")
                self._owned = True
                self.name: Any = file
            else:
                self._fileobj = file
                self.name = getattr(file, "name", None)
            self._setup(buffer_size)
        except BaseException:
            self._release()
            raise
        self._ready = True

    def _setup(self, buffer_size: int) -> None:
        self._pos = 0
        self._base = 0
        self._seekable = False
        if not self._expanded:
            try:
                self._seekable = bool(self._fileobj.seekable())
                if self._seekable:
                    self._base = self._fileobj.tell()
            except (AttributeError, OSError, ValueError):
                self._seekable = False
        # Writing: encrypted bytes wait here until a full buffer is written.
        # Expanded reading: plain bytes decoded ahead of the reader.
        self._buffer = bytearray(buffer_size if not self._reading or self._expanded else 0)
        self._buffered = 0
        self._ahead = b""
        self._ahead_at = 0

    # ---- state ----------------------------------------------------------

    def readable(self) -> bool:
        self._check_open()
        return self._reading

    def writable(self) -> bool:
        self._check_open()
        return not self._reading

    def seekable(self) -> bool:
        self._check_open()
        return self._seekable

    def fileno(self) -> int:
        self._check_open()
        return int(self._fileobj.fileno())

    def tell(self) -> int:
        """The position in the plain bytes."""
        self._check_open()
        return self._pos

    @_one_thread
    def seek(self, offset: int, whence: int = io.SEEK_SET) -> int:
        """Moves to a position of the plain bytes (block mode, seekable file)."""
        self._check_open()
        if not self._seekable:
            raise io.UnsupportedOperation("seek: the expanded mode and unseekable files read and write in order")
        if not self._reading:
            self._write_buffer()
        if whence == io.SEEK_SET:
            target = offset
        elif whence == io.SEEK_CUR:
            target = self._pos + offset
        elif whence == io.SEEK_END:
            target = self._fileobj.seek(0, io.SEEK_END) - self._base + offset
        else:
            raise ValueError(f"invalid whence ({whence})")
        if not 0 <= target <= _lib.POSITION_END:
            raise ValueError(f"seek position {target} out of range: 0 to 2**64")
        self._fileobj.seek(self._base + target)
        self._pos = target
        self._ahead, self._ahead_at = b"", 0
        return target

    def _check_open(self) -> None:
        if self.closed:
            raise ValueError("I/O operation on closed file")

    def _check_mode(self, reading: bool) -> None:
        self._check_open()
        if reading != self._reading:
            raise io.UnsupportedOperation("not readable" if reading else "not writable")

    # ---- reading --------------------------------------------------------
    #
    # Plain bytes decoded ahead of the reader (peek, readline, the expanded
    # mode) wait in _ahead from _ahead_at on; _pos counts the bytes handed
    # out. Block-mode reads with nothing ahead go straight from the file.

    @_one_thread
    def read(self, size: Optional[int] = -1) -> bytes:
        """Up to `size` plain bytes (all up to the end without it); fewer only
        at the end, or from a non-blocking file that has no more yet (with
        nothing at all: BlockingIOError)."""
        self._check_mode(True)
        everything = size is None or size < 0
        wanted = _READ_ALL_CHUNK if everything else cast(int, size)
        parts: List[bytes] = []
        while wanted > 0:
            try:
                part = self._read1(_READ_ALL_CHUNK if everything else wanted)
            except BlockingIOError:
                if not parts:
                    raise
                break
            if not part:
                break
            parts.append(part)
            if not everything:
                wanted -= len(part)
        return parts[0] if len(parts) == 1 else b"".join(parts)

    @_one_thread
    def read1(self, size: int = -1) -> bytes:
        """At most `size` plain bytes from one read of the file (fewer only at
        the end, or when the file gives fewer)."""
        self._check_mode(True)
        return self._read1(size)

    def _read1(self, size: Optional[int]) -> bytes:
        if size is None or size < 0:
            size = _READ_ALL_CHUNK
        if self._ahead_at == len(self._ahead):
            if not self._expanded:
                part = self._next_plain(size)
                self._pos += len(part)
                return part
            self._ahead, self._ahead_at = self._next_plain(size), 0
        return self._take(size)

    @_one_thread
    def peek(self, size: int = 0) -> bytes:
        """Plain bytes ahead of the position, without moving it (at least one
        unless at the end)."""
        self._check_mode(True)
        if self._ahead_at == len(self._ahead):
            self._ahead, self._ahead_at = self._next_plain(max(size, io.DEFAULT_BUFFER_SIZE)), 0
        return self._ahead[self._ahead_at:]

    @_one_thread
    def readline(self, size: Optional[int] = -1) -> bytes:
        self._check_mode(True)
        limit = -1 if size is None else size
        parts: List[bytes] = []
        while limit != 0:
            if self._ahead_at == len(self._ahead):
                try:
                    self._ahead, self._ahead_at = self._next_plain(_LINE_CHUNK), 0
                except BlockingIOError:
                    # The start of the line waits for its end.
                    self._ahead, self._ahead_at = b"".join(parts), 0
                    self._pos -= len(self._ahead)
                    raise
                if not self._ahead:
                    break
            end = self._ahead.find(b"\n", self._ahead_at)
            stop = end + 1 if end >= 0 else len(self._ahead)
            if limit > 0:
                stop = min(stop, self._ahead_at + limit)
                limit -= stop - self._ahead_at
            parts.append(self._take(stop - self._ahead_at))
            if parts[-1].endswith(b"\n"):
                break
        return parts[0] if len(parts) == 1 else b"".join(parts)

    @_one_thread
    def readinto(self, b: WriteableBuffer) -> int:
        self._check_mode(True)
        with View(b, writable=True) as target:
            done = 0
            while done < target.length:
                try:
                    got = self._readinto_at(b, target, done)
                except BlockingIOError:
                    if not done:
                        raise
                    break
                if not got:
                    break
                done += got
        return done

    @_one_thread
    def readinto1(self, b: WriteableBuffer) -> int:
        self._check_mode(True)
        with View(b, writable=True) as target:
            return self._readinto_at(b, target, 0)

    def _readinto_at(self, b: Any, target: View, done: int) -> int:
        if self._expanded or self._ahead_at < len(self._ahead):
            part = self._read1(target.length - done)
            ctypes.memmove(target.address + done, part, len(part))
            return len(part)
        reader = getattr(self._fileobj, "readinto", None)
        if reader is None:
            part = self._next_plain(target.length - done)
            ctypes.memmove(target.address + done, part, len(part))
            self._pos += len(part)
            return len(part)
        got = reader(memoryview(b).cast("B")[done:])
        if got is None:
            raise _no_data_yet()
        if got:
            _lib.check_span(self._pos, got)
            address = target.address + done
            check(_lib.lib.tav_block_decrypt(self._handle, self._pos, address, address, got))
            self._pos += got
        return int(got)

    def _take(self, size: int) -> bytes:
        start = self._ahead_at
        end = min(len(self._ahead), start + size)
        self._ahead_at = end
        self._pos += end - start
        return self._ahead if start == 0 and end == len(self._ahead) else self._ahead[start:end]

    def _next_plain(self, size: int) -> bytes:
        """The plain bytes that follow what was read from the file (up to
        `size` in block mode; one buffer of the file decoded in the expanded
        mode); b"" at its end. Nothing may be waiting ahead."""
        if not self._expanded:
            data = self._read_file(size)
            _lib.check_span(self._pos, len(data))
            plain = new_bytes(len(data))
            check(_lib.lib.tav_block_decrypt(self._handle, self._pos, data, address_of(plain), len(data)))
            return plain
        got = ctypes.c_size_t()
        while True:
            data = self._read_file(len(self._buffer))
            if not data:
                return b""
            with View(self._buffer, writable=True) as out:
                check(_lib.lib.tav_decoder_update(self._coder, data, len(data), out.address, ctypes.byref(got)))
            # A piece of the file may hold filler bytes only.
            if got.value:
                return bytes(memoryview(self._buffer)[:got.value])

    def _read_file(self, size: int) -> bytes:
        data = self._fileobj.read(size)
        if data is None:
            raise _no_data_yet()
        return bytes(data)

    # ---- writing --------------------------------------------------------

    @_one_thread
    def write(self, b: ReadableBuffer) -> int:
        """Encrypts the plain bytes of `b` and writes them; returns len(b) in
        bytes. Ciphertext is buffered until a full buffer, flush() or close()."""
        self._check_mode(False)
        with View(b) as source:
            done = 0
            while done < source.length:
                done += self._write_some(source.address + done, source.length - done)
            return source.length

    def _write_some(self, address: int, length: int) -> int:
        room = len(self._buffer) - self._buffered
        if not self._expanded:
            if room == 0:
                self._write_buffer()
                room = len(self._buffer)
            count = min(room, length)
            _lib.check_span(self._pos, count)
            with View(self._buffer, writable=True) as out:
                check(_lib.lib.tav_block_encrypt(self._handle, self._pos, address, out.address + self._buffered,
                                                 count))
            self._buffered += count
            self._pos += count
            return count
        count = min(length, _ENCODE_CHUNK)
        need = _lib.lib.tav_encoder_size(self._coder, count)
        if need > room:
            self._write_buffer()
            if need > len(self._buffer):
                self._buffer = bytearray(need)
        produced = ctypes.c_size_t()
        with View(self._buffer, writable=True) as out:
            check(_lib.lib.tav_encoder_update(self._coder, address, count, out.address + self._buffered,
                                              len(self._buffer) - self._buffered, ctypes.byref(produced)))
        self._buffered += produced.value
        self._pos += count
        return count

    def _write_buffer(self) -> None:
        if self._discarding:
            self._buffered = 0
            return
        if os.getpid() != self._pid:
            # The parent holds these bytes too; the file offset is shared.
            raise RuntimeError(f"{self!r} was opened for writing by process {self._pid}: only it may write")
        view = memoryview(self._buffer)
        done = 0
        try:
            while done < self._buffered:
                written = self._fileobj.write(view[done:self._buffered])
                if written is None:
                    raise BlockingIOError("the file is in non-blocking mode and would block")
                done += written
        finally:
            # Bytes that did reach the file are not written twice.
            remaining = self._buffered - done
            if done and remaining:
                self._buffer[:remaining] = view[done:self._buffered]
            view.release()
            self._buffered = remaining

    @_one_thread
    def flush(self) -> None:
        self._check_open()
        if self._ready and not self._reading and not self._discarding:
            self._write_buffer()
            flush = getattr(self._fileobj, "flush", None)
            if flush is not None:
                flush()

    # ---- closing --------------------------------------------------------

    def close(self) -> None:
        """Writes what is buffered, closes the file if open() opened it, and
        lets go of the key set. The key set stays open.
        A file written to a path takes its name here, complete and flushed
        to the disk: it was written to an unnamed file until now."""
        if self.closed:
            return
        self._drop_if_forked()
        self._close()

    @_one_thread
    def _close(self) -> None:
        try:
            super().close()  # flushes
            if self._pending is not None and not self._discarding:
                pending, self._pending = self._pending, None
                pending.commit()
        finally:
            self._release()

    def __exit__(self, kind: Any, value: Any, traceback: Any) -> None:
        if kind is not None:
            self._discard_output()
        self.close()

    def _discard_output(self) -> None:
        """An unfinished output never takes its name: close() then drops it."""
        if self._pending is not None:
            self._discarding = True

    def _drop_if_forked(self) -> bool:
        """In a forked child, a writer's copy is dropped: the opener writes
        and names the file."""
        if self._reading or os.getpid() == self._pid:
            return False
        self._discarding = True
        return True

    def __del__(self) -> None:
        if getattr(self, "_pending", None) is not None and not self.closed:
            # Dropped without close(): nothing tells it is complete.
            self._discard_output()
            if not self._drop_if_forked():
                warnings.warn(f"unclosed {self!r}: what was written does not take the name", ResourceWarning,
                              source=self)
        super().__del__()

    def __reduce_ex__(self, protocol: Any) -> Any:
        # copy, deepcopy and pickle: two objects would share one encoder and
        # one use of the key set.
        raise TypeError("TavFile objects cannot be copied or pickled")

    def _release(self) -> None:
        self._ready = False
        if self._coder:
            if self._expanded and self._reading:
                _lib.lib.tav_decoder_free(self._coder)
            else:
                _lib.lib.tav_encoder_free(self._coder)
            self._coder = None
        if self._keys is not None:
            keys, self._keys = self._keys, None
            keys._leave()
        if self._owned:
            self._owned = False
            self._fileobj.close()
        if self._pending is not None:
            pending, self._pending = self._pending, None
            pending.discard()

    def __repr__(self) -> str:
        return f"<tavsdk.TavFile name={self.name!r} mode={self.mode!r} expanded={self._expanded}>"


class _TextFile(io.TextIOWrapper):
    """Text over a TavFile, whose output also takes its name only at a normal close."""

    def __exit__(self, kind: Any, value: Any, traceback: Any) -> None:
        if kind is not None:
            cast(TavFile, self.buffer)._discard_output()
        self.close()

    def __del__(self) -> None:
        if not self.closed:
            cast(TavFile, self.buffer)._discard_output()
        super().__del__()

    def close(self) -> None:
        if not self.closed:
            cast(TavFile, self.buffer)._drop_if_forked()  # before the text still held is flushed into it
        super().close()


def _open_source(path: PathName) -> Any:
    try:
        return builtins.open(path, "rb", buffering=0)
    except OSError as e:
        raise make_error(_lib.BAD_SOURCE, e.errno or 0, path) from e


@overload
def open(file: FileArgument, mode: BinaryMode = "rb", *, keys: Keys, expanded: bool = False,
         buffer_size: int = DEFAULT_BUFFER_SIZE, encoding: None = None, errors: None = None,
         newline: None = None) -> TavFile: ...


@overload
def open(file: FileArgument, mode: TextMode, *, keys: Keys, expanded: bool = False,
         buffer_size: int = DEFAULT_BUFFER_SIZE, encoding: Optional[str] = None, errors: Optional[str] = None,
         newline: Optional[str] = None) -> io.TextIOWrapper: ...


@overload
def open(file: FileArgument, mode: str, *, keys: Keys, expanded: bool = False,
         buffer_size: int = DEFAULT_BUFFER_SIZE, encoding: Optional[str] = None, errors: Optional[str] = None,
         newline: Optional[str] = None) -> Union[TavFile, io.TextIOWrapper]: ...


def open(file: FileArgument, mode: str = "rb", *, keys: Keys, expanded: bool = False,
         buffer_size: int = DEFAULT_BUFFER_SIZE, encoding: Optional[str] = None, errors: Optional[str] = None,
         newline: Optional[str] = None) -> Union[TavFile, io.TextIOWrapper]:
    """Opens a ciphertext file as a file object, like gzip.open().

    `file` is a path (str, bytes, os.PathLike) or a binary file object, which
    is then used from its current position and not closed. "rb" reads and
    decrypts; "wb" (or "xb": the file must not exist) encrypts and writes.
    `expanded` selects the expanded mode instead of the block mode.
    "rt", "wt" and "xt" give an io.TextIOWrapper with `encoding`, `errors`
    and `newline` over the binary file object.

    A path opened for writing gets a new file that takes the name only when
    the file object is closed normally (close(), or the end of a `with`
    block without an exception): until then, and after an exception, the
    old file at the name stays as it was and nothing partial appears.
    "wb" replaces the name in one step and keeps the permission bits of the
    file it replaces; "xb" refuses a name taken when opening or closing.
    A character device or FIFO is written directly.
    """
    kind, text = _parse_mode(mode)
    binary_mode = cast(BinaryMode, kind + "b")
    if text:
        binary = TavFile(file, binary_mode, keys=keys, expanded=expanded, buffer_size=buffer_size)
        try:
            return _TextFile(cast(BinaryIO, binary), encoding, errors, newline)
        except BaseException:
            binary._discard_output()
            binary.close()
            raise
    if encoding is not None or errors is not None or newline is not None:
        raise ValueError("encoding, errors and newline apply to text modes only")
    return TavFile(file, binary_mode, keys=keys, expanded=expanded, buffer_size=buffer_size)
