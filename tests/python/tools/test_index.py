"""Following a tabix or CSI index gives what a scan gives; stale and damaged indexes are never
trusted."""

from __future__ import annotations

import gzip
import os
import pickle
import random
import shutil
import struct
import subprocess
import sys
import warnings
import zlib
from collections.abc import Callable
from pathlib import Path
from typing import Any, Literal

import pytest
import varsift_tools
from varsift_tools import CompressionError, VcfFormatError
from vcf_files import bgzip_file, random_vcf

pytestmark = pytest.mark.skipif(
    not all(shutil.which(tool) for tool in ("bgzip", "tabix", "bcftools")),
    reason="needs bgzip, tabix and bcftools",
)

MAKERS = {
    "tabix": (["tabix", "-f", "-p", "vcf"], ".tbi"),
    "tabix-csi": (["tabix", "-f", "-C", "-p", "vcf"], ".csi"),
    "bcftools-csi": (["bcftools", "index", "-f", "-c"], ".csi"),
}


def indexed(tmp_path: Path, seed: int, maker: str = "tabix") -> tuple[Path, list[tuple[str, int]]]:
    text, sites = random_vcf(seed, 3000)
    plain = tmp_path / "in.vcf"
    plain.write_text(text)
    data = bgzip_file(plain, tmp_path / "in.vcf.gz")
    command, _ = MAKERS[maker]
    subprocess.run([*command, str(data)], check=True)
    return data, sites


@pytest.mark.parametrize("maker", sorted(MAKERS))
@pytest.mark.parametrize("seed", range(4))
def test_index_and_scan_agree(tmp_path: Path, maker: str, seed: int) -> None:
    data, sites = indexed(tmp_path, seed, maker)
    rng = random.Random(seed)
    chosen = rng.sample(sites, 12) + [("chr1", 10**6), ("nowhere", 5)]
    selections: list[dict[str, Any]] = [
        {"targets": chosen},
        {"positions": [pos for _, pos in chosen]},
        {"regions": [(chrom, pos, pos + 40) for chrom, pos in chosen]},
        {"targets": chosen[:3], "positions": [chosen[5][1]]},
        {"targets": []},
    ]
    for selection in selections:
        scanned = varsift_tools.subset(data, index=False, **selection)
        assert varsift_tools.subset(data, index=True, **selection) == scanned
        assert varsift_tools.subset(data, **selection) == scanned
        assert list(varsift_tools.iter_lines(data, index=True, **selection)) == [
            *scanned[0], *scanned[1]
        ]


def test_written_subset_follows_the_index(tmp_path: Path) -> None:
    data, sites = indexed(tmp_path, 9)
    targets = sites[::300]
    out_scan, out_index = tmp_path / "scan.vcf", tmp_path / "index.vcf"
    kept = varsift_tools.write_subset(data, out_scan, targets=targets, index=False)
    assert varsift_tools.write_subset(data, out_index, targets=targets, index=True) == kept
    assert out_index.read_bytes() == out_scan.read_bytes()


def test_explicit_index_path(tmp_path: Path) -> None:
    data, sites = indexed(tmp_path, 10)
    elsewhere = tmp_path / "elsewhere.tbi"
    os.rename(f"{data}.tbi", elsewhere)
    targets = sites[:5]
    expected = varsift_tools.subset(data, targets=targets, index=False)
    assert varsift_tools.subset(data, targets=targets, index=True, index_path=elsewhere) == expected
    with pytest.raises(FileNotFoundError) as missing:
        varsift_tools.subset(data, targets=targets, index_path=tmp_path / "absent.tbi")
    assert missing.value.filename == str(tmp_path / "absent.tbi")
    with pytest.raises(FileNotFoundError):
        varsift_tools.subset(data, targets=targets, index=True)


def make_stale(data: Path) -> None:
    index = Path(f"{data}.tbi")
    stat = index.stat()
    os.utime(index, ns=(stat.st_atime_ns, stat.st_mtime_ns - 10**11))


def make_garbage(data: Path) -> None:
    Path(f"{data}.tbi").write_bytes(b"not an index at all")


def make_truncated(data: Path) -> None:
    index = Path(f"{data}.tbi")
    index.write_bytes(index.read_bytes()[:-28])


@pytest.mark.parametrize("damage", [make_stale, make_garbage, make_truncated])
def test_unusable_index_warns_and_scans_or_fails_when_asked_for(
    tmp_path: Path, damage: Callable[[Path], None]
) -> None:
    data, sites = indexed(tmp_path, 11)
    targets = sites[::500]
    expected = varsift_tools.subset(data, targets=targets, index=False)
    damage(data)
    with pytest.warns(UserWarning, match="reading the whole file instead"):
        assert varsift_tools.subset(data, targets=targets) == expected
    with pytest.raises(ValueError, match="index"):
        varsift_tools.subset(data, targets=targets, index=True)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(UserWarning):
            varsift_tools.subset(data, targets=targets)


def test_no_index_scans_silently(tmp_path: Path) -> None:
    text, sites = random_vcf(12, 200)
    plain = tmp_path / "in.vcf"
    plain.write_text(text)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        header, data = varsift_tools.subset(plain, targets=sites[:3])
    assert len(data) >= 3


@pytest.mark.parametrize("index", [1, "yes", 0.0])
def test_index_argument_must_be_a_bool_or_none(tmp_path: Path, index: object) -> None:
    data, _ = indexed(tmp_path, 13)
    with pytest.raises(TypeError, match="index must be True, False or None"):
        varsift_tools.subset(data, positions=[1], index=index)  # type: ignore[arg-type]


def command(*arguments: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-m", "varsift_tools", *arguments],
        capture_output=True,
        text=True,
        check=False,
    )


def test_command_index_options(tmp_path: Path) -> None:
    data, sites = indexed(tmp_path, 14)
    chosen = [f"{chrom}:{pos}" for chrom, pos in sites[::400] if ":" not in chrom]
    scanned = command(str(data), "--no-index", "-t", *chosen)
    assert scanned.returncode == 0, scanned.stderr
    forced = command(str(data), "--force-index", "-t", *chosen)
    assert (forced.returncode, forced.stdout, forced.stderr) == (0, scanned.stdout, "")
    os.rename(f"{data}.tbi", tmp_path / "named.tbi")
    named = command(str(data), "--index", str(tmp_path / "named.tbi"), "-t", *chosen)
    assert (named.returncode, named.stdout) == (0, scanned.stdout)
    missing = command(str(data), "--force-index", "-t", *chosen)
    assert missing.returncode == 1
    assert missing.stderr.startswith("varsift: error: ")


def test_command_warns_of_an_unusable_index(tmp_path: Path) -> None:
    data, sites = indexed(tmp_path, 15)
    chosen = [f"{chrom}:{pos}" for chrom, pos in sites[::400] if ":" not in chrom]
    expected = command(str(data), "--no-index", "-t", *chosen)
    make_stale(data)
    stale = command(str(data), "-t", *chosen)
    assert (stale.returncode, stale.stdout) == (0, expected.stdout)
    assert stale.stderr.startswith("varsift: warning: index ")
    assert "older than its data file" in stale.stderr
    forced = command(str(data), "--force-index", "-t", *chosen)
    assert forced.returncode == 1
    assert "older than its data file" in forced.stderr


def damage_chunk_count(index: Path) -> None:
    """Sets the chunk count of the first bin of a .tbi's second sequence to -1: htslib's loader
    then frees chunk lists it never set up."""
    raw = bytearray(gzip.decompress(index.read_bytes()))
    (names_length,) = struct.unpack_from("<i", raw, 32)
    # magic, 7 counts and fields, the names length and names; then the first sequence's bins
    at = 36 + names_length
    (bins,) = struct.unpack_from("<i", raw, at)
    at += 4
    for _ in range(bins):
        at += 8 + 16 * struct.unpack_from("<i", raw, at + 4)[0]
    at += 4 + 8 * struct.unpack_from("<i", raw, at)[0]
    # the second sequence's bin count, first bin and its chunk count
    struct.pack_into("<i", raw, at + 8, -1)
    compressed = subprocess.run(["bgzip", "-c"], input=bytes(raw), capture_output=True, check=True)
    index.write_bytes(compressed.stdout)


def test_damaged_counts_in_an_index_warn_and_scan_in_a_child(tmp_path: Path) -> None:
    data, sites = indexed(tmp_path, 18)
    chrom, pos = sites[len(sites) // 2]
    expected = command(str(data), "--no-index", "-p", str(pos))
    assert expected.returncode == 0, expected.stderr
    damage_chunk_count(Path(f"{data}.tbi"))
    run = [sys.executable, "-m", "varsift_tools", str(data), "-p", str(pos)]
    found = subprocess.run(run, capture_output=True, text=True, timeout=60)
    assert (found.returncode, found.stdout) == (0, expected.stdout), found.stderr
    assert "is damaged (sequence 1, bin " in found.stderr
    forced = subprocess.run([*run, "--force-index"], capture_output=True, text=True, timeout=60)
    assert forced.returncode == 1, forced.stderr
    assert "count of chunks is negative" in forced.stderr
    code = f"""
import warnings, varsift_tools
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    print(varsift_tools.subset({str(data)!r}, targets=[({chrom!r}, {pos})]))
    print(len(caught))
try:
    varsift_tools.subset({str(data)!r}, targets=[({chrom!r}, {pos})], index=True)
except ValueError as error:
    print(type(error).__name__)
"""
    child = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert child.returncode == 0, child.stderr
    scanned = varsift_tools.subset(data, targets=[(chrom, pos)], index=False)
    assert child.stdout.splitlines() == [repr(scanned), "1", "ValueError"]


def test_command_index_choices_exclude_each_other(tmp_path: Path) -> None:
    data, _ = indexed(tmp_path, 16)
    both = command(str(data), "--force-index", "--no-index", "-p", "5")
    assert both.returncode == 2
    assert "not allowed with argument" in both.stderr


@pytest.mark.parametrize(("kind", "tabix"), [("tbi", ["-p", "vcf"]), ("csi", ["-C", "-p", "vcf"])])
def test_written_index_equals_the_peers(tmp_path: Path, kind: str, tabix: list[str]) -> None:
    data, sites = indexed(tmp_path, 17)
    out = tmp_path / "out.vcf.gz"
    chosen = [f"{chrom}:{pos}" for chrom, pos in sites[::3] if ":" not in chrom]
    result = command(str(data), "-t", *chosen, "-o", str(out), "--write-index", kind)
    assert (result.returncode, result.stderr) == (0, "")
    ours = Path(f"{out}.{kind}")
    assert ours.stat().st_mtime_ns >= out.stat().st_mtime_ns
    theirs = tmp_path / "theirs"
    theirs.mkdir()
    shutil.copy(out, theirs / out.name)
    subprocess.run(["tabix", *tabix, str(theirs / out.name)], check=True)
    unzip = ["gzip", "-dc"]
    assert (
        subprocess.run([*unzip, str(ours)], capture_output=True, check=True).stdout
        == subprocess.run(
            [*unzip, str(theirs / f"{out.name}.{kind}")], capture_output=True, check=True
        ).stdout
    )
    assert not [p.name for p in tmp_path.iterdir() if p.name.endswith(".tmp")]


def test_write_index_refuses_what_it_cannot_index(tmp_path: Path) -> None:
    plain = tmp_path / "plain.vcf"
    plain.write_text("#h\nchr1\t5\t.\tA\tC\n")
    with pytest.raises(ValueError, match="not BGZF"):
        varsift_tools.write_index(plain)
    unsorted = tmp_path / "unsorted.vcf"
    unsorted.write_text("#h\nchr1\t5\t.\tA\tC\nchr1\t2\t.\tA\tC\n")
    data = bgzip_file(unsorted, tmp_path / "unsorted.vcf.gz")
    with pytest.raises(ValueError):
        varsift_tools.write_index(data)
    assert sorted(p.name for p in tmp_path.iterdir()) == [
        "plain.vcf", "unsorted.vcf", "unsorted.vcf.gz"
    ]
    result = command(str(data), "-o", str(tmp_path / "out.vcf"), "--write-index")
    assert result.returncode == 2
    assert "--write-index needs a BGZF OUTPUT file" in result.stderr


def faulty_vcf(tmp_path: Path, bad: bytes, header_extra: bytes = b"") -> Path:
    """Records of chr1 over several BGZF blocks, then chr2 with `bad` as the record at 5000,
    as BGZF made by bgzip."""
    lines = [b"##fileformat=VCFv4.2", header_extra, b"#CHROM\tPOS\tID\tREF\tALT"]
    lines = [line for line in lines if line]
    lines += [b"chr1\t%d\t.\tA\tC\tNOTE=%s" % (pos, b"x" * 60) for pos in range(1, 4001)]
    lines += [b"chr2\t%d\t.\tA\tC" % pos for pos in range(4990, 5000)]
    lines += [bad]
    lines += [b"chr2\t%d\t.\tA\tC" % pos for pos in range(5001, 5010)]
    plain = tmp_path / "faulty.vcf"
    plain.write_bytes(b"\n".join(lines) + b"\n")
    return bgzip_file(plain, tmp_path / "faulty.vcf.gz")


def block_at(data: Path, offset: int) -> bytes:
    """The uncompressed content of the BGZF block at a compressed offset."""
    with data.open("rb") as file:
        file.seek(offset)
        return zlib.decompressobj(31).decompress(file.read(1 << 16))


FAULTS = [
    (b"chr2\t5000x\t.\tA\tC\tMARK", "record on 'chr2' after chr2:4999",
     "POS is not a number: '5000x'"),
    (b"chr2\t5000\t.\tA\tC\tMARK\xff", "line after chr2:4999", "not valid UTF-8"),
]


@pytest.mark.parametrize("maker", ["tabix", "tabix-csi"])
@pytest.mark.parametrize(("bad", "place", "reason"), FAULTS)
def test_lines_read_through_the_index_are_named_by_place(
    tmp_path: Path, maker: str, bad: bytes, place: str, reason: str
) -> None:
    data = faulty_vcf(tmp_path, bad)
    subprocess.run([*MAKERS[maker][0], str(data)], check=True)
    with pytest.raises(VcfFormatError) as scanned:
        varsift_tools.subset(data, targets=[("chr2", 5000)], index=False)
    # Two header lines, 4000 records of chr1 and ten of chr2 come before it.
    assert scanned.value.lineno == 2 + 4000 + 10 + 1
    with pytest.raises(VcfFormatError) as followed:
        varsift_tools.subset(data, targets=[("chr2", 5000)], index=True)
    error = followed.value
    assert (error.filename, error.lineno, error.reason) == (str(data), None, reason)
    assert error.place is not None and error.place.startswith(place + " (BGZF block at ")
    offset = int(error.place.removeprefix(place + " (BGZF block at compressed offset ")[:-1])
    # The block named holds the end of the faulty line.
    assert b"MARK" in block_at(data, offset)
    assert str(error) == f"{data}: {error.place}: {reason}"
    # As a task's failure travels between processes.
    copy = pickle.loads(pickle.dumps(error))
    assert (type(copy), copy.lineno, copy.place, str(copy)) == (
        type(error), None, error.place, str(error)
    )
    result = command(str(data), "--force-index", "-t", "chr2:5000")
    assert result.returncode == 1
    assert result.stderr == f"varsift: error: {error}\n"


@pytest.mark.parametrize("maker", ["tabix", "tabix-csi"])
def test_header_lines_keep_their_numbers_in_index_mode(tmp_path: Path, maker: str) -> None:
    data = faulty_vcf(tmp_path, b"chr2\t5000\t.\tA\tC", header_extra=b"##note=caf\xe9")
    subprocess.run([*MAKERS[maker][0], str(data)], check=True)
    with pytest.raises(VcfFormatError) as followed:
        varsift_tools.subset(data, targets=[("chr2", 5000)], index=True)
    assert (followed.value.lineno, followed.value.place) == (2, None)
    assert str(followed.value) == f"{data}:2: not valid UTF-8"


def block_offsets(data: Path) -> list[int]:
    """The compressed offset of every BGZF block, from the sizes in their headers."""
    raw = data.read_bytes()
    offsets = []
    at = 0
    while at < len(raw):
        offsets.append(at)
        at += int.from_bytes(raw[at + 16 : at + 18], "little") + 1
    return offsets


@pytest.mark.parametrize("maker", ["tabix", "tabix-csi"])
def test_damage_met_through_the_index_is_named_by_block(tmp_path: Path, maker: str) -> None:
    data = faulty_vcf(tmp_path, b"chr2\t5000\t.\tA\tC")
    subprocess.run([*MAKERS[maker][0], str(data)], check=True)
    damaged = next(o for o in block_offsets(data) if b"chr2\t5000\t" in block_at(data, o))
    offsets = block_offsets(data)
    end = offsets[offsets.index(damaged) + 1]
    raw = bytearray(data.read_bytes())
    raw[end - 8] ^= 0xFF  # the block's CRC32
    stat = data.stat()
    data.write_bytes(bytes(raw))
    os.utime(data, ns=(stat.st_atime_ns, stat.st_mtime_ns))
    with pytest.raises(CompressionError) as followed:
        varsift_tools.subset(data, targets=[("chr2", 5000)], index=True)
    assert followed.value.lineno is None
    assert followed.value.place is not None
    assert followed.value.place.endswith(f"(BGZF block at compressed offset {damaged})")


def peer_answers(data: Path, regions: list[str]) -> list[bytes]:
    """What tabix and bcftools answer from the index beside `data`."""
    answers = []
    for region in regions:
        for query in (
            ["tabix", str(data), region],
            ["bcftools", "view", "-H", "-r", region, str(data)],
        ):
            answers.append(subprocess.run(query, capture_output=True, check=True).stdout)
    return answers


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize(
    ("kind", "peer"),
    [("tbi", ["tabix", "-p", "vcf"]), ("csi", ["bcftools", "index", "-c"])],
)
def test_index_written_while_writing_answers_as_the_peers(
    tmp_path: Path, threads: int, kind: Literal["tbi", "csi"], peer: list[str]
) -> None:
    # Enough records for many blocks, so that several batches of blocks are written; a
    # sequence that is left out.
    rng = random.Random(threads)
    contigs = ["chr1", "chr2", "chrX", "chrY"]
    lines = ["##fileformat=VCFv4.2", *(f"##contig=<ID={chrom}>" for chrom in contigs)]
    lines.append("#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO")
    sites = []
    for chrom in contigs:
        pos = 1
        for _ in range(20000):
            pos += rng.choice([0, 1, 7, 300])
            ref, info = rng.choice([("A", "."), ("ACGT", "DP=5"), ("G", "END=%d" % (pos + 900))])
            lines.append(f"{chrom}\t{pos}\trs{rng.randrange(10**9)}\t{ref}\tC\t50\tPASS\t{info}")
            sites.append((chrom, pos))
    source = tmp_path / "in.vcf"
    source.write_text("\n".join(lines) + "\n")
    out = tmp_path / "out.vcf.gz"
    kept = varsift_tools.write_subset(
        source, out, regions=[("chr1", 1, 10**9), ("chr2", 1, 10**9), ("chrX", 1, 10**9)],
        threads=threads, write_index=kind,
    )
    sites = [site for site in sites if site[0] != "chrY"]
    assert kept == len(sites)
    # More than one batch of blocks, at two threads too (16 blocks a thread).
    size = len(gzip.decompress(out.read_bytes()))
    assert size > 2 * 16 * 65536
    ours = Path(f"{out}.{kind}")
    assert ours.stat().st_mtime_ns >= out.stat().st_mtime_ns
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.vcf", out.name, ours.name]
    theirs = tmp_path / "theirs" / out.name
    theirs.parent.mkdir()
    shutil.copy(out, theirs)
    subprocess.run([*peer, str(theirs)], check=True)
    regions = ["chr2", "chrY"] + [
        f"{chrom}:{pos}-{pos + rng.choice([0, 100, 50000])}" for chrom, pos in rng.sample(sites, 20)
    ]
    assert peer_answers(out, regions) == peer_answers(theirs, regions)
    assert subprocess.run(["tabix", "-l", str(out)], capture_output=True, check=True).stdout == (
        b"chr1\nchr2\nchrX\n"
    )


@pytest.mark.parametrize("kind", ["tbi", "csi"])
@pytest.mark.parametrize(
    "records",
    [
        [("chr1", 5), ("chr1", 3)],
        [("chr1", 5), ("chr2", 5), ("chr1", 6)],
        # Past the first block: found once a batch of blocks is written, before the end.
        [("chr1", pos) for pos in range(1, 3000)]
        + [("chr1", 7)]
        + [("chr2", pos) for pos in range(1, 90000)],
    ],
    ids=["unsorted", "split-sequence", "unsorted-past-first-block"],
)
def test_output_that_cannot_be_indexed_leaves_nothing(
    tmp_path: Path, kind: Literal["tbi", "csi"], records: list[tuple[str, int]]
) -> None:
    source = tmp_path / "in.vcf"
    source.write_text(
        "#CHROM\tPOS\tID\tREF\tALT\n"
        + "".join(f"{chrom}\t{pos}\t.\tA\tC\t{'x' * 20}\n" for chrom, pos in records)
    )
    out = tmp_path / "out.vcf.gz"
    with pytest.raises(ValueError, match="not sorted by POS|are not together") as raised:
        varsift_tools.write_subset(source, out, write_index=kind, threads=2)
    assert not isinstance(raised.value, VcfFormatError)
    assert str(raised.value).startswith(f"{out}: cannot index")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.vcf"]
    # An output and an index already there are kept as they were.
    out.write_bytes(b"old")
    Path(f"{out}.{kind}").write_bytes(b"old index")
    with pytest.raises(ValueError):
        varsift_tools.write_subset(source, out, write_index=kind)
    assert (out.read_bytes(), Path(f"{out}.{kind}").read_bytes()) == (b"old", b"old index")
    assert len(list(tmp_path.iterdir())) == 3
    result = command(str(source), "-o", str(out), "--write-index", kind)
    assert result.returncode == 1
    assert result.stderr.startswith(f"varsift: error: {out}: cannot index")


def test_write_index_needs_a_bgzf_output_path(tmp_path: Path) -> None:
    source = tmp_path / "in.vcf"
    source.write_text("#h\nchr1\t5\t.\tA\tC\n")
    with pytest.raises(ValueError, match="needs a BGZF output path"):
        varsift_tools.write_subset(source, tmp_path / "out.vcf", write_index="tbi")
    with open(tmp_path / "fd.vcf.gz", "wb") as file, pytest.raises(ValueError):
        varsift_tools.write_subset(source, file.fileno(), compress=True, write_index="tbi")
    with pytest.raises(ValueError, match="'tbi', 'csi' or None"):
        varsift_tools.write_subset(
            source, tmp_path / "out.vcf.gz", write_index="bai"  # type: ignore[arg-type]
        )
    assert sorted(p.name for p in tmp_path.iterdir()) == ["fd.vcf.gz", "in.vcf"]
    fifo = tmp_path / "fifo.vcf.gz"
    os.mkfifo(fifo)
    with pytest.raises(ValueError, match="needs a regular output file"):
        varsift_tools.write_subset(source, fifo, write_index="tbi")
    assert not Path(f"{fifo}.tbi").exists()


def test_output_without_records_is_indexed(tmp_path: Path) -> None:
    source = tmp_path / "in.vcf"
    source.write_text("##fileformat=VCFv4.2\n#CHROM\tPOS\tID\tREF\tALT\nchr1\t5\t.\tA\tC\n")
    out = tmp_path / "out.vcf.gz"
    assert varsift_tools.write_subset(source, out, positions=[], write_index="tbi") == 0
    assert varsift_tools.subset(out, targets=[("chr1", 5)], index=True) == (
        ["##fileformat=VCFv4.2", "#CHROM\tPOS\tID\tREF\tALT"], []
    )
    listed = subprocess.run(["tabix", "-l", str(out)], capture_output=True, check=True)
    assert listed.stdout == b""


@pytest.mark.parametrize("maker", sorted(MAKERS))
def test_a_forced_index_without_selectors_keeps_every_record(tmp_path: Path, maker: str) -> None:
    data, _ = indexed(tmp_path, 11, maker)
    assert varsift_tools.subset(data, index=True) == varsift_tools.subset(data, index=False)


@pytest.mark.parametrize("writer", ["write_subset", "write_index"])
def test_an_index_has_no_name_while_it_is_written(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch, writer: str
) -> None:
    plain = tmp_path / "in.vcf"
    plain.write_text(random_vcf(8, 200)[0])
    data = bgzip_file(plain, tmp_path / "in.vcf.gz")
    native = varsift_tools._native
    real = getattr(native, "write" if writer == "write_subset" else "index_file")
    seen: list[tuple[str, list[str]]] = []

    def spy(*args: Any) -> Any:
        result = real(*args)
        # Once the index is written, before it is put in place.
        index = os.fsdecode(args[10] if writer == "write_subset" else args[1])
        seen.append((os.readlink(index), sorted(os.listdir(tmp_path))))
        return result

    monkeypatch.setattr(native, "write" if writer == "write_subset" else "index_file", spy)
    if writer == "write_subset":
        varsift_tools.write_subset(data, tmp_path / "out.vcf.gz", write_index="tbi")
        final = "out.vcf.gz.tbi"
    else:
        final = os.path.basename(varsift_tools.write_index(data))
    ((target, listed),) = seen
    assert target.endswith(" (deleted)") and final not in listed
    assert not any(name.startswith(".") for name in listed)
    assert final in os.listdir(tmp_path)
    subprocess.run(["tabix", str(tmp_path / final[: -len(".tbi")]), "chr1"], check=True,
                   capture_output=True)
