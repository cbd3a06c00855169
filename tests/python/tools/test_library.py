"""The library against the module and a plain model, on every input form."""

from __future__ import annotations

import errno
import gzip
import os
import random
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest
import varsift
import varsift_tools
from varsift_tools import CompressionError, VcfFormatError
from bgzf_blocks import bgzf_block
from varsift_tools._partition import EOF_MARKER
from vcf_files import bgzip_file, gzip_file, random_vcf

FORMS = ["plain", "gzip", "gzip-members", "bgzf", "bgzf-small-blocks"]


def stored(tmp_path: Path, text: str, form: str) -> Path:
    """`text` stored in the given form; the plain file is always written too."""
    plain = tmp_path / "in.vcf"
    plain.write_bytes(text.encode())
    if form == "plain":
        return plain
    if form == "gzip":
        return gzip_file(plain, tmp_path / "in.vcf.gz")
    if form == "gzip-members":
        return gzip_file(plain, tmp_path / "in.vcf.gz", members=3)
    if form == "bgzf":
        return bgzip_file(plain, tmp_path / "in.vcf.bgz")
    return _small_blocks(plain, tmp_path)


def _small_blocks(plain: Path, tmp_path: Path) -> Path:
    # bgzip cannot be asked for small blocks, so each part becomes blocks of its own, with an
    # empty block between parts; the concatenation is one valid BGZF file.
    data = plain.read_bytes()
    target = tmp_path / "in.vcf.bgz"
    with target.open("wb") as out:
        for start in range(0, len(data), 333):
            part = subprocess.run(["bgzip", "-c"], input=data[start : start + 333], capture_output=True, check=True).stdout
            out.write(part)
    return target


def model(text: str, keep) -> tuple[list[str], list[str]]:
    header, data = [], []
    for line in text.splitlines():
        if line.startswith("#"):
            header.append(line)
        else:
            chrom, pos = line.split("\t")[:2]
            if keep(chrom, int(pos)):
                data.append(line)
    return header, data


@pytest.mark.parametrize("form", FORMS)
@pytest.mark.parametrize("seed", range(6))
def test_positions_give_what_the_module_gives(tmp_path, form, seed):
    text, sites = random_vcf(seed, crlf=seed % 3 == 0)
    path = stored(tmp_path, text, form)
    rng = random.Random(seed)
    positions = rng.sample([pos for _, pos in sites], 5) + [rng.randrange(10**6) for _ in range(3)]
    threads = 1 + seed % 2
    expected = varsift.subset_vcf(str(tmp_path / "in.vcf"), positions)
    assert varsift_tools.subset(path, positions=positions, threads=threads) == expected
    assert varsift_tools.subset(path, threads=threads) == varsift.subset_vcf(str(tmp_path / "in.vcf"), [])
    header, data = expected
    assert list(varsift_tools.iter_lines(path, positions=positions)) == header + data


@pytest.mark.parametrize("form", ["plain", "bgzf"])
@pytest.mark.parametrize("seed", range(4))
def test_targets_and_regions_select_by_chromosome(tmp_path, form, seed):
    text, sites = random_vcf(seed + 100)
    path = stored(tmp_path, text, form)
    rng = random.Random(seed)
    targets = [rng.choice(sites) for _ in range(6)] + [("chr9", 1)]
    chrom, pos = rng.choice(sites)
    regions = [(chrom, pos, pos + rng.randrange(0, 40)), ("chr2", 1, 10)]
    positions = [rng.choice(sites)[1]]
    result = varsift_tools.subset(path, positions=positions, targets=targets, regions=regions)
    assert result == model(
        text,
        lambda c, p: p in positions or (c, p) in targets or any(c == rc and b <= p <= e for rc, b, e in regions),
    )
    assert varsift_tools.subset(path, targets=targets) == model(text, lambda c, p: (c, p) in targets)


@pytest.mark.parametrize(
    "selectors",
    [{"positions": []}, {"targets": []}, {"regions": []}, {"positions": [], "targets": [], "regions": []}],
)
def test_empty_selection_keeps_no_record(tmp_path, selectors):
    text, _ = random_vcf(1)
    header, data = varsift_tools.subset(stored(tmp_path, text, "plain"), **selectors)
    assert header and data == []


def test_selectors_accept_any_iterable(tmp_path):
    text, sites = random_vcf(2)
    path = stored(tmp_path, text, "plain")
    chrom, pos = sites[0]
    assert varsift_tools.subset(path, targets=iter([(chrom, pos)]))[1] == varsift_tools.subset(path, targets=[[chrom, pos]])[1]


@pytest.mark.parametrize(
    ("selectors", "error", "message"),
    [
        ({"positions": [-1]}, ValueError, "position out of range"),
        ({"positions": [2**64]}, ValueError, "position out of range"),
        ({"positions": ["1"]}, TypeError, "integer"),
        ({"positions": [True]}, TypeError, "position must be an int, not bool"),
        ({"targets": [("chr1", False)]}, TypeError, "position must be an int, not bool"),
        ({"regions": [("chr1", True, 3)]}, TypeError, "region start must be an int, not bool"),
        ({"positions": 5}, TypeError, "positions must be an iterable"),
        ({"targets": [("chr1",)]}, TypeError, "a target"),
        ({"targets": ["chr1"]}, TypeError, "a target"),
        ({"targets": [(1, 5)]}, TypeError, "chromosome must be a str"),
        ({"regions": [("chr1", 9, 3)]}, ValueError, "starts after its end"),
        ({"threads": 0}, ValueError, "threads"),
        ({"threads": 2**70}, ValueError, "threads"),
        ({"threads": 1.5}, TypeError, "threads"),
    ],
)
def test_bad_arguments_are_refused(tmp_path, selectors, error, message):
    path = stored(tmp_path, random_vcf(3)[0], "plain")
    with pytest.raises(error, match=message):
        varsift_tools.subset(path, **selectors)


@pytest.mark.parametrize(
    ("content", "lineno", "reason"),
    [
        (b"#h\nc\t1\nno tab here\n", 3, "no POS field (the line has no TAB)"),
        (b"c\t1x\n", 1, "POS is not a number: '1x'"),
        (b"c\t\t\n", 1, "POS is empty"),
        (b"#h\nc\t-5\n", 2, "POS is not a number: '-5'"),
        (b"c\t99999999999999999999\n", 1, "POS out of range (above 18446744073709551615): '99999999999999999999'"),
        (b"#h\n#caf\xe9\n", 2, "not valid UTF-8"),
    ],
)
@pytest.mark.parametrize("form", ["plain", "bgzf"])
def test_malformed_lines_name_file_and_line(tmp_path, content, lineno, reason, form):
    plain = tmp_path / "bad.vcf"
    plain.write_bytes(content)
    path = plain if form == "plain" else bgzip_file(plain, tmp_path / "bad.vcf.gz")
    with pytest.raises(VcfFormatError) as raised:
        varsift_tools.subset(path, positions=[1])
    error = raised.value
    assert (error.filename, error.lineno, error.reason) == (str(path), lineno, reason)
    assert str(error) == f"{path}:{lineno}: {reason}"
    assert isinstance(error, ValueError) and not isinstance(error, CompressionError)


def test_file_names_that_are_not_utf8_come_back_as_given(tmp_path):
    name = str(tmp_path / os.fsdecode(b"in\xff.vcf"))
    Path(name).write_bytes(b"#h\nc\t1\nc\tbad\n")
    with pytest.raises(VcfFormatError) as raised:
        varsift_tools.subset(name, positions=[1])
    assert raised.value.filename == name
    output = str(tmp_path / os.fsdecode(b"out\xfe.vcf"))
    with pytest.raises(FileNotFoundError) as missing:
        varsift_tools.write_subset(name + "x", output)
    assert missing.value.filename == name + "x"


def test_file_problems_are_os_errors(tmp_path):
    missing = tmp_path / "missing.vcf"
    with pytest.raises(FileNotFoundError) as raised:
        varsift_tools.subset(missing)
    assert (raised.value.errno, raised.value.filename) == (errno.ENOENT, str(missing))
    with pytest.raises(IsADirectoryError) as raised_dir:
        varsift_tools.subset(tmp_path)
    assert raised_dir.value.filename == str(tmp_path)


def _bgzf(tmp_path: Path) -> bytes:
    text, _ = random_vcf(7, records=2000)
    return stored(tmp_path, text, "bgzf").read_bytes()


EOF_BLOCK = bytes.fromhex("1f8b08040000000000ff0600424302001b0003000000000000000000")


@pytest.mark.parametrize(
    "damage",
    [
        "truncated_in_a_block",
        "truncated_between_blocks",
        "missing_eof_marker",
        "bad_crc",
        "bad_size",
        "corrupt_deflate",
        "trailing_garbage",
    ],
)
def test_damaged_bgzf_is_never_a_short_file(tmp_path, damage):
    data = bytearray(_bgzf(tmp_path))
    assert data.endswith(EOF_BLOCK)
    body = data[: -len(EOF_BLOCK)]
    first_block = int.from_bytes(data[16:18], "little") + 1
    if damage == "truncated_in_a_block":
        data = body[: len(body) // 2]
    elif damage == "truncated_between_blocks":
        data = data[:first_block]
    elif damage == "missing_eof_marker":
        data = body
    elif damage == "bad_crc":
        data[first_block - 8] ^= 0xFF
    elif damage == "bad_size":
        data[first_block - 4] ^= 0x01
    elif damage == "corrupt_deflate":
        data[30:40] = b"\xff" * 10
    else:
        data += b"garbage that is not gzip\n"
    path = tmp_path / "damaged.vcf.gz"
    path.write_bytes(bytes(data))
    with pytest.raises(CompressionError) as raised:
        varsift_tools.subset(path)
    assert raised.value.filename == str(path) and raised.value.lineno >= 1


@pytest.mark.parametrize("damage", ["truncated", "trailing_garbage", "bad_crc"])
def test_damaged_gzip_is_never_a_short_file(tmp_path, damage):
    text, _ = random_vcf(8, records=2000)
    data = bytearray(gzip.compress(text.encode()))
    if damage == "truncated":
        data = data[: len(data) - 20]
    elif damage == "trailing_garbage":
        data += b"\x00not gzip"
    else:
        data[-8] ^= 0xFF
    path = tmp_path / "damaged.vcf.gz"
    path.write_bytes(bytes(data))
    with pytest.raises(CompressionError):
        varsift_tools.subset(path)


def _child(code: str, **kwargs):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, timeout=60, **kwargs)


def test_blocks_with_other_subfields_read_alike_from_a_file_and_a_pipe(tmp_path):
    text = random_vcf(21, 600)[0]
    raw = text.encode()
    path = tmp_path / "extra.vcf.gz"
    path.write_bytes(
        b"".join(bgzf_block(raw[at : at + 3000], extra=b"XY\x02\x00ab")
                 for at in range(0, len(raw), 3000))
        + EOF_MARKER
    )
    header, data = varsift_tools.subset(path)
    assert "".join(line + "\n" for line in header + data) == text
    # Through a pipe, which is read another way than a file.
    piped = _child(
        "import varsift_tools; h, d = varsift_tools.subset('-'); print(len(h) + len(d))",
        input=path.read_bytes(),
    )
    assert piped.stdout.strip() == str(len(header) + len(data)).encode(), piped.stderr


def _bgzf_of(data: bytes, size: int, extra: bytes = b"") -> bytes:
    return b"".join(bgzf_block(data[at : at + size], extra=extra) for at in range(0, len(data), size))


def _compressed_case(case: str, raw: bytes) -> bytes:
    half = len(raw) // 2
    blocks = _bgzf_of(raw, 3000)
    first, rest = raw[:3000], raw[3000:]
    return {
        "later-blocks-with-a-subfield": bgzf_block(first) + _bgzf_of(rest, 3000, b"XY\x02\x00ab")
        + EOF_MARKER,
        "bgzf-then-gzip": _bgzf_of(raw[:half], 3000) + EOF_MARKER + gzip.compress(raw[half:]),
        "gzip-then-bgzf": gzip.compress(raw[:half]) + _bgzf_of(raw[half:], 3000) + EOF_MARKER,
        "bgzf-gzip-bgzf": _bgzf_of(raw[:half], 3000) + gzip.compress(raw[half : half + 100])
        + _bgzf_of(raw[half + 100 :], 3000) + EOF_MARKER,
        "last-block-empty-but-not-the-marker": blocks + bgzf_block(b"", extra=b"XY\x00\x00"),
        "missing-marker": blocks,
        "garbage-after-the-blocks": blocks + EOF_MARKER + b"\x00garbage",
        "gzip-member-cut-after-the-blocks": blocks + EOF_MARKER + gzip.compress(raw)[:50],
        "corrupt-block": blocks[:40] + b"\xff" * 8 + blocks[48:] + EOF_MARKER,
        "magic-and-1-byte": gzip.compress(raw)[:3],
        "magic-and-9-bytes": gzip.compress(raw)[:11],
        "magic-and-15-bytes": gzip.compress(raw)[:17],
    }[case]


# The same bytes read through a path and through a pipe give the same lines or the same error.
@pytest.mark.parametrize(
    ("case", "expected"),
    [
        ("later-blocks-with-a-subfield", "lines"),
        ("bgzf-then-gzip", "lines"),
        ("gzip-then-bgzf", "lines"),
        ("bgzf-gzip-bgzf", "lines"),
        ("last-block-empty-but-not-the-marker", "lines"),
        ("missing-marker", "BGZF end-of-file marker missing"),
        ("garbage-after-the-blocks", "invalid BGZF block header"),
        ("gzip-member-cut-after-the-blocks", "compressed file truncated"),
        ("corrupt-block", "corrupt BGZF block"),
        ("magic-and-1-byte", "compressed file truncated"),
        ("magic-and-9-bytes", "compressed file truncated"),
        ("magic-and-15-bytes", "compressed file truncated"),
    ],
)
def test_compressed_input_reads_alike_from_a_path_and_a_pipe(tmp_path, case, expected):
    text = random_vcf(22, 600)[0]
    path = tmp_path / "in.vcf.gz"
    path.write_bytes(_compressed_case(case, text.encode()))
    code = """
        import sys, varsift_tools
        try:
            header, data = varsift_tools.subset(sys.argv[1])
            print("".join(line + "\\n" for line in header + data), end="")
        except varsift_tools.CompressionError as error:
            print(error.lineno, error.reason)
        """
    results = []
    for source, stdin in [(str(path), None), ("-", path.open("rb"))]:
        result = subprocess.run(
            [sys.executable, "-c", textwrap.dedent(code), source],
            stdin=stdin,
            capture_output=True,
            timeout=60,
        )
        if stdin is not None:
            stdin.close()
        assert result.stderr == b""
        results.append(result.stdout.decode())
    assert results[0] == results[1]
    if expected == "lines":
        assert results[0] == text
    else:
        assert expected in results[0]


def test_reads_standard_input(tmp_path):
    text, sites = random_vcf(9)
    path = stored(tmp_path, text, "bgzf")
    with path.open("rb") as stdin:
        child = _child(
            f"""
            import varsift_tools
            header, data = varsift_tools.subset("-", positions=[{sites[3][1]}])
            print(len(header), len(data))
            """,
            stdin=stdin,
        )
    header, data = model(text, lambda c, p: p == sites[3][1])
    assert child.stdout.decode().split() == [str(len(header)), str(len(data))]


def test_errors_on_standard_input_name_it(tmp_path):
    child = _child(
        """
        import varsift_tools
        try:
            varsift_tools.subset("-")
        except varsift_tools.VcfFormatError as error:
            print(error)
        """,
        input=b"#h\nbad\n",
    )
    assert child.stdout.decode() == "<stdin>:2: no POS field (the line has no TAB)\n"


def test_ctrl_c_stops_a_call_on_an_endless_input():
    # An endless stream of records that are never kept: only an interruption ends the call.
    producer = subprocess.Popen(["yes", "chr1\t5\t.\tA\tG"], stdout=subprocess.PIPE)
    try:
        child = subprocess.Popen(
            [sys.executable, "-c", "import signal, sys, varsift_tools\n"
             # Ctrl-C as at a prompt, even when the tests run as a background job.
             "signal.signal(signal.SIGINT, signal.default_int_handler)\n"
             "print('go', flush=True)\nvarsift_tools.subset('-', positions=[6])"],
            stdin=producer.stdout,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
        )
        assert child.stdout.readline() == b"go\n"
        import time

        time.sleep(0.5)
        child.send_signal(2)
        _, stderr = child.communicate(timeout=5)
        assert b"KeyboardInterrupt" in stderr
    finally:
        producer.kill()
        producer.wait()


def _waiting_child(code: str, tmp_path: Path, stdin: int):
    child = subprocess.Popen(
        [sys.executable, "-c", textwrap.dedent(code)],
        cwd=tmp_path,
        stdin=stdin,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )
    assert child.stdout.readline() == b"go\n"
    return child


def _answer_within(child, signum: int, seconds: float) -> bytes:
    """Signals the child once it waits, and gives what it prints within `seconds`."""
    import select
    import time

    time.sleep(0.3)
    child.send_signal(signum)
    ready, _, _ = select.select([child.stdout], [], [], seconds)
    if not ready:
        child.kill()
    output, _ = child.communicate(timeout=60)
    return output if ready else b"(still waiting)"


# Whatever the call waits for (a pipe that stays empty, a FIFO's writer), a signal's handler
# runs at once, and what it raises ends the call.
@pytest.mark.parametrize("source", ["-", "fifo"])
@pytest.mark.parametrize(("signum", "raised"), [(2, "KeyboardInterrupt"), (15, "Stop")])
def test_signal_ends_a_call_waiting_for_input(tmp_path, source, signum, raised):
    os.mkfifo(tmp_path / "fifo")
    code = f"""
        import signal, varsift_tools
        class Stop(Exception):
            pass
        def stop(signum, frame):
            raise Stop
        signal.signal(signal.SIGINT, signal.default_int_handler)
        signal.signal(signal.SIGTERM, stop)
        print("go", flush=True)
        try:
            varsift_tools.subset({source!r})
        except BaseException as error:
            print(type(error).__name__, flush=True)
        """
    read_end, write_end = os.pipe()
    try:
        child = _waiting_child(code, tmp_path, read_end)
        assert _answer_within(child, signum, 0.5) == f"{raised}\n".encode()
    finally:
        os.close(read_end)
        os.close(write_end)


def test_stream_interrupted_while_waiting_cannot_go_on_as_if_it_ended(tmp_path):
    os.mkfifo(tmp_path / "fifo")
    code = """
        import signal, varsift_tools
        signal.signal(signal.SIGINT, signal.default_int_handler)
        lines = varsift_tools.iter_lines("fifo")
        print("go", flush=True)
        for _ in range(3):
            try:
                print(next(lines), flush=True)
            except BaseException as error:
                print(type(error).__name__, flush=True)
        """
    child = subprocess.Popen(
        [sys.executable, "-c", textwrap.dedent(code)],
        cwd=tmp_path,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )
    with open(tmp_path / "fifo", "wb", buffering=0) as feed:
        # The first line whole and the second cut, then nothing more for now.
        feed.write(b"##fileformat=VCFv4.2\n#CHROM\tPOS")
        assert child.stdout.readline() == b"go\n"
        # The line read before is given, then the stream says it was cut short.
        assert _answer_within(child, 2, 0.5) == (
            b"KeyboardInterrupt\n##fileformat=VCFv4.2\nInterruptedError\n"
        )


def test_stream_releases_the_file_on_close(tmp_path):
    path = stored(tmp_path, random_vcf(10)[0], "plain")
    before = len(os.listdir("/proc/self/fd"))
    with varsift_tools.iter_lines(path) as lines:
        assert next(lines).startswith("##")
        assert len(os.listdir("/proc/self/fd")) > before
    assert len(os.listdir("/proc/self/fd")) == before
    assert list(lines) == []


def test_stream_gives_lines_before_an_error(tmp_path):
    path = tmp_path / "late.vcf"
    path.write_bytes(b"#h\nc\t1\nc\tx\n")
    lines = varsift_tools.iter_lines(path)
    assert next(lines) == "#h" and next(lines) == "c\t1"
    with pytest.raises(VcfFormatError, match=":3: POS is not a number"):
        next(lines)


@pytest.mark.parametrize("compress", [False, True])
@pytest.mark.parametrize("threads", [1, 2])
def test_writer_writes_the_kept_lines(tmp_path, compress, threads):
    text, sites = random_vcf(11, records=3000)
    source = stored(tmp_path, text, "bgzf")
    target = tmp_path / ("out.vcf.gz" if compress else "out.vcf")
    positions = [pos for _, pos in sites[::7]]
    written = varsift_tools.write_subset(source, target, positions=positions, threads=threads)
    header, data = model(text, lambda c, p: p in positions)
    assert written == len(data)
    expected = "".join(line + "\n" for line in header + data).encode()
    if compress:
        subprocess.run(["bgzip", "-t", str(target)], check=True)
        assert gzip.decompress(target.read_bytes()) == expected
    else:
        assert target.read_bytes() == expected
    assert sorted(os.listdir(tmp_path)) == sorted(["in.vcf", "in.vcf.bgz", target.name])


def test_writer_into_a_descriptor_leaves_it_open(tmp_path):
    text, _ = random_vcf(12)
    source = stored(tmp_path, text, "plain")
    target = tmp_path / "out.vcf"
    with target.open("wb") as out:
        varsift_tools.write_subset(source, out.fileno(), targets=[])
        out.write(b"after\n")
    header, _ = model(text, lambda c, p: False)
    assert target.read_bytes() == "".join(line + "\n" for line in header).encode() + b"after\n"


def test_writer_keeps_the_old_output_when_the_input_is_malformed(tmp_path):
    source = tmp_path / "bad.vcf"
    source.write_bytes(b"#h\nc\t1\n" * 1000 + b"c\tx\n")
    target = tmp_path / "out.vcf"
    target.write_bytes(b"old\n")
    with pytest.raises(VcfFormatError):
        varsift_tools.write_subset(source, target)
    assert target.read_bytes() == b"old\n"
    assert sorted(os.listdir(tmp_path)) == ["bad.vcf", "out.vcf"]


def test_writer_reports_a_full_device(tmp_path):
    source = stored(tmp_path, random_vcf(13, records=4000)[0], "plain")
    with open("/dev/full", "wb") as full:
        with pytest.raises(OSError) as raised:
            varsift_tools.write_subset(source, full.fileno())
    assert raised.value.errno == errno.ENOSPC


@pytest.mark.skipif(
    bool(os.environ.get("VARSIFT_SANITIZED")), reason="AddressSanitizer reserves address space"
)
def test_most_threads_write_bgzf_in_the_memory_of_the_threads_that_can_run(tmp_path):
    path = stored(tmp_path, random_vcf(23, 3000)[0], "plain")
    # 1024 compressing threads would reserve 8 GB of stacks alone.
    child = _child(
        f"""
        import resource, varsift_tools
        resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))
        print(varsift_tools.write_subset({str(path)!r}, {str(tmp_path / "out.vcf.gz")!r},
                                         threads=1024))
        """
    )
    assert (child.returncode, child.stderr) == (0, b""), child.stderr
    assert child.stdout == b"3000\n"


@pytest.mark.skipif(
    bool(os.environ.get("VARSIFT_SANITIZED")), reason="AddressSanitizer holds freed memory back"
)
def test_keeping_everything_of_a_large_file_stays_in_bounded_memory(tmp_path):
    record = "chr1\t{}\trs1\tA\tG\t50\tPASS\tDP=10\tGT\t0/1\n"
    path = tmp_path / "large.vcf"
    with path.open("w") as out:
        out.write("#CHROM\tPOS\n")
        for start in range(0, 3_000_000, 100_000):
            out.write("".join(record.format(pos) for pos in range(start, start + 100_000)))
    assert path.stat().st_size > 100 << 20
    # Each in a child of its own, which reads the peak of its own memory (ru_maxrss would count
    # the parent's pages when the child was forked).
    for call in (
        f"varsift_tools.write_subset({str(path)!r}, {str(tmp_path / 'out.vcf.gz')!r})",
        f"varsift_tools.write_subset({str(path)!r}, {str(tmp_path / 'out.vcf')!r}, threads=1)",
        f"assert sum(1 for _ in varsift_tools.iter_lines({str(path)!r}, positions=[1])) == 2",
    ):
        child = _child(
            f"""
            import varsift_tools
            {call}
            print(open("/proc/self/status").read().split("VmHWM:")[1].split()[0])
            """
        )
        assert child.returncode == 0, child.stderr
        assert int(child.stdout) < 80 << 10, call
