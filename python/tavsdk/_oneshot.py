# SPDX-License-Identifier: MIT
"""One call on a whole bytes-like object: block mode and the expanded mode."""

from __future__ import annotations

import ctypes
from typing import TYPE_CHECKING, Any, Optional, TypeVar, overload

from . import _lib
from ._buffers import View, address_of, new_bytes
from ._errors import check
from ._keys import Keys, require_keys

if TYPE_CHECKING:
    from _typeshed import ReadableBuffer, WriteableBuffer

__all__ = ["encrypt", "decrypt", "encode_expanded", "decode_expanded"]

Out = TypeVar("Out", bound="WriteableBuffer")

_DECODE_CHUNK = 1 << 20


def _block(function: Any, data: Any, keys: Keys, offset: int, out: Optional[Out]) -> Any:
    require_keys(keys)
    if not isinstance(offset, int) or isinstance(offset, bool):
        raise TypeError("offset must be an int")
    with View(data) as source:
        _lib.check_span(offset, source.length)
        with keys._use() as handle:
            if out is None:
                result = new_bytes(source.length)
                check(function(handle, offset, source.address, address_of(result), source.length))
                return result
            with View(out, writable=True) as target:
                if target.length != source.length:
                    raise ValueError(f"out has {target.length} bytes, data {source.length}")
                if (target.address != source.address and target.address < source.address + source.length
                        and source.address < target.address + target.length):
                    raise ValueError("out overlaps data (only the very same buffer is allowed)")
                check(function(handle, offset, source.address, target.address, source.length))
            return out


@overload
def encrypt(data: ReadableBuffer, keys: Keys, offset: int = 0, *, out: None = None) -> bytes: ...


@overload
def encrypt(data: ReadableBuffer, keys: Keys, offset: int = 0, *, out: Out) -> Out: ...


def encrypt(data: ReadableBuffer, keys: Keys, offset: int = 0, *, out: Optional[Out] = None) -> Any:
    """Encrypts `data` (any bytes-like object) in the block mode and returns
    the ciphertext as bytes, or writes it into `out` (a writable buffer of the
    same length, which may be `data` itself) and returns `out`.

    `offset` is the position of `data` in its message: a message may be
    encrypted in pieces of any size, each with its own offset, in any order.
    """
    return _block(_lib.lib.tav_block_encrypt, data, keys, offset, out)


@overload
def decrypt(data: ReadableBuffer, keys: Keys, offset: int = 0, *, out: None = None) -> bytes: ...


@overload
def decrypt(data: ReadableBuffer, keys: Keys, offset: int = 0, *, out: Out) -> Out: ...


def decrypt(data: ReadableBuffer, keys: Keys, offset: int = 0, *, out: Optional[Out] = None) -> Any:
    """Decrypts block-mode ciphertext; arguments as for encrypt()."""
    return _block(_lib.lib.tav_block_decrypt, data, keys, offset, out)


def encode_expanded(data: ReadableBuffer, keys: Keys) -> bytes:
    """Returns the expanded form of `data`: each ciphertext byte followed by
    random filler symbols (about 21 to 48 times the size).
    Raises NoKeysError when the key set has no k5 pad table."""
    require_keys(keys)
    with View(data) as source, keys._use() as handle:
        encoder = ctypes.c_void_p()
        check(_lib.lib.tav_encoder_new(ctypes.byref(encoder), handle, _lib.SYSTEM_RANDOM, None))
        try:
            size = _lib.lib.tav_encoder_size(encoder, source.length)
            if size == ctypes.c_size_t(-1).value:
                raise MemoryError("the expanded form does not fit in memory")
            result = new_bytes(size)
            written = ctypes.c_size_t()
            check(_lib.lib.tav_encoder_update(encoder, source.address, source.length, address_of(result), size,
                                              ctypes.byref(written)))
        finally:
            _lib.lib.tav_encoder_free(encoder)
    return result


def decode_expanded(data: ReadableBuffer, keys: Keys) -> bytes:
    """Restores the plain bytes from an expanded message (a truncated one
    gives every unit whose ciphertext byte is present)."""
    require_keys(keys)
    plain = bytearray()
    with View(data) as source, keys._use() as handle:
        decoder = ctypes.c_void_p()
        check(_lib.lib.tav_decoder_new(ctypes.byref(decoder), handle))
        try:
            # Plain bytes are a small share of the input: decode through a
            # bounded scratch area instead of one of the input's size.
            scratch = bytearray(min(source.length, _DECODE_CHUNK))
            got = ctypes.c_size_t()
            with View(scratch, writable=True) as out:
                for start in range(0, source.length, _DECODE_CHUNK):
                    length = min(_DECODE_CHUNK, source.length - start)
                    check(_lib.lib.tav_decoder_update(decoder, source.address + start, length, out.address,
                                                      ctypes.byref(got)))
                    plain += memoryview(scratch)[:got.value]
        finally:
            _lib.lib.tav_decoder_free(decoder)
    return bytes(plain)
