"""The value subset_vcf returns: a new tuple of two new lists of exact str."""

import pytest

import varsift
from conftest import record, vcf_lines


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
