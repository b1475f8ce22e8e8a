# SPDX-License-Identifier: MIT
"""Threads sharing a key set, and the memory a large file object needs."""

import os
import subprocess
import sys
import threading

import tavsdk
from tavsdk import _lib
from conftest import vector_keys


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
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(tavsdk.__file__)),
               TAVSDK_LIBRARY=_lib.lib._name)
    for mode, chunks in (("block", 4096), ("expanded", 64)):
        run = subprocess.run([sys.executable, "-c", MEMORY_PROBE, mode, str(chunks)], env=env,
                             capture_output=True, text=True, check=True)
        assert int(run.stdout) < 64 * 1024, f"{mode}: peak RSS {run.stdout.strip()} KiB"
