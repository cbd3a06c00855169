"""The module belongs to the first interpreter that initialises it; any other is refused."""

import pytest

from conftest import run_child

REFUSAL = (
    "PyO3 modules do not yet support subinterpreters, see "
    "https://github.com/varsift/varsift/blob/main/README.md#limitations"
)

# Runs the import in a second interpreter of this process that admits single-phase modules,
# and reports through fd 1 what it raised.
IN_SUBINTERPRETER = '''
import _testcapi
IMPORT = """
import os
try:
    import varsift
    os.write(1, b"sub: imported " + repr(varsift.subset_vcf.__name__).encode() + b"\\\\n")
except BaseException as error:
    os.write(1, f"sub: {type(error).__name__}: {error}\\\\n".encode())
"""
def import_in_subinterpreter():
    config = dict(
        use_main_obmalloc=True,
        allow_fork=True,
        allow_exec=True,
        allow_threads=True,
        allow_daemon_threads=True,
        check_multi_interp_extensions=False,
    )
    try:
        # The GIL is shared with the main interpreter (later 3.12 releases name it so).
        status = _testcapi.run_in_subinterp_with_config(IMPORT, **config, gil=1)
    except TypeError:
        status = _testcapi.run_in_subinterp_with_config(IMPORT, **config, own_gil=False)
    assert status == 0, status
'''


@pytest.fixture(autouse=True)
def needs_testcapi():
    pytest.importorskip("_testcapi")


def test_a_second_interpreter_is_refused_after_the_first_import():
    result = run_child(
        IN_SUBINTERPRETER
        + """
import varsift
import_in_subinterpreter()
import_in_subinterpreter()
print("main:", varsift.__all__)
"""
    )
    assert result.returncode == 0, result.stderr.decode()
    assert result.stdout.splitlines() == [
        f"sub: ImportError: {REFUSAL}",
        f"sub: ImportError: {REFUSAL}",
        "main: ['subset_vcf']",
    ]


def test_the_first_interpreter_to_import_owns_the_module():
    result = run_child(
        IN_SUBINTERPRETER
        + """
import_in_subinterpreter()
try:
    import varsift
except ImportError as error:
    print("main: ImportError:", error)
"""
    )
    assert result.returncode == 0, result.stderr.decode()
    assert result.stdout.splitlines() == [
        "sub: imported 'subset_vcf'",
        f"main: ImportError: {REFUSAL}",
    ]
