# SPDX-License-Identifier: MIT
"""Build backend (PEP 517, PEP 660) for the tavsdk package, standard library
only: `pip install ./python` then needs nothing from a package index, nor the
`wheel` package that older setuptools releases need to build wheels."""

import base64
import hashlib
import io
import os
import pathlib
import re
import tarfile
import zipfile

ROOT = pathlib.Path(__file__).resolve().parent.parent
PACKAGE = "tavsdk"
TAG = "py3-none-any"


def _project():
    """name, version, description and requires-python from pyproject.toml
    (tomllib is not in Python 3.9 and 3.10; these are plain strings)."""
    text = (ROOT / "pyproject.toml").read_text(encoding="utf-8")
    table = text.split("[project]", 1)[1].split("\n[", 1)[0]
    return {key: value for key, value in re.findall(r'^([\w-]+)\s*=\s*"([^"]*)"', table, re.MULTILINE)}


def _metadata(project):
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    return (f"Metadata-Version: 2.1\nName: {project['name']}\nVersion: {project['version']}\n"
            f"Summary: {project['description']}\nLicense: MIT\nRequires-Python: {project['requires-python']}\n"
            "Classifier: License :: OSI Approved :: MIT License\nClassifier: Typing :: Typed\n"
            f"Description-Content-Type: text/markdown\n\n{readme}")


def _wheel(directory, members):
    project = _project()
    dist_info = f"{project['name']}-{project['version']}.dist-info"
    name = f"{project['name']}-{project['version']}-{TAG}.whl"
    members = dict(members)
    members[f"{dist_info}/METADATA"] = _metadata(project).encode()
    members[f"{dist_info}/WHEEL"] = (f"Wheel-Version: 1.0\nGenerator: tavsdk_build\nRoot-Is-Purelib: true\n"
                                     f"Tag: {TAG}\n").encode()
    members[f"{dist_info}/top_level.txt"] = f"{PACKAGE}\n".encode()
    record = []
    for path, data in members.items():
        digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
        record.append(f"{path},sha256={digest},{len(data)}")
    record.append(f"{dist_info}/RECORD,,")
    members[f"{dist_info}/RECORD"] = ("\n".join(record) + "\n").encode()
    with zipfile.ZipFile(os.path.join(directory, name), "w", zipfile.ZIP_DEFLATED) as archive:
        for path, data in members.items():
            archive.writestr(path, data)
    return name


def _package_files():
    for path in sorted((ROOT / PACKAGE).iterdir()):
        if path.suffix == ".py" or path.name == "py.typed":
            yield f"{PACKAGE}/{path.name}", path.read_bytes()


def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_editable(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    return _wheel(wheel_directory, _package_files())


def build_editable(wheel_directory, config_settings=None, metadata_directory=None):
    # A path entry: the installed package is the source tree itself.
    return _wheel(wheel_directory, [(f"_{PACKAGE}_editable.pth", f"{ROOT}\n".encode())])


def build_sdist(sdist_directory, config_settings=None):
    project = _project()
    base = f"{project['name']}-{project['version']}"
    name = f"{base}.tar.gz"
    files = ["pyproject.toml", "README.md", "backend/tavsdk_build.py"]
    files += [path for path, _ in _package_files()]
    with tarfile.open(os.path.join(sdist_directory, name), "w:gz", format=tarfile.PAX_FORMAT) as archive:
        for path in files:
            archive.add(ROOT / path, f"{base}/{path}")
        info = tarfile.TarInfo(f"{base}/PKG-INFO")
        data = _metadata(project).encode()
        info.size = len(data)
        archive.addfile(info, io.BytesIO(data))
    return name
