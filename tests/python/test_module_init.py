"""The module object, its function and the initialisation sequence."""

import importlib
import inspect
import shutil
import subprocess
import sys

import pytest

import varsift
from conftest import run_child

DOC = (
    "Subset a VCF file by a list of positions.\n\n"
    "# Arguments\n"
    "vcf_path: String - Path to the VCF file.\n"
    "positions: Vec<u64> - List of positions to subset the VCF file by.\n\n"
    "# Returns\n"
    "Tuple of two lists of strings. The first list contains the header lines of the VCF file, "
    "and the second list contains the subsetted VCF lines."
)


def test_module_attributes():
    assert varsift.__name__ == "varsift"
    assert varsift.__all__ == ["subset_vcf"]
    assert type(varsift.__all__) is list
    assert isinstance(varsift.__doc__, str) and varsift.__doc__.endswith(".")
    names = list(vars(varsift))
    assert names.index("__all__") + 1 == names.index("subset_vcf")
    assert names.index("__spec__") < names.index("__all__")


def test_function_attributes():
    function = varsift.subset_vcf
    assert type(function).__name__ == "builtin_function_or_method"
    assert function.__name__ == "subset_vcf"
    assert function.__qualname__ == "subset_vcf"
    assert function.__module__ == "varsift"
    assert function.__self__ is varsift
    assert function.__text_signature__ == "(vcf_path, positions)"
    assert function.__doc__ == DOC


def test_inspect_signature():
    parameters = inspect.signature(varsift.subset_vcf).parameters
    assert list(parameters) == ["vcf_path", "positions"]
    assert {p.kind for p in parameters.values()} == {inspect.Parameter.POSITIONAL_OR_KEYWORD}
    assert all(p.default is inspect.Parameter.empty for p in parameters.values())


def test_reimport_after_removal_from_sys_modules_gives_the_same_module(monkeypatch):
    function = varsift.subset_vcf
    monkeypatch.delitem(sys.modules, "varsift")
    again = importlib.import_module("varsift")
    assert again is varsift
    assert again.subset_vcf is function
    assert again.__all__ == ["subset_vcf"]


def test_every_initialisation_in_one_interpreter_gives_the_cached_module():
    result = run_child(
        """
        import _imp, importlib.util, varsift
        spec = importlib.util.find_spec("varsift")
        modules = [_imp.create_dynamic(spec) for _ in range(3)]
        print(all(m is varsift for m in modules), varsift.__all__)
        """
    )
    assert result.returncode == 0, result.stderr.decode()
    assert result.stdout == "True ['subset_vcf']\n"


def test_a_failed_initialisation_caches_nothing_and_a_later_one_succeeds():
    pytest.importorskip("_testcapi")
    # Each window makes one allocation of the interpreter fail during the initialisation; each
    # is tried twice, since the first try may make a name that later tries reuse.
    result = run_child(
        """
        import _imp, _testcapi, importlib.util, sys
        spec = importlib.util.find_spec("varsift")
        outcomes, module = [], None
        for window in range(400):
            for attempt in range(2):
                _testcapi.set_nomemory(window, window + 1)
                try:
                    module = _imp.create_dynamic(spec)
                except BaseException as error:
                    _testcapi.remove_mem_hooks()
                    outcomes.append(f"{type(error).__module__}.{type(error).__name__}: {error}")
                else:
                    _testcapi.remove_mem_hooks()
                    break
            if module is not None:
                break
        print("\\n".join(sorted(set(outcomes))))
        print(module.__all__, module.subset_vcf.__self__ is module)
        print(_imp.create_dynamic(spec) is module)
        """
    )
    assert result.returncode == 0, result.stderr.decode()
    *failures, attributes, cached = result.stdout.splitlines()
    assert attributes == "['subset_vcf'] True"
    assert cached == "True"
    # CPython's own MemoryError passes unchanged; an interned name that cannot be made is a
    # failure, raised as PanicException.
    assert "builtins.MemoryError: " in failures
    assert "pyo3_runtime.PanicException: Python API call failed" in failures
    allowed = {
        "builtins.MemoryError: ",
        "pyo3_runtime.PanicException: Python API call failed",
        "pyo3_runtime.PanicException: could not append __name__ to __all__: "
        "PyErr { type: <class 'MemoryError'>, value: MemoryError(), traceback: None }",
        "pyo3_runtime.PanicException: Failed to initialize new exception type.: "
        "PyErr { type: <class 'MemoryError'>, value: MemoryError(), traceback: None }",
    }
    assert set(failures) <= allowed


def test_only_the_initialisation_function_is_exported():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    listing = subprocess.run(
        [nm, "-D", "--defined-only", varsift.__file__], capture_output=True, text=True, check=True
    )
    symbols = [line.split()[-1] for line in listing.stdout.splitlines() if line.strip()]
    assert symbols == ["PyInit_varsift"]
