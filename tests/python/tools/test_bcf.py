"""BCF input gives what `bcftools view` gives for the same selection; BCF output copies the kept
records' bytes unchanged and is indexed as `bcftools index` indexes it."""

from __future__ import annotations

import random
import shutil
import struct
import subprocess
import sys
import zlib
from pathlib import Path
from typing import Any

import pytest
import varsift_tools
from varsift_tools import CompressionError, VcfFormatError

pytestmark = pytest.mark.skipif(
    not all(shutil.which(tool) for tool in ("bgzip", "bcftools")), reason="needs bgzip and bcftools"
)

CONTIGS = ["chr1", "chr2", "chrX"]


def vcf_text(seed: int, records: int = 3000) -> tuple[str, list[tuple[str, int]]]:
    """A VCF with declared contigs, INFO and FORMAT fields and two samples, sorted."""
    rng = random.Random(seed)
    lines = [
        "##fileformat=VCFv4.2",
        *(f"##contig=<ID={name},length=100000000>" for name in CONTIGS),
        '##INFO=<ID=DP,Number=1,Type=Integer,Description="Depth">',
        '##INFO=<ID=NOTE,Number=1,Type=String,Description="Note">',
        '##INFO=<ID=DB,Number=0,Type=Flag,Description="In dbSNP">',
        '##FILTER=<ID=q10,Description="Quality below 10">',
        '##FORMAT=<ID=GT,Number=1,Type=String,Description="Genotype">',
        '##FORMAT=<ID=AD,Number=R,Type=Integer,Description="Depths">',
        "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\ts1\ts2",
    ]
    sites = []
    for chrom in CONTIGS:
        pos = rng.randrange(1, 50)
        for _ in range(records // len(CONTIGS)):
            pos += rng.choice([0, 1, 3, 20, 700])
            ref, alt = rng.choice([("A", "G"), ("AT", "A"), ("C", "T,CA")])
            # A note of 15 bytes or more has its length stored apart.
            info = rng.choice(["DP=7", "DP=12;NOTE=café", ".", "DB;NOTE=a_longer_note_of_30_bytes"])
            depths = ",".join(str(rng.randrange(30)) for _ in range(1 + alt.count(",") + 1))
            lines.append(
                f"{chrom}\t{pos}\trs{rng.randrange(10**6)}\t{ref}\t{alt}\t{rng.randrange(99)}\t"
                f"{rng.choice(['PASS', 'q10', '.'])}\t{info}\tGT:AD\t0/1:{depths}\t1/1:{depths}"
            )
            sites.append((chrom, pos))
    return "".join(line + "\n" for line in lines), sites


@pytest.fixture(scope="module")
def bcf(tmp_path_factory: pytest.TempPathFactory) -> tuple[Path, list[tuple[str, int]]]:
    root = tmp_path_factory.mktemp("bcf")
    text, sites = vcf_text(21)
    (root / "in.vcf").write_text(text)
    subprocess.run(
        ["bcftools", "view", "--no-version", "-O", "b", "-o", str(root / "in.bcf"), str(root / "in.vcf")],
        check=True,
    )
    subprocess.run(
        ["bcftools", "view", "--no-version", "-O", "u", "-o", str(root / "raw.bcf"), str(root / "in.vcf")],
        check=True,
    )
    return root, sites


def bcftools_view(path: Path, *options: str) -> list[str]:
    ran = subprocess.run(
        ["bcftools", "view", "--no-version", *options, str(path)], check=True, capture_output=True
    )
    return ran.stdout.decode().splitlines()


def selections(sites: list[tuple[str, int]]) -> list[dict[str, Any]]:
    chosen = random.Random(8).sample(sites, 40) + [("chr2", 10**8), ("nowhere", 4)]
    return [
        {},
        {"targets": chosen},
        {"positions": [pos for _, pos in chosen[:5]]},
        {"regions": [(chrom, pos, pos + 900) for chrom, pos in chosen[:8]]},
        {"targets": chosen[:3], "regions": [("chrX", 1, 2000)]},
        {"targets": []},
    ]


def kept(selection: dict[str, Any], chrom: str, pos: int) -> bool:
    if not selection:
        return True
    return (
        pos in selection.get("positions", ())
        or (chrom, pos) in selection.get("targets", ())
        or any(c == chrom and b <= pos <= e for c, b, e in selection.get("regions", ()))
    )


@pytest.mark.parametrize("name", ["in.bcf", "raw.bcf"])
def test_bcf_reads_as_bcftools_formats_it(bcf: tuple[Path, list], name: str) -> None:
    root, sites = bcf
    lines = bcftools_view(root / name)
    header = [line for line in lines if line.startswith("#")]
    records = [line for line in lines if not line.startswith("#")]
    for selection in selections(sites):
        expected = [r for r in records if kept(selection, r.split("\t")[0], int(r.split("\t")[1]))]
        assert varsift_tools.subset(root / name, **selection) == (header, expected)


def test_targets_agree_with_bcftools_view_t(bcf: tuple[Path, list], tmp_path: Path) -> None:
    root, sites = bcf
    targets = random.Random(2).sample(sites, 60)
    listed = tmp_path / "targets.tsv"
    listed.write_text("".join(f"{chrom}\t{pos}\n" for chrom, pos in sorted(set(targets))))
    header, records = varsift_tools.subset(root / "in.bcf", targets=targets)
    assert header + records == bcftools_view(root / "in.bcf", "-T", str(listed))


def records_of(data: bytes) -> tuple[bytes, list[bytes]]:
    """The header block and each record's bytes of inflated BCF."""
    assert data[:5] == b"BCF\x02\x02"
    (length,) = struct.unpack_from("<I", data, 5)
    at = 9 + length
    records = []
    while at < len(data):
        shared, individual = struct.unpack_from("<II", data, at)
        records.append(data[at : at + 8 + shared + individual])
        at += 8 + shared + individual
    return data[:9 + length], records


def inflated(path: Path) -> bytes:
    data = path.read_bytes()
    return _members(data) if data[:2] == b"\x1f\x8b" else data


def _members(data: bytes) -> bytes:
    out = b""
    while data:
        inflater = zlib.decompressobj(31)
        out += inflater.decompress(data)
        data = inflater.unused_data
    return out


@pytest.mark.parametrize(("compress", "magic"), [(None, b"\x1f\x8b"), (False, b"BCF\x02\x02")])
def test_bcf_output_copies_the_kept_records(bcf: tuple[Path, list], tmp_path: Path, compress: Any, magic: bytes) -> None:
    root, sites = bcf
    out = tmp_path / "out.bcf"
    selection = {"targets": random.Random(4).sample(sites, 30)}
    count = varsift_tools.write_subset(root / "in.bcf", out, compress=compress, **selection)
    assert out.read_bytes()[: len(magic)] == magic
    header, records = records_of(_members((root / "in.bcf").read_bytes()))
    out_header, out_records = records_of(inflated(out))
    chosen = [r for r in records if kept(selection, CONTIGS[struct.unpack_from("<i", r, 8)[0]], struct.unpack_from("<i", r, 12)[0] + 1)]
    assert (out_header, out_records) == (header, chosen)
    assert count == len(chosen)


def test_bcf_output_is_indexed_as_bcftools_indexes_it(bcf: tuple[Path, list], tmp_path: Path) -> None:
    root, sites = bcf
    out = tmp_path / "out.bcf"
    varsift_tools.write_subset(root / "in.bcf", out, regions=[("chr1", 1, 10**6), ("chrX", 1, 10**6)], write_index="csi")
    theirs = tmp_path / "theirs.bcf"
    shutil.copy(out, theirs)
    subprocess.run(["bcftools", "index", "-c", str(theirs)], check=True)
    assert _members(Path(f"{out}.csi").read_bytes()) == _members(Path(f"{theirs}.csi").read_bytes())
    assert bcftools_view(out, "-r", "chrX:1-5000") == bcftools_view(theirs, "-r", "chrX:1-5000")


def test_bcf_output_needs_bcf_input(bcf: tuple[Path, list], tmp_path: Path) -> None:
    root, _ = bcf
    out = tmp_path / "out.bcf"
    with pytest.raises(VcfFormatError, match="BCF output needs BCF input"):
        varsift_tools.write_subset(root / "in.vcf", out)
    assert not out.exists()


@pytest.mark.parametrize(
    ("arguments", "status", "check"),
    [
        (["in.bcf", "-r", "chr2:1-5000"], 0, "vcf"),
        (["in.bcf", "-r", "chr2:1-5000", "-o", "OUT.bcf"], 0, "bcf"),
        (["in.bcf", "-r", "chr2:1-5000", "-O", "u", "-o", "OUT"], 0, "bcf"),
        (["in.bcf", "-r", "chr2:1-5000", "-o", "OUT.bcf", "--write-index"], 0, "csi"),
        (["in.vcf", "-o", "OUT.bcf"], 1, "error"),
        (["in.bcf", "-o", "OUT.bcf", "--write-index", "tbi"], 1, "error"),
    ],
)
def test_the_command_reads_and_writes_bcf(bcf: tuple[Path, list], tmp_path: Path, arguments: list[str], status: int, check: str) -> None:
    root, _ = bcf
    out = tmp_path / "out"
    argv = [str(root / a) if a.startswith("in.") else a.replace("OUT", str(out)) for a in arguments]
    ran = subprocess.run([sys.executable, "-m", "varsift_tools", *argv], capture_output=True, timeout=60)
    assert ran.returncode == status, ran.stderr
    expected = bcftools_view(root / "in.bcf", "-t", "chr2:1-5000")
    if check == "vcf":
        assert ran.stdout.decode().splitlines() == expected
    elif check == "error":
        assert ran.stderr.startswith(b"varsift: error: ") and ran.stderr.count(b"\n") == 1
        assert not list(tmp_path.iterdir())
    else:
        written = next(tmp_path.iterdir()) if check != "csi" else Path(f"{out}.bcf")
        assert bcftools_view(written) == expected
        if check == "csi":
            assert Path(f"{out}.bcf.csi").exists()


@pytest.mark.parametrize("name", ["in.bcf", "raw.bcf"])
@pytest.mark.parametrize("through", ["redirect", "pipe"])
def test_bcf_on_standard_input_is_told_by_content(bcf: tuple[Path, list], name: str, through: str) -> None:
    root, _ = bcf
    command = [sys.executable, "-m", "varsift_tools", "-", "-t", "chr2:1-5000"]
    if through == "redirect":
        with open(root / name, "rb") as stdin:
            ran = subprocess.run(command, stdin=stdin, capture_output=True, timeout=60)
    else:
        cat = subprocess.Popen(["cat", str(root / name)], stdout=subprocess.PIPE)
        ran = subprocess.run(command, stdin=cat.stdout, capture_output=True, timeout=60)
        assert cat.stdout is not None
        cat.stdout.close()
        cat.wait(timeout=60)
    assert ran.returncode == 0, ran.stderr
    assert ran.stdout.decode().splitlines() == bcftools_view(root / "in.bcf", "-t", "chr2:1-5000")


def _set(record: bytes, offset: int, value: bytes) -> bytes:
    return record[:offset] + value + record[offset + len(value) :]


# Damage done to the tenth record of a BCF stored without compression: lengths, fixed fields, typed values.
DAMAGE = {
    "cut inside a record": lambda r: r[: len(r) // 2],
    "undeclared sequence": lambda r: _set(r, 8, struct.pack("<i", 99)),
    "negative POS": lambda r: _set(r, 12, struct.pack("<i", -7)),
    "shared part too short": lambda r: _set(r, 0, struct.pack("<I", 10)),
    "shared part longer than its values": lambda r: _set(r, 0, struct.pack("<I", struct.unpack_from("<I", r)[0] + 1)),
    "unknown type of the ID": lambda r: _set(r, 32, b"\x04"),
    "ID past the record": lambda r: _set(r, 32, b"\xf7\x13\xff\xff\xff\x7f"),
    "undeclared FORMAT key": lambda r: _set(r, 8 + struct.unpack_from("<I", r)[0], b"\x11\x7f"),
}


@pytest.mark.parametrize("damage", sorted(DAMAGE))
@pytest.mark.parametrize("write", [False, True])
def test_a_damaged_record_fails_naming_the_file(bcf: tuple[Path, list], tmp_path: Path, damage: str, write: bool) -> None:
    root, _ = bcf
    header, records = records_of(inflated(root / "raw.bcf"))
    damaged = tmp_path / "damaged.bcf"
    # A cut record is the file's last; other damage is followed by the other records. Every
    # record is kept: one not kept is framed, and its CHROM and POS read, but not decoded.
    rest = b"" if damage.startswith("cut") else b"".join(records[10:])
    damaged.write_bytes(header + b"".join(records[:9]) + DAMAGE[damage](records[9]) + rest)
    out = tmp_path / "out.bcf"
    with pytest.raises((CompressionError, VcfFormatError), match="damaged.bcf") as caught:
        if write:
            # Every record but one: copied one by one, each checked.
            every = varsift_tools.Selection(targets="chr1:1", exclude_targets=True)
            varsift_tools.write_subset(damaged, out, selection=every)
        else:
            varsift_tools.subset(damaged)
    assert "BCF" in str(caught.value)
    assert not out.exists()


def test_every_record_into_bgzf_copies_the_blocks(bcf: tuple[Path, list], tmp_path: Path) -> None:
    root, _ = bcf
    out = tmp_path / "out.bcf"
    assert varsift_tools.write_subset(root / "in.bcf", out) == -1  # no index beside it
    assert out.read_bytes() == (root / "in.bcf").read_bytes()


EOF_MARKER = bytes.fromhex("1f8b08040000000000ff0600424302001b0003000000000000000000")


@pytest.mark.parametrize(
    "damage",
    [
        pytest.param(lambda d: d[: len(d) // 2], id="cut inside a block"),
        pytest.param(lambda d: d[: -len(EOF_MARKER)], id="no end-of-file marker"),
        pytest.param(lambda d: d + b"trailing", id="trailing bytes"),
        pytest.param(lambda d: d[:-len(EOF_MARKER)] + b"\x1f\x8b\x08\x00" + d[-len(EOF_MARKER) + 4 :], id="not a BGZF block"),
    ],
)
def test_a_damaged_file_copied_whole_fails(bcf: tuple[Path, list], tmp_path: Path, damage: Any) -> None:
    root, _ = bcf
    data = (root / "in.bcf").read_bytes()
    assert data.endswith(EOF_MARKER)
    damaged = tmp_path / "damaged.bcf"
    damaged.write_bytes(damage(data))
    out = tmp_path / "out.bcf"
    with pytest.raises(CompressionError, match="damaged.bcf"):
        varsift_tools.write_subset(damaged, out)
    assert not out.exists()


def test_a_value_without_a_type_is_refused_not_left_to_end_the_process(tmp_path: Path) -> None:
    # htslib ends the process (exit) when it is asked to format such a value.
    text = "##fileformat=VCFv4.2\n##contig=<ID=chr1>\n"
    text += '##INFO=<ID=DP,Number=1,Type=Integer,Description="Depth">\n'
    text += "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\nchr1\t5\t.\tA\tG\t.\t.\tDP=7\n"
    (tmp_path / "one.vcf").write_text(text)
    made = tmp_path / "one.bcf"
    subprocess.run(["bcftools", "view", "--no-version", "-O", "u", "-o", str(made), str(tmp_path / "one.vcf")], check=True)
    header, (record,) = records_of(inflated(made))
    shared, individual = struct.unpack_from("<II", record)
    assert record.endswith(b"\x11\x07")  # INFO/DP's value: one int8, 7
    untyped = struct.pack("<II", shared - 1, individual) + record[8:-2] + b"\x10"
    (tmp_path / "untyped.bcf").write_bytes(header + untyped)
    code = "import varsift_tools, sys\ntry:\n    varsift_tools.subset(sys.argv[1])\nexcept varsift_tools.CompressionError as e:\n    print(e)\n"
    ran = subprocess.run([sys.executable, "-c", code, str(tmp_path / "untyped.bcf")], capture_output=True, timeout=60)
    assert ran.returncode == 0, ran.stderr
    assert b"untyped.bcf" in ran.stdout and b"malformed BCF record" in ran.stdout
