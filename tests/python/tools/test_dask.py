"""varsift_tools.dask on a real cluster of worker processes: the library's results, in order,
from files cut into many ranges; faults reported as the library reports them."""

from __future__ import annotations

import gzip
import os
import subprocess
import sys
import time
from collections.abc import Iterator
from pathlib import Path

import pytest

distributed = pytest.importorskip("distributed")

import dask  # noqa: E402
import varsift_tools  # noqa: E402
from bgzf_blocks import bgzf_block, cut, write_blocks  # noqa: E402
from varsift_tools import dask as vdask  # noqa: E402
from varsift_tools._partition import EOF_MARKER  # noqa: E402
from vcf_files import bgzip_file, gzip_file, have_tools, random_vcf  # noqa: E402

pytestmark = pytest.mark.skipif(not have_tools(), reason="needs gzip and bgzip")


@pytest.fixture(scope="module")
def client() -> Iterator[distributed.Client]:
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0"
    ) as cluster, distributed.Client(cluster) as made:
        yield made


def make(tmp_path: Path, name: str, kind: str, seed: int, records: int = 400) -> Path:
    text = random_vcf(seed, records)[0]
    plain = tmp_path / f"{name}.vcf"
    plain.write_text(text)
    if kind == "plain":
        return plain
    if kind == "bgzip":
        return bgzip_file(plain, tmp_path / f"{name}.vcf.gz")
    if kind == "gzip":
        return gzip_file(plain, tmp_path / f"{name}.vcf.gz")
    # Small blocks of uneven sizes, some empty: boundaries fall everywhere within lines.
    pieces = [p for piece in cut(text.encode(), [61, 400, 7, 1000]) for p in (piece, b"")]
    return write_blocks(tmp_path / f"{name}.vcf.gz", pieces)


def library_lines(paths: list[Path], **selection: object) -> list[str]:
    """What the single-process library gives: the first file's header, every file's records."""
    lines: list[str] = []
    for number, path in enumerate(paths):
        header, data = varsift_tools.subset(path, threads=1, **selection)  # type: ignore[arg-type]
        lines += (header if number == 0 else []) + data
    return lines


KINDS = ["plain", "bgzip", "small-blocks", "gzip"]
SELECTIONS = [
    {},
    {"positions": [60, 61, 100, 150, 10**9]},
    {"targets": [("chr2", 80), ("chrX", 120)], "regions": [("chr1", 50, 400)]},
    {"positions": []},
]


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("size", [331, 1 << 30])
def test_one_file_in_many_ranges_gives_the_library_lines(
    client: distributed.Client, tmp_path: Path, kind: str, size: int
) -> None:
    # bgzip's blocks hold 64 KiB: enough records for a few.
    path = make(tmp_path, "a", kind, 1, 4000 if kind == "bgzip" else 600)
    parts = vdask.partitions(path, partition_size=size)
    if size < 1000 and kind != "gzip":
        assert len(parts) > (1 if kind == "bgzip" else 10)
    bags = []
    expected = []
    for selection in SELECTIONS:
        lines = library_lines([path], **selection)
        expected += [lines, [line for line in lines if not line.startswith("#")]]
        bags += [
            vdask.lines(path, partition_size=size, **selection),  # type: ignore[arg-type]
            vdask.lines(path, partition_size=size, header=False, **selection),  # type: ignore[arg-type]
        ]
    assert all(bag.npartitions == len(parts) for bag in bags)
    assert list(dask.compute(*bags)) == expected


@pytest.mark.parametrize("kind", KINDS)
def test_the_written_file_is_the_library_output(
    client: distributed.Client, tmp_path: Path, kind: str
) -> None:
    path = make(tmp_path, "a", kind, 2, 600)
    for selection in SELECTIONS:
        output = tmp_path / "out.vcf.gz"
        count = vdask.write_subset(path, output, partition_size=1000, **selection)  # type: ignore[arg-type]
        reference = tmp_path / "reference.vcf.gz"
        expected = varsift_tools.write_subset(path, reference, threads=1, **selection)  # type: ignore[arg-type]
        assert count == expected
        assert gzip.decompress(output.read_bytes()) == gzip.decompress(reference.read_bytes())
        # A peer reads it as whole BGZF.
        subprocess.run(["bgzip", "-t", str(output)], check=True)
    # The index, for the last output: a peer follows it.
    vdask.write_subset(path, output, partition_size=1000, index=True)
    expected = [line for line in gzip.decompress(output.read_bytes()).decode().splitlines()
                if line.startswith("chr2\t")]
    found = subprocess.run(["tabix", str(output), "chr2"], capture_output=True, text=True, check=True)
    assert found.stdout.splitlines() == expected
    assert [p.name for p in tmp_path.iterdir() if p.name.startswith(".")] == []


def test_many_files_give_one_header_and_every_record_in_order(
    client: distributed.Client, tmp_path: Path
) -> None:
    paths = [make(tmp_path, f"f{n}", KINDS[n % len(KINDS)], 10 + n, 300) for n in range(6)]
    for selection in SELECTIONS:
        expected = library_lines(paths, **selection)
        assert vdask.lines(paths, partition_size=700, **selection).compute() == expected  # type: ignore[arg-type]
        output = tmp_path / "all.vcf.gz"
        count = vdask.write_subset(paths, output, partition_size=700, **selection)  # type: ignore[arg-type]
        text = gzip.decompress(output.read_bytes()).decode()
        assert text == "".join(line + "\n" for line in expected)
        assert count == sum(not line.startswith("#") for line in expected)


@pytest.mark.parametrize("kind", ["plain", "small-blocks", "bgzip"])
def test_a_malformed_line_fails_the_job_as_the_library_reports_it(
    client: distributed.Client, tmp_path: Path, kind: str
) -> None:
    text = random_vcf(5, 3000)[0].splitlines(keepends=True)
    text[2000] = "chr1\tnot-a-number\t.\tA\tG\t.\n"
    text[2500] = "chr1\talso-bad\t.\tA\tG\t.\n"
    plain = tmp_path / "bad.vcf"
    plain.write_text("".join(text))
    path = {"plain": plain, "bgzip": bgzip_file(plain, tmp_path / "bad.vcf.gz")}.get(kind)
    if path is None:
        path = write_blocks(tmp_path / "bad.vcf.gz", cut(plain.read_bytes(), [333, 50]))
    with pytest.raises(varsift_tools.VcfFormatError) as expected:
        varsift_tools.subset(path, threads=1)
    assert expected.value.lineno == 2001
    # The first fault in file order, whichever task meets its own first.
    for scheduler in ("threads", None):
        with pytest.raises(varsift_tools.VcfFormatError) as bag_error:
            vdask.lines(path, partition_size=2000).compute(scheduler=scheduler)
        assert str(bag_error.value) == str(expected.value)
    output = tmp_path / "out.vcf.gz"
    with pytest.raises(varsift_tools.VcfFormatError) as write_error:
        vdask.write_subset(path, output, partition_size=2000)
    # The first fault in file order, as the library finds it.
    assert str(write_error.value) == str(expected.value)
    assert not output.exists()
    assert sorted(os.listdir(tmp_path)) == sorted(
        name for name in ("bad.vcf", "bad.vcf.gz") if (tmp_path / name).exists()
    )


def test_a_file_that_cannot_be_read_fails_the_job_with_its_os_error(
    client: distributed.Client, tmp_path: Path
) -> None:
    good = make(tmp_path, "good", "plain", 6)
    with pytest.raises(FileNotFoundError) as error:
        vdask.write_subset([good, tmp_path / "missing.vcf"], tmp_path / "out.vcf.gz")
    assert error.value.filename == str(tmp_path / "missing.vcf")
    assert sorted(os.listdir(tmp_path)) == ["good.vcf"]


def test_damaged_compression_is_reported_by_the_library(
    client: distributed.Client, tmp_path: Path
) -> None:
    path = make(tmp_path, "a", "bgzip", 7, 2000)
    path.write_bytes(path.read_bytes()[:-40])
    with pytest.raises(varsift_tools.CompressionError) as expected:
        varsift_tools.subset(path, threads=1)
    with pytest.raises(varsift_tools.CompressionError) as error:
        vdask.write_subset(path, tmp_path / "out.vcf.gz", partition_size=1)
    assert str(error.value) == str(expected.value)


@pytest.mark.parametrize(
    ("columns", "lineno", "what"),
    [
        ("#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER", 3, "columns differ from those of"),
        # The header ends at line 2.
        (None, 2, "no #CHROM line, unlike"),
    ],
)
def test_files_whose_columns_differ_are_refused(
    tmp_path: Path, columns: str | None, lineno: int, what: str
) -> None:
    first = make(tmp_path, "first", "plain", 11)
    lines = make(tmp_path, "other", "plain", 12).read_text().splitlines(keepends=True)
    lines[2:3] = [] if columns is None else [columns + "\n"]
    other = tmp_path / "other.vcf"
    other.write_text("".join(lines))
    output = tmp_path / "out.vcf.gz"
    for run in (
        lambda: vdask.write_subset([first, other], output),
        lambda: vdask.lines([first, other], header=False),
    ):
        with pytest.raises(varsift_tools.VcfFormatError) as error:
            run()
        assert (error.value.filename, error.value.lineno) == (str(other), lineno)
        assert error.value.reason == f"{what} the first file, {first}"
    assert sorted(os.listdir(tmp_path)) == ["first.vcf", "other.vcf"]


def test_a_failed_job_raises_only_once_every_task_has_ended(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch
) -> None:
    path = make(tmp_path, "a", "small-blocks", 13, 800)
    parts = vdask.partitions(path, partition_size=2000)
    ended: list[int] = []
    real = vdask._native.write_range

    def write_range(source: bytes, where: object, *rest: object) -> int:
        if where == parts[0].native_range():
            raise RuntimeError("lost")
        time.sleep(0.2)
        ended.append(1)
        return real(source, where, *rest)  # type: ignore[arg-type]

    monkeypatch.setattr(vdask._native, "write_range", write_range)
    output = tmp_path / "out.vcf.gz"
    with dask.config.set(scheduler="threads", num_workers=2), pytest.raises(RuntimeError):
        vdask.write_subset(path, output, partition_size=2000)
    assert len(ended) == len(parts) - 1
    assert sorted(os.listdir(tmp_path)) == ["a.vcf", "a.vcf.gz"]


class KillOnce(distributed.WorkerPlugin):
    """Kills the worker process as it starts the first part-writing task of a job, once: the
    marker file tells the worker that comes back not to do it again."""

    def __init__(self, marker: str) -> None:
        self.marker = marker

    def transition(self, key: object, start: str, finish: str, **kwargs: object) -> None:
        if finish == "executing" and "_write_part" in str(key):
            try:
                fd = os.open(self.marker, os.O_CREAT | os.O_EXCL | os.O_WRONLY)
            except FileExistsError:
                return
            os.close(fd)
            os._exit(1)


def test_a_worker_killed_during_a_job_is_replaced_and_the_output_is_whole(
    client: distributed.Client, tmp_path: Path
) -> None:
    path = make(tmp_path, "a", "small-blocks", 8, 800)
    marker = tmp_path / "killed"
    client.register_plugin(KillOnce(str(marker)), name="kill-once")
    try:
        output = tmp_path / "out.vcf.gz"
        count = vdask.write_subset(path, output, partition_size=2000)
    finally:
        client.unregister_worker_plugin("kill-once")
    assert marker.exists()
    reference = tmp_path / "reference.vcf.gz"
    assert count == varsift_tools.write_subset(path, reference, threads=1)
    assert gzip.decompress(output.read_bytes()) == gzip.decompress(reference.read_bytes())
    client.wait_for_workers(2)


def test_without_a_client_the_local_scheduler_runs_it(tmp_path: Path) -> None:
    path = make(tmp_path, "a", "small-blocks", 9)
    output = tmp_path / "out.vcf.gz"
    # A fresh process, where no client is current.
    code = (
        "import sys, varsift_tools.dask as d;"
        "print(d.write_subset(sys.argv[1], sys.argv[2], partition_size=100))"
    )
    done = subprocess.run(
        [sys.executable, "-c", code, str(path), str(output)], capture_output=True, text=True, check=True
    )
    header, data = varsift_tools.subset(path, threads=1)
    assert done.stdout == f"{len(data)}\n"
    assert gzip.decompress(output.read_bytes()).decode() == "".join(line + "\n" for line in header + data)


@pytest.mark.parametrize(
    ("sources", "error"),
    [("-", ValueError), ([], ValueError), ([b"a.vcf"], TypeError)],
)
def test_bad_sources_are_refused(sources: object, error: type[Exception]) -> None:
    with pytest.raises(error):
        vdask.partitions(sources)  # type: ignore[arg-type]


def test_importing_the_package_does_not_import_dask() -> None:
    code = "import sys, varsift_tools; assert 'dask' not in sys.modules, sorted(sys.modules)"
    subprocess.run([sys.executable, "-c", code], check=True)


@pytest.mark.parametrize("kind", ["plain", "bgzip"])
def test_an_input_replaced_after_planning_fails_the_job(tmp_path: Path, kind: str) -> None:
    path = make(tmp_path, "a", kind, 10, records=400)
    bag = vdask.lines(path, partition_size=300)
    # Renamed over the planned file, as a pipeline that rewrites it would.
    (tmp_path / "new").mkdir()
    os.replace(make(tmp_path / "new", "a", kind, 11, records=600), path)
    with pytest.raises(OSError, match="changed during the job") as raised:
        bag.compute(scheduler="threads")
    assert raised.value.filename == str(path)


def test_lines_run_on_threads_of_the_process_without_a_client(tmp_path: Path) -> None:
    path = make(tmp_path, "a", "small-blocks", 12)
    # A script without a __main__ guard: a worker process would run it again.
    code = (
        "import os, sys, varsift_tools.dask as d\n"
        "print('started', flush=True)\n"
        "bag = d.lines(sys.argv[1], partition_size=200).map(lambda line: os.getpid())\n"
        "print(set(bag.compute()) == {os.getpid()})\n"
    )
    done = subprocess.run(
        [sys.executable, "-c", code, str(path)], capture_output=True, text=True, timeout=120
    )
    assert (done.stdout, done.returncode) == ("started\nTrue\n", 0), done.stderr


def test_blocks_with_a_subfield_before_bc_are_cut_and_read(tmp_path: Path) -> None:
    raw = random_vcf(13, 2000)[0].encode()
    path = tmp_path / "a.vcf.gz"
    path.write_bytes(
        b"".join(bgzf_block(raw[at : at + 3000], extra=b"XY\x02\x00ab") for at in range(0, len(raw), 3000))
        + EOF_MARKER
    )
    assert len(vdask.partitions(path, partition_size=5000)) > 1
    assert vdask.lines(path, partition_size=5000).compute() == library_lines([path])


@pytest.mark.parametrize("kind", ["plain", "small-blocks"])
def test_a_file_given_twice_gives_its_header_once(tmp_path: Path, kind: str) -> None:
    path = make(tmp_path, "a", kind, 14, records=300)
    expected = library_lines([path, path])
    assert vdask.lines([path, path], partition_size=700).compute(scheduler="threads") == expected
    output = tmp_path / "out.vcf.gz"
    with dask.config.set(scheduler="threads"):
        vdask.write_subset([path, path], output, partition_size=700)
    assert gzip.decompress(output.read_bytes()).decode() == "".join(f"{line}\n" for line in expected)


def _gzi(blocks: list[tuple[int, int]]) -> bytes:
    return len(blocks).to_bytes(8, "little") + b"".join(
        c.to_bytes(8, "little") + u.to_bytes(8, "little") for c, u in blocks
    )


@pytest.mark.parametrize("shift", [0, -12, 12])
def test_ranges_from_a_fresh_gzi_that_does_not_describe_the_file_fail(tmp_path: Path, shift: int) -> None:
    text = random_vcf(15, 600)[0].encode()
    path = write_blocks(tmp_path / "a.vcf.gz", cut(text, [500]))
    with path.open("rb") as file:
        blocks = vdask._native.bgzf_blocks(file.fileno())
    assert blocks is not None
    size = 3 * blocks[1][0]
    walked = vdask.partitions(path, partition_size=size)
    second = walked[1].start
    assert walked[1].length >= 1000
    # Uncompressed offsets off by `shift` from a block inside the second range on, so that
    # the bytes before each cut still end a block.
    inside = [u for _, u in blocks].index(second) + 1
    listed = [(c, u + shift * (number >= inside)) for number, (c, u) in enumerate(blocks)]
    (tmp_path / "a.vcf.gz.gzi").write_bytes(_gzi(listed[1:-1]))
    bag = vdask.lines(path, partition_size=size)
    if shift == 0:
        assert bag.compute(scheduler="threads") == library_lines([path])
        return
    assert vdask.partitions(path, partition_size=size)[1].length == walked[1].length + shift
    with pytest.raises(OSError, match="changed during the job.*gzi") as raised:
        bag.compute(scheduler="threads")
    assert raised.value.filename == str(path)


def test_an_input_rewritten_in_place_with_its_time_kept_fails_the_job(tmp_path: Path) -> None:
    path = write_blocks(tmp_path / "a.vcf.gz", cut(random_vcf(16, 400)[0].encode(), [500]))
    bag = vdask.lines(path, partition_size=300)
    status = path.stat()
    data = bytearray(path.read_bytes())
    # The last block's ISIZE, in place: same size, inode and time.
    at = len(data) - len(EOF_MARKER) - 4
    data[at : at + 4] = (int.from_bytes(data[at : at + 4], "little") + 1).to_bytes(4, "little")
    with path.open("r+b") as file:
        file.write(data)
    os.utime(path, ns=(status.st_atime_ns, status.st_mtime_ns))
    with pytest.raises(OSError, match="changed during the job"):
        bag.compute(scheduler="threads")
