#!/usr/bin/env python3
"""Measures varsift_tools.dask against the single-process library.

Two inputs, generated once into bench/data and kept in the page cache: one BGZF file of
--size bytes of VCF text (the default makes about 1 GB of BGZF), and a set of 8 BGZF files of
--size / 8 each. On each it times
varsift_tools.write_subset (threads=1, one file after the other for the set) and
varsift_tools.dask.write_subset on a distributed.LocalCluster of 1 and of 2 worker processes
with one thread each, for a list of positions. Each run is repeated --repeats times and the
best time counts. The outputs must all hold the same lines, or the run fails. Prints a
Markdown table with the machine's load average beside it.
"""

from __future__ import annotations

import argparse
import gzip
import os
import random
import subprocess
import sys
import time
import zlib
from collections.abc import Callable
from pathlib import Path

import distributed

import generate_vcf
import varsift_tools
from varsift_tools import dask as vdask

HERE = Path(__file__).resolve().parent
DATA = HERE / "data"
FILES_IN_SET = 8


def bgzf_input(name: str, size: int, seed: int) -> Path:
    """A generated VCF of `size` text bytes, BGZF compressed, made once."""
    target = DATA / f"{name}.vcf.gz"
    if target.exists():
        return target
    DATA.mkdir(exist_ok=True)
    plain = DATA / f"{name}.vcf"
    generate_vcf.generate(plain, size, 4, seed)
    with target.with_suffix(".part").open("wb") as out:
        subprocess.run(["bgzip", "-c", "-@", "2", str(plain)], stdout=out, check=True)
    target.with_suffix(".part").rename(target)
    plain.unlink()
    return target


def warm(paths: list[Path]) -> None:
    for path in paths:
        with path.open("rb") as file:
            while file.read(1 << 24):
                pass


def best(repeats: int, run: Callable[[], None]) -> float:
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return min(times)


def content(path: Path) -> int:
    """A checksum of the output's lines, leaving out header lines after the first record: the
    library's outputs for the set, joined, repeat each file's header."""
    crc = 0
    seen_record = False
    with gzip.open(path, "rb") as file:
        for line in file:
            if line.startswith(b"#") and seen_record:
                continue
            seen_record = seen_record or not line.startswith(b"#")
            crc = zlib.crc32(line, crc)
    return crc


def library_run(paths: list[Path], output: Path, positions: list[int]) -> Callable[[], None]:
    def run() -> None:
        if len(paths) == 1:
            varsift_tools.write_subset(paths[0], output, positions=positions, compress=True, threads=1)
            return
        # The set as the library alone would do it: one file after the other, then joined.
        parts = []
        for number, path in enumerate(paths):
            part = output.with_name(f"{output.name}.{number}")
            varsift_tools.write_subset(path, part, positions=positions, compress=True, threads=1)
            parts.append(part)
        with output.open("wb") as out:
            for number, part in enumerate(parts):
                data = part.read_bytes()
                out.write(data[:-28] if number + 1 < len(parts) else data)
                part.unlink()

    return run


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=generate_vcf.parse_size, default="3.6G",
                        help="VCF text bytes of the single file and of the whole set "
                        "(default 3.6G)")
    parser.add_argument("--positions", type=int, default=10_000,
                        help="positions to select (default 10000)")
    parser.add_argument("--partition-size", type=generate_vcf.parse_size, default=None,
                        help="bytes of file per task (default: the module's)")
    parser.add_argument("--repeats", type=int, default=2, help="runs of each (default 2)")
    args = parser.parse_args()

    single = [bgzf_input(f"dask-single-{args.size}", args.size, 1)]
    many = [bgzf_input(f"dask-set-{args.size}-{n}", args.size // FILES_IN_SET, 100 + n)
            for n in range(FILES_IN_SET)]
    rng = random.Random(7)
    positions = sorted(rng.sample(range(1, 200_000_000), args.positions))
    output = DATA / "dask-bench-out.vcf.gz"
    size = args.partition_size or vdask.DEFAULT_PARTITION_SIZE

    rows = []
    for label, paths in (("1 file", single), (f"{FILES_IN_SET} files", many)):
        warm(paths)
        stored = sum(path.stat().st_size for path in paths)
        tasks = len(vdask.partitions(paths, partition_size=size))
        times = {"library": best(args.repeats, library_run(paths, output, positions))}
        reference = content(output)
        for workers in (1, 2):
            with distributed.LocalCluster(n_workers=workers, threads_per_worker=1,
                                          processes=True, dashboard_address=None) as cluster, \
                    distributed.Client(cluster):
                def run() -> None:
                    vdask.write_subset(paths, output, positions=positions, partition_size=size)

                times[f"{workers} worker"] = best(args.repeats, run)
            if content(output) != reference:
                sys.exit(f"{label}: Dask with {workers} workers wrote other lines than the library")
        rows.append((label, stored, tasks, times))

    load = os.getloadavg()
    print(f"Load average before/after: {load[0]:.2f} {load[1]:.2f} {load[2]:.2f}; "
          f"partition size {size >> 20} MiB; {args.positions} positions; best of {args.repeats}\n")
    print("| input | stored | tasks | library, threads=1 | Dask, 1 worker | Dask, 2 workers "
          "| 1 worker / library | 2 workers speed-up |")
    print("|---|---|---|---|---|---|---|---|")
    for label, stored, tasks, times in rows:
        one, two, lib = times["1 worker"], times["2 worker"], times["library"]
        print(f"| {label} | {stored / 1e6:.0f} MB | {tasks} | {lib:.2f} s | {one:.2f} s "
              f"| {two:.2f} s | {one / lib:.2f} | {one / two:.2f}x |")


if __name__ == "__main__":
    main()
