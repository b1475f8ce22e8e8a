# SPDX-License-Identifier: MIT
"""Files of the library's process-wide functions and of the package are
interchangeable, in both modes, for data the conformance set lacks."""

import os

import pytest

import tavsdk

PASSPHRASE = b"interop \xc3\xa9t\xc3\xa9 2026"
#              generate,          block enc,          block dec,          expand enc,          expand dec
FUNCTIONS = {
    "text": ("TavGenTextKeys", "TavTextFileEnc", "TavTextFileDec", "TavTExpandFileEnc", "TavTExpandFileDec"),
    "binary": ("TavGenBinaryKeys", "TavBinaryFileEnc", "TavBinaryFileDec", "TavBExpandFileEnc",
               "TavBExpandFileDec"),
}


@pytest.mark.parametrize("alphabet", ["text", "binary"])
def test_process_wide_functions(legacy, alphabet, tmp_path):
    generate, block_enc, block_dec, expand_enc, expand_dec = (getattr(legacy, f) for f in FUNCTIONS[alphabet])
    assert generate(PASSPHRASE) == 0
    keys = tavsdk.Keys(PASSPHRASE, alphabet)
    data = os.urandom(300_000) + b"Plain text\r\n\t\xff" * 1000
    (tmp_path / "plain").write_bytes(data)

    assert block_enc(b"plain", b"c.legacy") == 0
    tavsdk.encrypt_file("plain", "c.package", keys)
    assert (tmp_path / "c.package").read_bytes() == (tmp_path / "c.legacy").read_bytes()

    assert expand_enc(b"plain", b"x.legacy") == 0
    tavsdk.encrypt_file("plain", "x.package", keys, expanded=True)
    assert tavsdk.decode_expanded((tmp_path / "x.legacy").read_bytes(), keys) == data
    assert expand_dec(b"x.package", b"back") == 0
    assert (tmp_path / "back").read_bytes() == data
    assert os.path.getsize("x.package") == os.path.getsize("x.legacy") == keys.expanded_size(len(data))
    assert block_dec(b"c.package", b"back2") == 0
    assert (tmp_path / "back2").read_bytes() == data
