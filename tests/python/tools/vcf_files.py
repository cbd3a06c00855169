"""Random VCF files and their compressed forms, made with Debian's gzip and bgzip."""

from __future__ import annotations

import random
import shutil
import subprocess
from pathlib import Path

CHROMOSOMES = ["chr1", "chr2", "chrX", "HLA-A*01:01"]


def random_vcf(seed: int, records: int = 200, *, crlf: bool = False) -> tuple[str, list[tuple[str, int]]]:
    """A VCF text over several chromosomes, positions sorted within each, some repeated and
    some non-ASCII; gives the text and the (chrom, pos) of each record in order."""
    rng = random.Random(seed)
    lines = ["##fileformat=VCFv4.2", "##source=café", "#CHROM\tPOS\tID\tREF\tALT\tQUAL"]
    sites: list[tuple[str, int]] = []
    per_chromosome = max(1, records // len(CHROMOSOMES))
    for chrom in CHROMOSOMES:
        pos = rng.randrange(1, 50)
        for _ in range(per_chromosome):
            pos += rng.choice([0, 1, 2, 5, 30])
            info = rng.choice(["A\tG\t50", "AT\tA\t.", "C\tT\t9\tNOTE=é", "G\t<DEL>\t1"])
            lines.append(f"{chrom}\t{pos}\trs{rng.randrange(10**6)}\t{info}")
            sites.append((chrom, pos))
    ending = "\r\n" if crlf else "\n"
    return "".join(line + ending for line in lines), sites


def gzip_file(plain: Path, target: Path, *, members: int = 1) -> Path:
    """gzip's own output, as several concatenated members when asked."""
    data = plain.read_bytes()
    cut = [len(data) * i // members for i in range(members + 1)]
    with target.open("wb") as out:
        for start, end in zip(cut, cut[1:]):
            out.write(subprocess.run(["gzip", "-c"], input=data[start:end], capture_output=True, check=True).stdout)
    return target


def bgzip_file(plain: Path, target: Path, *, extra: list[str] | None = None) -> Path:
    with target.open("wb") as out:
        subprocess.run(["bgzip", "-c", *(extra or []), str(plain)], stdout=out, check=True)
    return target


def have_tools() -> bool:
    return all(shutil.which(tool) for tool in ("gzip", "bgzip"))
