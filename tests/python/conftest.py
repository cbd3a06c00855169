"""Fixtures shared by the tests of the varsift module."""

import os
import subprocess
import sys
import textwrap
from dataclasses import dataclass

import pytest

MAX = 2**64 - 1

HEADER = ["##fileformat=VCFv4.2", "#CHROM\tPOS\tID\tREF\tALT"]


@dataclass
class ChildResult:
    returncode: int
    stdout: str
    stderr: bytes


# Set by scripts/test when the module is built with AddressSanitizer, which reserves address
# space far beyond any limit a test could set.
SANITIZED = os.environ.get("VARSIFT_SANITIZED") == "1"


def run_child(code, *, env=None, timeout=120, prefix=()):
    """Runs `code` in a fresh interpreter; gives its exit status, stdout and the bytes of fd 2.

    `prefix` is a command that runs the interpreter, such as prlimit with its options."""
    completed = subprocess.run(
        [*prefix, sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        env=env,
        timeout=timeout,
        check=False,
    )
    return ChildResult(completed.returncode, completed.stdout.decode(), completed.stderr)


@pytest.fixture
def write_vcf(tmp_path):
    """Writes bytes (or str, as UTF-8) to a new file and gives its path as a str."""
    count = 0

    def write(content, name=None):
        nonlocal count
        count += 1
        path = tmp_path / (name or f"input{count}.vcf")
        path.write_bytes(content.encode() if isinstance(content, str) else content)
        return str(path)

    return write


def vcf_lines(*lines):
    return "".join(line + "\n" for line in lines)


def record(position, chromosome="1", rest="A\tG"):
    return f"{chromosome}\t{position}\t.\t{rest}"


class Recorder:
    """Collects the names of special methods in the order they run."""

    def __init__(self):
        self.calls = []

    def __call__(self, name):
        self.calls.append(name)
