"""Running out of memory is a failure raised to the caller, never the end of the process.

Each case runs in a child process under an address-space limit set by prlimit."""

import shutil

import pytest

from conftest import SANITIZED, run_child

pytestmark = [
    pytest.mark.skipif(SANITIZED, reason="AddressSanitizer reserves more than any limit"),
    pytest.mark.skipif(shutil.which("prlimit") is None, reason="prlimit is not installed"),
]

GB = 1 << 30


def limited(megabytes):
    return ("prlimit", f"--as={megabytes << 20}")


# Catches the failure, then shows that the interpreter and the module still work.
AFTERWARDS = """
import os, sys, tempfile, varsift
def attempt(call):
    try:
        call()
    except BaseException as error:
        print(type(error).__module__, type(error).__name__)
        print(error.args)
    with tempfile.NamedTemporaryFile("w", suffix=".vcf", delete=False) as small:
        small.write("#h\\n1\\t5\\tx\\n")
    print(varsift.subset_vcf(small.name, [5]))
    os.unlink(small.name)
    print(len(os.listdir("/proc/self/fd")))
"""


def check(result, *, descriptors):
    assert result.returncode == 0, result.stderr.decode()
    kind, args, subset, open_descriptors = result.stdout.splitlines()
    assert kind == "pyo3_runtime PanicException"
    message = eval(args)[0]  # the repr of a one-element tuple of str
    assert message.startswith("memory allocation of ")
    assert message.endswith(" bytes failed")
    assert int(message.split()[3]) > 0
    assert subset == "(['#h'], ['1\\t5\\tx'])"
    assert int(open_descriptors) == descriptors
    report = result.stderr.decode().splitlines()
    assert report[0].startswith("thread '<unnamed>' panicked at ")
    assert report[1] == message
    return message


def descriptors_at_rest():
    result = run_child("import os, varsift; print(len(os.listdir('/proc/self/fd')))")
    return int(result.stdout)


def test_an_endless_line_is_a_failure_with_the_size_that_could_not_be_had():
    result = run_child(
        AFTERWARDS + 'attempt(lambda: varsift.subset_vcf("/dev/zero", []))', prefix=limited(512)
    )
    check(result, descriptors=descriptors_at_rest())


def test_too_many_positions_are_a_failure():
    result = run_child(
        AFTERWARDS + "attempt(lambda: varsift.subset_vcf('/nonexistent', range(10**9)))",
        prefix=limited(400),
    )
    message = check(result, descriptors=descriptors_at_rest())
    # The list doubles past what the limit allows; the file is never reached.
    assert "NotFound" not in result.stderr.decode()
    assert int(message.split()[3]) >= 64 << 20


def test_a_long_path_that_cannot_be_copied_is_a_failure():
    result = run_child(
        AFTERWARDS + "path = 'x' * (300 << 20)\nattempt(lambda: varsift.subset_vcf(path, []))",
        prefix=limited(700),
    )
    check(result, descriptors=descriptors_at_rest())
