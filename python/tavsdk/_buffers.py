# SPDX-License-Identifier: MIT
"""Raw addresses of bytes-like objects, without copying them."""

from __future__ import annotations

import ctypes
from typing import Any


class _PyBuffer(ctypes.Structure):
    # Py_buffer, unchanged since Python 3.3.
    _fields_ = [
        ("buf", ctypes.c_void_p),
        ("obj", ctypes.c_void_p),
        ("len", ctypes.c_ssize_t),
        ("itemsize", ctypes.c_ssize_t),
        ("readonly", ctypes.c_int),
        ("ndim", ctypes.c_int),
        ("format", ctypes.c_char_p),
        ("shape", ctypes.c_void_p),
        ("strides", ctypes.c_void_p),
        ("suboffsets", ctypes.c_void_p),
        ("internal", ctypes.c_void_p),
    ]


# pythonapi calls keep the GIL and raise the Python error they set.
_get_buffer = ctypes.pythonapi.PyObject_GetBuffer
_get_buffer.argtypes = [ctypes.py_object, ctypes.POINTER(_PyBuffer), ctypes.c_int]
_get_buffer.restype = ctypes.c_int
_release_buffer = ctypes.pythonapi.PyBuffer_Release
_release_buffer.argtypes = [ctypes.POINTER(_PyBuffer)]
_release_buffer.restype = None
_new_bytes = ctypes.pythonapi.PyBytes_FromStringAndSize
_new_bytes.argtypes = [ctypes.c_void_p, ctypes.c_ssize_t]
_new_bytes.restype = ctypes.py_object

_PYBUF_SIMPLE = 0
_PYBUF_WRITABLE = 1


class View:
    """The address and length of an object's bytes while the `with` block runs.

    Holding the buffer export keeps a bytearray from being resized or freed by
    another thread while the library works on it with the GIL released.
    A read view of a non-contiguous buffer is a contiguous copy.
    """

    __slots__ = ("_buffer", "_held", "address", "length", "_copy")
    address: int
    length: int

    def __init__(self, obj: Any, writable: bool = False) -> None:
        self._held = False
        if isinstance(obj, str):
            raise TypeError("a bytes-like object is required, not 'str'")
        self._buffer = _PyBuffer()
        self._copy = None
        try:
            _get_buffer(obj, ctypes.byref(self._buffer), _PYBUF_WRITABLE if writable else _PYBUF_SIMPLE)
        except BufferError:
            if writable:
                raise TypeError("the output must be a writable, C-contiguous bytes-like object") from None
            self._copy = memoryview(obj).tobytes()
            _get_buffer(self._copy, ctypes.byref(self._buffer), _PYBUF_SIMPLE)
        self._held = True
        self.address = self._buffer.buf or 0
        self.length = int(self._buffer.len)

    def release(self) -> None:
        if self._held:
            self._held = False
            _release_buffer(ctypes.byref(self._buffer))

    def __enter__(self) -> "View":
        return self

    def __exit__(self, *exc: object) -> None:
        self.release()

    def __del__(self) -> None:
        self.release()


def new_bytes(length: int) -> bytes:
    """A new bytes object of `length` bytes, not yet initialised: the caller
    fills all of it (through address_of) before anyone else sees it."""
    result: bytes = _new_bytes(None, length)
    return result


def address_of(data: bytes) -> int:
    return ctypes.cast(ctypes.c_char_p(data), ctypes.c_void_p).value or 0
