"""bcftools' selection conventions (-r, -R, -t, -T, ^, overlap modes) against bcftools view
itself, on real-world files and generated ones: the same records, by CHROM, POS, ID, REF and
ALT (bcftools may rewrite the other columns)."""

import gzip
import random
import shutil
import subprocess
from pathlib import Path

import pytest

import varsift_tools

pytestmark = pytest.mark.skipif(
    not all(shutil.which(tool) for tool in ("bgzip", "tabix", "bcftools")),
    reason="needs bgzip, tabix and bcftools",
)

CORPUS = Path(__file__).parent.parent.parent / "data" / "corpus"
BASES = "ACGT"


def generated_vcf(seed: int) -> str:
    """Sorted records on three contigs: SNVs, deletions and insertions with a padding base,
    MNPs, multi-allelic sites, symbolic deletions with INFO/END and records without ALT."""
    rng = random.Random(seed)
    lines = ["##fileformat=VCFv4.2"]
    contigs = ["chr1", "chr2", "chrX"]
    lines += [f"##contig=<ID={name},length=100000>" for name in contigs]
    lines += ['##INFO=<ID=END,Number=1,Type=Integer,Description="End">',
              "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO"]
    for chrom in contigs:
        pos = 0
        for number in range(rng.randint(20, 60)):
            pos += rng.randint(1, 40)
            ref = "".join(rng.choice(BASES) for _ in range(rng.randint(1, 6)))
            info = "."
            match rng.randrange(7):
                case 0:
                    alt = ref[0]  # deletion
                case 1:
                    alt = ref + "".join(rng.choice(BASES) for _ in range(3))  # insertion
                case 2:
                    alt, info = "<DEL>", f"END={pos + rng.randint(0, 80)}"
                case 3:
                    alt = f"{ref[0]},{ref}{rng.choice(BASES)}"
                case 4:
                    alt = "."
                case _:
                    alt = ref[0] + "".join(rng.choice(BASES) for _ in ref[1:]) + rng.choice("AC")
            lines.append(f"{chrom}\t{pos}\tv{number}\t{ref}\t{alt}\t.\tPASS\t{info}")
    return "\n".join(lines) + "\n"


def records(path: Path) -> tuple[list[tuple[str, int]], set[tuple[str, ...]]]:
    """The records' sites, and the records whose INFO/END bcftools reads otherwise: it takes
    END only when the header declares it and it is one plain number, where tabix's reading,
    which ours follows so that the index and the scan agree, takes its leading digits."""
    text = path.read_text(encoding="utf-8")
    declared = "##INFO=<ID=END," in text
    sites, odd = [], set()
    for line in text.splitlines():
        fields = line.split("\t")
        if fields[0].startswith("#") or len(fields) < 8:
            continue
        sites.append((fields[0], int(fields[1])))
        ends = [entry[4:] for entry in fields[7].split(";") if entry.startswith("END=")]
        if ends and (not declared or not ends[0].isdigit()):
            odd.add(tuple(fields[:5]))
    return sites, odd


FILES = sorted(p.name for p in CORPUS.glob("*.vcf"))


@pytest.fixture(scope="module", params=[*FILES, "generated-1", "generated-2"])
def indexed(request, tmp_path_factory):
    directory = tmp_path_factory.mktemp("selection")
    plain = directory / "in.vcf"
    if request.param.startswith("generated"):
        plain.write_text(generated_vcf(int(request.param[-1])))
    else:
        shutil.copy(CORPUS / request.param, plain)
    data = directory / "in.vcf.gz"
    subprocess.run(f"bgzip -c {plain} > {data} && tabix -p vcf {data}", shell=True, check=True,
                   capture_output=True)
    return data, records(plain)


def queries(sites: list[tuple[str, int]], seed: int) -> list[tuple[str, int, int]]:
    """Ranges around records: starting just after one (reaching into deletions), single
    bases, and a whole contig; sorted, as bcftools gives records in region order."""
    rng = random.Random(seed)
    chosen = set()
    for chrom, pos in rng.sample(sites, min(len(sites), 8)):
        start = max(1, pos + rng.randint(-2, 3))
        chosen.add((chrom, start, start + rng.choice([0, 0, 1, 5, 40])))
    return sorted(chosen)


def data_keys(lines) -> list[tuple[str, ...]]:
    return sorted(tuple(line.split("\t")[:5]) for line in lines if not line.startswith("#"))


def bcftools(data: Path, *args: str) -> list[tuple[str, ...]]:
    result = subprocess.run(["bcftools", "view", "-H", *args, str(data)], capture_output=True,
                            text=True, check=True, timeout=60)
    return data_keys(result.stdout.splitlines())


def list_of(ranges) -> str:
    return ",".join(f"{c}:{b}-{e}" for c, b, e in ranges)


def file_of(path: Path, ranges, bed: bool) -> Path:
    text = "".join(f"{c}\t{b - 1 if bed else b}\t{e}\n" for c, b, e in ranges)
    if path.suffix == ".gz":
        path.write_bytes(gzip.compress(text.encode()))
    else:
        path.write_text(text)
    return path


@pytest.mark.parametrize("overlap", ["pos", "record", "variant"])
@pytest.mark.parametrize(
    "convention", ["-r", "-R", "-R .bed", "-t", "-t ^", "-T", "-T ^", "-T .bed.gz"]
)
def test_records_are_the_ones_bcftools_view_keeps(indexed, tmp_path, convention, overlap):
    data, (sites, odd) = indexed
    if not sites:
        pytest.skip("no records")
    ranges = queries(sites, hash((convention, overlap)) & 0xFFFF)
    option, _, form = convention.partition(" ")
    exclude = form == "^"
    if option in ("-R", "-T"):
        name = "sel" + (form if form.startswith(".") else ".tsv")
        argument = str(file_of(tmp_path / name, ranges, form.startswith(".bed")))
    else:
        argument = list_of(ranges)
    kind = "regions" if option in ("-r", "-R") else "targets"
    key = kind if option in ("-r", "-t") else f"{kind}_file"
    selection = varsift_tools.Selection(
        **{key: argument, f"{kind}_overlap": overlap}, exclude_targets=exclude
    )
    theirs = bcftools(data, option, ("^" if exclude else "") + argument, f"--{kind}-overlap",
                      overlap)
    if overlap == "variant":
        # Without ALT a record changes nothing, and meets no region; bcftools lets it meet a
        # range that holds its last base and the next one. Excluded, it is kept.
        theirs = [key for key in theirs if key[4] != "." or exclude]
        if exclude:
            whole = bcftools(data)
            theirs = sorted({*theirs, *(key for key in whole if key[4] == ".")})
    theirs = [key for key in theirs if key not in odd]
    for index in (False, True):
        _, ours = varsift_tools.subset(data, selection=selection, index=index)
        assert [key for key in data_keys(ours) if key not in odd] == theirs, (
            convention, overlap, index, argument)
