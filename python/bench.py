#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Speed of the Python package against the C core underneath it.

    PYTHONPATH=python TAVSDK_LIBRARY=build/libtavsdk.so.1 python3 python/bench.py [MiB]

Rows: the C core's block encryption called directly (in place, into an
existing buffer, into a new one), the one-shot call (a new bytes object each
time, into a given buffer, in place), reading a ciphertext file through open()
64 KiB at a time (read and readinto; against the core in place), one thread
against two on two buffers, and the peak resident size of a fresh process
that encrypts 1 GiB through open(). MB/s are 10^6 bytes per second, best of
five runs.
"""

import ctypes
import os
import re
import subprocess
import sys
import tempfile
import threading
import time

import tavsdk
from tavsdk import _lib

MIB = 1 << 20
RUNS = 5


def cpu_model():
    info = open("/proc/cpuinfo").read()

    def field(name):
        found = re.search(rf"^{name}\s*:\s*(.*)$", info, re.MULTILINE)
        return found.group(1).strip() if found else "?"

    return f"{field('model name')} (family {field('cpu family')} model {field('model')}), {os.cpu_count()} CPUs"


def best_rate(size, run):
    best = float("inf")
    for _ in range(RUNS):
        start = time.perf_counter()
        run()
        best = min(best, time.perf_counter() - start)
    return size / best / 1e6


def main():
    size = int(sys.argv[1]) * MIB if len(sys.argv) > 1 else 64 * MIB
    load = open("/proc/loadavg").read().split()[0]
    keys = tavsdk.Keys("benchmark phrase", "binary")  # within the 18 bytes that count
    data = os.urandom(size)
    rows = []

    # The C rows call the core directly: in place, into an existing buffer,
    # and into a buffer allocated for the call as a C program would.
    libc = ctypes.CDLL(None)
    libc.malloc.restype = ctypes.c_void_p
    libc.malloc.argtypes = [ctypes.c_size_t]
    libc.free.argtypes = [ctypes.c_void_p]
    source = (ctypes.c_char * size).from_buffer_copy(data)
    target = (ctypes.c_char * size)()
    encrypt = _lib.lib.tav_block_encrypt

    def into_new_buffer():
        fresh = libc.malloc(size)
        encrypt(handle, 0, source, fresh, size)
        libc.free(fresh)

    with keys._use() as handle:
        in_place = best_rate(size, lambda: encrypt(handle, 0, source, source, size))
        existing = best_rate(size, lambda: encrypt(handle, 0, source, target, size))
        new = best_rate(size, into_new_buffer)
    rows.append(("C: tav_block_encrypt in place", in_place, in_place))
    rows.append(("C: tav_block_encrypt into an existing buffer", existing, existing))
    rows.append(("C: tav_block_encrypt into a new malloc'd buffer", new, new))
    rows.append(("encrypt(data) -> new bytes", best_rate(size, lambda: tavsdk.encrypt(data, keys)), new))
    out = bytearray(size)
    rows.append(("encrypt(data, out=bytearray)", best_rate(size, lambda: tavsdk.encrypt(data, keys, out=out)),
                 existing))
    inplace = bytearray(data)
    rows.append(("encrypt(buffer, out=buffer)",
                 best_rate(size, lambda: tavsdk.encrypt(inplace, keys, out=inplace)), in_place))

    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "cipher")
        with open(path, "wb") as f:
            f.write(tavsdk.encrypt(data, keys))

        def read_all():
            with tavsdk.open(path, "rb", keys=keys) as f:
                while f.read(64 * 1024):
                    pass

        chunk = bytearray(64 * 1024)

        def readinto_all():
            with tavsdk.open(path, "rb", keys=keys) as f:
                while f.readinto(chunk):
                    pass

        rows.append(("open(), read(64 KiB) of a cached file", best_rate(size, read_all), in_place))
        rows.append(("open(), readinto(64 KiB buffer)", best_rate(size, readinto_all), in_place))

    halves = [data[: size // 2], data[size // 2:]]

    def one_thread():
        for half in halves:
            tavsdk.encrypt(half, keys)

    def two_threads():
        threads = [threading.Thread(target=tavsdk.encrypt, args=(half, keys)) for half in halves]
        for t in threads:
            t.start()
        for t in threads:
            t.join()

    one = best_rate(size, one_thread)
    two = best_rate(size, two_threads)
    # CPU time over wall time of the two threads: near 2 when both run at
    # once on free CPUs; at most 1 if the GIL were held during the calls.
    cpu, wall = time.process_time(), time.perf_counter()
    two_threads()
    busy = (time.process_time() - cpu) / (time.perf_counter() - wall)
    rows.append(("encrypt() of two buffers, one thread", one, new))
    rows.append(("encrypt() of two buffers, two threads", two, new))

    probe = ("import re, tavsdk\nkeys = tavsdk.Keys('memory', 'binary')\nchunk = bytes(range(256)) * 256\n"
             "with tavsdk.open('/dev/null', 'wb', keys=keys) as f:\n"
             "    for _ in range(16384):\n        f.write(chunk)\n"
             "print(re.search(r'VmHWM:\\s*(\\d+)', open('/proc/self/status').read()).group(1))\n")
    peak = int(subprocess.run([sys.executable, "-c", probe], check=True, capture_output=True, text=True).stdout)

    print(f"CPU: {cpu_model()}; Python {sys.version.split()[0]}; {size // MIB} MiB, binary alphabet")
    print("| operation | MB/s | of the matching C row |")
    print("|---|---:|---:|")
    for name, rate, reference in rows:
        print(f"| {name} | {rate:.0f} | {rate / reference:.0%} |")
    print(f"two threads / one thread: {two / one:.2f}x (CPU time / wall time with two threads: {busy:.2f}); "
          f"load average before the run: {load}")
    print(f"1 GiB through open() in 64 KiB writes: peak resident size {peak / 1024:.1f} MiB")


if __name__ == "__main__":
    main()
