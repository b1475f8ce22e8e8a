# SPDX-License-Identifier: MIT
"""tavsdk: the twenty-wheel rotor cipher of libtavsdk, from Python.

A legacy rotor-style cipher kept for compatibility with data and peers of
this system; it has no integrity protection and is no replacement for modern
authenticated encryption.

    import tavsdk
    with tavsdk.Keys("my passphrase", "binary") as keys:
        cipher = tavsdk.encrypt(b"attack at dawn", keys)
        tavsdk.encrypt_file("report.pdf", "report.tav", keys)
        tavsdk.encrypt_tree("photos", "photos-encrypted", keys)
        with tavsdk.open("report.tav", "rb", keys=keys) as f:
            header = f.read(4)

The package calls the shared library libtavsdk (found through the
environment variable TAVSDK_LIBRARY, else the loader's search path) with
ctypes; every call into it releases the GIL.
"""

from ._errors import (ArgumentError, CancelledError, DestinationError, DestinationExistsError, Error,
                      NoKeysError, OutOfMemoryError, PassphraseTruncatedWarning, SourceError)
from ._files import decrypt_file, encrypt_file
from ._keys import Alphabet, Keys
from ._oneshot import decode_expanded, decrypt, encode_expanded, encrypt
from ._stream import TavFile, open
from ._tree import TreeError, TreeResult, decrypt_tree, encrypt_tree

__version__ = "1.4.0"

__all__ = [
    "Alphabet", "Keys",
    "encrypt", "decrypt", "encode_expanded", "decode_expanded",
    "open", "TavFile",
    "encrypt_file", "decrypt_file",
    "encrypt_tree", "decrypt_tree", "TreeResult", "TreeError",
    "Error", "NoKeysError", "SourceError", "DestinationError", "DestinationExistsError", "CancelledError",
    "ArgumentError", "OutOfMemoryError", "PassphraseTruncatedWarning",
]
