"""Cutting files into ranges: plain text anywhere, BGZF at blocks, other inputs whole."""

from __future__ import annotations

import gzip
import os
import subprocess
from itertools import accumulate
from pathlib import Path

import pytest

from bgzf_blocks import cut, write_blocks
from varsift_tools import _partition
from varsift_tools._partition import Part, partition_file
from vcf_files import bgzip_file, have_tools, random_vcf

TEXT = random_vcf(3, 300)[0].encode()


def byte_at(path: Path, voffset: int) -> int:
    """The uncompressed byte at a virtual offset, found by inflating block by block."""
    data = path.read_bytes()
    block = voffset >> 16
    return gzip.decompress(data[block:])[voffset & 0xFFFF]


@pytest.mark.parametrize("size", [1, 7, 100, len(TEXT), 10 * len(TEXT)])
def test_plain_ranges_tile_the_file(tmp_path: Path, size: int) -> None:
    path = tmp_path / "a.vcf"
    path.write_bytes(TEXT)
    parts = partition_file(str(path), size)
    # As few ranges as hold at most `size` bytes each, of sizes that differ by one at most.
    assert len(parts) == -(-len(TEXT) // size)
    assert sum(p.length for p in parts) == len(TEXT)
    assert max(p.length for p in parts) - min(p.length for p in parts) <= 1
    assert max(p.length for p in parts) <= size
    assert [p.start for p in parts] == [0] + list(accumulate(p.length for p in parts))[:-1]
    for part in parts:
        assert not part.bgzf and not part.whole
        assert part.before == (part.start - 1 if part.start else None)


def test_an_empty_plain_file_is_one_empty_range(tmp_path: Path) -> None:
    path = tmp_path / "empty.vcf"
    path.write_bytes(b"")
    status = path.stat()
    identity = (0, status.st_mtime_ns, status.st_ino)
    assert partition_file(str(path), 10) == [Part(str(path), False, None, 0, 0, identity=identity)]


@pytest.mark.parametrize("size", [1, 300, 2000])
def test_bgzf_ranges_start_at_blocks_and_find_the_byte_before(tmp_path: Path, size: int) -> None:
    # Empty blocks among the others: the byte before a cut lies in an earlier block.
    path = write_blocks(tmp_path / "a.vcf.gz", [p for piece in cut(TEXT, [97, 250, 13]) for p in (piece, b"")])
    parts = partition_file(str(path), size)
    assert parts[0].before is None and parts[0].start == 0
    assert len(parts) > 1
    for previous, part in zip(parts, parts[1:]):
        assert part.bgzf and not part.whole
        assert previous.start + previous.length == part.start
        assert part.before is not None
        assert byte_at(path, part.before) == TEXT[part.start - 1]


@pytest.mark.parametrize("count", [2, 3, 7])
def test_bgzf_ranges_are_of_even_size(tmp_path: Path, count: int) -> None:
    # Blocks of about equal size: the last range is no runt left over by fixed-size cuts.
    path = write_blocks(tmp_path / "a.vcf.gz", cut(TEXT, [len(TEXT) // 70 + 1]))
    size = -(-os.path.getsize(path) // count)
    lengths = [p.length for p in partition_file(str(path), size)[:-1]]
    assert len(lengths) == count - 1
    last = len(TEXT) - sum(lengths)
    block = len(TEXT) // 70 + 1
    assert max([*lengths, last]) - min([*lengths, last]) <= 2 * block


@pytest.mark.skipif(not have_tools(), reason="needs bgzip")
def test_a_gzi_index_gives_the_blocks_a_walk_finds(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    plain = tmp_path / "a.vcf"
    plain.write_bytes(random_vcf(4, 20000)[0].encode())
    path = bgzip_file(plain, tmp_path / "a.vcf.gz")
    walked = partition_file(str(path), 1)
    subprocess.run(["bgzip", "-r", str(path)], check=True)
    assert (tmp_path / "a.vcf.gz.gzi").exists()

    def no_walk(fd: int) -> None:
        raise AssertionError("walked the blocks despite the index")

    monkeypatch.setattr(_partition, "_walk_blocks", no_walk)
    assert partition_file(str(path), 1) == walked
    assert len(walked) > 2


def test_a_gzi_index_that_disagrees_with_the_file_is_not_trusted(tmp_path: Path) -> None:
    path = write_blocks(tmp_path / "a.vcf.gz", cut(TEXT, [500]))
    walked = partition_file(str(path), 1)
    # Offsets that land inside blocks.
    gzi = tmp_path / "a.vcf.gz.gzi"
    gzi.write_bytes((2).to_bytes(8, "little") + b"".join(
        (c + 3).to_bytes(8, "little") + (u).to_bytes(8, "little") for c, u in [(40, 500), (90, 1000)]))
    assert partition_file(str(path), 1) == walked


def test_a_gzi_index_older_than_its_file_is_ignored(tmp_path: Path) -> None:
    path = write_blocks(tmp_path / "a.vcf.gz", cut(TEXT, [500]))
    gzi = tmp_path / "a.vcf.gz.gzi"
    gzi.write_bytes((0).to_bytes(8, "little"))
    os.utime(gzi, (0, 0))
    assert len(partition_file(str(path), 1)) > 1


@pytest.mark.parametrize(
    "damage",
    [
        pytest.param(lambda data: data[:-28], id="no end-of-file marker"),
        pytest.param(lambda data: data[:100] + data[-28:], id="truncated block"),
        pytest.param(lambda data: data[:-28] + b"junk" + data[-28:], id="garbage between blocks"),
        pytest.param(lambda data: gzip.compress(TEXT), id="plain gzip"),
    ],
)
def test_inputs_that_are_not_whole_bgzf_are_read_whole(tmp_path: Path, damage) -> None:  # type: ignore[no-untyped-def]
    path = write_blocks(tmp_path / "a.vcf.gz", cut(TEXT, [500]))
    path.write_bytes(damage(path.read_bytes()))
    assert partition_file(str(path), 1) == [Part(str(path), False, None, 0, 0, whole=True)]


def test_the_size_must_be_positive(tmp_path: Path) -> None:
    path = tmp_path / "a.vcf"
    path.write_bytes(TEXT)
    with pytest.raises(ValueError, match="partition_size"):
        partition_file(str(path), 0)



def test_an_index_that_lists_some_blocks_only_is_not_trusted(tmp_path: Path) -> None:
    path = write_blocks(tmp_path / "a.vcf.gz", cut(TEXT, [500]))
    walked = partition_file(str(path), 1)
    third = walked[2]
    assert third.before is not None
    data = path.read_bytes()
    # The start of the third range, listed alone: its predecessor is not the first block.
    block = third.before >> 16
    after = block + int.from_bytes(data[block + 16 : block + 18], "little") + 1
    gzi = tmp_path / "a.vcf.gz.gzi"
    gzi.write_bytes(b"".join(n.to_bytes(8, "little") for n in (1, after, third.start)))
    assert partition_file(str(path), 1) == walked
