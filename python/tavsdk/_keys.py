# SPDX-License-Identifier: MIT
"""Key sets."""

from __future__ import annotations

import ctypes
import enum
import os
import threading
import warnings
from contextlib import contextmanager
from typing import Any, Iterator, Mapping, Optional, Type, Union

from . import _lib
from ._buffers import View
from ._errors import DestinationError, Error, NoKeysError, PassphraseTruncatedWarning, PathName, check, make_error

__all__ = ["Alphabet", "Keys"]


class Alphabet(enum.IntEnum):
    """The 151-symbol text alphabet (other bytes pass through unchanged) or
    all 256 byte values."""

    TEXT = 1
    BINARY = 2


AlphabetLike = Union[Alphabet, str, int]
Passphrase = Union[str, bytes, bytearray, memoryview]


def to_alphabet(value: Any) -> Alphabet:
    if isinstance(value, Alphabet):
        return value
    if isinstance(value, str):
        try:
            return Alphabet[value.upper()]
        except KeyError:
            raise ValueError(f"unknown alphabet {value!r}: 'text' or 'binary'") from None
    if isinstance(value, int) and not isinstance(value, bool):
        try:
            return Alphabet(value)
        except ValueError:
            raise ValueError(f"unknown alphabet {value}: {Alphabet.TEXT.value} (text) or "
                             f"{Alphabet.BINARY.value} (binary)") from None
    raise TypeError(f"alphabet must be 'text', 'binary' or an Alphabet, not {type(value).__name__}")


def _open_directory(directory: PathName, error_class: Type[Error]) -> int:
    try:
        return os.open(directory, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    except OSError as e:
        raise make_error(error_class.status, e.errno or 0, directory) from e


def _check_passphrase(phrase: View) -> None:
    """Says why the library would refuse a passphrase, and warns of one
    longer than the part that counts."""
    if phrase.length == 0:
        raise make_error(_lib.BAD_ARGUMENT, message="the passphrase is empty")
    # Read in place: a copy would be key material Python cannot wipe.
    if 0 in (ctypes.c_ubyte * phrase.length).from_address(phrase.address):
        raise make_error(_lib.BAD_ARGUMENT, message="the passphrase contains a 0 byte")
    if phrase.length > _lib.PASSPHRASE_BYTES:
        warnings.warn(f"the passphrase is {phrase.length} bytes long; only its first {_lib.PASSPHRASE_BYTES} "
                      "bytes count", PassphraseTruncatedWarning, stacklevel=3)


class Keys:
    """The keys of one alphabet: everything the block mode, the expanded mode
    and the files need.

    ``Keys(passphrase, alphabet)`` derives them in memory (nothing is written);
    only the first 18 bytes of the passphrase (UTF-8 for a str) count, and a
    longer one draws a PassphraseTruncatedWarning. `alphabet` is "text",
    "binary", an Alphabet or its integer value. A key
    set is immutable and may be used by any number of threads at once.
    ``close()`` (or leaving a ``with`` block, or garbage collection) overwrites
    the key material and frees it; calls still running on other threads finish
    first. Python cannot wipe the passphrase object you passed in: pass a
    bytearray and clear it yourself if that matters.
    """

    __slots__ = ("_handle", "_alphabet", "_lock", "_users", "_closing", "__weakref__")

    _handle: Optional[int]
    _alphabet: Alphabet
    _lock: threading.Lock
    _users: int
    _closing: bool

    def __init__(self, passphrase: Passphrase, alphabet: AlphabetLike = Alphabet.BINARY) -> None:
        chosen = to_alphabet(alphabet)
        if isinstance(passphrase, str):
            passphrase = passphrase.encode("utf-8")
        handle = ctypes.c_void_p()
        with View(passphrase) as phrase:
            _check_passphrase(phrase)
            status = _lib.lib.tav_keys_new(ctypes.byref(handle), chosen, phrase.address, phrase.length)
        check(status)
        self._init(handle.value, chosen)

    def _init(self, handle: Optional[int], alphabet: Alphabet) -> None:
        setter = object.__setattr__
        setter(self, "_handle", handle)
        setter(self, "_alphabet", alphabet)
        setter(self, "_lock", threading.Lock())
        setter(self, "_users", 0)
        setter(self, "_closing", False)

    @classmethod
    def load(cls, directory: PathName, alphabet: AlphabetLike = Alphabet.BINARY, *,
             master: Union["Keys", Passphrase, None] = None) -> "Keys":
        """Reads the key files of `alphabet` (k1..k5 and k6.dat) from `directory`.

        The master key schedule is in no key file, and the cipher depends on
        it: pass the key set (or the passphrase) the files were generated from
        as `master` to get the same ciphertext as its generation. Without it
        the schedule is that of a process that has generated nothing.
        Raises NoKeysError when k1, k3 or k4 is missing or damaged.
        """
        chosen = to_alphabet(alphabet)
        if master is not None and not isinstance(master, Keys):
            with cls(master, chosen) as derived:
                return cls.load(directory, chosen, master=derived)
        dirfd = _open_directory(directory, NoKeysError)
        try:
            handle = ctypes.c_void_p()
            error = ctypes.c_int(0)
            with (master._use() if master is not None else _nothing()) as master_handle:
                status = _lib.lib.tav_keys_load(ctypes.byref(handle), chosen, dirfd, master_handle,
                                                ctypes.byref(error))
        finally:
            os.close(dirfd)
        check(status, error.value, directory)
        keys = cls.__new__(cls)
        keys._init(handle.value, chosen)
        return keys

    @classmethod
    def from_files(cls, files: Mapping[str, Any], alphabet: AlphabetLike = Alphabet.BINARY, *,
                   master: Union["Keys", Passphrase, None] = None) -> "Keys":
        """Makes the key set of `alphabet` from key files held in memory (received
        over a network, say): a mapping of names as in a key directory ("k1.bin"
        ... "k5.bin", "k6.dat"; "k1.txt" ... for text) to bytes-like contents.

        The rules, the errors and `master` are those of load(); other names are
        ignored, as a directory's other files are. The contents are read in place
        and not kept.
        """
        chosen = to_alphabet(alphabet)
        if master is not None and not isinstance(master, Keys):
            with cls(master, chosen) as derived:
                return cls.from_files(files, chosen, master=derived)
        if not isinstance(files, Mapping):
            raise TypeError(f"files must be a mapping of key file names to bytes, not {type(files).__name__}")
        entries = (_lib.KeyFile * len(files))()
        views = []
        try:
            for entry, (name, data) in zip(entries, files.items()):
                if not isinstance(name, str):
                    raise TypeError(f"key file names must be str, not {type(name).__name__}")
                if "\0" in name:
                    # The library would read the name only up to it.
                    raise make_error(_lib.BAD_ARGUMENT, message=f"the key file name {name!r} holds a 0 byte")
                views.append(View(data))
                entry.name, entry.data, entry.size = name.encode("utf-8"), views[-1].address, views[-1].length
            handle = ctypes.c_void_p()
            with (master._use() if master is not None else _nothing()) as master_handle:
                status = _lib.lib.tav_keys_from_files(ctypes.byref(handle), chosen, entries, len(entries),
                                                      master_handle)
        finally:
            for view in views:
                view.release()
        check(status)
        keys = cls.__new__(cls)
        keys._init(handle.value, chosen)
        return keys

    def save(self, directory: PathName) -> None:
        """Writes the key files (mode 0600, replacing existing ones) into
        `directory`, as the library's key generation does."""
        dirfd = _open_directory(directory, DestinationError)
        try:
            error = ctypes.c_int(0)
            with self._use() as handle:
                status = _lib.lib.tav_keys_save(handle, dirfd, ctypes.byref(error))
        finally:
            os.close(dirfd)
        check(status, error.value, directory)

    @property
    def alphabet(self) -> Alphabet:
        return self._alphabet

    @property
    def closed(self) -> bool:
        return self._closing

    def expanded_size(self, plain_length: int) -> int:
        """The size of the expanded form of a message of `plain_length` bytes."""
        if not 0 <= plain_length < 2**64:
            raise ValueError(f"length {plain_length} out of range: 0 to 2**64 - 1")
        size = ctypes.c_uint64()
        with self._use() as handle:
            check(_lib.lib.tav_expanded_size(handle, plain_length, ctypes.byref(size)))
        return size.value

    @contextmanager
    def _use(self) -> Iterator[int]:
        """The handle, kept alive until the block ends even if another thread
        closes the key set meanwhile."""
        with self._lock:
            if self._closing:
                raise ValueError("the key set is closed")
            object.__setattr__(self, "_users", self._users + 1)
        try:
            yield self._handle  # type: ignore[misc]
        finally:
            self._leave()

    def _enter(self) -> int:
        with self._lock:
            if self._closing:
                raise ValueError("the key set is closed")
            object.__setattr__(self, "_users", self._users + 1)
        return self._handle  # type: ignore[return-value]

    def _leave(self) -> None:
        with self._lock:
            # Never below zero: a count too low would free the keys under a user.
            object.__setattr__(self, "_users", max(0, self._users - 1))
            if self._closing and self._users == 0:
                self._free()

    def _free(self) -> None:
        handle = self._handle
        object.__setattr__(self, "_handle", None)
        if handle:
            _lib.lib.tav_keys_free(handle)

    def close(self) -> None:
        """Overwrites and frees the key material (once the calls that use it
        have returned). Further use raises ValueError."""
        with self._lock:
            object.__setattr__(self, "_closing", True)
            if self._users == 0:
                self._free()

    def __enter__(self) -> "Keys":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        # Nothing can use the set once it is unreachable.
        if getattr(self, "_handle", None):
            self._free()

    def __setattr__(self, name: str, value: object) -> None:
        raise AttributeError("Keys objects are immutable")

    def __delattr__(self, name: str) -> None:
        raise AttributeError("Keys objects are immutable")

    def __reduce__(self) -> Any:
        raise TypeError("Keys objects cannot be pickled: that would copy the key material")

    def __copy__(self) -> "Keys":
        return self

    def __deepcopy__(self, memo: Any) -> "Keys":
        return self

    def __repr__(self) -> str:
        state = "closed" if self._closing else "open"
        return f"<tavsdk.Keys {self._alphabet.name.lower()} {state}>"


@contextmanager
def _nothing() -> Iterator[None]:
    yield None


def require_keys(keys: Any) -> Keys:
    if not isinstance(keys, Keys):
        raise TypeError(f"keys must be a tavsdk.Keys, not {type(keys).__name__}")
    return keys
