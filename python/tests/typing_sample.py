# SPDX-License-Identifier: MIT
"""Type-checked only (test_packaging): what the annotations promise users.
Lines marked "# refused" must be errors under mypy --strict."""

import io

from typing_extensions import assert_type

import tavsdk

keys = tavsdk.Keys("x", tavsdk.Alphabet.TEXT)
assert_type(tavsdk.encrypt(b"x", keys), bytes)
assert_type(tavsdk.decrypt(memoryview(b"x"), keys, 3), bytes)
assert_type(tavsdk.encrypt(b"x", keys, out=bytearray(1)), bytearray)
assert_type(tavsdk.open("f", keys=keys), tavsdk.TavFile)
assert_type(tavsdk.open("f", "xb", keys=keys), tavsdk.TavFile)
assert_type(tavsdk.open(io.BytesIO(), "rt", keys=keys, encoding="utf-8"), io.TextIOWrapper)
tavsdk.encrypt("text", keys)  # refused
tavsdk.encrypt(b"x", keys, out=b"x")  # refused
tavsdk.open("f", "wb", keys=keys).write("text")  # refused
assert_type(tavsdk.encrypt_tree("d", None, keys, threads=2, progress=lambda done, total: None), tavsdk.TreeResult)
assert_type(tavsdk.decrypt_tree("d", "out", keys).written, list[str])
tavsdk.encrypt_tree("d", "out", keys, 2)  # refused
