"""What the installed distribution holds: the module with one exported symbol, its stub and its metadata."""

import importlib.metadata
import shutil
import subprocess
from pathlib import Path

import pytest

import tessellan as ts

ROOT = Path(__file__).resolve().parents[2]


def test_module_exports_only_its_init_function():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm (binutils) is not installed")
    out = subprocess.run([nm, "-D", "--defined-only", ts.__file__], capture_output=True, text=True, check=True)
    names = sorted(line.split()[-1] for line in out.stdout.splitlines() if line.strip())
    assert names == ["PyInit_tessellan"]


def test_installed_distribution_ships_the_stub_package():
    dist = importlib.metadata.distribution("tessellan")
    files = {str(f): f for f in dist.files}
    assert Path(ts.__file__).name in files
    stub = files.get("tessellan-stubs/__init__.pyi")
    assert stub is not None, sorted(files)
    assert Path(dist.locate_file(stub)).read_text() == (ROOT / "stubs/tessellan-stubs/__init__.pyi").read_text()


def test_metadata_names_license_and_platform():
    meta = importlib.metadata.metadata("tessellan")
    assert meta["License-Expression"] == "MIT"
    assert "LICENSE" in meta.get_all("License-File")
    classifiers = set(meta.get_all("Classifier"))
    assert {"Programming Language :: Python :: 3.13", "Programming Language :: C++",
            "Operating System :: POSIX :: Linux", "Topic :: Scientific/Engineering"} <= classifiers
