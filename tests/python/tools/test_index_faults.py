"""Indexes that do not describe their data are never believed, and following a sound index keeps
what a scan keeps: with no selector, at POS 0, past odd header lines."""

from __future__ import annotations

import gzip
import os
import shutil
import struct
import subprocess
import sys
import warnings
from collections.abc import Callable
from pathlib import Path
from typing import Any

import pytest
import varsift_tools
from bgzf_blocks import cut, write_blocks
from vcf_files import bgzip_file, random_vcf

pytestmark = pytest.mark.skipif(
    not all(shutil.which(tool) for tool in ("bgzip", "tabix")), reason="needs bgzip and tabix"
)

TABIX = {"tbi": ["-p", "vcf"], "csi": ["-C", "-p", "vcf"]}
# The pseudo-bin of a tabix index holds counts and offsets of a whole sequence, not a chunk.
PSEUDO_BIN = 37450


def indexed(tmp_path: Path, text: str, kind: str = "tbi") -> Path:
    plain = tmp_path / "in.vcf"
    plain.write_text(text)
    data = bgzip_file(plain, tmp_path / "in.vcf.gz")
    subprocess.run(["tabix", "-f", *TABIX[kind], str(data)], check=True)
    return data


def through(api: str, data: Path, index: bool | None, selection: dict[str, Any]) -> list[str]:
    """The lines kept, header first, read by one of the ways a user has."""
    if api == "subset":
        header, records = varsift_tools.subset(data, index=index, **selection)
        return [*header, *records]
    if api == "iter_lines":
        return list(varsift_tools.iter_lines(data, index=index, **selection))
    out = data.parent / "out.vcf"
    varsift_tools.write_subset(data, out, index=index, **selection)
    return out.read_text().splitlines()


def shift_chunks(index: Path, by: int) -> None:
    """Moves where every chunk of a tabix index begins by `by` bytes."""
    raw = gzip.decompress(index.read_bytes())
    out = bytearray(raw[:36])
    (names,) = struct.unpack_from("<i", raw, 32)
    out += raw[36 : 36 + names]
    at = 36 + names
    for _ in range(struct.unpack_from("<i", raw, 4)[0]):
        (bins,) = struct.unpack_from("<i", raw, at)
        out += raw[at : at + 4]
        at += 4
        for _ in range(bins):
            number, chunks = struct.unpack_from("<Ii", raw, at)
            out += raw[at : at + 8]
            at += 8
            for _ in range(chunks):
                begin, end = struct.unpack_from("<QQ", raw, at)
                out += struct.pack("<QQ", begin + (by if number != PSEUDO_BIN else 0), end)
                at += 16
        (intervals,) = struct.unpack_from("<i", raw, at)
        out += raw[at : at + 4 + 8 * intervals]
        at += 4 + 8 * intervals
    out += raw[at:]
    write_blocks(index, cut(bytes(out), [60000]))


def reannotate(data: Path, index: Path) -> None:
    """Replaces the data by the same records with longer IDs, as old as `cp -p` leaves it."""
    lines = gzip.decompress(data.read_bytes()).decode().splitlines(keepends=True)
    longer = [
        line if line.startswith("#") else line.replace("\trs", "\trs_reannotated_", 1)
        for line in lines
    ]
    plain = data.with_suffix(".new")
    plain.write_text("".join(longer))
    bgzip_file(plain, data)
    older = index.stat().st_mtime_ns - 10**10
    os.utime(data, ns=(older, older))


@pytest.mark.parametrize(
    ("fault", "kind", "records"),
    [("shifted", "tbi", 40), ("shifted", "tbi", 60000), ("reannotated", "tbi", 40),
     ("reannotated", "tbi", 60000), ("reannotated", "csi", 40), ("reannotated", "csi", 60000)],
)
@pytest.mark.parametrize("api", ["subset", "iter_lines", "write_subset"])
def test_index_that_meets_no_record_warns_and_scans_or_fails_when_forced(
    tmp_path: Path, fault: str, kind: str, records: int, api: str
) -> None:
    text, sites = random_vcf(records, records)
    data = indexed(tmp_path, text, kind)
    index = Path(f"{data}.{kind}")
    if fault == "shifted":
        shift_chunks(index, 3)
    else:
        reannotate(data, index)
    # Two sites: few enough that a large file is read through the index when it can be.
    chosen = [sites[len(sites) // 3], sites[-1]]
    refused = warned = 0
    for selection in [
        {"positions": [pos for _, pos in chosen]},
        {"targets": chosen},
        {"regions": [(chrom, pos, pos + 3) for chrom, pos in chosen]},
    ]:
        expected = through(api, data, False, selection)
        for index in (None, True):
            # An index whose offsets still meet what they should gives the right lines.
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                try:
                    assert through(api, data, index, selection) == expected
                except ValueError as error:
                    assert index and "does not match" in str(error)
                    refused += 1
            assert all("does not match" in str(w.message) for w in caught)
            warned += len(caught)
    assert refused >= 1
    # A small file is scanned for its cost, before its index is read.
    assert (warned >= 1) == (records > 1000)


def command(*arguments: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-m", "varsift_tools", *arguments],
        capture_output=True, text=True, check=False, timeout=60,
    )


def test_command_warns_of_an_index_that_meets_no_record(tmp_path: Path) -> None:
    text, sites = random_vcf(5, 60000)
    data = indexed(tmp_path, text)
    reannotate(data, Path(f"{data}.tbi"))
    chosen = [f"{chrom}:{pos}" for chrom, pos in sites[::30000]]
    expected = command(str(data), "--no-index", "-t", *chosen)
    automatic = command(str(data), "-t", *chosen)
    assert (automatic.returncode, automatic.stdout) == (0, expected.stdout)
    assert automatic.stderr.startswith("varsift: warning: index ")
    forced = command(str(data), "--force-index", "-t", *chosen)
    assert (forced.returncode, forced.stdout) == (1, "")
    assert "does not match" in forced.stderr


def chunk_starts(index: Path) -> list[int]:
    """Where the first chunk of each sequence of a tabix index begins."""
    raw = gzip.decompress(index.read_bytes())
    (names,) = struct.unpack_from("<i", raw, 32)
    at = 36 + names
    starts = []
    for _ in range(struct.unpack_from("<i", raw, 4)[0]):
        (bins,) = struct.unpack_from("<i", raw, at)
        at += 4
        first = []
        for _ in range(bins):
            number, chunks = struct.unpack_from("<Ii", raw, at)
            if number != PSEUDO_BIN:
                first += [struct.unpack_from("<Q", raw, at + 8 + 16 * n)[0] for n in range(chunks)]
            at += 8 + 16 * chunks
        starts.append(min(first))
        (intervals,) = struct.unpack_from("<i", raw, at)
        at += 4 + 8 * intervals
    return starts


def test_damage_where_a_range_starts_is_the_data_fault(tmp_path: Path) -> None:
    text, sites = random_vcf(6, 60000)
    data = indexed(tmp_path, text)
    index = Path(f"{data}.tbi")
    # The block where the last sequence's records start is there but does not inflate.
    block = chunk_starts(index)[-1] >> 16
    assert block > 0
    raw = bytearray(data.read_bytes())
    raw[block + 18] = 0xFF  # a deflate block type that does not exist
    first = next(site for site in sites if site[0] == sites[-1][0])
    data.write_bytes(bytes(raw))
    older = index.stat().st_mtime_ns - 10**10
    os.utime(data, ns=(older, older))
    for index_mode in (None, True, False):
        with pytest.raises(varsift_tools.CompressionError):
            varsift_tools.subset(data, index=index_mode, targets=[first])


def test_damage_in_the_block_a_kept_line_ends_in_is_the_data_fault(tmp_path: Path) -> None:
    text = random_vcf(7, 20000)[0]
    data = indexed(tmp_path, text)
    raw = bytearray(data.read_bytes())
    # The second block, and the record whose line runs on into it from the first.
    second = struct.unpack_from("<H", raw, 16)[0] + 1
    first_block = gzip.decompress(bytes(raw[:second]))
    start = first_block.rfind(b"\n") + 1
    chrom, pos = first_block[start:].split(b"\t")[:2]
    assert chrom and pos.isdigit()
    raw[second + 18] = 0xFF  # a deflate block type that does not exist
    data.write_bytes(bytes(raw))
    older = Path(f"{data}.tbi").stat().st_mtime_ns - 10**10
    os.utime(data, ns=(older, older))
    with pytest.raises(varsift_tools.CompressionError, match="corrupt BGZF block"):
        varsift_tools.subset(data, index=True, targets=[(chrom.decode(), int(pos))])


def pos0_vcf(contig_line: str = "##contig=<ID=c1>\n##contig=<ID=c2>") -> str:
    return (
        f"##fileformat=VCFv4.2\n{contig_line}\n#CHROM\tPOS\tID\tREF\tALT\n"
        "c1\t0\ttelomere\tN\t<DEL>\nc1\t1\ta\tA\tC\nc1\t20000\tb\tA\tC\n"
        "c2\t0\tc\tN\tA\nc2\t5\td\tA\tC\n"
    )


@pytest.mark.parametrize("kind", ["tbi", "csi", "varsift-tbi", "varsift-csi"])
@pytest.mark.parametrize(
    "selection",
    [{"positions": [0]}, {"targets": [("c1", 0)]}, {"regions": [("c1", 0, 0)]},
     {"regions": [("c2", 0, 1)]}],
    ids=["positions", "targets", "regions", "region-from-0"],
)
def test_index_keeps_what_a_scan_keeps(
    tmp_path: Path, kind: str, selection: dict[str, Any]
) -> None:
    plain = tmp_path / "in.vcf"
    plain.write_text(pos0_vcf())
    data = bgzip_file(plain, tmp_path / "in.vcf.gz")
    if kind.startswith("varsift-"):
        varsift_tools.write_index(data, csi=kind.endswith("csi"))
    else:
        subprocess.run(["tabix", "-f", *TABIX[kind], str(data)], check=True, capture_output=True)
    scanned = varsift_tools.subset(data, index=False, **selection)
    assert len(scanned[1]) >= 1
    assert varsift_tools.subset(data, index=True, **selection) == scanned


def test_forced_index_without_selector_keeps_every_record_in_the_command(tmp_path: Path) -> None:
    data = indexed(tmp_path, pos0_vcf())
    forced = command(str(data), "--force-index")
    assert (forced.returncode, forced.stdout) == (0, gzip.decompress(data.read_bytes()).decode())
    assert forced.stderr == ""


def test_quoted_values_of_contig_lines_do_not_hide_the_id(tmp_path: Path) -> None:
    text = pos0_vcf('##contig=<ID=c1,note="x,ID=y">\n##contig=<species="a>b",ID=c2>')
    data = indexed(tmp_path, text)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        header, records = varsift_tools.subset(data, index=True, targets=[("c2", 5)])
    assert records == ["c2\t5\td\tA\tC"]


@pytest.mark.parametrize("kind", ["tbi", "csi"])
def test_hash_lines_among_records_are_dropped_either_way(tmp_path: Path, kind: str) -> None:
    first = pos0_vcf("##contig=<ID=c1>\n##contig=<ID=c2>\n##contig=<ID=c3>")
    # The index's chunk of c3 begins where c2 ends: at the '#' lines.
    second = "##fileformat=VCFv4.2\n#CHROM\tPOS\tID\tREF\tALT\nc3\t7\te\tA\tC\nc3\t9\tf\tA\tC\n"
    data = indexed(tmp_path, first + second, kind)
    header_lines = [line for line in first.splitlines() if line.startswith("#")]
    for selection in [{}, {"targets": [("c2", 5), ("c3", 7)]}, {"regions": [("c3", 1, 10)]}]:
        scanned = varsift_tools.subset(data, index=False, **selection)
        assert scanned[0] == header_lines
        assert not any(line.startswith("#") for line in scanned[1])
        assert "c3\t7\te\tA\tC" in scanned[1]
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            assert varsift_tools.subset(data, index=True, **selection) == scanned


def far_vcf(tmp_path: Path) -> Path:
    """Records beyond 2**29, which only a CSI index holds."""
    source = tmp_path / "far.vcf"
    source.write_text(
        "##fileformat=VCFv4.2\n#CHROM\tPOS\tID\tREF\tALT\n"
        + "".join(f"c1\t{pos}\t.\tA\tC\n" for pos in (5, 2**29 + 10, 2**30))
    )
    return source


def write_with_dask(source: Path, out: Path, **options: Any) -> int:
    dask = pytest.importorskip("dask")
    from varsift_tools import dask as vdask

    with dask.config.set(scheduler="synchronous"):
        return vdask.write_subset(source, out, **options)


def test_dask_indexes_positions_beyond_a_tabix_index_as_csi(tmp_path: Path) -> None:
    source = far_vcf(tmp_path)
    out = tmp_path / "out.vcf.gz"
    out.write_bytes(b"old")
    with pytest.raises(ValueError, match=r"out\.vcf\.gz: cannot index: .*beyond 2\^29"):
        write_with_dask(source, out, write_index="tbi")
    assert out.read_bytes() == b"old"
    assert write_with_dask(source, out, index=True) == 3
    assert not Path(f"{out}.tbi").exists()
    assert varsift_tools.subset(out, index=True, targets=[("c1", 2**30)])[1] == [
        f"c1\t{2**30}\t.\tA\tC"
    ]
    assert write_with_dask(source, out, write_index="csi") == 3
    assert sorted(p.name for p in tmp_path.iterdir()) == ["far.vcf", "out.vcf.gz", "out.vcf.gz.csi"]


@pytest.mark.parametrize("writer", ["library", "dask", "command"])
def test_index_that_cannot_be_put_in_place_leaves_the_output(tmp_path: Path, writer: str) -> None:
    source = far_vcf(tmp_path)
    out = tmp_path / "out.vcf.gz"
    out.write_bytes(b"old")
    Path(f"{out}.csi").mkdir()
    if writer == "command":
        result = command(str(source), "-o", str(out), "--write-index", "csi")
        assert (result.returncode, result.stderr) == (
            1, f"varsift: error: {out}.csi: Is a directory\n"
        )
    else:
        with pytest.raises(IsADirectoryError) as raised:
            if writer == "library":
                varsift_tools.write_subset(source, out, write_index="csi")
            else:
                write_with_dask(source, out, write_index="csi")
        assert raised.value.filename == f"{out}.csi"
    assert out.read_bytes() == b"old"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["far.vcf", "out.vcf.gz", "out.vcf.gz.csi"]


STICKY_CHILD = """
import os, sys, varsift_tools, varsift_tools._output
os.setgid(65534)
os.setuid(65534)
source, out = sys.argv[1:]
try:
    varsift_tools.write_subset(source, out, write_index="tbi")
except PermissionError as error:
    print(error.filename, os.path.exists(out))
"""


@pytest.mark.skipif(os.geteuid() != 0, reason="needs root to play two users")
def test_another_users_index_in_a_sticky_directory_is_refused_first(tmp_path: Path) -> None:
    import tempfile

    shared = Path(tempfile.mkdtemp())
    try:
        shared.chmod(0o1777)
        source = shared / "in.vcf"
        source.write_text(pos0_vcf())
        source.chmod(0o644)
        out = shared / "out.vcf.gz"
        theirs = Path(f"{out}.tbi")
        theirs.write_bytes(b"theirs")
        os.chown(theirs, 65533, 65533)
        child = subprocess.run(
            [sys.executable, "-c", STICKY_CHILD, str(source), str(out)],
            capture_output=True, text=True, timeout=60, check=False,
        )
        assert (child.stdout, child.stderr) == (f"{theirs} False\n", "")
        assert sorted(p.name for p in shared.iterdir()) == ["in.vcf", "out.vcf.gz.tbi"]
    finally:
        shutil.rmtree(shared)
