"""pyo3_runtime.PanicException: what a failing call raises, and the resume rule."""

import pytest

import varsift
from conftest import run_child

# A failure writes its report to fd 2, so the failing calls here run in child processes.
FAILING_CALL = "varsift.subset_vcf('/nonexistent/input.vcf', [])"
MESSAGE = (
    "called `Result::unwrap()` on an `Err` value: "
    'Os { code: 2, kind: NotFound, message: "No such file or directory" }'
)


def run_failing(code):
    result = run_child("import varsift\n" + code)
    assert result.returncode == 0, result.stderr.decode()
    return result


def test_the_exception_type_and_instance():
    result = run_failing(
        f"""
try:
    try:
        {FAILING_CALL}
    except Exception:
        print("caught as Exception")
except BaseException as error:
    kind = type(error)
    print(kind.__module__, kind.__name__, kind.__qualname__)
    print(kind.__bases__ == (BaseException,), issubclass(kind, Exception))
    print(repr(error.args))
    print(str(error))
    print(repr(kind.__doc__))
    print(hasattr(varsift, "PanicException"))
"""
    )
    lines = result.stdout.splitlines()
    assert lines[0] == "pyo3_runtime PanicException PanicException"
    assert lines[1] == "True False"
    assert lines[2] == repr((MESSAGE,))
    assert lines[3] == MESSAGE
    doc = eval(lines[4])
    assert doc.startswith("\n") and doc.endswith("\n")
    assert "BaseException" in doc
    assert lines[5] == "False"


def test_failing_calls_raise_instances_of_one_type():
    result = run_failing(
        f"""
errors = []
for _ in range(2):
    try:
        {FAILING_CALL}
    except BaseException as error:
        errors.append(error)
print(type(errors[0]) is type(errors[1]), errors[0] is not errors[1])
"""
    )
    assert result.stdout.split() == ["True", "True"]


def test_a_failure_inside_an_except_block_chains_the_handled_exception():
    result = run_failing(
        f"""
try:
    raise KeyError("handled")
except KeyError as handled:
    try:
        {FAILING_CALL}
    except BaseException as error:
        print(error.__context__ is handled, error.__cause__ is None)
"""
    )
    assert result.stdout.split() == ["True", "True"]


@pytest.mark.parametrize(
    ("message_expression", "message"),
    [
        ("str(caught)", MESSAGE),
        ("None", "Unwrapped panic from Python code"),
    ],
    ids=["caught message", "unprintable"],
)
def test_a_panic_raised_back_into_the_module_resumes(message_expression, message):
    # The iterator re-raises a PanicException caught from an earlier call; when its text
    # cannot be had, a fixed message stands in.
    result = run_child(
        f"""
import os, sys, varsift

class Unprintable:
    def __str__(self):
        raise ValueError("no text")

try:
    {FAILING_CALL}
except BaseException as error:
    caught = error
os.write(2, b"=== resume ===\\n")
if {message_expression} is None:
    caught.args = (Unprintable(),)

class Positions:
    def __len__(self):
        return 1
    def __getitem__(self, index):
        return 1
    def __iter__(self):
        raise caught

try:
    varsift.subset_vcf("a.vcf", Positions())
except BaseException as error:
    print(type(error) is type(caught), error is not caught, repr(error.args))
# Printed as by PyErr_PrintEx(0), which leaves sys.last_exc alone.
print(hasattr(sys, "last_exc"))
"""
    )
    assert result.returncode == 0, result.stderr.decode()
    assert result.stdout.splitlines() == [f"True True {(message,)!r}", "False"]
    after = result.stderr.split(b"=== resume ===\n", 1)[1].decode()
    lines = after.splitlines()
    assert lines[:2] == [
        "--- PyO3 is resuming a panic after fetching a PanicException from Python. ---",
        "Python stack trace below:",
    ]
    assert lines[2] == "Traceback (most recent call last):"
    assert "in __iter__" in after
    assert lines[-1].startswith("pyo3_runtime.PanicException")
    # The resumed panic writes no failure report of its own.
    assert "panicked at" not in after
