# SPDX-License-Identifier: MIT
"""The wheel that `pip install ./python` builds holds the whole package."""

import os
import pathlib
import re
import subprocess
import sys
import zipfile

import pytest

import tavsdk

PYTHON_DIR = pathlib.Path(__file__).resolve().parents[1]


def test_wheel_has_every_module_and_the_version_of_the_library(tmp_path):
    sys.path.insert(0, str(PYTHON_DIR / "backend"))
    try:
        import tavsdk_build
    finally:
        sys.path.pop(0)
    wheel = zipfile.ZipFile(tmp_path / tavsdk_build.build_wheel(str(tmp_path)))
    names = set(wheel.namelist())
    expected = {f"tavsdk/{p.name}" for p in (PYTHON_DIR / "tavsdk").iterdir() if p.suffix == ".py"}
    assert expected | {"tavsdk/py.typed"} <= names
    metadata = wheel.read(f"tavsdk-{tavsdk.__version__}.dist-info/METADATA").decode()
    assert "Requires-Python: >=3.9" in metadata
    cmake = (PYTHON_DIR.parent / "CMakeLists.txt").read_text()
    assert re.search(r"project\(tavsdk VERSION (\S+)", cmake).group(1) == tavsdk.__version__


def test_type_hints_hold_under_mypy_strict(tmp_path):
    pytest.importorskip("mypy")
    sample = pathlib.Path("tests", "typing_sample.py")
    run = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path), "tavsdk",
                          str(sample)], capture_output=True, text=True, cwd=PYTHON_DIR)
    assert run.returncode in (0, 1), run.stderr
    errors = {line for line in run.stdout.splitlines() if ": error:" in line}
    assert all(line.startswith(str(sample)) for line in errors), run.stdout  # the package is clean
    errors = {int(line.split(":")[1]) for line in errors}
    lines = (PYTHON_DIR / sample).read_text().splitlines()
    refused = {n for n, line in enumerate(lines, 1) if line.endswith("# refused")}
    assert errors == refused, run.stdout


def test_constants_are_the_headers():
    """Every numeric TAV_ constant of the C header (statuses, alphabets, flags,
    limits, options, folder job events and reasons) has the same value under
    its name without the prefix: an Alphabet member or a constant of the loader."""
    from tavsdk import _lib
    from tavsdk._keys import Alphabet

    header = (PYTHON_DIR.parent / "include" / "tavsdk.h").read_text()
    literals = {"UINT64_MAX": 2**64 - 1}
    found = {name: int(value, 0) for name, value in re.findall(r"\bTAV_(\w+) = (\d+)", header)}
    found.update({name: literals[value] if value in literals else int(value.rstrip("uUlL"), 0)
                  for name, value in re.findall(r"#define TAV_(\w+) +(0x[0-9a-fA-F]+\w*|\d+\w*|UINT64_MAX)\b", header)})
    assert {"OK", "COPY_KEPT", "TEXT", "BINARY", "EXPANDED", "SOURCE_MODE", "SIZE_UNKNOWN", "OPTION_DECRYPT",
            "OPTION_FAIL_FAST", "TREE_WRITTEN", "TREE_REFUSED", "WHY_NONE", "WHY_MIRROR_WALKED"} <= found.keys()
    ours = {name: int(Alphabet[name]) if name in Alphabet.__members__ else getattr(_lib, name, None) for name in found}
    assert ours == found
