#!/usr/bin/env python3
"""Writes a realistic, deterministic VCF file of a given size for the benchmark.

One chromosome, as in per-chromosome releases, with increasing positions (a few repeated, as
split multi-allelic sites are), rs IDs, SNVs and short indels, qualities, filters, an INFO
column with the usual keys, and GT:AD:DP:GQ:PL for every sample. The same seed, size and
sample count always give the same file.
"""

import argparse
import random
import sys
from pathlib import Path

CHROM = "chr1"
BASES = "ACGT"

CONTIGS = [
    ("chr1", 248956422), ("chr2", 242193529), ("chr3", 198295559), ("chr4", 190214555),
    ("chr5", 181538259), ("chr6", 170805979), ("chr7", 159345973), ("chr8", 145138636),
    ("chr9", 138394717), ("chr10", 133797422), ("chr11", 135086622), ("chr12", 133275309),
    ("chr13", 114364328), ("chr14", 107043718), ("chr15", 101991189), ("chr16", 90338345),
    ("chr17", 83257441), ("chr18", 80373285), ("chr19", 58617616), ("chr20", 64444167),
    ("chr21", 46709983), ("chr22", 50818468), ("chrX", 156040895), ("chrY", 57227415),
]  # fmt: skip

HEADER_LINES = [
    "##fileformat=VCFv4.2",
    "##fileDate=20240115",
    "##source=varsift-bench-generator",
    "##reference=GRCh38",
    *(f"##contig=<ID={name},length={length}>" for name, length in CONTIGS),
    '##FILTER=<ID=LowQual,Description="Low quality">',
    '##INFO=<ID=AC,Number=A,Type=Integer,Description="Allele count in genotypes">',
    '##INFO=<ID=AF,Number=A,Type=Float,Description="Allele frequency">',
    '##INFO=<ID=AN,Number=1,Type=Integer,Description="Total number of alleles in called genotypes">',
    '##INFO=<ID=DP,Number=1,Type=Integer,Description="Combined depth across samples">',
    '##INFO=<ID=MQ,Number=1,Type=Float,Description="RMS mapping quality">',
    '##INFO=<ID=DB,Number=0,Type=Flag,Description="dbSNP membership">',
    '##FORMAT=<ID=GT,Number=1,Type=String,Description="Genotype">',
    '##FORMAT=<ID=AD,Number=R,Type=Integer,Description="Allelic depths">',
    '##FORMAT=<ID=DP,Number=1,Type=Integer,Description="Read depth">',
    '##FORMAT=<ID=GQ,Number=1,Type=Integer,Description="Genotype quality">',
    '##FORMAT=<ID=PL,Number=G,Type=Integer,Description="Phred-scaled genotype likelihoods">',
]

# Distinct record tails (REF to the last sample) are drawn from a pool, so that building a
# line costs a few string operations; the pool is large enough that the file does not repeat
# in any way a line-oriented tool could notice.
POOL_SAMPLE_FIELDS = 4000


def header(samples: int) -> str:
    columns = ["#CHROM", "POS", "ID", "REF", "ALT", "QUAL", "FILTER", "INFO", "FORMAT"]
    names = [f"S{number:05d}" for number in range(1, samples + 1)]
    return "\n".join(HEADER_LINES + ["\t".join(columns + names)]) + "\n"


def sample_field(rng: random.Random) -> tuple[str, int, int]:
    """One sample's GT:AD:DP:GQ:PL, its count of ALT alleles and its depth."""
    depth = rng.randint(8, 60)
    genotype = rng.choices(["0/0", "0/1", "1/1", "./."], weights=[70, 20, 8, 2])[0]
    if genotype == "./.":
        return "./.:.:.:.:.", 0, 0
    alt = {"0/0": 0, "0/1": rng.randint(depth // 4, 3 * depth // 4), "1/1": depth}[genotype]
    quality = min(99, rng.randint(20, 140))
    likelihoods = {
        "0/0": f"0,{3 * depth},{rng.randint(400, 1800)}",
        "0/1": f"{rng.randint(100, 900)},0,{rng.randint(100, 900)}",
        "1/1": f"{rng.randint(400, 1800)},{3 * depth},0",
    }[genotype]
    text = f"{genotype}:{depth - alt},{alt}:{depth}:{quality}:{likelihoods}"
    return text, genotype.count("1"), depth


def alleles(rng: random.Random) -> tuple[str, str]:
    ref = rng.choice(BASES)
    kind = rng.random()
    if kind < 0.85:
        return ref, rng.choice(BASES.replace(ref, ""))
    inserted = "".join(rng.choices(BASES, k=rng.randint(1, 6)))
    if kind < 0.93:
        return ref, ref + inserted
    return ref + inserted, ref


def tail_pool(rng: random.Random, samples: int) -> list[str]:
    fields = [sample_field(rng) for _ in range(POOL_SAMPLE_FIELDS)]
    size = max(500, 200_000 // samples)
    pool = []
    for _ in range(size):
        chosen = rng.choices(fields, k=samples)
        allele_count = sum(count for _, count, _ in chosen)
        called = 2 * sum(1 for _, _, depth in chosen if depth)
        frequency = allele_count / called if called else 0.0
        depth = sum(depth for _, _, depth in chosen)
        quality_of_mapping = rng.uniform(40, 60)
        info = (
            f"AC={allele_count};AF={frequency:.3f};AN={called};DP={depth}"
            f";MQ={quality_of_mapping:.2f}"
        )
        if rng.random() < 0.4:
            info += ";DB"
        ref, alt = alleles(rng)
        quality = f"{rng.uniform(10, 5000):.2f}"
        status = "PASS" if rng.random() < 0.9 else "LowQual"
        samples_text = "\t".join(field for field, _, _ in chosen)
        pool.append(f"{ref}\t{alt}\t{quality}\t{status}\t{info}\tGT:AD:DP:GQ:PL\t{samples_text}\n")
    return pool


def generate(path: Path, size: int, samples: int, seed: int) -> tuple[int, int]:
    """Writes at least `size` bytes (whole lines) to path; returns (bytes, data lines)."""
    rng = random.Random(seed)
    pool = tail_pool(rng, samples)
    text = header(samples)
    written = len(text)
    records = 0
    position = 10_000
    # Lines are built and written a block at a time; a block is a few megabytes.
    block = max(200, 80_000 // samples)
    # Gap 0 repeats a position, as split multi-allelic sites do.
    gaps = list(range(0, 61))
    gap_weights = [1] + [1.6] * 60
    with open(path, "w", encoding="ascii", newline="\n") as out:
        out.write(text)
        while written < size:
            steps = rng.choices(gaps, weights=gap_weights, k=block)
            tails = rng.choices(pool, k=block)
            ids = rng.choices(range(1, 2_000_000_000), k=block)
            lines = []
            for step, tail, number in zip(steps, tails, ids):
                position += step
                name = f"rs{number}" if number % 10 else "."
                lines.append(f"{CHROM}\t{position}\t{name}\t{tail}")
            text = "".join(lines)
            out.write(text)
            written += len(text)
            records += block
    return written, records


def parse_size(text: str) -> int:
    units = {"K": 10**3, "M": 10**6, "G": 10**9}
    if text[-1:].upper() in units:
        return int(float(text[:-1]) * units[text[-1].upper()])
    return int(text)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("output", type=Path, help="the VCF file to write")
    parser.add_argument("--size", type=parse_size, default="1G",
                        help="least size in bytes, with an optional K, M or G suffix (default 1G)")
    parser.add_argument("--samples", type=int, default=4, help="number of samples (default 4)")
    parser.add_argument("--seed", type=int, default=1, help="random seed (default 1)")
    options = parser.parse_args()
    written, records = generate(options.output, options.size, options.samples, options.seed)
    print(f"{options.output}: {written} bytes, {records} records", file=sys.stderr)


if __name__ == "__main__":
    main()
