"""The build accepts only CPython 3.12."""

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


def test_configuring_for_another_python_stops_with_a_clear_message(tmp_path):
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
    assert configured.returncode != 0
    output = " ".join(configured.stderr.split())
    assert "varsift builds only for CPython 3.12" in output
    assert f"the interpreter is '{python}'" in output


def test_the_module_uses_the_version_specific_api():
    import varsift

    # A limited-API build would carry the suffix .abi3.so instead.
    assert ".cpython-312-" in Path(varsift.__file__).name
