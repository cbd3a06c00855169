"""Signals reach a call that waits on a slow source or reads a large file: a handler that
raises ends the call with its exception, one that returns lets it go on. Each case runs in a
child process, since it installs handlers and timers."""

import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

from conftest import run_child

INTERRUPTED = (
    "called `Result::unwrap()` on an `Err` value: "
    'Os { code: 4, kind: Interrupted, message: "Interrupted system call" }'
)

# A FIFO in a fresh directory, and a handler for SIGALRM that raises Stop.
SETUP = """
import os, signal, sys, tempfile, time, varsift
fifo = os.path.join(tempfile.mkdtemp(), "input.vcf")
os.mkfifo(fifo)
class Stop(Exception):
    pass
def stop(signum, frame):
    raise Stop(signum)
def returns(signum, frame):
    print("handler ran", flush=True)
"""


def test_a_handler_that_raises_ends_an_open_waiting_for_a_writer():
    result = run_child(
        SETUP
        + """
signal.signal(signal.SIGALRM, stop)
signal.setitimer(signal.ITIMER_REAL, 0.2)
start = time.monotonic()
try:
    varsift.subset_vcf(fifo, [])
except Stop as error:
    print("Stop", error.args, time.monotonic() - start < 30)
""",
        timeout=60,
    )
    assert result.returncode == 0, result.stderr.decode()
    assert result.stdout == f"Stop ({int(signal.SIGALRM)},) True\n"
    # Not a failure: nothing is reported.
    assert result.stderr == b""


def test_an_open_interrupted_by_a_handler_that_returns_is_the_open_failure():
    result = run_child(
        SETUP
        + """
signal.signal(signal.SIGALRM, returns)
signal.setitimer(signal.ITIMER_REAL, 0.2)
try:
    varsift.subset_vcf(fifo, [])
except BaseException as error:
    print(type(error).__name__, error)
""",
        timeout=60,
    )
    assert result.returncode == 0, result.stderr.decode()
    assert result.stdout == f"handler ran\nPanicException {INTERRUPTED}\n"
    assert result.stderr.decode().splitlines()[:2] == [
        "thread '<unnamed>' panicked at src\\lib:18:37:",
        INTERRUPTED,
    ]


def test_a_handler_that_raises_ends_a_read_from_a_stalled_writer():
    # The child holds the FIFO's write end itself: the data comes, then nothing more.
    result = run_child(
        SETUP
        + """
writer = os.open(fifo, os.O_RDWR)
os.write(writer, b"#h\\n1\\t5\\tx\\n1\\t6\\ty\\n")
signal.signal(signal.SIGALRM, stop)
signal.setitimer(signal.ITIMER_REAL, 0.2)
result = "nothing"
try:
    result = varsift.subset_vcf(fifo, [])
except Stop:
    print("Stop", result)
print(len(os.listdir("/proc/self/fd")))
os.close(writer)
print(len(os.listdir("/proc/self/fd")))
""",
        timeout=60,
    )
    assert result.returncode == 0, result.stderr.decode()
    stopped, with_writer, without_writer = result.stdout.splitlines()
    # Nothing partial comes back, and the FIFO's read end is closed.
    assert stopped == "Stop nothing"
    assert int(with_writer) == int(without_writer) + 1
    assert result.stderr == b""


def test_a_read_interrupted_by_a_handler_that_returns_goes_on():
    # The first alarm only runs the handler; the second closes the writer, which ends the input.
    result = run_child(
        SETUP
        + """
writer = os.open(fifo, os.O_RDWR)
os.write(writer, b"#h\\n1\\t5\\tx\\n")
alarms = []
def second_closes(signum, frame):
    alarms.append(signum)
    if len(alarms) == 2:
        os.close(writer)
signal.signal(signal.SIGALRM, second_closes)
signal.setitimer(signal.ITIMER_REAL, 0.2, 0.2)
print(varsift.subset_vcf(fifo, []), len(alarms))
""",
        timeout=60,
    )
    assert result.returncode == 0, result.stderr.decode()
    assert result.stdout == "(['#h'], ['1\\t5\\tx']) 2\n"
    assert result.stderr == b""


def test_a_handler_that_raises_ends_the_read_of_a_large_file(tmp_path):
    # A sparse file of 1 GiB: lines of 1 MiB, each with a position, read in full in seconds.
    path = tmp_path / "large.vcf"
    size = 1 << 30
    with open(path, "wb") as stream:
        for offset in range(0, size, 1 << 20):
            stream.seek(offset)
            stream.write(b"\n1\t5\t" if offset else b"1\t5\t")
        stream.truncate(size)
    result = run_child(
        SETUP
        + f"""
signal.signal(signal.SIGALRM, stop)
signal.setitimer(signal.ITIMER_REAL, 0.1)
start = time.monotonic()
try:
    varsift.subset_vcf({str(path)!r}, [7])
except Stop:
    print("Stop", round(time.monotonic() - start, 3))
""",
        timeout=120,
    )
    assert result.returncode == 0, result.stderr.decode()
    word, seconds = result.stdout.split()
    assert word == "Stop"
    # The whole file takes several seconds; the check every few MB stops it soon after 0.1 s.
    assert float(seconds) < 1.5


def test_ctrl_c_raises_keyboard_interrupt_in_a_call_waiting_for_a_writer():
    code = textwrap.dedent(
        SETUP
        + """
# Python leaves SIGINT ignored when it starts ignored (a background job): Ctrl-C as at a prompt.
signal.signal(signal.SIGINT, signal.default_int_handler)
print("waiting", flush=True)
try:
    varsift.subset_vcf(fifo, [])
except KeyboardInterrupt:
    print("KeyboardInterrupt", flush=True)
"""
    )
    child = subprocess.Popen(
        [sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE
    )
    try:
        assert child.stdout.readline() == b"waiting\n"
        # The child is blocked in open() by now. A signal that came just before it got there
        # would leave it waiting, so another follows only if it has not ended by then.
        for _ in range(10):
            time.sleep(0.3)
            child.send_signal(signal.SIGINT)
            try:
                child.wait(timeout=3)
                break
            except subprocess.TimeoutExpired:
                pass
        stdout, stderr = child.communicate(timeout=30)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    assert child.returncode == 0, stderr.decode()
    assert stdout == b"KeyboardInterrupt\n"
    assert stderr == b""
