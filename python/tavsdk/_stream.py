# SPDX-License-Identifier: MIT
"""File objects that decrypt what they read and encrypt what they write."""

from __future__ import annotations

import builtins
import ctypes
import io
import os
from typing import Any, BinaryIO, List, Optional, Union, cast

from . import _lib
from ._buffers import View, address_of, new_bytes
from ._errors import PathName, check, make_error
from ._keys import Keys, require_keys

__all__ = ["TavFile", "open"]

DEFAULT_BUFFER_SIZE = 256 * 1024
# Plain bytes per encoder call: its output (about 21 to 48 times as much)
# goes through the write buffer.
_ENCODE_CHUNK = 4096
_READ_ALL_CHUNK = 1 << 20
_LINE_CHUNK = 64 * 1024


class TavFile(io.BufferedIOBase):
    """A binary file object over a ciphertext file: reading ("rb") returns
    plain bytes, writing ("wb", "xb") takes plain bytes and writes ciphertext.

    Block mode: the position in the plain bytes equals the position in the
    file, so a seekable file can be read and written at any position. A gap
    left by writing past the end holds the file system's zero bytes, which
    read back as their decryption, not as zeros. The expanded mode reads and
    writes from the start to the end only.
    One thread at a time may use a TavFile.
    """

    def __init__(self, file: Any, mode: str = "rb", *, keys: Keys, expanded: bool = False,
                 buffer_size: int = DEFAULT_BUFFER_SIZE) -> None:
        super().__init__()
        self._reading = True
        self._ready = False
        self._keys: Optional[Keys] = None
        self._coder: Optional[int] = None
        self._fileobj: Any = None
        self._owned = False
        require_keys(keys)
        if mode not in ("r", "rb", "w", "wb", "x", "xb"):
            raise ValueError(f"invalid mode {mode!r}: 'rb', 'wb' or 'xb'")
        if buffer_size <= 0:
            raise ValueError("buffer_size must be positive")
        is_path = isinstance(file, (str, bytes, os.PathLike))
        if not is_path and not hasattr(file, "read" if mode[0] == "r" else "write"):
            raise TypeError(f"file must be a path or a binary file object, not {type(file).__name__}")
        self._reading = mode[0] == "r"
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
                self._fileobj = _open_path(file, mode[0])
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
        if target < 0:
            raise ValueError(f"negative seek position {target}")
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

    def read(self, size: Optional[int] = -1) -> bytes:
        self._check_mode(True)
        if size is None or size < 0:
            parts: List[bytes] = []
            while True:
                part = self.read1(_READ_ALL_CHUNK)
                if not part:
                    return b"".join(parts)
                parts.append(part)
        parts = []
        wanted = size
        while wanted > 0:
            part = self.read1(wanted)
            if not part:
                break
            parts.append(part)
            wanted -= len(part)
        return parts[0] if len(parts) == 1 else b"".join(parts)

    def read1(self, size: int = -1) -> bytes:
        """At most `size` plain bytes from one read of the file (fewer only at
        the end, or when the file gives fewer)."""
        self._check_mode(True)
        if size is None or size < 0:
            size = _READ_ALL_CHUNK
        if self._ahead_at == len(self._ahead):
            if not self._expanded:
                part = self._next_plain(size)
                self._pos += len(part)
                return part
            self._ahead, self._ahead_at = self._next_plain(size), 0
        return self._take(size)

    def peek(self, size: int = 0) -> bytes:
        """Plain bytes ahead of the position, without moving it (at least one
        unless at the end)."""
        self._check_mode(True)
        if self._ahead_at == len(self._ahead):
            self._ahead, self._ahead_at = self._next_plain(max(size, io.DEFAULT_BUFFER_SIZE)), 0
        return self._ahead[self._ahead_at:]

    def readline(self, size: Optional[int] = -1) -> bytes:
        self._check_mode(True)
        limit = -1 if size is None else size
        parts: List[bytes] = []
        while limit != 0:
            if self._ahead_at == len(self._ahead):
                self._ahead, self._ahead_at = self._next_plain(_LINE_CHUNK), 0
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

    def readinto(self, b: Any) -> int:
        self._check_mode(True)
        with View(b, writable=True) as target:
            done = 0
            while done < target.length:
                got = self._readinto_at(b, target, done)
                if not got:
                    break
                done += got
        return done

    def readinto1(self, b: Any) -> int:
        self._check_mode(True)
        with View(b, writable=True) as target:
            return self._readinto_at(b, target, 0)

    def _readinto_at(self, b: Any, target: View, done: int) -> int:
        if self._expanded or self._ahead_at < len(self._ahead):
            part = self.read1(target.length - done)
            ctypes.memmove(target.address + done, part, len(part))
            return len(part)
        reader = getattr(self._fileobj, "readinto", None)
        if reader is None:
            part = self._next_plain(target.length - done)
            ctypes.memmove(target.address + done, part, len(part))
            self._pos += len(part)
            return len(part)
        got = reader(memoryview(b).cast("B")[done:]) or 0
        if got:
            address = target.address + done
            check(_lib.lib.tav_block_decrypt(self._handle, self._pos, address, address, got))
            self._pos += got
        return got

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
            data = bytes(self._fileobj.read(size) or b"")
            plain = new_bytes(len(data))
            check(_lib.lib.tav_block_decrypt(self._handle, self._pos, data, address_of(plain), len(data)))
            return plain
        got = ctypes.c_size_t()
        while True:
            data = bytes(self._fileobj.read(len(self._buffer)) or b"")
            if not data:
                return b""
            with View(self._buffer, writable=True) as out:
                check(_lib.lib.tav_decoder_update(self._coder, data, len(data), out.address, ctypes.byref(got)))
            # A piece of the file may hold filler bytes only.
            if got.value:
                return bytes(memoryview(self._buffer)[:got.value])

    # ---- writing --------------------------------------------------------

    def write(self, b: Any) -> int:
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

    def flush(self) -> None:
        self._check_open()
        if self._ready and not self._reading:
            self._write_buffer()
            flush = getattr(self._fileobj, "flush", None)
            if flush is not None:
                flush()

    # ---- closing --------------------------------------------------------

    def close(self) -> None:
        """Writes what is buffered, closes the file if open() opened it, and
        lets go of the key set. The key set stays open."""
        if self.closed:
            return
        try:
            super().close()  # flushes
        finally:
            self._release()

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

    def __repr__(self) -> str:
        return f"<tavsdk.TavFile name={self.name!r} mode={self.mode!r} expanded={self._expanded}>"


def _open_path(path: PathName, mode: str) -> Any:
    try:
        return builtins.open(path, mode + "b", buffering=0)
    except OSError as e:
        if mode == "r":
            status = _lib.BAD_SOURCE
        else:
            status = _lib.EXISTS if isinstance(e, FileExistsError) else _lib.BAD_DEST
        raise make_error(status, e.errno or 0, path) from e


def open(file: Any, mode: str = "rb", *, keys: Keys, expanded: bool = False,
         buffer_size: int = DEFAULT_BUFFER_SIZE, encoding: Optional[str] = None, errors: Optional[str] = None,
         newline: Optional[str] = None) -> Union[TavFile, io.TextIOWrapper]:
    """Opens a ciphertext file as a file object, like gzip.open().

    `file` is a path (str, bytes, os.PathLike) or a binary file object, which
    is then used from its current position and not closed. "rb" reads and
    decrypts; "wb" (or "xb": the file must not exist) encrypts and writes.
    `expanded` selects the expanded mode instead of the block mode.
    "rt", "wt" and "xt" give an io.TextIOWrapper with `encoding`, `errors`
    and `newline` over the binary file object.
    """
    if "t" in mode:
        if "b" in mode:
            raise ValueError(f"invalid mode {mode!r}")
        binary = TavFile(file, mode.replace("t", ""), keys=keys, expanded=expanded, buffer_size=buffer_size)
        try:
            return io.TextIOWrapper(cast(BinaryIO, binary), encoding, errors, newline)
        except BaseException:
            binary.close()
            raise
    if encoding is not None or errors is not None or newline is not None:
        raise ValueError("encoding, errors and newline apply to text modes only")
    return TavFile(file, mode, keys=keys, expanded=expanded, buffer_size=buffer_size)
