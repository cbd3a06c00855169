"""A BCF file's .csi (as `bcftools index` writes it) is followed for narrowing selections, locally
and over HTTP, and gives what `bcftools view -r/-t/-R/-T` gives on the same file."""

from __future__ import annotations

import os
import random
import shutil
import subprocess
import threading
import time
import warnings
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import pytest
import varsift_tools
from http_server import FileServer

pytestmark = pytest.mark.skipif(
    not all(shutil.which(tool) for tool in ("bgzip", "bcftools")), reason="needs bgzip and bcftools"
)

CONTIGS = ["chr1", "chr2", "chrX", "chrY"]


def write_bcf(root: Path, name: str, seed: int, records: int) -> Path:
    """A sorted BCF over many BGZF blocks, with its .csi; chrY is declared and holds nothing."""
    rng = random.Random(seed)
    lines = [
        "##fileformat=VCFv4.2",
        *(f"##contig=<ID={name},length=100000000>" for name in CONTIGS),
        '##INFO=<ID=DP,Number=1,Type=Integer,Description="Depth">',
        '##FORMAT=<ID=GT,Number=1,Type=String,Description="Genotype">',
        "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\ts1\ts2",
    ]
    for chrom in CONTIGS[:3]:
        pos = 1
        for _ in range(records // 3):
            pos += rng.choice([0, 1, 7, 40, 300])
            ref, alt = rng.choice([("A", "G"), ("ATG", "A"), ("C", "T,CA")])
            lines.append(
                f"{chrom}\t{pos}\t.\t{ref}\t{alt}\t{rng.randrange(99)}\tPASS\tDP={rng.randrange(50)}"
                f"\tGT\t0/1\t1/1"
            )
    text = root / f"{name}.vcf"
    text.write_text("".join(line + "\n" for line in lines))
    path = root / f"{name}.bcf"
    subprocess.run(
        ["bcftools", "view", "--no-version", "-O", "b", "-o", str(path), str(text)], check=True
    )
    subprocess.run(["bcftools", "index", "-c", str(path)], check=True)
    return path


@pytest.fixture(scope="module")
def indexed(tmp_path_factory: pytest.TempPathFactory) -> Path:
    root = tmp_path_factory.mktemp("bcf_index")
    path = write_bcf(root, "calls", 5, 30_000)
    (root / "sites.tsv").write_text("chr1\t1500\nchr1\t90000\nchr2\t40000\nchrX\t5\nchrY\t10\n")
    (root / "regions.bed").write_text("chr1\t999\t5000\nchr2\t100000\t100100\nchr9\t1\t100\n")
    # The same records as a BGZF VCF with its .tbi.
    subprocess.run(["bgzip", "-k", str(root / "calls.vcf")], check=True)
    subprocess.run(["tabix", "-p", "vcf", str(root / "calls.vcf.gz")], check=True)
    return path


def bcftools_view(path: Path, *options: str) -> list[str]:
    ran = subprocess.run(
        ["bcftools", "view", "--no-version", *options, str(path)], check=True, capture_output=True
    )
    return ran.stdout.decode().splitlines()


# bcftools' options and the same selection; regions sorted and apart, as bcftools -r gives
# records in region order.
SELECTIONS = [
    (["-r", "chr1:1000-50000"], {"regions": "chr1:1000-50000"}),
    (["-r", "chr1:20000-20300,chrX"], {"regions": "chr1:20000-20300,chrX"}),
    (["-r", "chrY,chr9:1-100"], {"regions": "chrY,chr9:1-100"}),
    (["-t", "chr2:30000-32000"], {"targets": "chr2:30000-32000"}),
    (["-R", "regions.bed"], {"regions_file": "regions.bed"}),
    (["-T", "sites.tsv"], {"targets_file": "sites.tsv"}),
    (["-r", "chr1:1000-90000", "-t", "chr1:1500-1600"],
     {"regions": "chr1:1000-90000", "targets": "chr1:1500-1600"}),
    (["-t", "^chr1:1-100000"], {"targets": "chr1:1-100000", "exclude_targets": True}),
]


@pytest.mark.parametrize(("options", "chosen"), SELECTIONS, ids=lambda x: " ".join(x) if isinstance(x, list) else "")
@pytest.mark.parametrize("index", [True, None])
def test_a_bcf_index_gives_what_bcftools_view_gives(indexed: Path, options: list[str], chosen: dict[str, Any], index: bool | None, tmp_path: Path) -> None:
    root = indexed.parent
    files = {key: str(root / value) if key.endswith("_file") else value for key, value in chosen.items()}
    selection = varsift_tools.Selection(**files)
    expected = bcftools_view(indexed, *[str(root / o) if o.endswith((".bed", ".tsv")) else o for o in options])
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        header, records = varsift_tools.subset(indexed, selection=selection, index=index)
    assert header + records == expected
    assert not [w for w in caught if "index" in str(w.message)]
    # BCF out: the records' bytes, as a whole read copies them.
    through = tmp_path / "through.bcf"
    whole = tmp_path / "whole.bcf"
    kept = varsift_tools.write_subset(indexed, through, selection=selection, index=index)
    assert kept == len(records)
    varsift_tools.write_subset(indexed, whole, selection=selection, index=False)
    assert bcftools_view(through) == bcftools_view(whole)
    assert subprocess.run(["bgzip", "-dc", str(through)], capture_output=True, check=True).stdout == \
        subprocess.run(["bgzip", "-dc", str(whole)], capture_output=True, check=True).stdout


@pytest.fixture
def faulty(indexed: Path, tmp_path: Path, request: pytest.FixtureRequest) -> Path:
    """A copy of the BCF whose .csi is damaged, or another file's, or the BCF's before its
    records past chr1 were given IDs: its ranges on chr1 still meet the data."""
    path = tmp_path / "calls.bcf"
    shutil.copyfile(indexed, path)
    index = Path(f"{path}.csi")
    if request.param == "changed past chr1":
        lines = indexed.with_suffix(".vcf").read_text().splitlines(keepends=True)
        changed = tmp_path / "changed.vcf"
        changed.write_text("".join(
            line.replace("\t.\t", f"\trs{number}\t", 1) if line.startswith(("chr2", "chrX")) else line
            for number, line in enumerate(lines)
        ))
        subprocess.run(["bcftools", "view", "--no-version", "-O", "b", "-o", str(path), str(changed)], check=True)
        shutil.copyfile(f"{indexed}.csi", index)
    elif request.param == "damaged":
        data = bytearray(subprocess.run(["bgzip", "-dc", f"{indexed}.csi"], capture_output=True, check=True).stdout)
        data[20:28] = b"\xff" * 8  # the count of sequences, and the first one's count of bins
        index.write_bytes(subprocess.run(["bgzip", "-c"], input=bytes(data), capture_output=True, check=True).stdout)
    else:
        other = write_bcf(tmp_path, "other", 6, 30_000)
        shutil.copyfile(f"{other}.csi", index)
    os.utime(index, (path.stat().st_mtime + 5,) * 2)
    return path


@pytest.mark.parametrize("faulty", ["damaged", "another file's", "changed past chr1"], indirect=True)
def test_a_faulty_index_warns_and_reads_whole_or_raises_when_forced(faulty: Path) -> None:
    selection = varsift_tools.Selection(regions="chr1:1000-50000,chrX:100-900")
    with pytest.raises(ValueError, match="calls.bcf.csi"):
        varsift_tools.subset(faulty, selection=selection, index=True)
    with pytest.warns(UserWarning, match="reading the whole file instead"):
        header, records = varsift_tools.subset(faulty, selection=selection)
    sound = faulty.with_name("sound.bcf")
    shutil.copyfile(faulty, sound)
    subprocess.run(["bcftools", "index", "-c", str(sound)], check=True)
    assert header + records == bcftools_view(sound, "-r", "chr1:1000-50000,chrX:100-900")


@pytest.fixture(scope="module")
def server(indexed: Path) -> Iterator[FileServer]:
    with FileServer(indexed.parent) as served:
        yield served


def test_a_bcf_url_is_read_through_its_index(indexed: Path, server: FileServer) -> None:
    selection = varsift_tools.Selection(regions="chr2:40000-42000")
    header, records = varsift_tools.subset(server.url(indexed.name), selection=selection, index=True)
    assert records
    assert header + records == bcftools_view(indexed, "-r", "chr2:40000-42000")


# The data once (its index through the handle that told BCF apart), the index, the ranges: the
# blocks the index's check read are taken from memory, not fetched again. BCF output is told
# BCF by the handle that reads it; a forced index with nothing to look up is checked, and the
# data read on through the handle that read its header.
SPREAD = "chr1:1000-2000,chr2:40000-42000,chrX:100-900"


@pytest.mark.parametrize(
    ("name", "index", "regions", "output", "requests"),
    [
        ("calls.bcf", True, "chr2:40000-42000", None, 3),
        ("calls.bcf", None, "chr2:40000-42000", None, 3),
        ("calls.bcf", True, SPREAD, None, 3),
        ("calls.bcf", None, SPREAD, None, 3),
        ("calls.bcf", False, "chr2:40000-42000", None, 1),
        ("calls.bcf", None, None, None, 1),
        ("calls.bcf", None, None, "out.bcf", 1),
        ("calls.bcf", None, "chr2:40000-42000", "out.bcf", 3),
        ("calls.vcf.gz", True, None, None, 2),
    ],
)
def test_a_url_is_opened_once(
    indexed: Path, server: FileServer, tmp_path: Path, name: str, index: bool | None, regions: str | None, output: str | None, requests: int
) -> None:
    selection = varsift_tools.Selection(regions=regions) if regions else None
    server.reset()
    if output:
        varsift_tools.write_subset(server.url(name), tmp_path / output, selection=selection, index=index)
    else:
        header, records = varsift_tools.subset(server.url(name), selection=selection, index=index)
    assert server.reset().requests == requests
    expected = bcftools_view(indexed, "-H", *(["-r", regions] if regions else []))
    assert (bcftools_view(tmp_path / output, "-H") if output else records) == expected


@pytest.mark.parametrize(("beside", "expected"), [("its own", 30_000), ("none", -1), ("another file's", -1)])
def test_a_whole_copy_counts_the_records_by_a_sound_index(indexed: Path, tmp_path: Path, beside: str, expected: int) -> None:
    path = tmp_path / "calls.bcf"
    shutil.copyfile(indexed, path)
    if beside != "none":
        source = indexed if beside == "its own" else write_bcf(tmp_path, "other", 7, 20_000)
        shutil.copyfile(f"{source}.csi", f"{path}.csi")
    out = tmp_path / "out.bcf"
    assert varsift_tools.write_subset(path, out) == expected
    assert out.read_bytes() == indexed.read_bytes()


def test_writing_bcf_reports_progress(tmp_path: Path) -> None:
    path = write_bcf(tmp_path, "long", 8, 120_000)
    read, write = os.pipe()
    received = bytearray()

    def drain() -> None:
        # Slowly, so that each step of 50,000 records outlasts the interval between reports.
        while chunk := os.read(read, 1 << 16):
            received.extend(chunk)
            time.sleep(0.01)

    reader = threading.Thread(target=drain)
    reader.start()
    calls: list[tuple[int, int, int]] = []
    try:
        kept = varsift_tools.write_subset(path, write, format="bcf", compress=False, progress=lambda *a: calls.append(a))
    finally:
        os.close(write)
        reader.join()
        os.close(read)
    assert kept == 120_000 and received.startswith(b"BCF\x02")
    assert calls and all(0 < r and 0 < stored < r and 0 < k < kept for r, stored, k in calls), calls


@pytest.mark.parametrize("index", [None, True])
def test_bcf_output_from_a_vcf_url_is_refused(indexed: Path, server: FileServer, tmp_path: Path, index: bool | None) -> None:
    out = tmp_path / "out.bcf"
    selection = varsift_tools.Selection(regions="chr2:40000-42000")
    with pytest.raises(varsift_tools.VcfFormatError, match="BCF output needs BCF input"):
        varsift_tools.write_subset(server.url("calls.vcf.gz"), out, selection=selection, index=index)
    assert not out.exists()
