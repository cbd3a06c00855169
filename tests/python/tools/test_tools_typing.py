"""The package is typed: mypy --strict accepts its own sources and a user's code, and flags
wrong uses."""

from __future__ import annotations

import importlib.util
import typing
from pathlib import Path

import pytest

import varsift_tools

mypy_api = pytest.importorskip("mypy.api")

PACKAGE = Path(importlib.util.find_spec("varsift_tools").origin).parent  # type: ignore[arg-type,union-attr]

USER_CODE = """\
from pathlib import Path
from typing import assert_type

import varsift_tools

header, data = varsift_tools.subset(Path("a.vcf.gz"), targets=[("chr1", 5)], threads=None)
assert_type(header, list[str])
with varsift_tools.iter_lines("-", regions={("chr2", 1, 9)}) as lines:
    for line in lines:
        assert_type(line, str)
count: int = varsift_tools.write_subset("a.vcf", "b.vcf.gz", positions=range(5), compress=True)
count = varsift_tools.write_subset("a.vcf", "b.vcf.gz", write_index="csi")
try:
    varsift_tools.subset("a.vcf")
except varsift_tools.VcfFormatError as error:
    assert_type(error.lineno, int | None)
"""

BAD_USES = [
    ('varsift_tools.subset("a.vcf", positions=["1"])', "list-item"),
    ('varsift_tools.subset("a.vcf", targets=[(1, "chr1")])', "list-item"),
    ('varsift_tools.subset("a.vcf", [1])', "call-arg"),
    ('varsift_tools.subset(b"a.vcf")', "arg-type"),
    ('varsift_tools.write_subset("a.vcf", 2.0)', "arg-type"),
    ('varsift_tools.subset("a.vcf", threads="2")', "arg-type"),
    ('varsift_tools.write_subset("a.vcf", "b.vcf.gz", write_index="bai")', "arg-type"),
]


def _mypy(tmp_path: Path, code: str) -> tuple[str, int]:
    source = tmp_path / "user.py"
    source.write_text(code)
    stdout, stderr, status = mypy_api.run(["--strict", "--no-incremental", str(source)])
    return stdout + stderr, status


def test_package_sources_pass_strict(tmp_path):
    stdout, stderr, status = mypy_api.run(["--strict", "--no-incremental", "-p", "varsift_tools"])
    assert status == 0, stdout + stderr
    assert (PACKAGE / "py.typed").exists()


def test_user_code_passes_strict(tmp_path):
    output, status = _mypy(tmp_path, USER_CODE)
    assert status == 0, output


@pytest.mark.parametrize(("snippet", "code"), BAD_USES)
def test_wrong_uses_are_flagged(tmp_path, snippet, code):
    output, status = _mypy(tmp_path, f"import varsift_tools\n{snippet}\n")
    assert status == 1 and f"[{code}]" in output, output


def test_the_public_alias_is_made_when_asked_for():
    # Left out of the import (it needs typing), it must still come with the package's names.
    namespace: dict[str, object] = {}
    exec("from varsift_tools import *", namespace)
    assert namespace["Overlap"] == typing.Literal["pos", "record", "variant"]
    with pytest.raises(AttributeError, match="no attribute 'Overlaps'"):
        getattr(varsift_tools, "Overlaps")
