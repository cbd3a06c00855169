"""The installed type stubs: found by mypy, true to the module at run time."""

import ast
import importlib.metadata
import subprocess
import sys

import pytest

import varsift

mypy_api = pytest.importorskip("mypy.api")

STUB = "varsift-stubs/__init__.pyi"

GOOD_EXAMPLE = '''\
import sys
from collections.abc import Sequence
from typing import assert_type

import varsift


class Locus:
    def __init__(self, position: int) -> None:
        self.position = position

    def __index__(self) -> int:
        return self.position


def kept_lines(path: str, positions: Sequence[int]) -> list[str]:
    header, data = varsift.subset_vcf(path, positions)
    assert_type(header, list[str])
    return header + data


result = varsift.subset_vcf(vcf_path=sys.argv[1], positions=(Locus(200), 300))
assert_type(result, tuple[list[str], list[str]])
print(len(result[0]), len(result[1]), len(kept_lines(sys.argv[1], range(250, 301))))
print(len(varsift.subset_vcf(sys.argv[1], [])[1]))
'''

# (snippet, error code that mypy must report on its line)
BAD_USES = [
    ('varsift.subset_vcf("a.vcf", ["200"])', "list-item"),
    ('varsift.subset_vcf("a.vcf", [2.5])', "list-item"),
    ('varsift.subset_vcf("a.vcf", {200, 300})', "arg-type"),
    ('varsift.subset_vcf(pathlib.Path("a.vcf"), [])', "arg-type"),
    ('varsift.subset_vcf(b"a.vcf", [])', "arg-type"),
    ('varsift.subset_vcf("a.vcf")', "call-arg"),
    ('varsift.subset_vcf("a.vcf", [], [])', "call-arg"),
    ('varsift.subset_vcf(path="a.vcf", positions=[])', "call-arg"),
    ('header: list[bytes] = varsift.subset_vcf("a.vcf", [])[0]', "assignment"),
    ('count: int = varsift.subset_vcf("a.vcf", [])', "assignment"),
    ('varsift.subset_vcf("a.vcf", []).append("x")', "attr-defined"),
    ('varsift.subset("a.vcf", [])', "attr-defined"),
]


def run_mypy(directory, source):
    (directory / "example.py").write_text(source)
    return mypy_api.run(
        [
            "--strict",
            "--no-incremental",
            "--python-executable",
            sys.executable,
            "--cache-dir",
            str(directory / ".mypy_cache"),
            str(directory / "example.py"),
        ]
    )


def test_typed_example_passes_mypy_and_runs(tmp_path):
    stdout, stderr, status = run_mypy(tmp_path, GOOD_EXAMPLE)
    assert status == 0, stdout + stderr
    vcf = tmp_path / "calls.vcf"
    vcf.write_text(
        "##fileformat=VCFv4.2\n"
        "#CHROM\tPOS\tID\n"
        "chr1\t200\t.\n"
        "chr1\t250\t.\n"
        "chr1\t300\t.\n"
        "chr1\t400\t.\n"
    )
    ran = subprocess.run(
        [sys.executable, str(tmp_path / "example.py"), str(vcf)],
        capture_output=True,
        text=True,
        check=True,
    )
    assert ran.stdout == "2 2 4\n4\n"


@pytest.fixture(scope="module")
def bad_uses_report(tmp_path_factory):
    directory = tmp_path_factory.mktemp("bad_uses")
    # One function per use, so every use is checked on a line of its own.
    functions = "".join(
        f"def use_{number}() -> None:\n    {snippet}\n\n"
        for number, (snippet, _) in enumerate(BAD_USES)
    )
    return run_mypy(directory, "import pathlib\n\nimport varsift\n\n" + functions)


@pytest.mark.parametrize(("number", "snippet", "code"), [(n, *use) for n, use in enumerate(BAD_USES)])
def test_wrong_use_is_reported(bad_uses_report, number, snippet, code):
    stdout, stderr, status = bad_uses_report
    assert status == 1, stdout + stderr
    line = 4 + 3 * number + 2
    errors = [text for text in stdout.splitlines() if f"example.py:{line}: error:" in text]
    assert errors, f"no error for {snippet!r}:\n{stdout}"
    assert any(text.endswith(f"[{code}]") for text in errors), errors


def test_only_the_wrong_uses_are_reported(bad_uses_report):
    stdout, _, _ = bad_uses_report
    lines = {
        int(text.split(":")[1])
        for text in stdout.splitlines()
        if ": error:" in text
    }
    assert lines == {4 + 3 * number + 2 for number in range(len(BAD_USES))}


def installed_stub():
    distribution = importlib.metadata.distribution("varsift")
    assert STUB in {str(path) for path in distribution.files or []}
    return ast.parse(distribution.locate_file(STUB).read_text())


def test_stub_docstring_is_the_function_docstring():
    (function,) = [node for node in installed_stub().body if isinstance(node, ast.FunctionDef)]
    assert function.name == "subset_vcf"
    assert ast.get_docstring(function, clean=False) == varsift.subset_vcf.__doc__


def test_stub_names_what_the_module_exports():
    exported = [
        node.value
        for node in installed_stub().body
        if isinstance(node, ast.Assign) and node.targets[0].id == "__all__"
    ]
    assert [ast.literal_eval(value) for value in exported] == [list(varsift.__all__)]
