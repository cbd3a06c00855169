"""The varsift command, run in child processes as users run it."""

import gzip
import importlib.metadata
import os
import re
import shutil
import signal
import stat
import subprocess
import sys
import sysconfig
import tempfile
import textwrap
import threading
import time
from pathlib import Path

import pytest

VARSIFT = Path(sysconfig.get_path("scripts")) / "varsift"
MAX = 2**64 - 1
NOBODY = 65534
IS_ROOT = os.geteuid() == 0
needs_root = pytest.mark.skipif(not IS_ROOT, reason="needs root")
needs_bgzip = pytest.mark.skipif(shutil.which("bgzip") is None, reason="needs bgzip")

HEADER = [
    "##fileformat=VCFv4.2",
    "##contig=<ID=chr1>",
    "##contig=<ID=chr2>",
    "##contig=<ID=HLA-A*01:01>",
    "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO",
]
# (chromosome, position, line): one position on several chromosomes and twice on one, the ends
# of the position range, a chromosome name holding ':', and text that is not ASCII.
RECORDS = [
    ("chr1", 0, "chr1\t0\t.\tN\t.\t.\tPASS\t."),
    ("chr1", 200, "chr1\t200\trs1\tA\tG\t50\tPASS\tDP=10"),
    ("chr1", 300, "chr1\t300\trs2\tC\tT\t60\tPASS\tNOTE=caf\u00e9"),
    ("chr1", 300, "chr1\t300\trs3\tC\tA\t61\tPASS\tDP=12"),
    ("chr2", 200, "chr2\t200\t.\tG\tGA\t40\tq10\tDP=3"),
    ("chr2", 250, "chr2\t250\t.\tG\tT\t40\tPASS\tDP=4"),
    ("HLA-A*01:01", 200, "HLA-A*01:01\t200\t.\tA\tC\t9\tPASS\t."),
    ("chr2", MAX, f"chr2\t{MAX}\t.\tT\tC\t9\tPASS\t."),
]
ALL = None


def vcf_text(records=RECORDS):
    return "".join(line + "\n" for line in HEADER + [line for *_, line in records])


def expected_vcf(keep):
    """The VCF keeping the records for which keep(chromosome, position) holds."""
    data = [line for chrom, pos, line in RECORDS if keep is ALL or keep(chrom, pos)]
    return "".join(line + "\n" for line in HEADER + data).encode()


def run(args, cwd, **kwargs):
    options = {"stdout": subprocess.PIPE, "stderr": subprocess.PIPE, "timeout": 120} | kwargs
    return subprocess.run([str(VARSIFT), *args], cwd=cwd, check=False, **options)


def run_as_nobody(args, cwd):
    """Runs the command in a child that loads it as root, then drops to the unprivileged user
    (who may not read the interpreter's library here, so what the run and its error path
    import late is imported first)."""
    code = f"""
        import locale, os, shutil, sys
        import varsift_tools._output
        from varsift_tools.cli import main
        os.setgroups([])
        os.setgid({NOBODY})
        os.setuid({NOBODY})
        sys.argv = ["varsift", *{list(args)!r}]
        main()
        """
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], cwd=cwd, capture_output=True, timeout=120
    )


@pytest.fixture
def workdir(tmp_path):
    (tmp_path / "in.vcf").write_text(vcf_text(), encoding="utf-8")
    return tmp_path


@pytest.fixture
def shared_dir():
    """A directory that an unprivileged child may enter (pytest's own are private to root)."""
    with tempfile.TemporaryDirectory(prefix="varsift-cli-") as name:
        os.chmod(name, 0o777)
        (Path(name) / "in.vcf").write_text(vcf_text(), encoding="utf-8")
        os.chmod(Path(name) / "in.vcf", 0o644)
        yield Path(name)


def assert_one_error_line(result, status, *fragments):
    assert result.returncode == status
    lines = result.stderr.decode().splitlines()
    assert len(lines) == 1, result.stderr
    assert lines[0].startswith("varsift: error: ")
    for fragment in fragments:
        assert fragment in lines[0]


def on(chromosome, *positions):
    return lambda chrom, pos: chrom == chromosome and pos in positions


def at(*positions):
    return lambda chrom, pos: pos in positions


@pytest.mark.parametrize(
    ("args", "files", "keep"),
    [
        ([], {}, ALL),
        (["-p", "200"], {}, at(200)),
        (["-p", "200", "300"], {}, at(200, 300)),
        (["-p", "200", "-p", "300"], {}, at(200, 300)),
        (["--position", "0", str(MAX)], {}, at(0, MAX)),
        (["-p", "0200"], {}, at(200)),
        (["-p", "999"], {}, lambda *_: False),
        (["-t", "chr2:200"], {}, on("chr2", 200)),
        (["-t", "HLA-A*01:01:200"], {}, on("HLA-A*01:01", 200)),
        (["--target", "chr1:300", "chr9:200"], {}, on("chr1", 300)),
        (["-r", "chr2:200-250"], {}, on("chr2", 200, 250)),
        (["-r", "chr1:201-300"], {}, on("chr1", 300)),
        (["-r", "chr1", "-t", "chr1:300", "chr2:250"], {}, on("chr1", 300)),
        (["-r", "chr2:201-249"], {}, lambda *_: False),
        (["-p", "200", "-t", "chr2"], {}, on("chr2", 200)),
        (["-P", "s.txt"], {"s.txt": "300\n0\n"}, at(0, 300)),
        (["-P", "s.txt"], {"s.txt": "chr1\t200\nchr9\t300\n"}, on("chr1", 200)),
        (["-P", "s.txt"], {"s.txt": "chr1 200\n"}, on("chr1", 200)),
        (["-P", "s.txt"], {"s.txt": "chr2\t199\t250\n"}, on("chr2", 200, 250)),
        (["-P", "s.txt"], {"s.txt": " chr2  250   250 \r\n"}, on("chr2", 250)),
        (["-P", "s.txt"], {"s.txt": "# wanted\n\n  \n300\r\n#200\n  # 0\n"}, at(300)),
        (["-P", "s.txt"], {"s.txt": "300"}, at(300)),
        (
            ["-P", "s.txt"],
            {"s.txt": "0\nchr2\t200\nchr1\t250\t300\n"},
            lambda c, p: p == 0 or (c, p) in {("chr2", 200), ("chr1", 300)},
        ),
        (["-P", "s.txt"], {"s.txt": ""}, lambda *_: False),
        (["-P", "s.txt"], {"s.txt": "# nothing here\n\n"}, lambda *_: False),
        (["-P", "a.txt", "-p", "200"], {"a.txt": ""}, at(200)),
        (
            ["-P", "a.txt", "-P", "b.txt"],
            {"a.txt": "0\n", "b.txt": "chr2 250\n"},
            lambda c, p: p == 0 or (c, p) == ("chr2", 250),
        ),
    ],
)
def test_keeps_the_header_and_the_chosen_records(workdir, args, files, keep):
    for name, text in files.items():
        (workdir / name).write_text(text)
    result = run(["in.vcf", *args], workdir)
    # A chromosome the header does not declare is warned of, on one line.
    unknown = any("chr9" in text for text in [*args, *files.values()])
    assert result.returncode == 0
    assert result.stderr.count(b"\n") == (b"warning: " in result.stderr) == unknown
    assert result.stdout == expected_vcf(keep)


def test_list_before_the_input_ends_with_double_dash(workdir):
    result = run(["-p", "200", "300", "--", "in.vcf"], workdir)
    assert result.returncode == 0
    assert result.stdout == expected_vcf(at(200, 300))


def test_module_entry_point_behaves_like_the_command(workdir):
    result = subprocess.run(
        [sys.executable, "-m", "varsift_tools", "in.vcf", "-t", "chr2:200"],
        cwd=workdir,
        capture_output=True,
        check=False,
    )
    assert (result.returncode, result.stderr) == (0, b"")
    assert result.stdout == expected_vcf(on("chr2", 200))


def compress(workdir, form):
    """Writes in.vcf in the given form and gives its name."""
    plain = (workdir / "in.vcf").read_bytes()
    if form == "plain":
        return "in.vcf"
    if form == "gzip":
        (workdir / "in.vcf.gz").write_bytes(gzip.compress(plain))
    elif form == "gzip members":
        half = len(plain) // 2
        (workdir / "in.vcf.gz").write_bytes(
            gzip.compress(plain[:half]) + gzip.compress(plain[half:])
        )
    else:
        subprocess.run(["bgzip", "-f", "in.vcf"], cwd=workdir, check=True)
    return "in.vcf.gz"


@pytest.mark.parametrize(
    "form", ["plain", "gzip", "gzip members", pytest.param("bgzf", marks=needs_bgzip)]
)
@pytest.mark.parametrize("from_stdin", [False, True])
@pytest.mark.parametrize("threads", [[], ["-@", "1"], ["-@", "2"]])
def test_reads_every_input_form_from_a_file_or_standard_input(workdir, form, from_stdin, threads):
    name = compress(workdir, form)
    args = ["-r", "chr1:1-300", *threads]
    if from_stdin:
        with open(workdir / name, "rb") as stdin:
            result = run(["-", *args], workdir, stdin=stdin)
    else:
        result = run([name, *args], workdir)
    assert (result.returncode, result.stderr) == (0, b"")
    assert result.stdout == expected_vcf(on("chr1", 200, 300))


@needs_bgzip
@pytest.mark.parametrize(
    ("args", "name"),
    [
        (["-o", "out.vcf.gz"], "out.vcf.gz"),
        (["-o", "out.bgz"], "out.bgz"),
        (["-o", "out.vcf", "-O", "z"], "out.vcf"),
        (["-O", "z", "-@", "2"], None),
        (["-O", "z", "-@", "1024"], None),
        (["-O", "z", "-o", "-"], None),
    ],
)
def test_bgzf_output_is_accepted_by_bgzip(workdir, args, name):
    result = run(["in.vcf", "-p", "200", *args], workdir)
    assert (result.returncode, result.stderr) == (0, b"")
    if name is None:
        (workdir / "stdout.gz").write_bytes(result.stdout)
        name = "stdout.gz"
    subprocess.run(["bgzip", "-t", name], cwd=workdir, check=True)
    decompressed = subprocess.run(
        ["bgzip", "-dc", name], cwd=workdir, capture_output=True, check=True
    )
    assert decompressed.stdout == expected_vcf(at(200))


def test_plain_output_type_wins_over_the_name(workdir):
    result = run(["in.vcf", "-p", "200", "-o", "out.vcf.gz", "-O", "v"], workdir)
    assert (result.returncode, result.stderr) == (0, b"")
    assert (workdir / "out.vcf.gz").read_bytes() == expected_vcf(at(200))


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
    assert target.read_bytes() == expected_vcf(at(200))
    assert stat.S_IMODE(target.stat().st_mode) == 0o666 & ~umask
    assert sorted(os.listdir(target.parent)) == listing


@pytest.mark.parametrize("mode", [0o600, 0o640, 0o444])
def test_existing_output_is_replaced_and_keeps_its_mode(workdir, mode):
    target = workdir / "out.vcf"
    target.write_text("old content that is longer than the new one\n" * 100)
    target.chmod(mode)
    if not os.access(target, os.W_OK):
        pytest.skip("needs a user who may write a read-only file")
    result = run(["in.vcf", "-p", str(MAX), "-o", "out.vcf"], workdir)
    assert (result.returncode, result.stderr) == (0, b"")
    assert target.read_bytes() == expected_vcf(at(MAX))
    assert stat.S_IMODE(target.stat().st_mode) == mode


def test_output_may_be_the_input(workdir):
    result = run(["in.vcf", "-p", "300", "-o", "in.vcf"], workdir)
    assert (result.returncode, result.stderr) == (0, b"")
    assert (workdir / "in.vcf").read_bytes() == expected_vcf(at(300))


def test_output_through_a_symbolic_link_replaces_its_target(workdir):
    (workdir / "real.vcf").write_text("old\n")
    (workdir / "link.vcf").symlink_to("real.vcf")
    result = run(["in.vcf", "-p", "200", "-o", "link.vcf"], workdir)
    assert (result.returncode, result.stderr) == (0, b"")
    assert (workdir / "link.vcf").is_symlink()
    assert (workdir / "real.vcf").read_bytes() == expected_vcf(at(200))
    assert sorted(os.listdir(workdir)) == ["in.vcf", "link.vcf", "real.vcf"]


def test_output_onto_a_fifo_reaches_its_reader(workdir):
    os.mkfifo(workdir / "pipe")
    received = []
    reader = threading.Thread(target=lambda: received.append((workdir / "pipe").read_bytes()))
    reader.start()
    result = run(["in.vcf", "-p", "300", "-o", "pipe"], workdir)
    reader.join(timeout=60)
    assert (result.returncode, result.stderr) == (0, b"")
    assert received == [expected_vcf(at(300))]
    assert stat.S_ISFIFO((workdir / "pipe").lstat().st_mode)
    assert sorted(os.listdir(workdir)) == ["in.vcf", "pipe"]


@needs_root
def test_output_onto_a_device_as_root_leaves_the_device(workdir):
    # A node of its own with the numbers of /dev/null, so that a fault cannot harm the real one.
    null = os.stat("/dev/null").st_rdev
    os.mknod(workdir / "null", 0o666 | stat.S_IFCHR, null)
    result = run(["in.vcf", "-o", "null"], workdir)
    assert (result.returncode, result.stderr) == (0, b"")
    assert stat.S_ISCHR((workdir / "null").lstat().st_mode)
    assert (workdir / "null").lstat().st_rdev == null
    assert sorted(os.listdir(workdir)) == ["in.vcf", "null"]


def test_output_to_dev_stdout_writes_through_standard_output(workdir):
    with open(workdir / "out.vcf", "wb") as stdout:
        result = run(["in.vcf", "-p", "200", "-o", "/dev/stdout"], workdir, stdout=stdout)
    assert (result.returncode, result.stderr) == (0, b"")
    assert (workdir / "out.vcf").read_bytes() == expected_vcf(at(200))
    assert sorted(os.listdir(workdir)) == ["in.vcf", "out.vcf"]


@pytest.mark.parametrize("name", ["a" * 254, "b" * 250 + ".bgz"])
def test_longest_output_names_are_written(workdir, name):
    result = run(["in.vcf", "-p", "200", "-o", name, "-O", "v"], workdir)
    assert (result.returncode, result.stderr) == (0, b"")
    assert (workdir / name).read_bytes() == expected_vcf(at(200))
    assert sorted(os.listdir(workdir)) == sorted(["in.vcf", name])


@needs_root
def test_read_only_output_is_refused_for_a_user_who_may_not_write_it(shared_dir):
    target = shared_dir / "out.vcf"
    target.write_text("old\n")
    os.chown(target, NOBODY, NOBODY)
    target.chmod(0o444)
    result = run_as_nobody(["in.vcf", "-o", "out.vcf"], shared_dir)
    assert_one_error_line(result, 1, "out.vcf: Permission denied")
    assert target.read_text() == "old\n"
    assert sorted(os.listdir(shared_dir)) == ["in.vcf", "out.vcf"]


@needs_root
def test_unwritable_output_directory_exits_1(shared_dir):
    (shared_dir / "locked").mkdir(mode=0o755)
    result = run_as_nobody(["in.vcf", "-o", "locked/out.vcf"], shared_dir)
    assert_one_error_line(result, 1, "locked/out.vcf: Permission denied")
    assert os.listdir(shared_dir / "locked") == []


@pytest.mark.parametrize(
    ("output", "fragment"),
    [
        ("missing/out.vcf", "missing/out.vcf: No such file or directory"),
        (".", ".: Is a directory"),
        ("in.vcf/out.vcf", "in.vcf/out.vcf: Not a directory"),
    ],
)
def test_output_that_cannot_be_made_exits_1(workdir, output, fragment):
    result = run(["in.vcf", "-o", output], workdir)
    assert_one_error_line(result, 1, fragment)
    assert result.stdout == b""
    assert os.listdir(workdir) == ["in.vcf"]


@pytest.mark.parametrize(
    ("args", "files", "fragments"),
    [
        (["-p", "12x"], {}, ["'12x'"]),
        (["-p", "-5"], {}, ["-p"]),
        (["-p", "+5"], {}, ["'+5'"]),
        (["-p", "1.5"], {}, ["'1.5'"]),
        (["-p", ""], {}, ["''"]),
        (["-p", "\u0663"], {}, ["not a position"]),
        (["-p", str(MAX + 1)], {}, [str(MAX + 1), "out of range"]),
        (["-p"], {}, ["-p"]),
        (["-t", ":5"], {}, ["cannot read the region ':5'"]),
        (["-t", "chr1:x"], {}, ["'chr1:x'"]),
        (["-r", "chr1:5-3"], {}, ["'chr1:5-3'"]),
        (["-r", "chr1:5-x"], {}, ["'chr1:5-x'"]),
        (["-r", ":1-5"], {}, ["':1-5'"]),
        (["-@", "0"], {}, ["threads"]),
        (["-@", "x"], {}, ["threads"]),
        (["-@", "1025"], {}, ["1 to 1024"]),
        (["-@", "9" * 30], {}, ["threads"]),
        (["-O", "x"], {}, ["-O"]),
        (["-P", "missing.txt"], {}, ["missing.txt", "No such file"]),
        (["-P", "."], {}, ["Is a directory"]),
        (["-P", "s.txt"], {"s.txt": b"200\nchr1\tabc\n"}, ["s.txt:2", "'abc'"]),
        (["-P", "s.txt"], {"s.txt": b"chr1\t1\t2\t3\n"}, ["s.txt:1", "4 columns"]),
        (["-P", "s.txt"], {"s.txt": b"chr1\t9\t2\n"}, ["s.txt:1", "begins after it ends"]),
        (["-P", "s.txt"], {"s.txt": f"{MAX + 1}\n".encode()}, ["s.txt:1", "out of range"]),
        (["-P", "s.txt"], {"s.txt": b"# ok\n\xff\n"}, ["s.txt:2", "not UTF-8"]),
        (["-P", "s.txt"], {"s.txt": b"1" * 70000}, ["s.txt:1", "longer than"]),
        (["--bogus"], {}, ["--bogus"]),
    ],
)
def test_bad_command_line_is_one_line_and_status_2(workdir, args, files, fragments):
    for name, content in files.items():
        (workdir / name).write_bytes(content)
    before = sorted(os.listdir(workdir))
    result = run(["in.vcf", *args, "-o", "out.vcf"], workdir)
    assert_one_error_line(result, 2, *fragments)
    assert result.stdout == b""
    assert sorted(os.listdir(workdir)) == before


def test_missing_input_argument_is_a_usage_error(tmp_path):
    assert_one_error_line(run([], tmp_path), 2, "INPUT")


def test_positions_file_of_endless_zeros_fails_cleanly_under_a_memory_limit(workdir):
    if shutil.which("prlimit") is None:
        pytest.skip("needs prlimit")
    result = subprocess.run(
        ["prlimit", "--as=1000000000", str(VARSIFT), "in.vcf", "-P", "/dev/zero"],
        cwd=workdir,
        capture_output=True,
        timeout=120,
    )
    assert_one_error_line(result, 2, "/dev/zero:1")
    assert result.stdout == b""


@pytest.mark.parametrize(
    ("vcf", "fragment"),
    [
        (None, "in.vcf: No such file or directory"),
        (b"##fileformat=VCFv4.2\nchr1\t200\t.\nchr1\n", "in.vcf:3: "),
        (b"##fileformat=VCFv4.2\nchr1\t200\t.\nchr1\tabc\t.\n", "in.vcf:3: "),
        (b"##fileformat=VCFv4.2\nchr1\t-200\t.\n", "in.vcf:2: "),
        (b"##fileformat=VCFv4.2\nchr1\t18446744073709551616\t.\n", "in.vcf:2: "),
        (b"##fileformat=VCFv4.2\nchr1\t200\t\xff\n", "in.vcf:2: "),
        (gzip.compress(vcf_text().encode())[:-10], "in.vcf:"),
    ],
    ids=[
        "missing",
        "no second field",
        "letters",
        "sign",
        "overflow",
        "not utf-8",
        "truncated gzip",
    ],
)
@pytest.mark.parametrize("to_file", [False, True])
def test_faulty_vcf_fails_with_one_line_and_no_output(tmp_path, vcf, fragment, to_file):
    if vcf is not None:
        (tmp_path / "in.vcf").write_bytes(vcf)
    (tmp_path / "out.vcf").write_text("old\n")
    args = ["in.vcf", "-p", "200"] + (["-o", "out.vcf"] if to_file else [])
    result = run(args, tmp_path)
    assert_one_error_line(result, 1, fragment)
    assert (tmp_path / "out.vcf").read_text() == "old\n"
    assert sorted(os.listdir(tmp_path)) == sorted(["out.vcf"] + ([] if vcf is None else ["in.vcf"]))


def test_standard_output_that_is_full_is_one_line_and_status_1(workdir):
    with open("/dev/full", "wb") as full:
        result = run(["in.vcf"], workdir, stdout=full)
    assert_one_error_line(result, 1, "cannot write standard output: No space left on device")


@pytest.mark.parametrize("args", [["in.vcf"], ["--help"], ["--version"]])
def test_closed_standard_output_is_one_line_and_status_1(workdir, args):
    # The descriptor the command would write is never handed to a file it opens itself.
    result = subprocess.run(
        [str(VARSIFT), *args],
        cwd=workdir,
        stdout=subprocess.DEVNULL,
        stderr=subprocess.PIPE,
        preexec_fn=lambda: os.close(1),
        timeout=120,
    )
    assert_one_error_line(result, 1, "cannot write standard output: Bad file descriptor")
    assert (workdir / "in.vcf").read_text() == vcf_text()


def test_closed_standard_input_is_one_line_and_status_1(workdir):
    result = subprocess.run(
        [str(VARSIFT), "-"],
        cwd=workdir,
        capture_output=True,
        preexec_fn=lambda: os.close(0),
        timeout=120,
    )
    assert_one_error_line(result, 1, "cannot read standard input")
    assert result.stdout == b""


@pytest.mark.parametrize("args", [["--help"], ["--version"]])
def test_help_and_version_to_a_full_output_fail(workdir, args):
    with open("/dev/full", "wb") as full:
        result = run(args, workdir, stdout=full)
    assert_one_error_line(result, 1, "cannot write standard output")


@pytest.mark.parametrize("output", [[], ["-o", "/dev/stdout"], ["-o", "-"]])
def test_reader_that_goes_away_ends_the_run_quietly_by_sigpipe(tmp_path, output):
    records = [("chr1", n, f"chr1\t{n}\t.\tA\tG\t50\tPASS\tDP=10") for n in range(1, 200_000)]
    (tmp_path / "in.vcf").write_text(vcf_text(records))
    child = subprocess.Popen(
        [str(VARSIFT), "in.vcf", *output],
        cwd=tmp_path,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )
    assert child.stdout.readline() == b"##fileformat=VCFv4.2\n"
    child.stdout.close()
    stderr = child.stderr.read()
    child.wait(timeout=120)
    # As bcftools ends: a shell sees status 141.
    assert child.returncode == -signal.SIGPIPE
    assert stderr == b""


def wait_for(condition, what):
    deadline = time.monotonic() + 60
    while not condition():
        assert time.monotonic() < deadline, f"timed out waiting for {what}"
        time.sleep(0.01)


def default_signals():
    """Run in the child before the command starts: it sees the signals as a foreground job
    does, even when the tests run under nohup, whose ignored SIGHUP it would keep ignoring."""
    for signum in (signal.SIGHUP, signal.SIGINT, signal.SIGTERM):
        signal.signal(signum, signal.SIG_DFL)


def writing_output(pid, directory):
    """Whether the process holds a file of `directory` open other than its input: the output it
    is writing, which may have no name yet."""
    for fd in os.listdir(f"/proc/{pid}/fd"):
        try:
            target = os.readlink(f"/proc/{pid}/fd/{fd}")
        except OSError:
            continue
        if os.path.dirname(target) == str(directory) and os.path.basename(target) != "in.vcf":
            return True
    return False


def feed_until_closed(feed, records):
    """Writes records into a FIFO until its reader goes away."""
    try:
        while True:
            feed.write(records)
    except BrokenPipeError:
        pass


@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGINT, signal.SIGHUP])
def test_signal_during_a_run_leaves_no_temporary_file(tmp_path, signum):
    # The input is a FIFO fed without end, so that the run is sure to be in progress when
    # signalled, and busy rather than waiting for input.
    os.mkfifo(tmp_path / "in.vcf")
    child = subprocess.Popen(
        [str(VARSIFT), "in.vcf", "-o", "out.vcf"],
        cwd=tmp_path,
        stderr=subprocess.PIPE,
        preexec_fn=default_signals,
    )
    records = "".join(f"chr1\t{n}\t.\tA\tG\t50\tPASS\tDP=10\n" for n in range(10_000))
    try:
        with open(tmp_path / "in.vcf", "wb", buffering=0) as feed:
            feed.write(vcf_text().encode())
            feeder = threading.Thread(target=feed_until_closed, args=(feed, records.encode()))
            feeder.start()
            wait_for(lambda: writing_output(child.pid, tmp_path), "the output")
            child.send_signal(signum)
            assert child.wait(timeout=60) == -signum
            feeder.join(timeout=60)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    assert child.stderr.read() == b""
    child.stderr.close()
    assert os.listdir(tmp_path) == ["in.vcf"]


def start_waiting_run(tmp_path, args, **kwargs):
    return subprocess.Popen(
        [str(VARSIFT), *args],
        cwd=tmp_path,
        stderr=subprocess.PIPE,
        preexec_fn=default_signals,
        **kwargs,
    )


def stopped_within(child, signum, seconds):
    """Signals the child and gives whether it ended by that signal within `seconds`."""
    child.send_signal(signum)
    deadline = time.monotonic() + seconds
    while child.poll() is None and time.monotonic() < deadline:
        time.sleep(0.005)
    status = child.poll()
    if status is None:
        child.kill()
    child.wait(timeout=60)
    child.stderr.close()
    return status == -signum


# How a run waits: for a FIFO's writer, for the first bytes of a FIFO whose writer said
# nothing yet, and for a pipe on standard input that stays empty.
@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGINT])
@pytest.mark.parametrize("wait", ["fifo-writer", "fifo-data", "stdin-pipe"])
def test_signal_while_waiting_for_input_ends_the_run_at_once(tmp_path, wait, signum):
    os.mkfifo(tmp_path / "in.vcf")
    read_end, write_end = os.pipe()
    feed = None
    try:
        child = start_waiting_run(
            tmp_path, ["-" if wait == "stdin-pipe" else "in.vcf", "-o", "out.vcf"], stdin=read_end
        )
        if wait == "fifo-data":
            feed = open(tmp_path / "in.vcf", "wb", buffering=0)
            feed.write(vcf_text().encode())
        wait_for(lambda: writing_output(child.pid, tmp_path), "the output")
        time.sleep(0.2)
        assert stopped_within(child, signum, 0.1)
    finally:
        if feed is not None:
            feed.close()
        os.close(read_end)
        os.close(write_end)
    assert os.listdir(tmp_path) == ["in.vcf"]


def test_fifo_where_an_index_would_be_is_not_waited_for(tmp_path):
    (tmp_path / "in.vcf.gz").write_bytes(gzip.compress(vcf_text().encode()))
    os.mkfifo(tmp_path / "in.vcf.gz.tbi")
    result = run(["in.vcf.gz", "-p", "200"], tmp_path, timeout=20)
    assert result.returncode == 0
    assert result.stdout == expected_vcf(at(200))
    assert b"in.vcf.gz.tbi is not a regular file" in result.stderr


def test_file_names_that_are_not_utf8_are_read_and_written(workdir):
    name, output = os.fsdecode(b"in\xff.vcf"), os.fsdecode(b"out\xfe.vcf")
    os.rename(workdir / "in.vcf", workdir / name)
    result = run([name, "-p", "200", "-o", output], workdir)
    assert (result.returncode, result.stderr) == (0, b"")
    assert (workdir / output).read_bytes() == expected_vcf(at(200))


@pytest.mark.parametrize(
    "fragment",
    [
        "INPUT",
        "gzip",
        "BGZF",
        "standard input",
        "--position",
        "--target",
        "--region",
        "--positions-file",
        "CHROM BEG END",
        "1-based",
        "'#'",
        "--output",
        "--output-type",
        ".bgz",
        "--threads",
        "temporary file",
        "symbolic link",
        "FIFO",
        "exit status",
        "FILE:LINE",
        "SIGTERM",
        "--version",
    ],
)
def test_help_documents_every_option_and_format(tmp_path, fragment):
    result = run(["--help"], tmp_path)
    assert (result.returncode, result.stderr) == (0, b"")
    assert fragment in result.stdout.decode()


def test_version_is_the_installed_version(tmp_path):
    result = run(["--version"], tmp_path)
    assert result.returncode == 0
    assert result.stdout.decode() == f"varsift {importlib.metadata.version('varsift')}\n"



class _Terminal:
    """A pseudo-terminal whose output a thread collects."""

    def __init__(self):
        import pty

        self.master, self.slave = pty.openpty()
        self.chunks = []
        self.reader = threading.Thread(target=self._read)
        self.reader.start()

    def _read(self):
        while True:
            try:
                chunk = os.read(self.master, 4096)
            except OSError:  # EIO once no process holds the terminal
                return
            if not chunk:
                return
            self.chunks.append(chunk)

    def text(self):
        self.reader.join(timeout=60)
        os.close(self.master)
        return b"".join(self.chunks).decode()


def test_a_long_run_shows_a_progress_line_only_on_a_terminal(tmp_path):
    # Standard output read in 8 MB pieces every half second, so that the run lasts about 3 s
    # and its steps (16 MB of input) end before and after the line's delay.
    data = tmp_path / "in.vcf"
    records = 2_000_000
    with data.open("wb") as file:
        file.write("".join(line + "\n" for line in HEADER).encode())
        file.write(b"chr1\t200\t.\tA\tG\t.\t.\t.\n" * records)
    terminals = {"tty": _Terminal(), "quiet": _Terminal()}
    children = {}
    for name, extra in [("tty", []), ("quiet", ["-q"]), ("pipe", [])]:
        stderr = terminals[name].slave if name in terminals else subprocess.PIPE
        children[name] = subprocess.Popen(
            [str(VARSIFT), str(data), "-@", "1", *extra], stdout=subprocess.PIPE, stderr=stderr
        )
    for terminal in terminals.values():
        os.close(terminal.slave)
    lines = dict.fromkeys(children, 0)
    try:
        for _ in range(6):
            for name, child in children.items():
                lines[name] += child.stdout.read(8_000_000).count(b"\n")
            time.sleep(0.5)
        for name, child in children.items():
            lines[name] += child.stdout.read().count(b"\n")
            child.stdout.close()
        piped = children["pipe"].stderr.read()
        children["pipe"].stderr.close()
        statuses = [child.wait(timeout=60) for child in children.values()]
    finally:
        for child in children.values():
            child.kill()
    shown = {name: terminal.text() for name, terminal in terminals.items()}
    assert (statuses, piped, shown["quiet"]) == ([0, 0, 0], b"", "")
    # Rewritten in place, then erased: nothing stays on the terminal.
    assert re.search(r"^\rvarsift: [0-9.]+ MB read \([0-9]+%\), [0-9,]+ records kept\x1b\[K",
                     shown["tty"])
    assert "\n" not in shown["tty"] and shown["tty"].endswith("\r\x1b[K")
    assert lines == dict.fromkeys(children, len(HEADER) + records)
