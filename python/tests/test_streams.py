# SPDX-License-Identifier: MIT
"""Pieces, offsets, chunkings and file objects all give the one-shot bytes."""

import io
import mmap
import os
import sys
import warnings

import pytest

pytest.importorskip("hypothesis")
from hypothesis import HealthCheck, given, settings, strategies as st

import tavsdk
from tavsdk import _lib
from conftest import vector_keys

KEYS = {alphabet: vector_keys("staple", alphabet) for alphabet in ("text", "binary")}
alphabets = st.sampled_from(sorted(KEYS))
cuts = st.lists(st.floats(min_value=0, max_value=1), max_size=6)  # as shares of the length
# A busy CI machine is no failure.
many = settings(max_examples=40, deadline=None,
                suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])


def pieces(data, cut_points):
    edges = sorted({0, len(data), *(int(c * len(data)) for c in cut_points)})
    return [(a, data[a:b]) for a, b in zip(edges, edges[1:])]


@many
@given(alphabet=alphabets, data=st.binary(max_size=70_000), cut_points=cuts)
def test_block_pieces_at_their_offsets(alphabet, data, cut_points):
    keys = KEYS[alphabet]
    whole = tavsdk.encrypt(data, keys)
    assert len(whole) == len(data)
    parts = pieces(data, cut_points)
    encrypted = {a: tavsdk.encrypt(p, keys, a) for a, p in reversed(parts)}  # any order
    assert b"".join(encrypted[a] for a, _ in parts) == whole
    buffer = bytearray(whole)
    for a, p in pieces(data, cut_points):
        tavsdk.decrypt(memoryview(buffer)[a:a + len(p)], keys, a, out=memoryview(buffer)[a:a + len(p)])
    assert buffer == data


@many
@given(alphabet=alphabets, expanded=st.booleans(), data=st.binary(max_size=70_000), cut_points=cuts,
       read_share=st.floats(min_value=0, max_value=0.5), buffer_size=st.integers(min_value=1, max_value=100))
def test_file_objects_against_one_shot(alphabet, expanded, data, cut_points, read_share, buffer_size):
    keys = KEYS[alphabet]
    sink = io.BytesIO()
    with tavsdk.open(sink, "wb", keys=keys, expanded=expanded, buffer_size=4096) as f:
        for _, p in pieces(data, cut_points):
            assert f.write(p) == len(p)
        assert f.tell() == len(data)
    written = sink.getvalue()
    if expanded:
        assert len(written) == keys.expanded_size(len(data))
        assert tavsdk.decode_expanded(written, keys) == data
    else:
        assert written == tavsdk.encrypt(data, keys)
    # Small buffers: expanded reads that hold fillers only.
    with tavsdk.open(io.BytesIO(written), "rb", keys=keys, expanded=expanded, buffer_size=buffer_size) as f:
        read_size = max(1, int(read_share * len(data)))
        got = bytearray(f.read(read_size))
        chunk = bytearray(read_size)
        got += chunk[:f.readinto(chunk)]
        got += f.read()
        assert got == data and f.tell() == len(data)


def test_reads_of_every_kind(tmp_path):
    keys = KEYS["text"]
    data = bytes(range(256)) * 40 + b"line one\nline two\n"
    path = tmp_path / "c"
    path.write_bytes(tavsdk.encrypt(data, keys))
    with tavsdk.open(path, "rb", keys=keys) as f:
        assert f.readable() and f.seekable() and not f.writable()
        assert f.read(10) == data[:10]
        b = bytearray(100)
        assert f.readinto(b) == 100 and b == data[10:110]
        assert f.seek(-18, io.SEEK_END) == len(data) - 18
        assert f.readline(4) == b"line" and f.readline() == b" one\n" and f.tell() == len(data) - 9
        f.seek(5000)  # drops what readline read ahead
        assert f.read1(7) == data[5000:5007]
        assert f.seek(-7, io.SEEK_CUR) == 5000 and f.read() == data[5000:]
        f.seek(len(data) - 18)
        assert list(f) == [b"line one\n", b"line two\n"] and f.read() == b""
    assert f.closed
    with pytest.raises(ValueError):
        f.read()


def test_text_mode(tmp_path):
    keys = KEYS["text"]
    with tavsdk.open(tmp_path / "t", "wt", keys=keys, encoding="latin-1") as f:
        f.write("Grüße\nzweite Zeile\n")
    assert (tmp_path / "t").read_bytes() == tavsdk.encrypt("Grüße\nzweite Zeile\n".encode("latin-1"), keys)
    with tavsdk.open(tmp_path / "t", "rt", keys=keys, encoding="latin-1") as f:
        assert f.readlines() == ["Grüße\n", "zweite Zeile\n"]


def test_block_writes_at_any_position_and_after_a_header(tmp_path):
    keys = KEYS["binary"]
    data = os.urandom(100_000)
    path = tmp_path / "c"
    with open(path, "wb") as raw:
        raw.write(b"HEADER")
        with tavsdk.open(raw, "wb", keys=keys) as f:
            f.seek(50_000)
            f.write(data[50_000:])
            f.seek(0)
            f.write(data[:50_000])
            assert f.seek(0, io.SEEK_END) == len(data)
        assert not raw.closed
    assert path.read_bytes() == b"HEADER" + tavsdk.encrypt(data, keys)
    with open(path, "rb") as raw:
        raw.seek(6)
        with tavsdk.open(raw, "rb", keys=keys) as f:
            f.seek(99_990)
            assert f.read() == data[99_990:]


def test_expanded_files_read_and_write_in_order(tmp_path):
    keys = KEYS["binary"]
    with tavsdk.open(tmp_path / "x", "xb", keys=keys, expanded=True) as f:
        assert not f.seekable()
        f.write(b"in order")
        with pytest.raises(io.UnsupportedOperation):
            f.seek(0)
    with tavsdk.open(tmp_path / "x", "rb", keys=keys, expanded=True) as f:
        assert f.read(3) == b"in " and f.read() == b"order"


def test_bytes_like_inputs_and_outputs(tmp_path):
    keys = KEYS["binary"]
    data = os.urandom(5000)
    expected = tavsdk.encrypt(data, keys)
    path = tmp_path / "m"
    path.write_bytes(data)
    spread = bytearray(2 * len(data))
    spread[::2] = data
    with open(path, "r+b") as f, mmap.mmap(f.fileno(), 0) as m:
        for source in (bytearray(data), memoryview(data), memoryview(spread)[::2], m):
            assert tavsdk.encrypt(source, keys) == expected
        assert tavsdk.encrypt(m, keys, out=m) is m and m[:] == expected
    assert path.read_bytes() == expected
    for empty in (b"", bytearray(), memoryview(b"")):
        assert tavsdk.encrypt(empty, keys) == b"" and tavsdk.decode_expanded(empty, keys) == b""
        assert tavsdk.decode_expanded(tavsdk.encode_expanded(empty, keys), keys) == b""


@pytest.mark.parametrize("mode", ["wb", "wt", "xb"])
def test_writing_takes_the_name_only_at_a_normal_close(tmp_path, mode):
    keys, path = KEYS["binary"], tmp_path / "o.tav"
    old = b"old ciphertext" if mode[0] == "w" else None
    if old:
        path.write_bytes(old)
        path.chmod(0o640)
    text = "t" in mode
    with pytest.raises(ZeroDivisionError):
        with tavsdk.open(path, mode, keys=keys) as f:
            f.write("partial" if text else b"partial")
            f.flush()
            1 / 0
    assert sorted(os.listdir(tmp_path)) == (["o.tav"] if old else [])
    assert not old or path.read_bytes() == old
    umask = os.umask(0o022)
    try:
        with tavsdk.open(path, mode, keys=keys) as f:
            f.write("whole" if text else b"whole")
            f.flush()
            assert not old or path.read_bytes() == old
    finally:
        os.umask(umask)
    assert os.listdir(tmp_path) == ["o.tav"] and path.read_bytes() == tavsdk.encrypt(b"whole", keys)
    assert path.stat().st_mode & 0o777 == (0o640 if old else 0o644)  # the replaced file's, else 0666 - umask


def test_exclusive_writing_refuses_a_name_taken_meanwhile(tmp_path):
    keys, path = KEYS["binary"], tmp_path / "x.tav"
    target = tmp_path / "target"
    target.write_bytes(b"target")
    f = tavsdk.open(path, "xb", keys=keys)
    f.write(b"new")
    path.symlink_to(target)
    with pytest.raises(tavsdk.DestinationExistsError):
        f.close()
    assert f.closed and target.read_bytes() == b"target" and sorted(os.listdir(tmp_path)) == ["target", "x.tav"]
    path.unlink()
    with tavsdk.open(path, "wb", keys=keys) as f:  # the link is replaced as a name, its target stays
        f.write(b"new")
    assert not path.is_symlink() and target.read_bytes() == b"target"


@pytest.mark.parametrize("mode", ["wb", "wt"])
@pytest.mark.parametrize("action", ["close", "with", "drop", "flush"])
def test_a_forked_child_never_writes_nor_names_the_parents_file(tmp_path, mode, action):
    keys, path = KEYS["binary"], tmp_path / "o.tav"
    data = bytes(range(256)) * 1500  # more than a buffer: part of it is in the file at the fork
    text = {"encoding": "latin-1", "newline": ""} if mode == "wt" else {}
    plain = (lambda b: b.decode("latin-1")) if text else bytes
    files = [tavsdk.open(path, mode, keys=keys, **text)]
    files[0].write(plain(data[:300_000]))
    pid = os.fork()
    if pid == 0:
        status = 1
        # The library's object is the opener's: on a file system without unnamed
        # files, freeing the copy would remove the hidden name the parent writes.
        freed = []
        _lib.lib.tav_newfile_free = freed.append
        try:
            with warnings.catch_warnings(record=True) as warned:
                warnings.simplefilter("always")
                sys.unraisablehook = lambda unraisable: warned.append(unraisable)
                if action == "flush":  # would write the parent's buffered bytes a second time
                    with pytest.raises(RuntimeError, match="process"):
                        files[0].flush()
                {"with": lambda f: f.__exit__(None, None, None), "drop": lambda f: None}.get(
                    action, lambda f: f.close())(files.pop())
            status = 1 if warned or freed else 0
        finally:
            os._exit(status)
    assert os.waitpid(pid, 0)[1] == 0
    files[0].write(plain(data[300_000:]))
    files[0].close()
    assert os.listdir(tmp_path) == ["o.tav"] and path.read_bytes() == tavsdk.encrypt(data, keys)


@pytest.mark.parametrize("expanded", [False, True])
def test_non_blocking_input_is_no_end_of_file(expanded):
    keys = KEYS["text"]
    cipher = (tavsdk.encode_expanded if expanded else tavsdk.encrypt)(b"first line\nsecond half", keys)
    read_end, write_end = os.pipe()
    os.set_blocking(read_end, False)
    with open(read_end, "rb", buffering=0) as raw, tavsdk.open(raw, "rb", keys=keys, expanded=expanded) as f:
        for attempt in (f.read, f.read1, f.readline, lambda: f.readinto(bytearray(5))):
            with pytest.raises(BlockingIOError):
                attempt()
        cut = len(cipher) * 16 // 22  # within "second half"
        os.write(write_end, cipher[:cut])
        assert f.readline() == b"first line\n"
        with pytest.raises(BlockingIOError):
            f.readline()  # the start of the line waits for its end
        os.write(write_end, cipher[cut:])
        os.close(write_end)
        assert f.readline() == b"second half" and f.read() == b""
