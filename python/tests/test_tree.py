# SPDX-License-Identifier: MIT
"""Whole folders: mirrored (OUT/its last name/...) and back, skips and failures
listed, in place, refusals before anything is written."""

import os
import signal

import pytest

import tavsdk
from conftest import vector_keys

KEYS = vector_keys("hello", "binary")

FILES = {"top": b"top file\n", "a/empty": b"", "a/b/deep": bytes(range(256)) * 300, "with space/new\nline": b"nl"}


def make_tree(root, expanded):
    """FILES, and one large enough to run on the library's workers."""
    files = dict(FILES, **{"a/big": bytes(range(255, -1, -1)) * ((1 << 10) if expanded else (18 << 10))})
    for name, data in files.items():
        (root / name).parent.mkdir(parents=True, exist_ok=True)
        (root / name).write_bytes(data)
    (root / "a").chmod(0o750)
    (root / "link").symlink_to("top")
    os.mkfifo(root / "a/fifo")
    return files


def files_below(root):
    return {str(p.relative_to(root)): p.read_bytes() for p in root.rglob("*") if p.is_file() and not p.is_symlink()}


@pytest.mark.parametrize("expanded", [False, True])
def test_tree_mirrors_and_comes_back_with_skips_and_failures_listed(tmp_path, expanded):
    files = make_tree(tmp_path / "src", expanded)
    suffix = ".tavx" if expanded else ".tav"
    # An output name taken by a folder fails that file alone, also for root.
    (tmp_path / "enc/src").mkdir(parents=True)
    (tmp_path / "enc/src" / ("top" + suffix)).mkdir()
    seen = []
    with pytest.raises(tavsdk.TreeError) as caught:
        tavsdk.encrypt_tree(tmp_path / "src", tmp_path / "enc", KEYS, expanded=expanded, threads=3,
                            progress=lambda done, total: seen.append((done, total)))
    error = caught.value
    assert [path for path, _ in error.failures] == ["top"]
    assert isinstance(error.failures[0][1], tavsdk.DestinationError) and "1 of 5 files failed: top:" in str(error)
    assert error.result.skipped == ["a/fifo", "link"]
    assert sorted(error.result.written) == sorted(set(files) - {"top"})
    total = sum(len(data) for data in files.values())
    assert seen[-1] == (total, total)  # the failed file's bytes count as done
    assert oct((tmp_path / "enc/src/a").stat().st_mode & 0o777) == "0o750"
    if not expanded:
        assert (tmp_path / "enc/src/a/b/deep.tav").read_bytes() == tavsdk.encrypt(FILES["a/b/deep"], KEYS)
    (tmp_path / "enc/src" / ("top" + suffix)).rmdir()
    (tmp_path / "enc/src/stray").write_bytes(b"not ciphertext")
    result = tavsdk.decrypt_tree(tmp_path / "enc/src", tmp_path / "back", KEYS, threads=2)
    assert result.skipped == ["stray"]
    assert files_below(tmp_path / "back/src") == {k: v for k, v in files.items() if k != "top"}


def test_tree_in_place_refuses_then_replaces_and_refuses_links(tmp_path):
    (tmp_path / "d").mkdir()
    (tmp_path / "d/f").write_bytes(b"one")
    assert tavsdk.encrypt_tree(tmp_path / "d", None, KEYS).written == ["f"]
    with pytest.raises(tavsdk.TreeError) as caught:
        tavsdk.encrypt_tree(tmp_path / "d", None, KEYS, threads=1)
    assert isinstance(caught.value.failures[0][1], tavsdk.DestinationExistsError)
    (tmp_path / "d/f").write_bytes(b"two")
    tavsdk.encrypt_tree(tmp_path / "d", None, KEYS, replace=True)
    (tmp_path / "d/f").unlink()
    tavsdk.decrypt_tree(tmp_path / "d", None, KEYS)
    assert (tmp_path / "d/f").read_bytes() == b"two"
    (tmp_path / "l").symlink_to("d")
    with pytest.raises(tavsdk.SourceError):
        tavsdk.encrypt_tree(tmp_path / "l", tmp_path / "o", KEYS)
    with pytest.raises(ValueError):
        tavsdk.encrypt_tree(tmp_path / "d", tmp_path / "o", KEYS, threads=0)


def test_ctrl_c_cancels_the_rest_and_leaves_no_part(tmp_path):
    (tmp_path / "src").mkdir()
    data = {f"f{i}": bytes([i % 256]) * (3000 + i) for i in range(2000)}
    for name, plain in data.items():
        (tmp_path / "src" / name).write_bytes(plain)

    def interrupt(done, total):
        os.kill(os.getpid(), signal.SIGINT)

    with pytest.raises(KeyboardInterrupt):
        tavsdk.encrypt_tree(tmp_path / "src", tmp_path / "enc", KEYS, threads=2, progress=interrupt)
    written = {p.name: p.read_bytes() for p in (tmp_path / "enc/src").iterdir()}
    assert len(written) < len(data)
    assert all(cipher == tavsdk.encrypt(data[name[:-4]], KEYS) for name, cipher in written.items())
    assert signal.getsignal(signal.SIGINT) is signal.default_int_handler



@pytest.mark.parametrize("dst", ["src/out", "src/a/out"])
def test_tree_never_walks_its_own_output(tmp_path, dst):
    (tmp_path / "src/a").mkdir(parents=True)
    (tmp_path / "src/f").write_bytes(b"f")
    (tmp_path / "src/a/g").write_bytes(b"g")
    for replace in (False, True):
        result = tavsdk.encrypt_tree(tmp_path / "src", tmp_path / dst, KEYS, replace=replace)
        assert result == tavsdk.TreeResult(["a/g", "f"], [])
    assert set(files_below(tmp_path / dst)) == {"src/f.tav", "src/a/g.tav"}


def test_tree_refuses_a_mirror_on_a_folder_it_walks(tmp_path):
    """Into itself, the second run would encrypt the first one's outputs."""
    (tmp_path / "src").mkdir()
    (tmp_path / "src/f").write_bytes(b"f")
    assert tavsdk.encrypt_tree(tmp_path / "src", tmp_path / "src", KEYS).written == ["f"]
    with pytest.raises(tavsdk.TreeError) as caught:
        tavsdk.encrypt_tree(tmp_path / "src", tmp_path / "src", KEYS, replace=True)
    assert [path for path, _ in caught.value.failures] == [str(tmp_path / "src/src")]
    assert set(files_below(tmp_path / "src")) == {"f", "src/f.tav"}


@pytest.mark.parametrize("dst, refused", [("out", ["x.tav", "x.tavx"]), (None, ["x.tav", "x.tavx", "z.tav.tav"])])
def test_tree_refuses_inputs_sharing_an_output_before_writing(tmp_path, dst, refused):
    """In place z.tav.tav would replace the input z.tav. The whole job is
    refused: nothing is written."""
    src = tmp_path / "src"
    src.mkdir()
    for name, data, expanded in (("x.tav", b"A", False), ("x.tavx", b"B", True), ("y.tav", b"Y", False),
                                 ("z.tav", b"Z", False), ("z.tav.tav", b"ZZ", False)):
        (tmp_path / "plain").write_bytes(data)
        tavsdk.encrypt_file(tmp_path / "plain", src / name, KEYS, expanded=expanded)
    with pytest.raises(tavsdk.TreeError) as caught:
        tavsdk.decrypt_tree(src, dst and tmp_path / dst, KEYS, replace=True)
    failures = dict(caught.value.failures)
    assert sorted(failures) == refused and "refused, nothing was written" in str(caught.value)
    assert all("x.tav and x.tavx" in str(failures[name]) for name in ("x.tav", "x.tavx"))
    assert isinstance(failures["x.tav"], tavsdk.DestinationError) and caught.value.result == ([], [])
    assert not (tmp_path / "out").exists() and sorted(os.listdir(src)) == ["x.tav", "x.tavx", "y.tav", "z.tav",
                                                                           "z.tav.tav"]
