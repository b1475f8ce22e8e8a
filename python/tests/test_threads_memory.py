# SPDX-License-Identifier: MIT
"""Threads sharing a key set or misusing one file object, and the memory a
large file object needs."""

import io
import os
import subprocess
import sys
import threading

import pytest

import tavsdk
from tavsdk import _lib
from conftest import vector_keys


def run_python(code, *args, check=False):
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(tavsdk.__file__)),
               TAVSDK_LIBRARY=_lib.lib._name)
    return subprocess.run([sys.executable, "-c", code, *args], env=env, capture_output=True, text=True, timeout=60,
                          check=check)


def test_threads_share_a_key_set_and_get_the_right_bytes_at_once():
    keys = vector_keys("digits", "text")
    inputs = [os.urandom(3_000_000 + i) for i in range(6)]
    expected = [tavsdk.encrypt(data, keys, i) for i, data in enumerate(inputs)]
    results = [None] * len(inputs)
    start = threading.Barrier(len(inputs))

    def work(i):
        start.wait()
        results[i] = tavsdk.encrypt(inputs[i], keys, i)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(inputs))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == expected


# Encrypts 256 MiB through open() in 64 KiB writes to /dev/null and reports
# the peak resident size in KiB. VmHWM, not getrusage: the latter keeps the
# peak of the parent process that forked this one.
MEMORY_PROBE = """
import re, sys, tavsdk
keys = tavsdk.Keys("memory", "binary")
chunk = bytes(range(256)) * 256
with tavsdk.open("/dev/null", "wb", keys=keys, expanded=sys.argv[1] == "expanded") as f:
    for _ in range(int(sys.argv[2])):
        f.write(chunk)
print(re.search(r"VmHWM:\\s*(\\d+) kB", open("/proc/self/status").read()).group(1))
"""


def test_large_files_through_open_stay_small():
    for mode, chunks in (("block", 4096), ("expanded", 64)):
        run = run_python(MEMORY_PROBE, mode, str(chunks), check=True)
        assert int(run.stdout) < 64 * 1024, f"{mode}: peak RSS {run.stdout.strip()} KiB"


# Four threads write one file object: each write goes in whole or raises
# RuntimeError. Before, this tore the data, hung or crashed, hence a process of its own.
FOUR_WRITERS = """
import concurrent.futures, sys, tavsdk
keys, expanded = tavsdk.Keys("four", "binary"), sys.argv[1] == "expanded"
def write(t):
    try:
        return f.write(bytes([t % 4]) * 5000)
    except RuntimeError:
        return 0
with tavsdk.open(sys.argv[2], "wb", keys=keys, expanded=expanded) as f:
    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        written = sum(pool.map(write, range(1200)))
plain = (tavsdk.decode_expanded if expanded else tavsdk.decrypt)(open(sys.argv[2], "rb").read(), keys)
chunks = {plain[i:i + 5000] for i in range(0, written, 5000)}
print(len(plain) == written and chunks <= {bytes([t]) * 5000 for t in range(4)})
"""


@pytest.mark.parametrize("mode", ["block", "expanded"])
def test_four_threads_writing_one_file_object(tmp_path, mode):
    run = run_python(FOUR_WRITERS, mode, str(tmp_path / "f"))
    assert (run.returncode, run.stdout) == (0, "True\n"), run.stderr


class Stalled(io.BytesIO):
    """A file whose first read or write waits until let go."""

    def __init__(self, data):
        super().__init__(data)
        self.inside, self.go = threading.Event(), threading.Event()

    def read(self, size=-1):
        self.stall()
        return super().read(size)

    def write(self, b):
        self.stall()
        return super().write(b)

    def stall(self):
        if not self.inside.is_set():
            self.inside.set()
            self.go.wait()


@pytest.mark.parametrize("mode, expanded, calls", [
    ("wb", False, "write flush seek close"), ("wb", True, "write flush close"),
    ("rb", False, "read read1 peek readline readinto readinto1 seek close"), ("rb", True, "read readline close")])
def test_a_second_thread_at_once_gets_runtime_error(mode, expanded, calls):
    keys, plain = vector_keys("hello", "binary"), bytes(30_000 if expanded else 300_000)  # more than a buffer
    encrypt = tavsdk.encode_expanded if expanded else tavsdk.encrypt
    raw = Stalled(encrypt(plain, keys) if mode == "rb" else b"")
    f = tavsdk.open(raw, mode, keys=keys, expanded=expanded)
    busy = threading.Thread(target=f.write if mode == "wb" else f.read, args=(plain if mode == "wb" else 10,))
    busy.start()
    try:
        assert raw.inside.wait(10)
        for name in calls.split():
            arguments = {"write": (b"x",), "seek": (0,)}.get(name, (bytearray(4),) if "into" in name else ())
            with pytest.raises(RuntimeError, match="several threads at once"):
                getattr(f, name)(*arguments)
    finally:
        raw.go.set()
        busy.join()
    f.close()
    assert mode == "rb" or (tavsdk.decode_expanded if expanded else tavsdk.decrypt)(raw.getvalue(), keys) == plain
