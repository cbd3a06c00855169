"""Measures varsift_tools on URLs and on BCF, beside the peers in the same run.

- 10 and 10,000 sites from the BGZF benchmark file with its `.tbi`, over a loopback HTTP
  server (the tests' server, which counts requests and bytes sent): varsift against
  `tabix -h -R`, each fetching the index.
- 10 and 300 sites from the BCF through its `.csi` over the same server: varsift against
  `bcftools view -R`.
- A scan of the same file over loopback HTTP against the same scan of the local file.
- The file as BCF, 10,000 targets to VCF text: varsift against `bcftools view -T`.
- 10 sites from the BCF through its `.csi` (as `bcftools index` writes it): varsift against
  `bcftools view -r`.
- The BCF kept whole into a BCF file: varsift against `cat` into the same place.
- The BCF read from standard input (a pipe from `cat`), 10,000 targets to VCF text.

Outputs go to /dev/shm; the input files are page cached before the runs.
"""

from __future__ import annotations

import argparse
import os
import random
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable
from pathlib import Path

import varsift_tools

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "tests" / "python" / "tools"))

from generate_vcf import generate  # noqa: E402
from http_server import FileServer  # noqa: E402

VARSIFT = [sys.executable, "-m", "varsift_tools"]
SCRATCH = Path("/dev/shm") if Path("/dev/shm").is_dir() else Path("/tmp")


def prepare(vcf: Path, size: int) -> tuple[Path, Path]:
    """The BGZF file with its tabix index, and the BCF, made once."""
    if not vcf.exists():
        generate(vcf, size, 4, 1)
    bgzf = vcf.with_name(vcf.name + ".gz")
    if not bgzf.exists():
        with open(f"{bgzf}.partial", "wb") as out:
            subprocess.run(["bgzip", "-c", "-@2", str(vcf)], stdout=out, check=True)
        os.rename(f"{bgzf}.partial", bgzf)
    if not Path(f"{bgzf}.tbi").exists():
        subprocess.run(["tabix", "-p", "vcf", str(bgzf)], check=True)
    bcf = vcf.with_suffix(".bcf")
    if not bcf.exists():
        subprocess.run(["bcftools", "view", "--no-version", "--threads", "2", "-O", "b", "-o",
                        f"{bcf}.partial", str(bgzf)], check=True)
        os.rename(f"{bcf}.partial", bcf)
    csi = Path(f"{bcf}.csi")
    if not csi.exists() or csi.stat().st_mtime < bcf.stat().st_mtime:
        subprocess.run(["bcftools", "index", "-f", "-c", str(bcf)], check=True)
    subprocess.run(["cat", str(bgzf), str(bcf)], stdout=subprocess.DEVNULL, check=True)
    return bgzf, bcf


def sites(vcf: Path, count: int, seed: int) -> list[tuple[str, int]]:
    """`count` positions of the file (it has one chromosome), drawn with a fixed seed."""
    positions = []
    with open(vcf, "rb") as text:
        for line in text:
            if not line.startswith(b"#"):
                chrom, pos, _ = line.split(b"\t", 2)
                positions.append(int(pos))
    chosen = sorted(set(random.Random(seed).sample(positions, count)))
    return [(chrom.decode(), pos) for pos in chosen]


def timed(call: Callable[[], object], repeats: int) -> float:
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        call()
        best = min(best, time.perf_counter() - start)
    return best


def timed_together(calls: list[Callable[[], object]], repeats: int) -> list[float]:
    """The best time of each call, the calls taken in turn so that the machine's load weighs
    on them alike."""
    best = [float("inf")] * len(calls)
    for _ in range(repeats):
        for i, call in enumerate(calls):
            start = time.perf_counter()
            call()
            best[i] = min(best[i], time.perf_counter() - start)
    return best


def targets_file(targets: list[tuple[str, int]], name: str) -> Path:
    path = SCRATCH / name
    path.write_text("".join(f"{chrom}\t{pos}\n" for chrom, pos in targets))
    return path


def run(vcf: Path, size: int, repeats: int) -> str:
    bgzf, bcf = prepare(vcf, size)
    ten = sites(vcf, 10, 10)
    many = sites(vcf, 10_000, 11)
    ten_file = targets_file(ten, "remote-10.tsv")
    many_file = targets_file(many, "remote-10000.tsv")
    lines = [f"BGZF file: {bgzf.stat().st_size / 1e6:,.0f} MB; BCF: {bcf.stat().st_size / 1e6:,.0f} MB", ""]

    with FileServer(bgzf.parent) as server:
        url = server.url(bgzf.name)
        lines += [
            "| sites over loopback HTTP, index followed | requests | bytes sent | seconds |",
            "| --- | ---: | ---: | ---: |",
        ]
        for chosen, chosen_file in ((ten, ten_file), (many, many_file)):
            server.reset()
            ours = varsift_tools.subset(url, targets=chosen, index=True)
            mine = server.reset()
            # In a fresh directory, where tabix fetches the index as varsift does rather than
            # finding the copy it left in its working directory.
            with tempfile.TemporaryDirectory(dir=SCRATCH) as fresh:
                start = time.perf_counter()
                ran = subprocess.run(["tabix", "-h", "-R", str(chosen_file), url],
                                     capture_output=True, cwd=fresh)
                tabix_seconds = time.perf_counter() - start
            tabix = server.reset()
            tabix_cell = f"{tabix.requests} | {tabix.bytes:,} | {tabix_seconds:.3f}"
            if ran.returncode != 0:
                failure = ran.stderr.decode().strip().splitlines()[-1]
                tabix_cell = f"{tabix.requests} | {tabix.bytes:,} | failed: {failure}"
            elif len(chosen) == len(ten):
                # With many sites tabix prints a record once for each target it overlaps.
                theirs = ran.stdout.decode().splitlines()
                assert ours[1] == [line for line in theirs if not line.startswith("#")]
            ours_seconds = timed(
                lambda: varsift_tools.subset(url, targets=chosen, index=True), repeats)
            server.reset()
            lines += [
                f"| {len(chosen):,} sites: varsift_tools.subset | {mine.requests} | {mine.bytes:,} "
                f"| {ours_seconds:.3f} |",
                f"| {len(chosen):,} sites: tabix -h -R | {tabix_cell} |",
            ]
        lines.append("")
        print("\n".join(lines[-7:]), file=sys.stderr)

        # The BCF through its .csi, against `bcftools view -R` with the same sites.
        bcf_url = server.url(bcf.name)
        lines += [
            "| BCF sites over loopback HTTP, index followed | requests | bytes sent | seconds |",
            "| --- | ---: | ---: | ---: |",
        ]
        for count, seed in ((10, 10), (300, 12)):
            chosen = sites(vcf, count, seed)
            regions = varsift_tools.Selection(regions=",".join(f"{c}:{p}-{p}" for c, p in chosen))
            server.reset()
            start = time.perf_counter()
            ours = varsift_tools.subset(bcf_url, selection=regions, index=True)
            ours_seconds = time.perf_counter() - start
            mine = server.reset()
            with tempfile.TemporaryDirectory(dir=SCRATCH) as fresh:
                regions_file = Path(fresh) / "regions.tsv"
                regions_file.write_text("".join(f"{c}\t{p}\t{p}\n" for c, p in chosen))
                start = time.perf_counter()
                ran = subprocess.run(["bcftools", "view", "--no-version", "-H", "-R", str(regions_file),
                                      bcf_url], capture_output=True, cwd=fresh, check=True)
                theirs_seconds = time.perf_counter() - start
            theirs = server.reset()
            assert ours[1] == ran.stdout.decode().splitlines()
            lines += [
                f"| {count} sites: varsift_tools.subset | {mine.requests} | {mine.bytes:,} | {ours_seconds:.3f} |",
                f"| {count} sites: bcftools view -R | {theirs.requests} | {theirs.bytes:,} | {theirs_seconds:.3f} |",
            ]
        lines.append("")
        print("\n".join(lines[-7:]), file=sys.stderr)

        # A scan: the same 10 targets, the index not followed.
        local = timed(lambda: varsift_tools.subset(bgzf, targets=ten, index=False), repeats)
        remote = timed(lambda: varsift_tools.subset(url, targets=ten, index=False), repeats)
        size_mb = bgzf.stat().st_size / 1e6
        lines += [
            "| scan, 10 targets, index not followed | seconds | compressed MB/s | × local |",
            "| --- | ---: | ---: | ---: |",
            f"| local file | {local:.2f} | {size_mb / local:,.0f} | 1.00 |",
            f"| loopback HTTP | {remote:.2f} | {size_mb / remote:,.0f} | {local / remote:.2f} |",
            "",
        ]
        print("\n".join(lines[-5:]), file=sys.stderr)

    out_vcf = SCRATCH / "remote-out.vcf"
    out_bcf = SCRATCH / "remote-out.bcf"
    ours_t = timed(lambda: subprocess.run(
        VARSIFT + [str(bcf), "-P", str(many_file), "-o", str(out_vcf)], check=True), repeats)
    kept = sum(1 for line in open(out_vcf) if not line.startswith("#"))
    theirs_t = timed(lambda: subprocess.run(
        ["bcftools", "view", "--no-version", "-T", str(many_file), "-o", str(out_vcf), str(bcf)],
        check=True), repeats)
    assert kept == sum(1 for line in open(out_vcf) if not line.startswith("#"))
    library_t = timed(lambda: varsift_tools.write_subset(bcf, out_vcf, targets=many), repeats)
    piped_t = timed(lambda: subprocess.run(
        f"cat {bcf} | {' '.join(VARSIFT)} - -P {many_file} -o {out_vcf}", shell=True, check=True),
        repeats)
    lines += [
        f"| BCF in, VCF out, 10,000 targets ({kept:,} records) | seconds | × `bcftools view -T`'s rate (goal: 3) |",
        "| --- | ---: | ---: |",
        f"| varsift command (-P) | {ours_t:.2f} | {theirs_t / ours_t:.2f} |",
        f"| varsift_tools.write_subset | {library_t:.2f} | {theirs_t / library_t:.2f} |",
        f"| varsift command, BCF piped on standard input | {piped_t:.2f} | {theirs_t / piped_t:.2f} |",
        f"| bcftools view -T | {theirs_t:.2f} | 1.00 |",
        "",
    ]
    print("\n".join(lines[-7:]), file=sys.stderr)

    # 10 sites through the BCF's .csi, as regions of one base.
    regions = ",".join(f"{chrom}:{pos}-{pos}" for chrom, pos in ten)
    wanted = varsift_tools.Selection(regions=regions)
    theirs_sites = subprocess.run(["bcftools", "view", "--no-version", "-H", "-r", regions, str(bcf)],
                                  capture_output=True, check=True).stdout.decode().splitlines()
    assert varsift_tools.subset(bcf, selection=wanted)[1] == theirs_sites
    sites_library_t = timed(lambda: varsift_tools.subset(bcf, selection=wanted), repeats)
    sites_forced_t = timed(lambda: varsift_tools.subset(bcf, selection=wanted, index=True), repeats)
    sites_command_t = timed(lambda: subprocess.run(
        VARSIFT + [str(bcf), "-r", regions, "-o", str(out_vcf)], check=True), repeats)
    sites_theirs_t = timed(lambda: subprocess.run(
        ["bcftools", "view", "--no-version", "-r", regions, "-o", str(out_vcf), str(bcf)],
        check=True), repeats)
    lines += [
        f"| BCF in, VCF out, 10 sites through the .csi ({len(theirs_sites)} records) | seconds | × `bcftools view -r`'s rate |",
        "| --- | ---: | ---: |",
        f"| varsift_tools.subset | {sites_library_t:.4f} | {sites_theirs_t / sites_library_t:.2f} |",
        f"| varsift_tools.subset, index forced | {sites_forced_t:.4f} | {sites_theirs_t / sites_forced_t:.2f} |",
        f"| varsift command (-r) | {sites_command_t:.4f} | {sites_theirs_t / sites_command_t:.2f} |",
        f"| bcftools view -r | {sites_theirs_t:.4f} | 1.00 |",
        "",
    ]
    print("\n".join(lines[-7:]), file=sys.stderr)

    bcf_mb = bcf.stat().st_size / 1e6
    # Each replaces the output of the last: `cat` frees the old file's pages in the shell's
    # truncating open, varsift in the rename of its finished output.
    cat_t, copy_t, command_t = timed_together([
        lambda: subprocess.run(f"cat {bcf} > {out_bcf}", shell=True, check=True),
        lambda: varsift_tools.write_subset(bcf, out_bcf),
        lambda: subprocess.run(VARSIFT + [str(bcf), "-o", str(out_bcf)], check=True),
    ], repeats)
    lines += [
        "| BCF in, BCF out, every record | seconds | MB/s | × `cat`'s rate (goal: 0.8) |",
        "| --- | ---: | ---: | ---: |",
        f"| cat | {cat_t:.2f} | {bcf_mb / cat_t:,.0f} | 1.00 |",
        f"| varsift_tools.write_subset | {copy_t:.2f} | {bcf_mb / copy_t:,.0f} | {cat_t / copy_t:.2f} |",
        f"| varsift command | {command_t:.2f} | {bcf_mb / command_t:,.0f} | {cat_t / command_t:.2f} |",
    ]
    print("\n".join(lines[-5:]), file=sys.stderr)
    for path in (out_vcf, out_bcf, ten_file, many_file):
        path.unlink(missing_ok=True)
    return "\n".join(lines) + "\n"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=1_000_000_000, help="VCF text bytes")
    parser.add_argument("--repeats", type=int, default=2, help="best of this many runs")
    parser.add_argument("--data", type=Path, default=HERE / "data", help="where the files are")
    parser.add_argument("--output", type=Path, default=HERE / "results" / "remote.md")
    options = parser.parse_args()
    options.data.mkdir(parents=True, exist_ok=True)
    load = os.getloadavg()[0]
    table = run(options.data / "narrow-4.vcf", options.size, options.repeats)
    table += f"\nLoad average before the run: {load:.1f}, after: {os.getloadavg()[0]:.1f}.\n"
    options.output.write_text(table)
    print(table)


if __name__ == "__main__":
    main()
