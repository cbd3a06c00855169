"""Measures varsift_tools on VCFs as they are stored: the BGZF form of the benchmark file.

Beside the peers in the same run: `bgzip -dc` (one and two threads) as the floor, since
nothing can read a BGZF file faster than inflating it, `bcftools view -T` on the `.vcf.gz`,
`bcftools view` keeping every record of the plain file, and `bcftools view -Oz --threads 2`
writing BGZF. Child processes are timed whole, with their peak resident memory from wait4.
"""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path

import varsift_tools

VARSIFT = [sys.executable, "-m", "varsift_tools"]


@dataclass
class Run:
    seconds: float
    kept: int
    peak_mb: float | None


def count_records(path: Path) -> int:
    if path.suffix == ".gz":
        text = subprocess.run(["bgzip", "-dc", str(path)], capture_output=True, check=True).stdout
        return sum(1 for line in text.split(b"\n") if line and not line.startswith(b"#"))
    result = subprocess.run(["grep", "-cv", "^#", str(path)], capture_output=True, text=True)
    return int(result.stdout or 0)


def child(command: list[str], output: Path | None) -> Run:
    """Runs `command` with standard output into `output` (or nowhere); times it whole. GNU
    time reports the peak memory of the command itself (wait4's would include this process's
    pages when the child is forked)."""
    with tempfile.NamedTemporaryFile("r") as peak, open(output or os.devnull, "wb") as stream:
        start = time.perf_counter()
        subprocess.run(["/usr/bin/time", "-f", "%M", "-o", peak.name, *command], stdout=stream,
                       check=True)
        elapsed = time.perf_counter() - start
        return Run(elapsed, -1, int(peak.read().split()[-1]) / 1024)


def written(command: list[str], target: Path) -> Run:
    """A child that writes `target` itself (or through standard output when it is the last
    argument's business); the kept records are counted after the clock stops."""
    run = child(command, None)
    run.kept = count_records(target)
    target.unlink()
    return run


def in_process(call: Callable[[], int]) -> Run:
    start = time.perf_counter()
    kept = call()
    return Run(time.perf_counter() - start, kept, None)


def best(measure: Callable[[], Run], repeats: int) -> Run:
    runs = [measure() for _ in range(repeats)]
    return min(runs, key=lambda run: run.seconds)


def measure_stored(vcf: Path, chrom: str, positions: list[int], expected: int, total: int,
                   workdir: Path, repeats: int) -> str:
    """Runs every row and gives the Markdown table."""
    bgzf = vcf.with_name(vcf.name + ".gz")
    if not bgzf.exists():
        with open(bgzf.with_suffix(".partial"), "wb") as out:
            subprocess.run(["bgzip", "-c", "-@2", str(vcf)], stdout=out, check=True)
        bgzf.with_suffix(".partial").rename(bgzf)
    targets = workdir / "stored-targets.tsv"
    targets.write_text("".join(f"{chrom}\t{p}\n" for p in sorted(set(positions))))
    plain_out = workdir / "out.vcf"
    bgzf_out = workdir / "out.vcf.gz"
    subprocess.run(["cat", str(bgzf), str(vcf)], stdout=subprocess.DEVNULL, check=True)

    size = vcf.stat().st_size
    rows: list[tuple[str, str, Callable[[], Run], int | None]] = [
        ("bgzip -dc (floor)", "select", lambda: child(["bgzip", "-dc", str(bgzf)], None), None),
        ("bgzip -dc -@2", "select", lambda: child(["bgzip", "-dc", "-@2", str(bgzf)], None), None),
    ]
    for threads in (1, 2):
        rows.append((f"varsift_tools.subset, {threads} thread{'s' * (threads > 1)}", "select",
                     lambda threads=threads: in_process(lambda: len(varsift_tools.subset(
                         bgzf, positions=positions, threads=threads)[1])), expected))
    for threads in (1, 2):
        rows.append((f"varsift command, -@{threads}", "select",
                     lambda threads=threads: written(
                         VARSIFT + [str(bgzf), "-P", str(targets), "-@", str(threads), "-o",
                                    str(plain_out)], plain_out), expected))
    rows.append(("bcftools view -T", "select", lambda: written(
        ["bcftools", "view", "--no-version", "-T", str(targets), "-o", str(plain_out),
         str(bgzf)], plain_out), expected))
    rows.append(("varsift command, plain in, plain out", "keep all", lambda: written(
        VARSIFT + [str(vcf), "-@", "1", "-o", str(plain_out)], plain_out), total))
    rows.append(("bcftools view, plain in, plain out", "keep all", lambda: written(
        ["bcftools", "view", "--no-version", "-o", str(plain_out), str(vcf)], plain_out), total))
    rows.append(("varsift command -@2, BGZF out", "keep all", lambda: written(
        VARSIFT + [str(vcf), "-@", "2", "-o", str(bgzf_out)], bgzf_out), total))
    rows.append(("bcftools view -Oz --threads 2", "keep all", lambda: written(
        ["bcftools", "view", "--no-version", "-Oz", "--threads", "2", "-o", str(bgzf_out),
         str(vcf)], bgzf_out), total))

    results: dict[str, Run] = {}
    lines = [
        f"| run ({len(set(positions)):,} targets, or every record) | what | seconds | MB/s "
        "| × `bgzip -dc` | peak MB |",
        "| --- | --- | ---: | ---: | ---: | ---: |",
    ]
    wrong = []
    for label, what, measure, want in rows:
        if label.startswith("bcftools") and not shutil.which("bcftools"):
            continue
        run = best(measure, repeats)
        results[label] = run
        if want is not None and run.kept != want:
            wrong.append(f"{label}: kept {run.kept:,} records, not {want:,}")
        floor = results["bgzip -dc (floor)"].seconds
        peak = f"{run.peak_mb:,.0f}" if run.peak_mb is not None else "in process"
        lines.append(f"| {label} | {what} | {run.seconds:.2f} | {size / run.seconds / 1e6:,.0f} "
                     f"| {run.seconds / floor:.2f} | {peak} |")
        print(lines[-1], file=sys.stderr)

    def ratio(slow: str, fast: str, digits: int = 1) -> str:
        if slow not in results or fast not in results:
            return "n/a"
        return f"{results[slow].seconds / results[fast].seconds:.{digits}f}"

    lines += [
        "",
        "Against the goals:",
        "",
        f"- 10,000 targets, `bcftools view -T` / library with 2 threads: "
        f"{ratio('bcftools view -T', 'varsift_tools.subset, 2 threads')} (goal: 10 or more)",
        f"- library with 2 threads / `bgzip -dc`: "
        f"{ratio('varsift_tools.subset, 2 threads', 'bgzip -dc (floor)', 2)} (goal: 0.6 or less)",
        f"- every record to a plain file, `bcftools view` / varsift command: "
        f"{ratio('bcftools view, plain in, plain out', 'varsift command, plain in, plain out')} "
        "(goal: 10 or more, under 100 MB)",
        f"- every record to BGZF with 2 threads, `bcftools view -Oz` / varsift command: "
        f"{ratio('bcftools view -Oz --threads 2', 'varsift command -@2, BGZF out')}",
    ]
    if wrong:
        lines += ["", "**Wrong results:**", ""] + [f"- {text}" for text in wrong]
    return "\n".join(lines) + "\n"
