#!/usr/bin/env python3
"""Measures reading selections: a million targets against ten thousand, through the command
and the library, beside bcftools and tabix in the same run, and the library's conversion of
Python selections.

On a generated BGZF VCF of 25 contigs with its tabix index, it times (best of --repeats, each
run a process of its own for the command and the peers, in this process for the library):
`varsift FILE -P TARGETS --no-index` and `-T TARGETS --no-index` for 10,000 and 1,000,000
targets, `varsift_tools.write_subset` with the same Selection (files read natively), and
`bcftools view -T`, `bcftools view -R` and `tabix -h -R` (stopped at --cap seconds). Every run
writes the kept records to /dev/null; the command's and the library's must keep as many. Then
it times the conversion of 1,000,000 (chrom, pos) tuples, a list of ints and an array of
positions into a selection, in entries a second. Prints a Markdown table and writes it to
bench/results/selection.md.
"""

import argparse
import datetime
import os
import random
import subprocess
import sys
import tempfile
import time
from array import array
from pathlib import Path

import varsift_tools

HERE = Path(__file__).resolve().parent
DATA = HERE / "data"
RESULTS = HERE / "results"
CONTIGS = [f"chr{n}" for n in range(1, 23)] + ["chrX", "chrY", "chrM"]
BASES = "ACGT"


def generate(path: Path, records: int, seed: int) -> list[tuple[str, int]]:
    """A sorted VCF of `records` records over the contigs, with 4 samples; gives the sites."""
    rng = random.Random(seed)
    sites = []
    per_contig = records // len(CONTIGS)
    with open(path, "w") as out:
        out.write("##fileformat=VCFv4.2\n")
        out.writelines(f"##contig=<ID={c}>\n" for c in CONTIGS)
        out.write("#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\tS1\tS2\tS3\tS4\n")
        for chrom in CONTIGS:
            pos = 0
            lines = []
            for _ in range(per_contig):
                pos += rng.randint(1, 200)
                sites.append((chrom, pos))
                ref, alt = rng.sample(BASES, 2)
                lines.append(f"{chrom}\t{pos}\trs{pos}\t{ref}\t{alt}\t50\tPASS\tDP={rng.randint(1, 99)};"
                             f"AF=0.{rng.randint(1, 99)}\tGT:DP\t0/1:12\t0/0:9\t1/1:7\t0/1:11\n")
            out.writelines(lines)
    return sites


def targets(sites: list[tuple[str, int]], count: int, seed: int, path: Path) -> None:
    """`count` targets, nine in ten records of the file, sorted as bcftools wants them."""
    rng = random.Random(seed)
    chosen = set(rng.sample(sites, min(len(sites), count * 9 // 10)))
    while len(chosen) < count:
        chrom, pos = rng.choice(sites)
        chosen.add((chrom, pos + 1))
    order = {c: i for i, c in enumerate(CONTIGS)}
    rows = sorted(chosen, key=lambda site: (order[site[0]], site[1]))
    path.write_text("".join(f"{c}\t{p}\n" for c, p in rows))


def best(run, repeats: int, cap: float) -> float | None:
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        try:
            run(cap)
        except subprocess.TimeoutExpired:
            return None
        times.append(time.perf_counter() - start)
    return min(times)


def command(args: list[str]):
    def run(cap: float) -> None:
        subprocess.run(args, stdout=subprocess.DEVNULL, check=True, timeout=cap)
    return run


def conversion_rate(tiny: Path, repeats: int) -> dict[str, float]:
    """Entries a second for 1,000,000 entries given in each form, on a one-record file."""
    rng = random.Random(3)
    positions = [rng.randrange(1, 250_000_000) for _ in range(1_000_000)]
    forms = {
        "(chrom, pos) tuples": {"targets": [("chr1", p) for p in positions]},
        "list of int positions": {"positions": positions},
        "array('q') of positions": {"positions": array("q", positions)},
    }
    rates = {}
    for name, selectors in forms.items():
        seconds = best(lambda cap: varsift_tools.subset(tiny, **selectors, threads=1), repeats, 0)
        assert seconds is not None
        rates[name] = 1_000_000 / seconds
    return rates


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--records", type=int, default=2_000_000, help="records (default 2M)")
    parser.add_argument("--repeats", type=int, default=2)
    parser.add_argument("--cap", type=float, default=60.0, help="seconds before a peer is stopped")
    parser.add_argument("--threads", type=int, default=None)
    options = parser.parse_args()
    DATA.mkdir(exist_ok=True)
    RESULTS.mkdir(exist_ok=True)
    vcf = DATA / f"contigs25-{options.records}.vcf"
    gz = Path(f"{vcf}.gz")
    if not gz.exists():
        sites = generate(vcf, options.records, 1)
        subprocess.run(f"bgzip -@2 -c {vcf} > {gz} && tabix -f -p vcf {gz}", shell=True,
                       check=True)
        vcf.unlink()
    else:
        with varsift_tools.iter_lines(gz) as lines:
            sites = [(f[0], int(f[1])) for f in (line.split("\t", 2) for line in lines)
                     if not f[0].startswith("#")]
    varsift = [sys.executable, "-m", "varsift_tools"]
    threads = [] if options.threads is None else ["-@", str(options.threads)]
    rows: dict[str, dict[int, float | None]] = {}
    load_before = os.getloadavg()
    with tempfile.TemporaryDirectory() as tmp:
        tiny = Path(tmp) / "tiny.vcf"
        tiny.write_text("##fileformat=VCFv4.2\n#CHROM\tPOS\tID\tREF\tALT\nchr1\t5\t.\tA\tC\n")
        for count in (10_000, 1_000_000):
            path = Path(tmp) / f"targets-{count}.tsv"
            targets(sites, count, count, path)
            kept = {}

            def library(cap: float, path: Path = path) -> None:
                with open(os.devnull, "w") as null:
                    kept["library"] = varsift_tools.write_subset(
                        gz, null.fileno(), selection=varsift_tools.Selection(targets_file=path),
                        index=False, threads=options.threads)

            runs = {
                "`varsift_tools.write_subset`, `Selection(targets_file=...)`": library,
                "`varsift -P` (command)": command([*varsift, str(gz), "-P", str(path),
                                                   "--no-index", *threads]),
                "`varsift -T` (command)": command([*varsift, str(gz), "-T", str(path),
                                                   "--no-index", *threads]),
                "`bcftools view -T`": command(["bcftools", "view", "-T", str(path), str(gz)]),
                "`bcftools view -R`": command(["bcftools", "view", "-R", str(path), str(gz)]),
                "`tabix -h -R`": command(["tabix", "-h", "-R", str(path), str(gz)]),
            }
            for name, run in runs.items():
                rows.setdefault(name, {})[count] = best(run, options.repeats, options.cap)
                print(name, count, rows[name][count], flush=True)
        rates = conversion_rate(tiny, options.repeats)
    load_after = os.getloadavg()

    def shown(seconds: float | None) -> str:
        return "capped" if seconds is None else f"{seconds:.2f} s"

    lines = [
        f"Selection benchmark, {datetime.date.today()}, {len(sites):,} records on 25 contigs "
        f"({gz.stat().st_size / 1e6:.0f} MB BGZF), best of {options.repeats}, peers stopped at "
        f"{options.cap:.0f} s; load average {load_before[0]:.1f} before, {load_after[0]:.1f} "
        "after (a shared 2-core machine).",
        "",
        "| run | 10,000 targets | 1,000,000 targets | ratio |",
        "| --- | ---: | ---: | ---: |",
    ]
    for name, cells in rows.items():
        small, large = cells[10_000], cells[1_000_000]
        ratio = "" if small is None or large is None else f"{large / small:.2f}"
        lines.append(f"| {name} | {shown(small)} | {shown(large)} | {ratio} |")
    lines += ["", "| 1,000,000 entries given as | entries a second |", "| --- | ---: |"]
    lines += [f"| {name} | {rate / 1e6:.1f} million |" for name, rate in rates.items()]
    text = "\n".join(lines) + "\n"
    print(text)
    (RESULTS / "selection.md").write_text(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
