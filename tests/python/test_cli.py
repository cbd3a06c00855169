"""The varsift command, run in child processes as users run it."""

import importlib.metadata
import os
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

VARSIFT = Path(sysconfig.get_path("scripts")) / "varsift"
MAX = 2**64 - 1

HEADER = [
    "##fileformat=VCFv4.2",
    "##contig=<ID=chr1>",
    "##contig=<ID=chr2>",
    "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO",
]
# (position, line): the same position on two chromosomes and twice on one, the ends of the
# position range, and text that is not ASCII.
RECORDS = [
    (0, "chr1\t0\t.\tN\t.\t.\tPASS\t."),
    (200, "chr1\t200\trs1\tA\tG\t50\tPASS\tDP=10"),
    (300, "chr1\t300\trs2\tC\tT\t60\tPASS\tNOTE=caf\u00e9"),
    (300, "chr1\t300\trs3\tC\tA\t61\tPASS\tDP=12"),
    (200, "chr2\t200\t.\tG\tGA\t40\tq10\tDP=3"),
    (MAX, f"chr2\t{MAX}\t.\tT\tC\t9\tPASS\t."),
]
ALL = None


def vcf_text(records=RECORDS):
    return "".join(line + "\n" for line in HEADER + [line for _, line in records])


def expected_vcf(kept):
    data = [line for position, line in RECORDS if kept is ALL or position in kept]
    return "".join(line + "\n" for line in HEADER + data).encode()


def run(args, cwd, **kwargs):
    # An ASCII-only sys.stdout makes any output path that goes through text encoding fail.
    env = dict(os.environ, PYTHONIOENCODING="ascii")
    return subprocess.run(
        [str(VARSIFT), *args], cwd=cwd, capture_output=True, env=env, check=False, **kwargs
    )


@pytest.fixture
def workdir(tmp_path):
    (tmp_path / "in.vcf").write_text(vcf_text(), encoding="utf-8")
    return tmp_path


def write_files(directory, files):
    for name, text in files.items():
        (directory / name).write_bytes(text.encode())


@pytest.mark.parametrize(
    ("args", "files", "kept"),
    [
        ([], {}, ALL),
        (["-p", "200"], {}, {200}),
        (["-p", "200", "300"], {}, {200, 300}),
        (["-p", "200", "-p", "300"], {}, {200, 300}),
        (["--position", "300", "300"], {}, {300}),
        (["-p", "0"], {}, {0}),
        (["-p", str(MAX)], {}, {MAX}),
        (["-p", "0200"], {}, {200}),
        (["-p", "999"], {}, set()),
        (["-P", "pos.txt"], {"pos.txt": "300\n0\n"}, {0, 300}),
        (["-P", "pos.txt"], {"pos.txt": "chr1\t300\nchr9\t200\n"}, {200, 300}),
        (["-P", "pos.txt"], {"pos.txt": "# wanted\n\n  \n300\r\n#200\n"}, {300}),
        (["-P", "pos.txt"], {"pos.txt": " 300 \nchr1\t 200\n"}, {200, 300}),
        (["-P", "pos.txt"], {"pos.txt": "300"}, {300}),
        (["-P", "pos.txt"], {"pos.txt": ""}, set()),
        (["-P", "pos.txt"], {"pos.txt": "# nothing here\n\n"}, set()),
        (["-p", "0", "-P", "a.txt", "-P", "b.txt"], {"a.txt": "200\n", "b.txt": ""}, {0, 200}),
        (["--positions-file", "a.txt", "-p", "300"], {"a.txt": "1\n"}, {300}),
    ],
)
def test_keeps_the_header_and_the_records_at_the_positions(workdir, args, files, kept):
    write_files(workdir, files)
    result = run(["in.vcf", *args], workdir)
    assert (result.returncode, result.stderr) == (0, b"")
    assert result.stdout == expected_vcf(kept)


def test_position_list_before_the_input_ends_with_double_dash(workdir):
    result = run(["-p", "200", "300", "--", "in.vcf"], workdir)
    assert result.returncode == 0
    assert result.stdout == expected_vcf({200, 300})


def test_module_entry_point_behaves_like_the_command(workdir):
    result = subprocess.run(
        [sys.executable, "-m", "varsift_cli", "in.vcf", "-p", "300"],
        cwd=workdir,
        capture_output=True,
        check=False,
    )
    assert (result.returncode, result.stderr) == (0, b"")
    assert result.stdout == expected_vcf({300})


@pytest.mark.parametrize(
    ("output", "listing"),
    [("out.vcf", ["in.vcf", "out.vcf", "sub"]), ("sub/out.vcf", ["out.vcf"])],
)
@pytest.mark.parametrize("umask", [0o022, 0o077])
def test_output_file_gets_the_vcf_and_the_usual_mode(workdir, output, listing, umask):
    (workdir / "sub").mkdir()
    result = run(["in.vcf", "-p", "200", "-o", output], workdir, umask=umask)
    assert (result.returncode, result.stdout, result.stderr) == (0, b"", b"")
    target = workdir / output
    assert target.read_bytes() == expected_vcf({200})
    assert target.stat().st_mode & 0o777 == 0o666 & ~umask
    # No temporary file is left beside the target.
    assert sorted(os.listdir(target.parent)) == listing


def test_output_file_replaces_an_existing_file(workdir):
    (workdir / "out.vcf").write_text("old content that is longer than the new one\n" * 100)
    result = run(["in.vcf", "-p", str(MAX), "-o", "out.vcf"], workdir)
    assert result.returncode == 0
    assert (workdir / "out.vcf").read_bytes() == expected_vcf({MAX})


def test_dash_output_means_standard_output(workdir):
    result = run(["in.vcf", "-p", "300", "-o", "-"], workdir)
    assert result.returncode == 0
    assert result.stdout == expected_vcf({300})
    assert not (workdir / "-").exists()


def assert_one_line_error(result, *fragments):
    assert result.returncode == 2
    assert result.stdout == b""
    lines = result.stderr.decode().splitlines()
    assert len(lines) == 1, result.stderr
    assert lines[0].startswith("varsift: error: ")
    for fragment in fragments:
        assert fragment in lines[0]


@pytest.mark.parametrize(
    ("args", "files", "fragments"),
    [
        (["-p", "12x"], {}, ["'12x'"]),
        (["-p", "-5"], {}, ["'-5'"]),
        (["-p", "+5"], {}, ["'+5'"]),
        (["-p", "1.5"], {}, ["'1.5'"]),
        (["-p", ""], {}, ["''"]),
        (["-p", "\u0663"], {}, ["not a position"]),
        (["-p", str(MAX + 1)], {}, [str(MAX + 1)]),
        (["-p"], {}, ["-p"]),
        (["-P", "missing.txt"], {}, ["missing.txt", "No such file"]),
        (["-P", "."], {}, ["'.'"]),
        (["-P", "pos.txt"], {"pos.txt": "200\nchr1\tabc\n"}, ["pos.txt:2", "'abc'"]),
        (["-P", "pos.txt"], {"pos.txt": "chr1 200\n"}, ["pos.txt:1"]),
        (["-P", "pos.txt"], {"pos.txt": "chr1\t100\t200\n"}, ["pos.txt:1", "CHROM<TAB>POS"]),
        (["-P", "pos.txt"], {"pos.txt": "chr1\t\n"}, ["pos.txt:1"]),
        (["-P", "pos.txt"], {"pos.txt": f"{MAX + 1}\n"}, ["pos.txt:1", "out of range"]),
        (["-P", "pos.txt"], {"pos.txt": "\udcff"}, ["pos.txt"]),
        (["--bogus"], {}, ["--bogus"]),
        (["-o", "missing/out.vcf"], {}, ["missing/out.vcf"]),
        (["-o", "."], {}, ["directory"]),
    ],
)
def test_bad_input_to_the_command_is_one_line_and_status_2(workdir, args, files, fragments):
    for name, text in files.items():
        (workdir / name).write_bytes(text.encode("utf-8", "surrogateescape"))
    before = sorted(os.listdir(workdir))
    extra = [] if "-o" in args else ["-o", "out.vcf"]
    result = run(["in.vcf", *args, *extra], workdir)
    assert_one_line_error(result, *fragments)
    assert sorted(os.listdir(workdir)) == before


def test_missing_input_argument_is_a_usage_error(tmp_path):
    assert_one_line_error(run([], tmp_path), "INPUT.vcf")


def test_input_name_that_is_not_utf8_is_a_usage_error(tmp_path):
    (tmp_path / os.fsdecode(b"\xff.vcf")).write_text(vcf_text())
    assert_one_line_error(run([os.fsdecode(b"\xff.vcf")], tmp_path), "not UTF-8")


@pytest.mark.parametrize(
    "vcf",
    [
        None,
        b"##fileformat=VCFv4.2\nchr1\t200\t.\n\nchr1\t300\n",
        b"##fileformat=VCFv4.2\nchr1\t200\t.\nchr1\n",
        b"##fileformat=VCFv4.2\nchr1\t200\t.\nchr1\tabc\t.\n",
        b"##fileformat=VCFv4.2\nchr1\t200\t.\nchr1\t-200\t.\n",
        b"##fileformat=VCFv4.2\nchr1\t200\t.\nchr1\t18446744073709551616\t.\n",
        b"##fileformat=VCFv4.2\nchr1\t200\t\xff\n",
    ],
    ids=["missing", "empty line", "no second field", "letters", "sign", "overflow", "not utf-8"],
)
@pytest.mark.parametrize("to_file", [False, True])
def test_faulty_vcf_fails_with_the_report_and_no_output(tmp_path, vcf, to_file):
    if vcf is not None:
        (tmp_path / "in.vcf").write_bytes(vcf)
    (tmp_path / "out.vcf").write_text("old\n")
    args = ["in.vcf", "-p", "200"] + (["-o", "out.vcf"] if to_file else [])
    result = run(args, tmp_path)
    assert result.returncode == 1
    assert result.stdout == b""
    assert result.stderr.strip()
    assert b"Traceback" not in result.stderr
    assert (tmp_path / "out.vcf").read_text() == "old\n"
    assert sorted(os.listdir(tmp_path)) == sorted(["out.vcf"] + ([] if vcf is None else ["in.vcf"]))


def test_reader_that_goes_away_gets_no_traceback(tmp_path):
    records = [(n, f"chr1\t{n}\t.\tA\tG\t50\tPASS\tDP=10") for n in range(1, 50_000)]
    (tmp_path / "in.vcf").write_text(vcf_text(records))
    child = subprocess.Popen(
        [str(VARSIFT), "in.vcf"], cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE
    )
    assert child.stdout.readline() == b"##fileformat=VCFv4.2\n"
    child.stdout.close()
    stderr = child.stderr.read()
    child.wait()
    assert child.returncode == 1
    assert stderr == b""


@pytest.mark.parametrize(
    "fragment",
    ["INPUT.vcf", "--position", "--positions-file", "--output", "--version", "CHROM<TAB>POS",
     "'#'", "temporary file", "exit status"],
)
def test_help_documents_every_option_and_format(tmp_path, fragment):
    result = run(["--help"], tmp_path)
    assert (result.returncode, result.stderr) == (0, b"")
    assert fragment in result.stdout.decode()


def test_version_is_the_installed_version(tmp_path):
    result = run(["--version"], tmp_path)
    assert result.returncode == 0
    assert result.stdout.decode() == f"varsift {importlib.metadata.version('varsift')}\n"


def test_command_module_leaves_the_extension_untouched():
    probe = (
        "import varsift\n"
        "before = dict(vars(varsift))\n"
        "import varsift_cli\n"
        "assert dict(vars(varsift)) == before, set(vars(varsift)) ^ set(before)\n"
    )
    subprocess.run([sys.executable, "-c", probe], check=True)
