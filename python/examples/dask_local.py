#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""A folder and a large file encrypted on a Dask cluster, and back.

    python3 dask_local.py                        # a local cluster of two worker processes
    python3 dask_local.py tls://scheduler:8786   # the same code on a running cluster

The folders below are made in a temporary folder here; on a cluster of
several machines pass a folder of a shared mount as the second argument, so
that every worker sees the same paths. The passphrase comes from the
environment variable TAV_PASSPHRASE (a demonstration one otherwise).
"""

import os
import sys
import tempfile

from distributed import Client, LocalCluster

import tavsdk.dask as td


def run(client: Client, work: str) -> None:
    keys = td.ClusterKeys.from_passphrase(os.environ.get("TAV_PASSPHRASE", "demonstration"), "binary")
    photos = os.path.join(work, "photos")
    for i in range(100):
        os.makedirs(os.path.join(photos, f"album {i % 4}"), exist_ok=True)
        with open(os.path.join(photos, f"album {i % 4}", f"{i}.jpg"), "wb") as f:
            f.write(os.urandom(i * 1000))
    result = td.encrypt_tree(client, keys, photos, os.path.join(work, "encrypted"), progress=True)
    print("encrypt_tree:", result.summary())
    result.raise_for_failures()
    result = td.decrypt_tree(client, keys, os.path.join(work, "encrypted", "photos"), os.path.join(work, "back"))
    print("decrypt_tree:", result.summary())

    disk = os.path.join(work, "disk.img")
    with open(disk, "wb") as f:
        f.write(os.urandom(64 << 20))
    td.encrypt_file(client, keys, disk, disk + ".tav", range_bytes=8 << 20, progress=True)
    td.decrypt_file(client, keys, disk + ".tav", disk + ".back", range_bytes=8 << 20)
    with open(disk, "rb") as a, open(disk + ".back", "rb") as b:
        print("64 MiB by ranges and back:", "the same" if a.read() == b.read() else "DIFFERENT")


def main() -> None:
    address = sys.argv[1] if len(sys.argv) > 1 else None
    with tempfile.TemporaryDirectory(dir=sys.argv[2] if len(sys.argv) > 2 else None) as work:
        if address is None:
            with LocalCluster(n_workers=2, threads_per_worker=1, processes=True) as cluster, Client(cluster) as client:
                run(client, work)
        else:
            # Between machines give the client the cluster's TLS settings,
            # e.g. distributed.security.Security(tls_ca_file=..., tls_client_cert=..., require_encryption=True).
            with Client(address) as client:
                run(client, work)


if __name__ == "__main__":  # worker processes import this module again
    main()
