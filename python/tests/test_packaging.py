# SPDX-License-Identifier: MIT
"""The wheel that `pip install ./python` builds holds the whole package."""

import pathlib
import re
import sys
import zipfile

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
