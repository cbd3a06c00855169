#!/usr/bin/env python3
"""Measures reading selections: a million targets against ten thousand, through the command
and the library, beside bcftools and tabix in the same run, and the library's conversion of
Python selections.

On a generated BGZF VCF of 25 contigs with its tabix index (by default 2,340,000 records of 16
samples, about 300 MB), it times (best of --repeats, each run a process of its own for the
command and the peers, in this process for the library): `varsift FILE -P TARGETS --no-index`,
`-T TARGETS --no-index`, `-R RANGES --no-index` (the same sites as CHROM BEG END lines, met by
overlap as ranges) and `-P TARGETS` (the automatic choice) for 10,000 and 1,000,000 targets,
`varsift_tools.write_subset` with the same Selection (files read natively), and `bcftools view
-T`, `bcftools view -R` and `tabix -h -R` (stopped at --cap seconds). Every run writes the kept
records to /dev/null; the command's and the library's must keep as many. Then it times, in CPU
seconds, the conversion of 1,000,000 entries into a selection: (chrom, pos) tuples and a list of
ints as reading a sorted file makes them, the same with their ints made out of order (scattered
in memory), tuples shuffled, an array('q') and, when NumPy, pandas and pyarrow are
installed, a NumPy array and a pandas and an Arrow (chrom, pos) table; in a fresh interpreter,
and in this process after the runs above, where the entries are made among the memory those
runs left. Prints a Markdown table against the goals (1,000,000 targets within 1.5 times
10,000; 20 million entries a second) and writes it to bench/results/selection.md.
`bench/run.py` runs it too.
"""

import argparse
import datetime
import importlib.util
import json
import os
import random
import resource
import subprocess
import sys
import tempfile
import time
from array import array
from collections.abc import Callable
from pathlib import Path

import varsift_tools

import generate_vcf

HERE = Path(__file__).resolve().parent
DATA = HERE / "data"
RESULTS = HERE / "results"
CONTIGS = [f"chr{n}" for n in range(1, 23)] + ["chrX", "chrY", "chrM"]
COUNTS = (10_000, 1_000_000)
# What the issue asks: the command's cost with 1,000,000 targets against 10,000, and entries
# converted a second.
RATIO_GOAL = 1.5
RATE_GOAL = 20e6


def generate(path: Path, records: int, samples: int, seed: int) -> list[tuple[str, int]]:
    """A sorted VCF of `records` records over the contigs, each sample's GT:AD:DP:GQ:PL drawn
    as bench/generate_vcf.py draws them; gives the sites."""
    rng = random.Random(seed)
    pool = generate_vcf.tail_pool(rng, samples)
    sites = []
    per_contig = records // len(CONTIGS)
    header = [line for line in generate_vcf.HEADER_LINES if not line.startswith("##contig")]
    header += [f"##contig=<ID={c}>" for c in CONTIGS]
    columns = ["#CHROM", "POS", "ID", "REF", "ALT", "QUAL", "FILTER", "INFO", "FORMAT"]
    header.append("\t".join(columns + [f"S{n:05d}" for n in range(1, samples + 1)]))
    with open(path, "w") as out:
        out.write("\n".join(header) + "\n")
        for chrom in CONTIGS:
            pos = 0
            lines = []
            for tail in rng.choices(pool, k=per_contig):
                pos += rng.randint(1, 200)
                sites.append((chrom, pos))
                lines.append(f"{chrom}\t{pos}\trs{pos}\t{tail}")
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


def cpu_seconds(who: int = resource.RUSAGE_SELF) -> float:
    usage = resource.getrusage(who)
    return usage.ru_utime + usage.ru_stime


def best(run: Callable[[float], None], repeats: int, cap: float) -> tuple[float, float] | None:
    """The least wall time and the least CPU time (this process's and its children's) of
    `repeats` runs; None when a run reached the cap."""
    walls, cpus = [], []
    for _ in range(repeats):
        start, cpu = time.perf_counter(), cpu_seconds() + cpu_seconds(resource.RUSAGE_CHILDREN)
        try:
            run(cap)
        except subprocess.TimeoutExpired:
            return None
        walls.append(time.perf_counter() - start)
        cpus.append(cpu_seconds() + cpu_seconds(resource.RUSAGE_CHILDREN) - cpu)
    return min(walls), min(cpus)


def command(args: list[str]) -> Callable[[float], None]:
    def run(cap: float) -> None:
        subprocess.run(args, stdout=subprocess.DEVNULL, check=True, timeout=cap)
    return run


def conversion_rates(tiny: Path, repeats: int) -> dict[str, float]:
    """Entries a second, in CPU time (the machine is shared), for 1,000,000 entries given in
    each form, on a one-record file: the whole call, sorting included."""
    rng = random.Random(3)
    chroms = CONTIGS[:22]
    sites = sorted((rng.randrange(22), rng.randrange(1, 250_000_000)) for _ in range(1_000_000))
    # As a script reading a sorted targets file makes them: each line split, its position's
    # int made in file order, its chromosome a str of its own.
    text = "".join(f"{chroms[c]}\t{p}\n" for c, p in sites)
    read = [(chrom, int(pos)) for chrom, pos in (line.split("\t") for line in text.splitlines())]
    read_positions = [pos for _, pos in read]
    # The same sites, their ints made in random order before the sort: each entry's objects
    # lie far apart, the slowest layout.
    in_order = [(chroms[c], p) for c, p in sites]
    shuffled = in_order.copy()
    rng.shuffle(shuffled)
    positions = [p for _, p in sites]
    forms: dict[str, dict[str, object]] = {
        "(chrom, pos) tuples, 22 contigs, read from a sorted file": {"targets": read},
        "(chrom, pos) tuples, 22 contigs, in file order, ints made out of order": {
            "targets": in_order},
        "(chrom, pos) tuples, 22 contigs, shuffled": {"targets": shuffled},
        "list of int positions, read from a sorted file": {"positions": read_positions},
        "list of int positions, made out of order": {"positions": positions},
        "array('q') of positions": {"positions": array("q", positions)},
    }
    if importlib.util.find_spec("numpy") is not None:
        import numpy

        forms["NumPy int64 array of positions"] = {"positions": numpy.array(positions)}
        if importlib.util.find_spec("pandas") is not None:
            import pandas

            table = pandas.DataFrame({"chrom": [c for c, _ in in_order], "pos": positions})
            forms["pandas DataFrame (chrom, pos)"] = {"targets": table}
        if importlib.util.find_spec("pyarrow") is not None:
            import pyarrow

            arrow = pyarrow.table({"chrom": [c for c, _ in in_order], "pos": positions})
            forms["Arrow table (chrom, pos)"] = {"targets": arrow}
    rates = {}
    for name, selectors in forms.items():
        times = []
        for _ in range(repeats + 1):
            start = cpu_seconds()
            varsift_tools.subset(tiny, **selectors, threads=1)  # type: ignore[arg-type]
            times.append(cpu_seconds() - start)
        rates[name] = 1_000_000 / min(times)
    return rates


def fresh_conversion_rates(tiny: Path, repeats: int) -> dict[str, float]:
    """conversion_rates() in a fresh interpreter."""
    result = subprocess.run([sys.executable, __file__, "--conversion", str(tiny), str(repeats)],
                            check=True, capture_output=True, text=True)
    return json.loads(result.stdout)


def measure(records: int, samples: int, repeats: int, cap: float, threads: int | None) -> str:
    """Runs the benchmark; gives its report in Markdown."""
    DATA.mkdir(exist_ok=True)
    vcf = DATA / f"contigs25-{records}-{samples}s.vcf"
    gz = Path(f"{vcf}.gz")
    if not gz.exists():
        print(f"generating {gz.name} ...", file=sys.stderr)
        sites = generate(vcf, records, samples, 1)
        subprocess.run(f"bgzip -@2 -c {vcf} > {gz}.partial && mv {gz}.partial {gz} && "
                       f"tabix -f -p vcf {gz}", shell=True, check=True)
        vcf.unlink()
    else:
        with varsift_tools.iter_lines(gz) as lines:
            sites = [(f[0], int(f[1])) for f in (line.split("\t", 2) for line in lines)
                     if not f[0].startswith("#")]
    varsift = [sys.executable, "-m", "varsift_tools"]
    threads_option = [] if threads is None else ["-@", str(threads)]
    rows: dict[str, dict[int, tuple[float, float] | None]] = {}
    load_before = os.getloadavg()
    with tempfile.TemporaryDirectory() as tmp:
        tiny = Path(tmp) / "tiny.vcf"
        tiny.write_text("##fileformat=VCFv4.2\n#CHROM\tPOS\tID\tREF\tALT\nchr1\t5\t.\tA\tC\n")
        for count in COUNTS:
            path = Path(tmp) / f"targets-{count}.tsv"
            targets(sites, count, count, path)
            # The same sites as one-base ranges, which -R meets by overlap: ranges, not sites.
            ranges = Path(tmp) / f"ranges-{count}.tsv"
            ranges.write_text("".join(
                f"{c}\t{p}\t{p}\n" for c, p in
                (line.split("\t") for line in path.read_text().splitlines())))
            kept: dict[str, int] = {}

            def library(cap: float, path: Path = path, kept: dict[str, int] = kept) -> None:
                with open(os.devnull, "w") as null:
                    kept["library"] = varsift_tools.write_subset(
                        gz, null.fileno(), selection=varsift_tools.Selection(targets_file=path),
                        index=False, threads=threads)

            runs = {
                "`varsift_tools.write_subset`, `Selection(targets_file=...)`": library,
                "`varsift -P --no-index` (command)": command(
                    [*varsift, str(gz), "-P", str(path), "--no-index", *threads_option]),
                "`varsift -T --no-index` (command)": command(
                    [*varsift, str(gz), "-T", str(path), "--no-index", *threads_option]),
                "`varsift -R --no-index` (command; the sites as CHROM BEG END ranges)": command(
                    [*varsift, str(gz), "-R", str(ranges), "--no-index", *threads_option]),
                "`varsift -P` (command, automatic choice)": command(
                    [*varsift, str(gz), "-P", str(path), *threads_option]),
                "`bcftools view -T`": command(["bcftools", "view", "-T", str(path), str(gz)]),
                "`bcftools view -R`": command(["bcftools", "view", "-R", str(path), str(gz)]),
                "`tabix -h -R`": command(["tabix", "-h", "-R", str(path), str(gz)]),
            }
            for name, run in runs.items():
                rows.setdefault(name, {})[count] = best(run, repeats, cap)
                print(name, count, rows[name][count], file=sys.stderr, flush=True)
        fresh = fresh_conversion_rates(tiny, repeats)
        rates = conversion_rates(tiny, repeats)
    load_after = os.getloadavg()

    def shown(seconds: tuple[float, float] | None) -> str:
        if seconds is None:
            return f"capped at {cap:.0f} s"
        return f"{seconds[0]:.2f} s, {seconds[1]:.2f} s"

    lines = [
        f"Selection benchmark, {datetime.date.today()}, {len(sites):,} records of {samples} "
        f"samples on 25 contigs ({gz.stat().st_size / 1e6:.0f} MB BGZF), best of {repeats}, "
        f"peers stopped at {cap:.0f} s; load average {load_before[0]:.1f} before, "
        f"{load_after[0]:.1f} after (a shared 2-core machine: wall times swing with the load, so "
        "the ratios are given in CPU time too, which the load moves less).",
        "",
        "| run | 10,000 targets: wall, CPU | 1,000,000 targets: wall, CPU | ratio: wall, CPU "
        f"(goal {RATIO_GOAL}) |",
        "| --- | ---: | ---: | ---: |",
    ]
    for name, cells in rows.items():
        small, large = cells[COUNTS[0]], cells[COUNTS[1]]
        ratio = ("" if small is None or large is None else
                 f"{large[0] / small[0]:.2f}, {large[1] / small[1]:.2f}")
        lines.append(f"| {name} | {shown(small)} | {shown(large)} | {ratio} |")
    lines += ["", f"| 1,000,000 entries given as | entries a second, CPU time (goal "
              f"{RATE_GOAL / 1e6:.0f} million): a fresh process | this process, after the runs "
              "above |", "| --- | ---: | ---: |"]
    lines += [f"| {name} | {fresh[name] / 1e6:.1f} million | {rate / 1e6:.1f} million |"
              for name, rate in rates.items()]
    return "\n".join(lines) + "\n"


def main() -> int:
    if sys.argv[1:2] == ["--conversion"]:
        print(json.dumps(conversion_rates(Path(sys.argv[2]), int(sys.argv[3]))))
        return 0
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--records", type=int, default=2_340_000, help="records (default 2.34M)")
    parser.add_argument("--samples", type=int, default=16, help="samples (default 16)")
    parser.add_argument("--repeats", type=int, default=2)
    parser.add_argument("--cap", type=float, default=60.0, help="seconds before a peer is stopped")
    parser.add_argument("--threads", type=int, default=None)
    options = parser.parse_args()
    text = measure(options.records, options.samples, options.repeats, options.cap,
                   options.threads)
    print(text)
    RESULTS.mkdir(exist_ok=True)
    (RESULTS / "selection.md").write_text(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
