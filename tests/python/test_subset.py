"""subset_vcf end to end: which lines come back, and which inputs end the call."""

import json
import os

import pytest

import varsift
from conftest import HEADER, MAX, record, run_child, vcf_lines


@pytest.mark.parametrize(
    ("content", "positions", "header", "data"),
    [
        ("", [5], [], []),
        ("", [], [], []),
        (vcf_lines(*HEADER), [5], HEADER, []),
        (vcf_lines(*HEADER, record(5), record(6)), [], HEADER, [record(5), record(6)]),
        (vcf_lines(*HEADER, record(5), record(6)), [6], HEADER, [record(6)]),
        (vcf_lines(*HEADER, record(5), record(6)), [7], HEADER, []),
        # A '#' line after data lines joins the end of the header list.
        (vcf_lines("#a", record(5), "#b", record(6)), [6], ["#a", "#b"], [record(6)]),
        (vcf_lines("#", " #x\t5"), [5], ["#"], [" #x\t5"]),
        # The chromosome is ignored; a position listed twice keeps a line once.
        (vcf_lines(record(5, "1"), record(5, "2"), record(6)), [5, 5], [], [record(5, "1"), record(5, "2")]),
        # Order of the positions changes nothing; the file's order stands.
        (vcf_lines(record(1), record(2), record(3)), [3, 1], [], [record(1), record(3)]),
        (vcf_lines("1\t+100\tx", "1\t0100\ty", "1\t" + "0" * 30 + "7\tz"), [100, 7], [], ["1\t+100\tx", "1\t0100\ty", "1\t" + "0" * 30 + "7\tz"]),
        (vcf_lines(record(MAX), record(MAX - 1)), [MAX], [], [record(MAX)]),
        (vcf_lines(record(0)), [0], [], [record(0)]),
        # Only the second field counts, and a line may have just two.
        ("1\t5\n2\t6", [6], [], ["2\t6"]),
        ("1\t5\t\t\tx y \n", [5], [], ["1\t5\t\t\tx y "]),
        # Line ends: LF and CR LF go; another CR stays; a last line without LF is whole.
        ("#a\r\n1\t5\tx\r\r\n1\t6\ty\rz\n1\t7\tw\r", [], ["#a"], ["1\t5\tx\r", "1\t6\ty\rz", "1\t7\tw\r"]),
        # A byte-order mark stays part of the first line, which is then a data line.
        ("\ufeff#h\t5\n", [5], [], ["\ufeff#h\t5"]),
    ],
)
def test_lines_kept(write_vcf, content, positions, header, data):
    assert varsift.subset_vcf(write_vcf(content), positions) == (header, data)


def test_long_lines_and_characters_split_across_reads(write_vcf):
    # 8192-byte reads: a long line spans several, and the é straddles the first boundary.
    long_header = "#" + "x" * 8190 + "\u00e9" + "y" * 20000
    exact = "#" + "z" * 8190  # with its LF, ends where a read ends
    path = write_vcf(vcf_lines(exact, long_header, record(5, rest="q" * 9000)))
    assert varsift.subset_vcf(path, [5]) == ([exact, long_header], [record(5, rest="q" * 9000)])


def test_a_relative_path_opens_from_the_current_directory(write_vcf, monkeypatch):
    path = write_vcf(vcf_lines("#h"), name="relative.vcf")
    monkeypatch.chdir(os.path.dirname(path))
    assert varsift.subset_vcf("relative.vcf", []) == (["#h"], [])


UNWRAP = "called `Result::unwrap()` on an `Err` value: "
NO_FIELD = "called `Option::unwrap()` on a `None` value"
NOT_FOUND = 'Os { code: 2, kind: NotFound, message: "No such file or directory" }'
NOT_UTF8 = 'Error { kind: InvalidData, message: "stream did not contain valid UTF-8" }'


def parse_error(kind):
    return f"{UNWRAP}ParseIntError {{ kind: {kind} }}"


EMPTY_PATH = "empty path"

# (file content, None for no file or EMPTY_PATH for the path ""; path suffix; site; message)
FAILURES = [
    (None, "", "18:37", UNWRAP + NOT_FOUND),
    (EMPTY_PATH, "", "18:37", UNWRAP + NOT_FOUND),
    (b"#h\n", "\0", "18:37", UNWRAP + 'Error { kind: InvalidInput, message: "strings passed to WinAPI cannot contain NULs" }'),
    (b"#h\n1\t5\t\xff\n", "", "24:25", UNWRAP + NOT_UTF8),
    (b"#\xc3\n", "", "24:25", UNWRAP + NOT_UTF8),
    (b"\xff\xfe#\x00\n\x00", "", "24:25", UNWRAP + NOT_UTF8),
    (b"#h\n\n1\t5\n", "", "29:37", NO_FIELD),
    (b"1\t5\n\n", "", "29:37", NO_FIELD),
    (b"1 5 x\n", "", "29:37", NO_FIELD),
    (b"12345\n", "", "29:37", NO_FIELD),
    (b"\xef\xbb\xbf##h\n", "", "29:37", NO_FIELD),
    (b"1\t\tx\n", "", "29:61", parse_error("Empty")),
    (b"1\t\n", "", "29:61", parse_error("Empty")),
    (b"1\t12a\n", "", "29:61", parse_error("InvalidDigit")),
    (b"1\t 5\n", "", "29:61", parse_error("InvalidDigit")),
    (b"1\t5 \n", "", "29:61", parse_error("InvalidDigit")),
    (b"1\t-5\n", "", "29:61", parse_error("InvalidDigit")),
    (b"1\t+\n", "", "29:61", parse_error("InvalidDigit")),
    (b"1\t1e3\n", "", "29:61", parse_error("InvalidDigit")),
    (b"1\t5\r\r\n", "", "29:61", parse_error("InvalidDigit")),
    (b"1\t18446744073709551616\n", "", "29:61", parse_error("PosOverflow")),
    # A fault on the last line of a long file: nothing of what came before comes back.
    (b"#h\n" + b"1\t5\tx\n" * 5000 + b"1\tfive\n", "", "29:61", parse_error("InvalidDigit")),
]


def test_failures_raise_panic_exception_after_writing_their_report(tmp_path):
    cases = []
    for number, (content, suffix, _, _) in enumerate(FAILURES):
        path = tmp_path / f"case{number}.vcf"
        if content == EMPTY_PATH:
            cases.append("")
            continue
        if content is not None:
            path.write_bytes(content)
        cases.append(str(path) + suffix)
    # Positions never matter: each failure also happens when the line would be dropped.
    result = run_child(
        f"""
        import json, varsift
        outcomes = []
        for path in {cases!r}:
            for positions in ([], [5], [123456]):
                try:
                    varsift.subset_vcf(path, positions)
                except Exception as error:
                    outcomes.append(["Exception", repr(error)])
                except BaseException as error:
                    outcomes.append([type(error).__name__, error.args[0]])
                else:
                    outcomes.append(["returned", None])
        print(json.dumps(outcomes))
        """
    )
    assert result.returncode == 0, result.stderr.decode()
    outcomes = json.loads(result.stdout)
    expected = [["PanicException", message] for _, _, _, message in FAILURES for _ in range(3)]
    assert outcomes == expected
    reports = result.stderr.decode().split("thread '<unnamed>' panicked at ")[1:]
    assert reports == [
        f"src\\lib:{site}:\n{message}\n" + (
            "note: run with `VARSIFT_BACKTRACE=1` environment variable to display a backtrace\n"
            if index == 0
            else ""
        )
        for index, (_, _, site, message) in enumerate(
            case for case in FAILURES for _ in range(3)
        )
    ]
