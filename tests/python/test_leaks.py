"""Thousands of calls of every kind, successful and failing, leave nothing behind."""

import json

import pytest

from conftest import SANITIZED, run_child

# Runs each kind of call many times after a warm-up and reports, for each kind, the growth of
# open descriptors, of the reference counts of the argument objects, of the memory of Python
# objects (tracemalloc) and of the resident set (native memory: lines, lists, positions).
MEASURE = """
import gc, json, os, sys, tracemalloc, varsift

SMALL, BIG, BIG_BAD, MISSING = sys.argv[1:5]
positions = [10**12 + i for i in range(3)] + [5, 6]
path = "".join([SMALL])  # a str object of its own, not shared with argv
index_error = ValueError("from __index__")

class RaisingIndex:
    def __index__(self):
        raise index_error

class TypeErrorIndex:
    def __index__(self):
        raise TypeError("no index")

class Lying:
    def __len__(self):
        return 2**40
    def __getitem__(self, index):
        if index < 2:
            return positions[index]
        raise IndexError

try:
    varsift.subset_vcf(MISSING, [])
except BaseException as error:
    panic = error

class Resuming:
    def __len__(self):
        return 1
    def __getitem__(self, index):
        return 1
    def __iter__(self):
        raise panic

raising_index = [RaisingIndex()]
type_error_index = [TypeErrorIndex()]
lying = Lying()
kinds = {
    "success": (lambda: varsift.subset_vcf(path, positions), 3000),
    "success by keyword": (lambda: varsift.subset_vcf(positions=positions, vcf_path=path), 3000),
    "large result": (lambda: varsift.subset_vcf(BIG, []), 150),
    "binding": (lambda: varsift.subset_vcf(path), 3000),
    "unexpected keyword": (lambda: varsift.subset_vcf(path, positions, **{"\\udc80": 1}), 3000),
    "path type": (lambda: varsift.subset_vcf(b"x", positions), 3000),
    "path surrogate": (lambda: varsift.subset_vcf("\\udc80", positions), 3000),
    "positions type": (lambda: varsift.subset_vcf(path, {1}), 3000),
    "item overflow": (lambda: varsift.subset_vcf(path, positions + [-1]), 3000),
    "item index raises": (lambda: varsift.subset_vcf(path, raising_index), 3000),
    "item wrapped TypeError": (lambda: varsift.subset_vcf(path, type_error_index), 3000),
    "lying length": (lambda: varsift.subset_vcf(path, lying), 3000),
    "open failure": (lambda: varsift.subset_vcf(MISSING, positions), 3000),
    "failure after many lines": (lambda: varsift.subset_vcf(BIG_BAD, []), 150),
    "resumed panic": (lambda: varsift.subset_vcf(path, Resuming()), 1000),
}
watched = {"path": path, "positions": positions, "index error": index_error, "panic": panic}
watched.update({f"item {i}": item for i, item in enumerate(positions)})

def open_descriptors():
    return len(os.listdir("/proc/self/fd"))

def resident():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

def run(call, times):
    for _ in range(times):
        try:
            call()
        except BaseException:
            pass
    index_error.__traceback__ = None
    panic.__traceback__ = None
    gc.collect()

def snapshot():
    return {
        "descriptors": open_descriptors(),
        "references": {name: sys.getrefcount(value) for name, value in watched.items()},
        "python memory": tracemalloc.get_traced_memory()[0],
        "resident": resident(),
    }

sys.stderr = open(os.devnull, "w")
tracemalloc.start()
growth = {}
for kind, (call, times) in kinds.items():
    run(call, 20)
    before = snapshot()
    run(call, times)
    after = snapshot()
    growth[kind] = {
        "descriptors": after["descriptors"] - before["descriptors"],
        "references": {
            name: after["references"][name] - before["references"][name] for name in watched
        },
        "python memory": after["python memory"] - before["python memory"],
        "resident": after["resident"] - before["resident"],
    }
print(json.dumps(growth))
"""


@pytest.fixture(scope="module")
def growth(tmp_path_factory):
    directory = tmp_path_factory.mktemp("leaks")
    small = directory / "small.vcf"
    small.write_text("#h\n1\t5\ta\n1\t6\tb\n1\t7\tc\n")
    # About 2 MB of kept lines: a leaked line list would add that much per call.
    lines = "".join(f"1\t{i}\t" + "x" * 200 + "\n" for i in range(10000))
    big = directory / "big.vcf"
    big.write_text("#h\n" + lines)
    big_bad = directory / "big_bad.vcf"
    big_bad.write_text("#h\n" + lines + "1\tbad\n")
    missing = directory / "missing.vcf"

    result = run_child(
        "import sys; sys.argv[1:] = " + repr([str(small), str(big), str(big_bad), str(missing)])
        + "\n" + MEASURE,
        timeout=600,
    )
    assert result.returncode == 0, result.stderr.decode()[-3000:]
    return json.loads(result.stdout)


KINDS = [
    "success",
    "success by keyword",
    "large result",
    "binding",
    "unexpected keyword",
    "path type",
    "path surrogate",
    "positions type",
    "item overflow",
    "item index raises",
    "item wrapped TypeError",
    "lying length",
    "open failure",
    "failure after many lines",
    "resumed panic",
]


@pytest.mark.parametrize("kind", KINDS)
def test_calls_leave_nothing_behind(growth, kind):
    assert growth[kind]["descriptors"] == 0
    assert growth[kind]["references"] == dict.fromkeys(growth[kind]["references"], 0)
    # One leaked object per call would come to far more than this over the calls made.
    assert growth[kind]["python memory"] < 16 * 1024
    # A leaked line list of the large files would come to some 300 MB. AddressSanitizer holds
    # freed memory in quarantine (and reports real leaks itself).
    if not SANITIZED:
        assert growth[kind]["resident"] < 16 * 1024 * 1024
