# SPDX-License-Identifier: MIT
"""tavsdk.dask on a local cluster of two worker processes: folder jobs and a
file by ranges give one machine's bytes, also when a worker is killed in the
middle; failures are listed by file; what cannot work is refused."""

import errno
import os
import random
import signal
import subprocess
import sys
import threading
import time

import pytest

pytest.importorskip("distributed", reason="Dask's distributed is not installed (apt-get install python3-distributed)")

import distributed  # noqa: E402

import tavsdk  # noqa: E402
import tavsdk.dask as td  # noqa: E402
from conftest import passphrase, vector_keys  # noqa: E402

PHRASE = passphrase("hello")


def local_cluster(folder):
    cluster = distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1, dashboard_address=None,
                                       local_directory=str(folder))
    with cluster, distributed.Client(cluster) as c:
        yield c


@pytest.fixture(scope="module")
def client(tmp_path_factory):
    yield from local_cluster(tmp_path_factory.mktemp("dask"))


@pytest.fixture
def own_client(tmp_path_factory):
    """A cluster of its own for a job whose worker is killed: no other test
    waits for the worker that replaces it (once, on a loaded machine, none
    came within five minutes)."""
    yield from local_cluster(tmp_path_factory.mktemp("dask"))


def make_tree(root, count, largest):
    """`count` files of 0 bytes to `largest` in nested folders, a link and a FIFO."""
    rng = random.Random(count)
    for i in range(count):
        folder = root / ["", "a", "a/b", "c d"][i % 4]
        folder.mkdir(parents=True, exist_ok=True)
        size = largest - i if i < 3 else rng.choice([0, 1, 4095, 4096]) if i % 10 == 0 else rng.randrange(20000)
        (folder / f"f{i}").write_bytes(rng.randbytes(size))
        (folder / f"f{i}").chmod([0o644, 0o600, 0o755][i % 3])  # outputs take their source's mode
    (root / "a").chmod(0o750)
    (root / "link").symlink_to("a")
    os.mkfifo(root / "c d/fifo")


def listing(root, with_meta=True):
    """Every regular file below `root`: its bytes, and its mode and time."""
    found = {}
    for path in sorted(root.rglob("*")):
        if path.is_file() and not path.is_symlink():
            st = path.stat()
            found[str(path.relative_to(root))] = (path.read_bytes(),) + ((st.st_mode, st.st_mtime_ns) if with_meta
                                                                        else ())
    return found


@pytest.fixture(scope="module")
def trees(tmp_path_factory):
    root = tmp_path_factory.mktemp("trees")
    make_tree(root / "block", 300, 3 << 20)
    make_tree(root / "expanded", 200, 20000)  # the expanded form is some 35 times larger
    return root


def killing(client, job):
    """Runs `job` with one worker stopped while it holds a task, then killed;
    returns what the job returned. Its tasks rerun on the other worker (or
    on the one its nanny starts, which nothing waits for)."""
    pids = client.run(os.getpid)
    outcome = []
    thread = threading.Thread(target=lambda: outcome.append(job()))
    thread.start()
    victim = None
    while victim is None and thread.is_alive():
        busy = [worker for worker, tasks in client.processing().items() if tasks]
        victim = busy[0] if len(busy) == 2 else None
        time.sleep(0.002)
    assert victim is not None, "the job ended before both workers had a task"
    os.kill(pids[victim], signal.SIGSTOP)
    time.sleep(0.3)
    assert thread.is_alive()  # the stopped worker holds a task
    os.kill(pids[victim], signal.SIGKILL)
    thread.join(300)
    assert outcome, "the job raised or did not end"
    assert pids[victim] not in client.run(os.getpid).values()
    return outcome[0]


@pytest.mark.parametrize("mode, alphabet, kill", [
    ("block", "binary", False), ("block", "text", True), ("expanded", "binary", True), ("expanded", "text", False)])
def test_tree_gives_one_machines_bytes_and_comes_back(request, trees, tmp_path, mode, alphabet, kill):
    client = request.getfixturevalue("own_client" if kill else "client")
    expanded = mode == "expanded"
    keys, local = td.ClusterKeys.from_passphrase(PHRASE, alphabet), vector_keys("hello", alphabet)
    src = trees / mode
    job = lambda: td.encrypt_tree(client, keys, src, tmp_path / "out", expanded=expanded, batch_files=8)  # noqa
    result = killing(client, job) if kill else job()
    assert result.ok and len(result.written) == (300 if not expanded else 200), result.summary()
    assert sorted(f.source for f in result.files if f.status == "skipped") == [f"{src}/c d/fifo", f"{src}/link"]
    tavsdk.encrypt_tree(src, tmp_path / "ref", local, expanded=expanded)
    ours, theirs = listing(tmp_path / "out"), listing(tmp_path / "ref")
    if expanded:  # random fillers: the same names, sizes, modes and times
        ours, theirs = ({k: (len(v[0]),) + v[1:] for k, v in d.items()} for d in (ours, theirs))
    assert ours == theirs
    assert oct((tmp_path / f"out/{mode}/a").stat().st_mode & 0o777) == "0o750"
    back = td.decrypt_tree(client, keys, tmp_path / "out" / mode, tmp_path / "back")
    assert back.ok, back.summary()
    assert listing(tmp_path / "back" / mode, False) == listing(src, False)


@pytest.fixture(scope="module")
def large(tmp_path_factory):
    root = tmp_path_factory.mktemp("large")
    (root / "plain").write_bytes(random.Random(64).randbytes(64 << 20))
    tavsdk.encrypt_file(root / "plain", root / "ref.tav", vector_keys("hello", "binary"))
    return root


def key_files(tmp_path):
    """The binary key files of PHRASE, read from a folder that is then removed."""
    with tavsdk.Keys(PHRASE, "binary") as keys:
        keys.save(tmp_path)
    try:
        return td.ClusterKeys.load(tmp_path, "binary", master=PHRASE)
    finally:
        for path in tmp_path.iterdir():
            path.unlink()


@pytest.mark.parametrize("material, kill", [("passphrase", True), ("key files", False)])
def test_file_by_ranges_gives_one_machines_bytes(request, large, tmp_path, material, kill):
    client = request.getfixturevalue("own_client" if kill else "client")
    keys = td.ClusterKeys.from_passphrase(PHRASE, "binary") if material == "passphrase" else key_files(tmp_path)
    job = lambda: td.encrypt_file(client, keys, large / "plain", tmp_path / "out.tav", range_bytes=1 << 20)  # noqa
    killing(client, job) if kill else job()
    assert (tmp_path / "out.tav").read_bytes() == (large / "ref.tav").read_bytes()
    td.decrypt_file(client, keys, tmp_path / "out.tav", tmp_path / "back", ranges=3)
    assert (tmp_path / "back").read_bytes() == (large / "plain").read_bytes()
    assert sorted(p.name for p in tmp_path.iterdir()) == ["back", "out.tav"]  # no hidden file left


# A file's fault, made before the job is planned or between planning and running.
FAULTS = {
    "gone": ("run", lambda src, out: (src / "gone").unlink(), "No such file or directory"),
    "now a folder": ("run", lambda src, out: ((src / "now a folder").unlink(), (src / "now a folder").mkdir()),
                     "no longer a regular file"),
    "now a FIFO": ("run", lambda src, out: ((src / "now a FIFO").unlink(), os.mkfifo(src / "now a FIFO")),
                   "no longer a regular file"),
    "output taken": ("plan", lambda src, out: (out / "output taken.tav").write_bytes(b"old"), "exists"),
    "linked/f": ("plan", lambda src, out: (out / "linked").symlink_to(out.parent.parent), "output folder"),
}


def test_failures_are_listed_by_file_and_the_others_written(client, tmp_path):
    keys = td.ClusterKeys.from_passphrase(PHRASE, "binary")
    src, out = tmp_path / "src", tmp_path / "out/src"
    for i, name in enumerate(FAULTS):
        (src / name).parent.mkdir(parents=True, exist_ok=True)
        (src / name).write_bytes(b"x" * i)
        (src / f"fine {i}").write_bytes(b"y" * i)
    out.mkdir(parents=True)
    for when in ("plan", "run"):
        for name, (at, fault, _) in FAULTS.items():
            if at == when:
                fault(src, out)
        plan = plan if when == "run" else td.plan_tree(src, tmp_path / "out")
    result = td.run_tree(client, keys, plan, batch_files=1)
    failed = {f.source[len(f"{src}/"):]: str(f.error) for f in result.failures}
    assert failed.keys() == FAULTS.keys()
    for name, (_, _, reason) in FAULTS.items():
        assert reason in failed[name] and os.path.basename(name) in failed[name]
    assert len(result.written) == len(FAULTS) and not result.ok
    assert sorted(os.listdir(out)) == sorted([f"fine {i}.tav" for i in range(5)] + ["output taken.tav", "linked"])
    assert sorted(os.listdir(tmp_path)) == ["out", "src"]  # nothing through the link
    with pytest.raises(tavsdk.TreeError, match="5 of 10 files failed"):
        result.raise_for_failures()


REFUSALS = [
    ("expanded by ranges", dict(expanded=True), ValueError, "expanded mode cannot be split"),
    ("existing output", dict(dst="taken"), tavsdk.DestinationExistsError, "exists"),
    ("object store", dict(dst="s3://bucket/out.tav"), ValueError, "only the local file system"),
    ("keys that cannot travel", dict(keys=None), TypeError, "cannot travel"),
]


@pytest.mark.parametrize("case, change, error, text", REFUSALS, ids=[r[0] for r in REFUSALS])
def test_refusals_leave_nothing(client, tmp_path, case, change, error, text):
    (tmp_path / "plain").write_bytes(b"plain")
    (tmp_path / "taken").write_bytes(b"old")
    args = dict(keys=td.ClusterKeys.from_passphrase(PHRASE, "binary"), dst="new.tav")
    args.update(change)
    keys = vector_keys("hello", "binary") if args["keys"] is None else args.pop("keys")
    args.pop("keys", None)
    dst = args.pop("dst")
    with pytest.raises(error, match=text):
        td.encrypt_file(client, keys, tmp_path / "plain", dst if "://" in dst else tmp_path / dst, **args)
    assert sorted(os.listdir(tmp_path)) == ["plain", "taken"] and (tmp_path / "taken").read_bytes() == b"old"


def test_importing_tavsdk_leaves_dask_out():
    code = "import sys, tavsdk; print(sorted({'dask', 'distributed'} & set(sys.modules)))"
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(tavsdk.__file__)))
    assert subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True,
                          check=True).stdout == "[]\n"


def small_tree(root):
    for name, data in {"x": b"abc", "s/y": b"defg", "s/w.tav": b"old output", "z.tavx": b"12"}.items():
        (root / name).parent.mkdir(parents=True, exist_ok=True)
        (root / name).write_bytes(data)
    return root


@pytest.mark.parametrize("case", ["in place", "paths", "twin outputs", "mirror is walked", "fail fast"])
def test_layouts_refusals_and_stopping_as_the_folder_job(client, tmp_path, case):
    keys, local = td.ClusterKeys.from_passphrase(PHRASE, "binary"), vector_keys("hello", "binary")
    src = small_tree(tmp_path / "src")
    if case == "in place":  # names that end in a suffix are left alone
        small_tree(tmp_path / "ref")
        assert td.encrypt_tree(client, keys, src, None).ok
        tavsdk.encrypt_tree(tmp_path / "ref", None, local)
        assert listing(src, False) == listing(tmp_path / "ref", False)
    elif case == "paths":  # a folder as OUT/its last name, a file straight into OUT
        assert td.encrypt_paths(client, keys, [src / "x", src / "s"], tmp_path / "out").ok
        assert sorted(listing(tmp_path / "out")) == ["s/w.tav.tav", "s/y.tav", "x.tav"]
    elif case in ("twin outputs", "mirror is walked"):
        job = (lambda: td.decrypt_tree(client, keys, src, tmp_path / "out")) if case == "twin outputs" else \
            (lambda: td.encrypt_tree(client, keys, src / "s", src))
        (src / "x.tav").write_bytes(b"twin of x.tavx")
        (src / "x.tavx").write_bytes(b"twin of x.tav")
        before = listing(tmp_path)
        with pytest.raises(tavsdk.TreeError, match="would each be written to|is a folder being walked"):
            job()
        assert listing(tmp_path) == before  # nothing written, no folder made
    else:  # whatever ran, an output is at its name exactly when its file was written
        (src / "s").chmod(0o700)
        os.mkfifo(tmp_path / "fifo")
        plan = td.plan_tree(src, tmp_path / "out")
        (src / "x").unlink()
        result = td.run_tree(client, keys, plan, batch_files=1, fail_fast=True)
        assert not result.ok and [f.source for f in result.failures] == [f"{src}/x"]
        for f in result.files:
            assert os.path.exists(f.output or "/nonexistent") == (f.status == "written"), f


def test_a_batch_that_raises_while_naming_frees_each_waiting_output_once(tmp_path, monkeypatch):
    # In the worker's own process: a double free of a waiting output aborts it.
    (tmp_path / "src").mkdir()
    for i in range(3):
        (tmp_path / "src" / f"f{i}").write_bytes(b"x" * 100)
    plan = td.plan_tree(tmp_path / "src", tmp_path / "out")

    def planted(*args, **kwargs):
        raise OSError(5, "planted")

    monkeypatch.setattr(td, "_outcome", planted)
    with pytest.raises(OSError, match="planted"):
        td._batch_task(td.ClusterKeys.from_passphrase("p", "binary"), list(plan.items), False, False, True, 1, None)


def test_a_range_whose_flush_fails_while_it_is_written_fails(tmp_path, monkeypatch):
    # The flush before the rename might not see the error: the kernel reports it once.
    (tmp_path / "src").write_bytes(b"x" * 100000)
    (tmp_path / "temp").write_bytes(b"")
    target = lambda p: td._Target(str(p), p.stat().st_dev, p.stat().st_ino)  # noqa
    monkeypatch.setattr(td, "_FLUSH_WHILE_WRITING", 0)
    monkeypatch.setattr(td, "_FLUSH_EVERY_S", 0)

    def failing(fd):
        raise OSError(errno.EIO, "planted")

    monkeypatch.setattr(td.os, "fdatasync", failing)
    with pytest.raises(tavsdk.Error, match="temp") as failure:
        td._range_task(td.ClusterKeys.from_passphrase("p", "binary"), False, target(tmp_path / "src"),
                       target(tmp_path / "temp"), 0, 100000)
    assert failure.value.errno == errno.EIO
