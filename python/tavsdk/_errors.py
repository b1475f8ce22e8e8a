# SPDX-License-Identifier: MIT
"""Exceptions for the statuses of the core interface."""

from __future__ import annotations

import os
from typing import Any, Dict, Optional, Tuple, Type, Union

from . import _lib

PathName = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]


class Error(Exception):
    """Base class of every failure the library reports.

    Attributes: ``status`` (the core's tav_status number), ``errno`` (the
    errno of the system call that failed, or None), ``filename`` (the file or
    directory concerned, or None) and ``strerror`` (the status's text).
    """

    status: int = -1
    # Declared loosely: OSError's own declarations differ, and the OSError
    # subclasses keep OSError's attributes.
    errno: Any
    filename: Any
    strerror: Any

    def __reduce__(self) -> Any:
        # The class may be one made for an errno: rebuild it, not look it up.
        # The message alone: str() adds the errno's text and the name again.
        message = getattr(self, "strerror", None) or (str(self.args[0]) if self.args else None)
        return _rebuild, (self.status, getattr(self, "errno", None), getattr(self, "filename", None), message)

    def __str__(self) -> str:
        text = self.strerror or (str(self.args[0]) if self.args else type(self).__name__)
        if self.errno:
            text += f": {os.strerror(self.errno)}"
        if self.filename is not None:
            text += f": {os.fspath(self.filename)!r}"
        return text


class NoKeysError(Error):
    """No usable keys: a missing or damaged key file, or no pad table for the
    expanded mode."""

    status = _lib.NO_KEYS


class SourceError(Error, OSError):
    """The source is missing, not a regular file, or could not be read."""

    status = _lib.BAD_SOURCE


class DestinationError(Error, OSError):
    """The destination cannot be created or written, or is the source itself."""

    status = _lib.BAD_DEST


class DestinationExistsError(DestinationError, FileExistsError):
    """The destination exists and replacing it was not asked for."""

    status = _lib.EXISTS


class CancelledError(Error):
    """The progress callback stopped the operation; no output remains."""

    status = _lib.CANCELLED


class ArgumentError(Error, ValueError):
    """The library refused an argument (an empty passphrase or one with a 0
    byte, too little room, ...)."""

    status = _lib.BAD_ARGUMENT


class OutOfMemoryError(Error, MemoryError):
    """The library could not allocate an object."""

    status = _lib.NO_MEMORY


class PassphraseTruncatedWarning(UserWarning):
    """The passphrase is longer than the part that counts (its first 18
    bytes): the rest makes no difference to the keys."""


_CLASSES: Dict[int, Type[Error]] = {
    cls.status: cls
    for cls in (NoKeysError, SourceError, DestinationError, DestinationExistsError, CancelledError,
                ArgumentError, OutOfMemoryError)
}
_WITH_ERRNO: Dict[Tuple[Type[Error], Type[OSError]], Type[Error]] = {}


def _class_for(cls: Type[Error], number: int) -> Type[Error]:
    """`cls`, also an instance of the OSError subclass that OSError(number,
    ...) would give (FileNotFoundError, PermissionError, ...), so that the
    built-in classes catch it."""
    if not number or not issubclass(cls, OSError):
        return cls
    builtin = type(OSError(number, ""))
    if issubclass(cls, builtin):
        return cls
    key = (cls, builtin)
    if key not in _WITH_ERRNO:
        _WITH_ERRNO[key] = type(cls.__name__, (cls, builtin), {"__module__": cls.__module__,
                                                              "__qualname__": cls.__qualname__})
    return _WITH_ERRNO[key]


def make_error(status: int, errno: int = 0, filename: Optional[PathName] = None,
               message: Optional[str] = None) -> Error:
    """The exception for a status; `message` says more than the status's text."""
    cls = _class_for(_CLASSES.get(status, Error), errno)
    message = message or _lib.strerror(status)
    error: Error
    if issubclass(cls, OSError):
        error = cls(errno or None, message, filename)
    else:
        error = cls(message)
        error.errno = errno or None
        error.filename = filename
        error.strerror = message
    error.status = status
    return error


def _rebuild(status: int, errno: Optional[int], filename: Optional[PathName], message: Optional[str]) -> Error:
    return make_error(status, errno or 0, filename, message)


def check(status: int, errno: int = 0, filename: Optional[PathName] = None) -> None:
    if status != _lib.OK:
        raise make_error(status, errno, filename)
