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
    # The first failure of the process makes the exception type; with an allocation failing
    # there, or while making the exception's argument, the failure cannot reach Python.
    results = [
        run_child(
            NO_MEMORY_POSITIONS
            + f"""
import varsift
varsift.subset_vcf("/nonexistent/input.vcf", NoMemoryAfterLength({window}))
"""
        )
        for window in range(4)
    ]
    messages = set()
    for result in results:
        assert result.returncode == -signal.SIGABRT
        lines = result.stderr.decode().splitlines()
        assert lines[:3] == ["thread '<unnamed>' panicked at src\\lib:18:37:", NOT_FOUND, NOTE]
        reports = [i for i, line in enumerate(lines) if " panicked at src/module/" in line]
        assert len(reports) == 2
        messages.add(lines[reports[0] + 1])
        assert lines[reports[1] + 1] == UNCAUGHT
        # Raised while the first is still travelling: a full backtrace, whatever the switch says.
        assert lines[reports[1] + 2] == "stack backtrace:"
    assert messages == {
        "Python API call failed",
        "Failed to initialize new exception type.: "
        "PyErr { type: <class 'MemoryError'>, value: MemoryError(), traceback: None }",
    }
