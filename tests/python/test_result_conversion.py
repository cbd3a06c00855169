"""The value subset_vcf returns: a new tuple of two new lists of exact str."""

import pytest

import varsift
from conftest import record, run_child, vcf_lines


@pytest.mark.parametrize(
    ("content", "header", "data"),
    [
        ("", [], []),
        (vcf_lines("#a", "##b"), ["#a", "##b"], []),
        (vcf_lines(record(1)), [], [record(1)]),
        (vcf_lines("#a", record(1), "#b", record(2)), ["#a", "#b"], [record(1), record(2)]),
        (vcf_lines("#caf\u00e9 \U0001f600", record(1, rest="\u00e9")), ["#caf\u00e9 \U0001f600"], [record(1, rest="\u00e9")]),
        (vcf_lines("#nul\0inside", record(1, rest="a\0b")), ["#nul\0inside"], [record(1, rest="a\0b")]),
        (vcf_lines("#cr\rinside", record(1, rest="x\r")), ["#cr\rinside"], [record(1, rest="x")]),
    ],
    ids=["empty", "header only", "data only", "interleaved", "non-ASCII", "NUL", "CR"],
)
def test_result_is_a_tuple_of_two_lists_of_exact_str(write_vcf, content, header, data):
    result = varsift.subset_vcf(write_vcf(content), [])
    assert type(result) is tuple
    assert len(result) == 2
    assert all(type(item) is list for item in result)
    assert all(type(line) is str for item in result for line in item)
    assert result == (header, data)


def test_length_counts_characters_not_bytes(write_vcf):
    (line,), _ = varsift.subset_vcf(write_vcf(vcf_lines("#\u00e9\u20ac\U0001f600")), [])
    assert len(line) == 4


@pytest.mark.parametrize("content", ["", vcf_lines("#a", record(1))], ids=["empty", "lines"])
def test_every_call_gives_fresh_objects(write_vcf, content):
    path = write_vcf(content)
    first = varsift.subset_vcf(path, [])
    second = varsift.subset_vcf(path, [])
    assert first == second
    assert first is not second
    assert first[0] is not second[0]
    assert first[1] is not second[1]
    first[0].append("mutated")
    assert varsift.subset_vcf(path, []) == second


def test_a_long_line_comes_back_whole(write_vcf):
    long_line = "#" + "x\u00e9" * 20000
    assert varsift.subset_vcf(write_vcf(vcf_lines(long_line)), []) == ([long_line], [])


@pytest.mark.parametrize(
    "alphabet",
    ["ACGT", "ACGT\u00e9", "ACGT\u20ac", "ACGT\U0001f600", "\u00e9\u20ac\U0001f600"],
    ids=["ASCII", "Latin-1", "BMP", "astral", "no ASCII"],
)
def test_lines_across_read_pieces_keep_every_character(write_vcf, alphabet):
    # Lines of many lengths cross the reader's 8192-byte pieces at every kind of place.
    lines = []
    for number in range(600):
        text = "".join(alphabet[(number * 7 + k) % len(alphabet)] for k in range(number % 97))
        lines.append(f"#{text}" if number % 3 == 0 else record(number + 1, rest=text))
    content = vcf_lines(*lines)
    header, data = varsift.subset_vcf(write_vcf(content), [])
    assert header == [line for line in lines if line.startswith("#")]
    assert data == [line for line in lines if not line.startswith("#")]
    assert all(type(line) is str for line in header + data)


def test_a_str_that_cannot_be_made_does_not_win_over_a_later_fault(write_vcf):
    pytest.importorskip("_testcapi")
    from test_failure_reports import NO_MEMORY_POSITIONS

    # The first allocations after the positions are converted make the lists and the strs of
    # the kept lines; later ones fall where the exception is raised, which ends the process.
    path = write_vcf(vcf_lines("#a", record(5), record(6), "no tab here"))
    outcomes = []
    for window in range(8):
        result = run_child(
            NO_MEMORY_POSITIONS
            + f"""
import varsift
try:
    varsift.subset_vcf({path!r}, NoMemoryAfterLength({window}))
except BaseException as error:
    _testcapi.remove_mem_hooks()
    print(f"{{type(error).__name__}}: {{error}}")
"""
        )
        # The first report is always the later fault's.
        assert result.stderr.startswith(b"thread '<unnamed>' panicked at src\\lib:29:37:\n")
        if result.returncode == 0:
            # The MemoryError of the str is dropped with the call, never printed.
            assert b"MemoryError" not in result.stderr
            assert b"Python API call failed" not in result.stderr
        outcomes.append(result.stdout)
    missing_field = "PanicException: called `Option::unwrap()` on a `None` value\n"
    assert outcomes[0] == missing_field
    # Later windows: CPython cannot make the exception instance, or the process aborts.
    assert set(outcomes) <= {missing_field, "MemoryError: \n", ""}
