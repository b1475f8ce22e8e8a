# SPDX-License-Identifier: MIT
"""Shared fixtures: the conformance data, a key-file check around the whole
run, and the library's process-wide functions for interop checks."""

import ctypes
import os
import pathlib
import warnings

import pytest

import tavsdk
from tavsdk import _lib

try:
    from hypothesis import settings

    # No example database in whatever the current directory is.
    settings.register_profile("tavsdk", database=None)
    settings.load_profile("tavsdk")
except ImportError:
    pass

VECTORS = pathlib.Path(os.environ.get("TAVSDK_VECTORS_DIR")
                       or pathlib.Path(__file__).resolve().parents[2] / "tests" / "data" / "vectors")
KEY_FILE_NAMES = {f"k{i}.{ext}" for i in range(1, 6) for ext in ("txt", "bin")} | {"k6.dat"}


def passphrase(name):
    return (VECTORS / "keys" / name / "passphrase").read_bytes()


_keys_cache = {}


def vector_keys(name, alphabet):
    """Key set of a conformance key set, made once per run."""
    if (name, alphabet) not in _keys_cache:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", tavsdk.PassphraseTruncatedWarning)  # long ones on purpose
            _keys_cache[name, alphabet] = tavsdk.Keys(passphrase(name), alphabet)
    return _keys_cache[name, alphabet]


def key_files_below(*roots):
    found = set()
    for root in roots:
        for directory, _, files in os.walk(root):
            found.update(os.path.join(directory, f) for f in files if f in KEY_FILE_NAMES)
    return found


@pytest.fixture(scope="session", autouse=True)
def no_key_files_left(tmp_path_factory):
    """The run works in an empty current directory; afterwards no key file may
    remain there or in pytest's temporary directories."""
    if not VECTORS.is_dir():
        pytest.exit(f"no conformance data in {VECTORS} (set TAVSDK_VECTORS_DIR)", returncode=1)
    work = tmp_path_factory.mktemp("cwd")
    old = os.getcwd()
    os.chdir(work)
    yield
    os.chdir(old)
    left = key_files_below(work, tmp_path_factory.getbasetemp())
    assert not left, f"key files left behind: {sorted(left)}"


@pytest.fixture
def legacy(tmp_path, monkeypatch):
    """The library's process-wide functions, working in a temporary current
    directory whose key files are destroyed afterwards."""
    monkeypatch.chdir(tmp_path)
    lib = ctypes.CDLL(_lib.lib._name)
    yield lib
    lib.TavShutdown()
