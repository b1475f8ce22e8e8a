# SPDX-License-Identifier: MIT
"""The package against the conformance data: the files that the library's
process-wide functions give for the same keys."""

import pytest

import tavsdk
from conftest import VECTORS, passphrase, vector_keys

BLOCK_FILES = sorted(VECTORS.glob("files/*.plain"))
EXPANDED_FILES = sorted(VECTORS.glob("expanded/*.plain"))


def key_set(path):
    name, alphabet = path.stem.split("-")[:2]
    return vector_keys(name, alphabet)


@pytest.mark.parametrize("plain", BLOCK_FILES, ids=lambda p: p.stem)
def test_block_files(plain, tmp_path):
    keys = key_set(plain)
    data, cipher = plain.read_bytes(), plain.with_suffix(".cipher").read_bytes()
    assert tavsdk.encrypt(data, keys) == cipher
    assert tavsdk.decrypt(cipher, keys) == data
    tavsdk.encrypt_file(plain, tmp_path / "c", keys)
    assert (tmp_path / "c").read_bytes() == cipher
    with tavsdk.open(plain.with_suffix(".cipher"), "rb", keys=keys) as f:
        assert f.read() == data


def test_block_files_are_all_there():
    assert len(BLOCK_FILES) >= 50 and len(EXPANDED_FILES) >= 4


def test_strings():
    rows = (VECTORS / "strings.tsv").read_text().splitlines()[1:]
    assert len(rows) >= 70
    for row in rows:
        alphabet, name, plain, cipher = row.split("\t")
        # A string operation is one message from its start.
        assert tavsdk.encrypt(bytes.fromhex(plain), vector_keys(name, alphabet)).hex() == cipher, row


@pytest.mark.parametrize("plain", EXPANDED_FILES, ids=lambda p: p.stem)
def test_expanded_files_decode(plain, tmp_path):
    keys = key_set(plain)
    expanded = plain.with_suffix(".expanded")
    assert tavsdk.decode_expanded(expanded.read_bytes(), keys) == plain.read_bytes()
    # Pieces of 7 bytes: many hold filler bytes only.
    with tavsdk.open(expanded, "rb", keys=keys, expanded=True, buffer_size=7) as f:
        assert f.read() == plain.read_bytes()
    tavsdk.decrypt_file(expanded, tmp_path / "p", keys, expanded=True)
    assert (tmp_path / "p").read_bytes() == plain.read_bytes()


@pytest.mark.parametrize("alphabet,ext", [("text", "txt"), ("binary", "bin")])
@pytest.mark.parametrize("name", ["hello", "latin1", "control"])
def test_key_files_saved_and_loaded(name, alphabet, ext, tmp_path):
    reference = VECTORS / "keys" / name / alphabet
    files = [f"k{i}.{ext}" for i in range(1, 6)] + ["k6.dat"]
    keys = vector_keys(name, alphabet)
    keys.save(tmp_path)
    try:
        for file in files:
            assert (tmp_path / file).read_bytes() == (reference / file).read_bytes(), file
            assert (tmp_path / file).stat().st_mode & 0o777 == 0o600
    finally:
        for file in files:
            (tmp_path / file).unlink()
    plain = VECTORS / "files" / f"{name}-{alphabet}-3000.plain"
    data = plain.read_bytes() if plain.exists() else bytes(range(256)) * 12
    expected = tavsdk.encrypt(data, keys)
    # The cipher depends on the master schedule, which no key file holds.
    for master in (keys, passphrase(name)):
        with tavsdk.Keys.load(reference, alphabet, master=master) as loaded:
            assert loaded.alphabet == tavsdk.Alphabet[alphabet.upper()]
            assert tavsdk.encrypt(data, loaded) == expected
    with tavsdk.Keys.load(reference, alphabet) as unmastered:
        assert tavsdk.encrypt(data, unmastered) != expected
    # In memory, the folder's other files (digest.txt, ...) are ignored as there.
    with tavsdk.Keys.from_files({p.name: p.read_bytes() for p in reference.iterdir()}, alphabet,
                                master=passphrase(name)) as loaded:
        assert tavsdk.encrypt(data, loaded) == expected
