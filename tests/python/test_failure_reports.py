"""What failures write to fd 2, and the failures of the boundary itself; all in child processes."""

import signal

import pytest

from conftest import run_child

NOT_FOUND = (
    "called `Result::unwrap()` on an `Err` value: "
    'Os { code: 2, kind: NotFound, message: "No such file or directory" }'
)
NOTE = "note: run with `VARSIFT_BACKTRACE=1` environment variable to display a backtrace"
UNCAUGHT = "uncaught panic at ffi boundary"

# Positions whose __len__ makes exactly one later allocation of the interpreter fail: the
# allocation numbered WINDOW from then on. __iter__ hands out an iterator made beforehand, so
# the failing allocation falls inside the module, not in the caller's code.
NO_MEMORY_POSITIONS = """
import _testcapi

class NoMemoryAfterLength:
    def __init__(self, window):
        self.window = window
        self.iterator = iter(())
    def __len__(self):
        _testcapi.set_nomemory(self.window, self.window + 1)
        return 0
    def __getitem__(self, index):
        raise IndexError
    def __iter__(self):
        return self.iterator
"""


@pytest.fixture(autouse=True)
def needs_testcapi():
    pytest.importorskip("_testcapi")


def test_the_report_reaches_fd_2_before_the_exception_reaches_the_caller():
    result = run_child(
        """
        import io, os, sys, varsift
        sys.stderr = replaced = io.StringIO()
        try:
            varsift.subset_vcf("/nonexistent/input.vcf", [])
        except BaseException:
            os.write(2, b"caught\\n")
        print(repr(replaced.getvalue()))
        """
    )
    assert result.returncode == 0
    assert result.stdout == "''\n"
    assert result.stderr.decode().splitlines() == [
        "thread '<unnamed>' panicked at src\\lib:18:37:",
        NOT_FOUND,
        NOTE,
        "caught",
    ]


def test_an_object_that_cannot_be_created_ends_the_call_as_an_api_failure(write_vcf):
    path = write_vcf("#a\n#b\n1\t5\tx\n1\t6\ty\n")
    result = run_child(
        NO_MEMORY_POSITIONS
        + f"""
import sys, varsift
outcomes = []
for window in range(100):
    try:
        value = varsift.subset_vcf({path!r}, NoMemoryAfterLength(window))
    except BaseException as error:
        _testcapi.remove_mem_hooks()
        outcomes.append(f"{{type(error).__name__}}: {{error}}")
    else:
        _testcapi.remove_mem_hooks()
        outcomes.append(repr(value))
        break
print("\\n".join(outcomes))
print(type(sys.last_exc).__name__)
"""
    )
    assert result.returncode == 0, result.stderr.decode()
    *failures, success, last_exception = result.stdout.splitlines()
    assert success == repr((["#a", "#b"], ["1\t5\tx", "1\t6\ty"]))
    # Two lists, their strings and the tuple: each one's failure ends the call.
    assert len(failures) >= 3
    assert set(failures) == {"PanicException: Python API call failed"}
    # The API-failure rule prints the pending exception through sys.excepthook.
    assert last_exception == "MemoryError"
    stderr = result.stderr.decode()
    assert stderr.count("MemoryError\n") == len(failures)
    assert stderr.count("\nPython API call failed\n") == len(failures)


def test_a_failure_while_raising_the_exception_aborts_the_process():
    # With an allocation failing while the exception's argument is made, the failure cannot
    # reach Python. Later windows fall after the raise, and the call ends as usual.
    results = [
        run_child(
            NO_MEMORY_POSITIONS
            + f"""
import varsift
varsift.subset_vcf("/nonexistent/input.vcf", NoMemoryAfterLength({window}))
"""
        )
        for window in range(6)
    ]
    aborted = [result for result in results if result.returncode == -signal.SIGABRT]
    assert aborted
    for result in aborted:
        lines = result.stderr.decode().splitlines()
        assert lines[:3] == ["thread '<unnamed>' panicked at src\\lib:18:37:", NOT_FOUND, NOTE]
        reports = [i for i, line in enumerate(lines) if " panicked at src/module/" in line]
        assert len(reports) == 2
        assert lines[reports[0] + 1] == "Python API call failed"
        assert lines[reports[1] + 1] == UNCAUGHT
        # Raised while the first is still travelling: a full backtrace, whatever the switch says.
        assert lines[reports[1] + 2] == "stack backtrace:"
    assert all(result.returncode in (1, -signal.SIGABRT) for result in results)


def test_the_exception_type_is_made_at_import():
    result = run_child(
        """
        import varsift
        made = [c for c in BaseException.__subclasses__() if c.__module__ == "pyo3_runtime"]
        print([c.__qualname__ for c in made])
        """
    )
    assert result.returncode == 0, result.stderr.decode()
    assert result.stdout == "['PanicException']\n"


def test_an_exception_type_that_cannot_be_made_fails_the_import():
    # The import fetches the AttributeError of the missing __all__, which makes the type. The
    # first fetch of a process makes it, so each window of failing allocation needs a fresh one.
    expected = (
        "PanicException: Failed to initialize new exception type.: "
        "PyErr { type: <class 'MemoryError'>, value: MemoryError(), traceback: None }\n"
    )
    for window in range(100):
        result = run_child(
            f"""
            import _imp, _testcapi, importlib.util
            spec = importlib.util.find_spec("varsift")
            _testcapi.set_nomemory({window}, {window} + 1)
            try:
                _imp.create_dynamic(spec)
            except BaseException as error:
                _testcapi.remove_mem_hooks()
                print(f"{{type(error).__name__}}: {{error}}")
            """
        )
        assert result.returncode == 0, result.stderr.decode()
        if result.stdout == expected:
            break
    else:
        pytest.fail("no window of failing allocation reached the making of the exception type")
