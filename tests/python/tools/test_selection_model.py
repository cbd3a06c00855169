"""Every way of reading keeps what a small model of the selection rules keeps: generated files
of many contigs, POS 0, quoted contig lines and '#' lines among the records, stored plain, as
BGZF, and as BGZF with a .tbi or a .csi index."""

from __future__ import annotations

import random
import shutil
import subprocess
import sys
from pathlib import Path
from typing import Any

import pytest
import varsift_tools
from vcf_files import bgzip_file

pytestmark = pytest.mark.skipif(
    not all(shutil.which(tool) for tool in ("bgzip", "tabix")), reason="needs bgzip and tabix"
)

Record = tuple[str, int]
Selection = dict[str, Any]

# Sequences in each generated file, by seed; odd seeds join a second VCF.
CONTIGS = [300, 40, 120, 40]
# Selections read from each file every way, and through its index. Loading an index costs
# time per sequence it names, so the index is followed for fewer of them.
SELECTIONS = 150
INDEXED = 8


def generated(seed: int) -> tuple[str, list[str], list[Record]]:
    """A VCF of many contigs, some records at POS 0 and on repeated positions, a quoted `>`,
    `,` and `=` in contig lines, and with odd seeds a second VCF joined after the first.
    Gives the text, its header lines and the records' (CHROM, POS) in order."""
    rng = random.Random(seed)
    contigs = [f"c{n}" for n in range(CONTIGS[seed])]
    header = ["##fileformat=VCFv4.2"]
    for name in contigs:
        header.append(
            rng.choice(
                [f"##contig=<ID={name}>", f'##contig=<note="a>b,ID=x",ID={name},length=9>']
            )
        )
    header.append("#CHROM\tPOS\tID\tREF\tALT")
    records: list[Record] = []
    lines = list(header)
    for name in contigs:
        pos = rng.choice([0, 0, 1, 16383, 16384])
        for _ in range(rng.randrange(1, 12)):
            records.append((name, pos))
            lines.append(f"{name}\t{pos}\tid{len(records)}\tA\t{'C' * rng.randrange(1, 30)}")
            pos += rng.choice([0, 1, 7, 16384, 70000])
        if seed % 2 and name == contigs[len(contigs) // 2]:
            lines += ["##fileformat=VCFv4.2", "#CHROM\tPOS\tID\tREF\tALT"]
    return "".join(line + "\n" for line in lines), header, records


def selections(rng: random.Random, records: list[Record], count: int) -> list[Selection]:
    """Random selections by positions, targets and regions, alone and together; some name
    positions or sequences that are not there, and some are empty."""
    names = sorted({chrom for chrom, _ in records}) + ["absent"]
    all_pos = [pos for _, pos in records]

    def site() -> Record:
        if rng.random() < 0.7:
            return rng.choice(records)
        return rng.choice(names), rng.choice([0, 1, 5, 16385, 10**6])

    made: list[Selection] = []
    for _ in range(count):
        selection: Selection = {}
        for kind in rng.sample(["positions", "targets", "regions"], rng.randrange(1, 4)):
            size = rng.choice([0, 1, 2, 5])
            if kind == "positions":
                selection[kind] = [rng.choice(all_pos + [0, 3]) for _ in range(size)]
            elif kind == "targets":
                selection[kind] = [site() for _ in range(size)]
            else:
                spans = []
                for _ in range(size):
                    chrom, pos = site()
                    begin = max(0, pos - rng.choice([0, 0, 3, 20000]))
                    spans.append((chrom, begin, pos + rng.choice([0, 1, 100000])))
                selection[kind] = spans
        made.append(selection)
    return made


def model(
    header: list[str], records: list[Record], lines: list[str], selection: Selection
) -> list[str]:
    """The lines kept: the header, then each record at a position, target or region chosen."""
    positions = set(selection.get("positions", []))
    targets = set(selection.get("targets", []))
    regions = selection.get("regions", [])
    kept = [
        line
        for (chrom, pos), line in zip(records, lines)
        if pos in positions
        or (chrom, pos) in targets
        or any(chrom == c and begin <= pos <= end for c, begin, end in regions)
    ]
    return header + kept


FORMS = ["plain", "bgzf", "tbi", "csi"]


@pytest.fixture(scope="module", params=range(len(CONTIGS)))
def stored(request: pytest.FixtureRequest, tmp_path_factory: pytest.TempPathFactory) -> Any:
    seed = request.param
    text, header, records = generated(seed)
    lines = [line for line in text.splitlines() if not line.startswith("#")]
    directory = tmp_path_factory.mktemp(f"model{seed}")
    plain = directory / "in.vcf"
    plain.write_text(text)
    paths = {"plain": plain, "bgzf": bgzip_file(plain, directory / "plain.vcf.gz")}
    for kind, options in [("tbi", ["-p", "vcf"]), ("csi", ["-C", "-p", "vcf"])]:
        paths[kind] = bgzip_file(plain, directory / f"{kind}.vcf.gz")
        subprocess.run(["tabix", *options, str(paths[kind])], check=True, capture_output=True)
    return seed, header, records, lines, paths


def indexed_forms(records: list[Record]) -> list[str]:
    """The indexes followed: a .csi's load costs the most per sequence, so only for few."""
    return ["tbi", "csi"] if len({chrom for chrom, _ in records}) <= 40 else ["tbi"]


def test_every_way_of_reading_keeps_what_the_model_keeps(stored: Any, tmp_path: Path) -> None:
    seed, header, records, lines, paths = stored
    chosen = selections(random.Random(seed), records, SELECTIONS)
    out = tmp_path / "out.vcf"
    for form in FORMS:
        path = paths[form]
        # No selector keeps every record, whichever way the file is read.
        for mode in [None, True] if form in indexed_forms(records) else [False]:
            assert varsift_tools.subset(path, index=mode) == (header, lines)
        for number, selection in enumerate(chosen):
            expected = model(header, records, lines, selection)
            modes: list[bool | None] = [False]
            if number < INDEXED and form in indexed_forms(records):
                modes += [None, True]
            for mode in modes:
                kept = varsift_tools.subset(path, index=mode, **selection)
                assert [*kept[0], *kept[1]] == expected, (form, mode, selection)
            # Streaming and writing, in turn.
            mode = modes[number % len(modes)]
            if number % 2:
                assert list(varsift_tools.iter_lines(path, index=mode, **selection)) == expected
            else:
                varsift_tools.write_subset(path, out, index=mode, **selection)
                assert out.read_text().splitlines() == expected


def command_arguments(selection: Selection) -> list[str]:
    arguments: list[str] = []
    if selection.get("positions"):
        arguments += ["-p", *map(str, selection["positions"])]
    if selection.get("targets"):
        arguments += ["-t", *(f"{chrom}:{pos}" for chrom, pos in selection["targets"])]
    if selection.get("regions"):
        arguments += ["-r", *(f"{c}:{b}-{e}" for c, b, e in selection["regions"])]
    return arguments


def one_kind(selection: Selection) -> Selection | None:
    """The first kind of a selection that the command reads as the model does: the command
    requires every kind given to match, as bcftools does, and reads a 0 in a region string as
    bcftools does."""
    for key in ("positions", "targets", "regions"):
        kept = [item for item in selection.get(key) or [] if key == "positions" or item[1] > 0]
        if kept:
            return {key: kept}
    return None


def test_the_command_keeps_what_the_model_keeps(stored: Any) -> None:
    seed, header, records, lines, paths = stored
    rng = random.Random(100 + seed)
    # Non-empty selections only: the command has no way to give an empty list.
    selection = next(kind for s in selections(rng, records, 50) if (kind := one_kind(s)))
    expected = "".join(line + "\n" for line in model(header, records, lines, selection))
    runs = [(form, "--force-index") for form in indexed_forms(records)] + [("bgzf", "--no-index")]
    for form, option in runs:
        result = subprocess.run(
            [sys.executable, "-m", "varsift_tools", str(paths[form]), option,
             *command_arguments(selection)],
            capture_output=True, text=True, timeout=60, check=False,
        )
        assert (result.returncode, result.stderr) == (0, "")
        assert result.stdout == expected, (form, selection)
