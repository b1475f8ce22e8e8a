#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""tavsdk.dask on a local cluster of two worker processes against the tav tool
on two threads, side by side in one run.

    PYTHONPATH=python TAVSDK_LIBRARY=build/libtavsdk.so.1 \
        /usr/bin/python3 python/bench_dask.py build/tools/tav/tav [rounds]

Rows: 2,000 files of 64 KiB (encrypt_tree against `tav encrypt -r -T 2`, in
files/s) and one file of 256 MiB (encrypt_file by ranges against
`tav encrypt` on two threads (TAVSDK_THREADS=2), in MB/s of 10^6 bytes). The two run alternately, `rounds`
times (default 5), each into a fresh output; the ratio of each round is
Dask's rate over tav's, and the median and best ratios are printed with the
CPU and the load. The cluster is started once, before the first round.
Outputs are compared with tav's once, so that a fast wrong answer shows.
"""

import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

from distributed import Client, LocalCluster

import tavsdk.dask as td
from bench import cpu_model  # beside this script

PASSPHRASE = "benchmark phrase"
FILES, FILE_BYTES = 2000, 64 << 10
LARGE = 256 << 20


def timed(run):
    start = time.perf_counter()
    run()
    return time.perf_counter() - start


def same_tree(a, b):
    return subprocess.run(["diff", "-rq", a, b], stdout=subprocess.DEVNULL).returncode == 0


def main():
    tav = os.path.abspath(sys.argv[1]) if len(sys.argv) > 1 else "tav"
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    env = dict(os.environ, TAV_PASSPHRASE=PASSPHRASE)
    keys = td.ClusterKeys.from_passphrase(PASSPHRASE, "binary")
    print(f"CPU: {cpu_model()}; load {open('/proc/loadavg').read().split()[0]} at the start")
    with tempfile.TemporaryDirectory(dir=os.environ.get("TMPDIR", "/tmp")) as work, \
            LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                         local_directory=work) as cluster, Client(cluster) as client:
        src = os.path.join(work, "src")
        for i in range(FILES):
            folder = os.path.join(src, f"d{i % 10}")
            os.makedirs(folder, exist_ok=True)
            with open(os.path.join(folder, f"f{i}"), "wb") as f:
                f.write(os.urandom(FILE_BYTES))
        large = os.path.join(work, "large")
        with open(large, "wb") as f:
            for _ in range(LARGE >> 20):
                f.write(os.urandom(1 << 20))

        tree_ratios, file_ratios, rows = [], [], []
        for r in range(rounds):
            outs = {name: os.path.join(work, name) for name in ("tav-tree", "dask-tree")}
            for out in outs.values():
                shutil.rmtree(out, ignore_errors=True)
            for name in ("tav.tav", "dask.tav"):
                if os.path.exists(os.path.join(work, name)):
                    os.unlink(os.path.join(work, name))
            subprocess.run(["sync"], check=True)
            order = [0, 1] if r % 2 == 0 else [1, 0]  # neither always runs first
            tree = [0.0, 0.0]
            runs = [lambda: subprocess.run([tav, "encrypt", "-q", "-r", "-T", "2", "--output-dir", outs["tav-tree"],
                                            src], env=env, check=True),
                    lambda: td.encrypt_tree(client, keys, src, outs["dask-tree"]).raise_for_failures()]
            for k in order:
                tree[k] = timed(runs[k])
            subprocess.run(["sync"], check=True)
            single = [0.0, 0.0]
            runs = [lambda: subprocess.run([tav, "encrypt", "-q", "-o", os.path.join(work, "tav.tav"), large],
                                           env=dict(env, TAVSDK_THREADS="2"), check=True),
                    lambda: td.encrypt_file(client, keys, large, os.path.join(work, "dask.tav"))]
            for k in order:
                single[k] = timed(runs[k])
            if r == 0:
                assert same_tree(outs["tav-tree"], outs["dask-tree"]), "the folder outputs differ"
                assert same_tree(os.path.join(work, "tav.tav"), os.path.join(work, "dask.tav")), "the files differ"
            tree_ratios.append(tree[0] / tree[1])
            file_ratios.append(single[0] / single[1])
            rows.append((FILES / tree[0], FILES / tree[1], LARGE / single[0] / 1e6, LARGE / single[1] / 1e6))
            print(f"round {r + 1}: {FILES} files: tav {rows[-1][0]:7.0f} files/s, dask {rows[-1][1]:7.0f} files/s,"
                  f" ratio {tree_ratios[-1]:.2f}; 256 MiB: tav {rows[-1][2]:6.0f} MB/s, dask {rows[-1][3]:6.0f} MB/s,"
                  f" ratio {file_ratios[-1]:.2f}", flush=True)
        trip = min(timed(lambda: client.submit(sum, [1, 2], pure=False).result()) for _ in range(5))
        print(f"a task that does nothing: {trip * 1e3:.0f} ms from submit to result, best of five")
        print(f"{FILES} files of 64 KiB, dask over tav -r -T 2: median {statistics.median(tree_ratios):.2f}, "
              f"best {max(tree_ratios):.2f}")
        print(f"256 MiB by ranges, dask over tav encrypt on 2 threads: median {statistics.median(file_ratios):.2f}, "
              f"best {max(file_ratios):.2f}")
        print(f"load {open('/proc/loadavg').read().split()[0]} at the end")


if __name__ == "__main__":  # the worker processes import this module again
    main()
