"""The module builds for CPython 3.12 alone; varsift_tools for any CPython from 3.10."""

import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]


def other_python():
    for name in ("python3.11", "python3.13", "python3.10", "python3.14"):
        path = shutil.which(name)
        if path is not None:
            return path
    return None


def test_configuring_for_another_python_builds_the_library_alone_and_says_so(tmp_path):
    cmake = shutil.which("cmake")
    python = other_python()
    if cmake is None or python is None:
        pytest.skip("needs cmake and a Python other than 3.12")
    configured = subprocess.run(
        [
            cmake,
            "-S",
            str(ROOT),
            "-B",
            str(tmp_path),
            f"-DPython_EXECUTABLE={python}",
            "-DVARSIFT_BUILD_TESTS=OFF",
            "-DVARSIFT_BUILD_BENCH=OFF",
        ],
        capture_output=True,
        text=True,
        check=False,
    )
    assert configured.returncode == 0, configured.stderr
    output = " ".join(configured.stdout.split())
    assert "The module varsift builds only for CPython 3.12" in output
    assert f"the interpreter is '{python}'" in output
    assert (tmp_path / "src" / "tools").is_dir()
    assert not (tmp_path / "src" / "module").exists()


def test_the_module_uses_the_version_specific_api():
    import varsift

    # A limited-API build would carry the suffix .abi3.so instead.
    assert ".cpython-312-" in Path(varsift.__file__).name
