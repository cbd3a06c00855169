#!/usr/bin/env python3
"""Measures the index path against the count of contigs and of targets.

On generated BGZF files of 1, 25, 5,000 and 100,000 contigs, each indexed as .tbi and as .csi
(by `tabix`), it times for 1, 10, 10,000 and 1,000,000 targets (CHROM, POS): the library
following the index (`index=True`), scanning (`index=False`) and choosing (the default), each
timed around the call alone in a fresh interpreter; the command choosing and forced to follow
the index, whole processes reading a targets file; and `tabix -R` on the same targets file.
The library's three ways must keep the same records, those the targets name. It prints a
Markdown table and writes it to bench/results/contigs.md.

The files are generated under bench/data/ when missing: narrow records (two samples) at
increasing positions, 1,000,000 records in all, but 300,000 for 100,000 contigs (3 a contig).

The command's start-up (an empty selection of a one-record file) is a cell of each row, since
the load of a shared machine changes during a run. The cells of a row run in rounds, one run of
each in turn, and each keeps its best: all of a row's cells run as often, so that their
ratios compare like with like. A row where a cell takes under 0.05 s is run three times as
often as --repeats says: on a shared machine the spread of such cells is the scheduler's.
`tabix -R` is stopped after --cap seconds (a million targets take it minutes). Cells are kept in bench/results/contigs.json, by
shape, index and target count: a run with --shapes or --targets replaces the cells it measures
and the table shows them all, so the long column of a million targets can be run on its own.
"""

import argparse
import datetime
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import run

HERE = Path(__file__).resolve().parent
DATA = HERE / "data"
RESULTS = HERE / "results"
# (contigs, records)
SHAPES = [(1, 1_000_000), (25, 1_000_000), (5_000, 1_000_000), (100_000, 300_000)]
TARGET_COUNTS = [1, 10, 10_000, 1_000_000]
ABSENT_SHARE = 0.1
LIBRARY_MODES = {"index": True, "scan": False, "auto": None}
# Seconds under which a cell makes its row run SHORT_REPEATS times as often as --repeats says.
SHORT_CELL = 0.05
SHORT_REPEATS = 3


def generate(path: Path, contigs: int, records: int, seed: int) -> None:
    """A sorted VCF of `records` records spread evenly over `contigs` contigs."""
    rng = random.Random(seed)
    names = [f"ctg{number}" for number in range(1, contigs + 1)]
    per_contig = records // contigs
    with open(path, "w") as out:
        out.write("##fileformat=VCFv4.2\n")
        out.writelines(f"##contig=<ID={name}>\n" for name in names)
        out.write('##FORMAT=<ID=GT,Number=1,Type=String,Description="Genotype">\n')
        out.write("#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\tS1\tS2\n")
        number = 0
        for name in names:
            position = 0
            lines = []
            for _ in range(per_contig):
                position += rng.randint(1, 400)
                number += 1
                ref, alt = rng.sample("ACGT", 2)
                lines.append(f"{name}\t{position}\trs{number}\t{ref}\t{alt}\t50\tPASS\tDP=20"
                             f"\tGT\t0/1\t1/1\n")
            out.writelines(lines)


def files(contigs: int, records: int, seed: int) -> dict[str, Path]:
    """The BGZF file of the shape, under one name with its .tbi and another (a hard link) with
    its .csi, made once."""
    stem = DATA / f"contigs-{contigs}-{records}-{seed}"
    tbi, csi = Path(f"{stem}.vcf.gz"), Path(f"{stem}-csi.vcf.gz")
    if not (Path(f"{tbi}.tbi").exists() and Path(f"{csi}.csi").exists()):
        print(f"generating {tbi.name} ...", file=sys.stderr)
        plain = Path(f"{stem}.vcf")
        generate(plain, contigs, records, seed)
        with open(tbi, "wb") as stream:
            subprocess.run(["bgzip", "-@2", "-c", str(plain)], stdout=stream, check=True)
        plain.unlink()
        csi.unlink(missing_ok=True)
        os.link(tbi, csi)
        subprocess.run(["tabix", "-f", "-p", "vcf", str(tbi)], check=True)
        subprocess.run(["tabix", "-f", "-C", "-p", "vcf", str(csi)], check=True)
    return {"tbi": tbi, "csi": csi}


def records_of(path: Path) -> list[tuple[str, int]]:
    result = subprocess.run(["bgzip", "-dc", str(path)], capture_output=True, check=True)
    found = []
    for line in result.stdout.split(b"\n"):
        if line and not line.startswith(b"#"):
            chrom, pos, _ = line.split(b"\t", 2)
            found.append((chrom.decode(), int(pos)))
    return found


def draw_targets(count: int, records: list[tuple[str, int]], seed: int
                 ) -> tuple[list[tuple[str, int]], int]:
    """`count` targets, nine in ten at records (as far as there are records) and the rest where
    none is, sorted; and the count of records they select."""
    rng = random.Random(seed * 1_000_003 + count)
    present = rng.sample(records, min(count - round(count * ABSENT_SHARE), len(records)))
    taken = set(records)
    chroms = sorted({chrom for chrom, _ in records})
    absent: set[tuple[str, int]] = set()
    while len(absent) < count - len(present):
        candidate = (rng.choice(chroms), rng.randint(1, 10**9))
        if candidate not in taken:
            absent.add(candidate)
    targets = sorted(set(present) | absent)
    wanted = set(targets)
    return targets, sum(1 for record in records if record in wanted)


def measure_library(mode: str, data: str, targets_file: str, report: str) -> None:
    """The child's side: times reading the targets file, as the command's -P does, and one
    call of subset, and writes the seconds and the count of kept records to `report`."""
    import varsift_tools

    start = time.perf_counter()
    selection = varsift_tools.Selection(positions_file=targets_file)
    _, kept = varsift_tools.subset(data, selection=selection, index=LIBRARY_MODES[mode])
    elapsed = time.perf_counter() - start
    Path(report).write_text(f"{elapsed} {len(kept)}")
    os._exit(0)


def library(mode: str, data: Path, targets_file: Path, workdir: Path) -> tuple[float, int]:
    report = workdir / "report"
    subprocess.run([sys.executable, __file__, "--measure", mode, str(data), str(targets_file),
                    str(report)], check=True)
    elapsed, kept = report.read_text().split()
    report.unlink()
    return float(elapsed), int(kept)


def process(command: list[str], cap: float | None = None) -> tuple[float | None, int]:
    """Wall time of a whole process (None when stopped after `cap` seconds), and its count of
    data lines."""
    start = time.perf_counter()
    try:
        result = subprocess.run(command, capture_output=True, check=True, timeout=cap)
    except subprocess.TimeoutExpired:
        return None, -1
    elapsed = time.perf_counter() - start
    lines = result.stdout.count(b"\n") - sum(1 for line in result.stdout.split(b"\n")
                                             if line.startswith(b"#"))
    return elapsed, lines


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--repeats", type=int, default=3,
                        help="runs per cell (default 3; three times that under 0.05 s)")
    parser.add_argument("--shapes", default=",".join(str(c) for c, _ in SHAPES),
                        help="contig counts to run (default all)")
    parser.add_argument("--targets", default=",".join(map(str, TARGET_COUNTS)),
                        help="target counts to run (default all)")
    parser.add_argument("--cap", type=float, default=120.0,
                        help="seconds after which tabix -R is stopped (default 120)")
    options = parser.parse_args()
    chosen = {int(c) for c in options.shapes.split(",")}
    counts = [int(c) for c in options.targets.split(",")]
    DATA.mkdir(exist_ok=True)
    RESULTS.mkdir(exist_ok=True)
    command = run.varsift_command()
    if command is None:
        print("varsift_tools is not installed", file=sys.stderr)
        return 1

    store = RESULTS / "contigs.json"
    saved = json.loads(store.read_text()) if store.exists() else {"runs": [], "rows": []}
    load_before = os.getloadavg()
    started = datetime.datetime.now(datetime.UTC)
    rows = []
    wrong = []
    with tempfile.TemporaryDirectory(dir="/dev/shm" if Path("/dev/shm").is_dir() else DATA) as tmp:
        workdir = Path(tmp)
        # The command's start-up: an empty selection of a one-record file.
        tiny = workdir / "tiny.vcf"
        tiny.write_text("##fileformat=VCFv4.2\n#CHROM\tPOS\tID\tREF\tALT\n1\t5\t.\tA\tC\n")
        empty = workdir / "empty.txt"
        empty.write_text("")
        for contigs, records in SHAPES:
            if contigs not in chosen:
                continue
            paths = files(contigs, records, options.seed)
            present = records_of(paths["tbi"])
            for kind, data in paths.items():
                run.warm(data)
                for count in counts:
                    targets, expected = draw_targets(count, present, options.seed)
                    targets_file = workdir / "targets.tsv"
                    targets_file.write_text("".join(f"{c}\t{p}\n" for c, p in targets))
                    tools = {
                        **{f"library {mode}": (lambda mode=mode: library(
                            mode, data, targets_file, workdir)) for mode in LIBRARY_MODES},
                        "command auto": lambda: process([*command, "-P", str(targets_file),
                                                         str(data)]),
                        "command index": lambda: process([*command, "--force-index", "-P",
                                                          str(targets_file), str(data)]),
                        "tabix -R": lambda: process(["tabix", "-h", "-R", str(targets_file),
                                                     str(data)], options.cap),
                        "startup": lambda: process([*command, "-P", str(empty), str(tiny)]),
                    }
                    # Every cell of a row runs as often as the others, in rounds, one run of
                    # each tool in turn: the ratios then compare bests of as many runs taken
                    # under the same load. A row of milliseconds varies by the machine's
                    # scheduling more than by the code: it is run SHORT_REPEATS times as often.
                    cells: dict[str, float | None] = {tool: None for tool in tools}
                    stopped: set[str] = set()
                    rounds = options.repeats
                    done = 0
                    while done < rounds:
                        for tool, measure in tools.items():
                            if tool in stopped:
                                continue
                            elapsed, kept = measure()
                            if elapsed is None:
                                stopped.add(tool)
                                continue
                            best = cells[tool]
                            cells[tool] = elapsed if best is None else min(best, elapsed)
                            if tool not in ("tabix -R", "startup") and kept != expected:
                                wrong.append(f"{contigs} contigs, {kind}, {count} targets: "
                                             f"{tool} kept {kept}, not {expected}")
                        done += 1
                        if done == 1 and any(seconds is not None and seconds < SHORT_CELL
                                             for seconds in cells.values()):
                            rounds = options.repeats * SHORT_REPEATS
                    rows.append({"contigs": contigs, "index": kind, "targets": count,
                                 "kept": expected, "cells": cells})
                    print(f"{contigs:>7} contigs {kind} {count:>9,} targets: "
                          + ", ".join(f"{tool} {shown(seconds)}"
                                      for tool, seconds in cells.items()), file=sys.stderr)
    load_after = os.getloadavg()
    measured = {(row["contigs"], row["index"], row["targets"]) for row in rows}
    saved["rows"] = sorted(
        [row for row in saved["rows"]
         if (row["contigs"], row["index"], row["targets"]) not in measured] + rows,
        key=lambda row: (row["contigs"], row["index"] != "tbi", row["targets"]))
    saved["runs"].append({
        "date": f"{started:%Y-%m-%d %H:%M} UTC", "load": [load_before[0], load_after[0]],
        "repeats": options.repeats, "short_repeats": SHORT_REPEATS, "shapes": sorted(chosen), "targets": counts})
    store.write_text(json.dumps(saved, indent=1) + "\n")
    table = report(saved, options.cap, wrong)
    print(table)
    (RESULTS / "contigs.md").write_text(table)
    return 1 if wrong else 0


def short_note(entry: dict) -> str:
    """How often a run repeated its cells under SHORT_CELL, when more often."""
    short = entry.get("short_repeats", 1)
    return "" if short == 1 else f" ({entry['repeats'] * short} under {SHORT_CELL} s)"


def shown(seconds: float | None) -> str:
    return "capped" if seconds is None else f"{seconds:.3f}"


def ratio(numerator: float | None, denominator: float | None) -> str:
    if numerator is None or denominator is None:
        return "-"
    return f"{numerator / denominator:.2f}"


def report(saved: dict, cap: float, wrong: list[str]) -> str:
    lines = [
        "# Index path against contigs and targets",
        "",
        f"- Machine: {run.machine()}",
        f"- Tools: {run.version(['tabix', '--version'])}",
        "- Runs (load average over 1 minute, before and after; the machine is shared):",
        *(f"  - {entry['date']}: load {entry['load'][0]:.1f} to {entry['load'][1]:.1f}, best of "
          f"{entry['repeats']}{short_note(entry)}, contigs {', '.join(f'{c:,}' for c in entry['shapes'])}, "
          f"targets {', '.join(f'{c:,}' for c in entry['targets'])}"
          for entry in saved["runs"]),
        "- Seconds. Library cells time reading the targets file into a `Selection` and the call; "
        f"command and tabix cells whole processes reading the same file (tabix stopped after {cap:.0f} s: capped). The command's "
        "start-up is a cell of each row, run in its rounds.",
        "- auto / best: the library's choice against the faster of its two ways (goal: at most "
        "1.2). index / tabix: the library following the index against `tabix -R`, and the "
        "command forced, less its start-up, against `tabix -R` (goal: at most 1). command - "
        "library: the command's choice less the library's, start-up included (goal: within "
        "0.1 s).",
        "",
        "| contigs | index | targets | kept | library: index | scan | auto | auto / best "
        "| command: auto | index | start-up | tabix -R | index / tabix: library | command "
        "| command - library |",
        "| ---: | --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: "
        "| ---: | ---: | ---: |",
    ]
    for row in saved["rows"]:
        cells = row["cells"]
        best = min(cells["library index"], cells["library scan"])
        startup = cells["startup"] or 0.0
        command_index = max(cells["command index"] - startup, 0.0)
        lines.append(
            f"| {row['contigs']:,} | {row['index']} | {row['targets']:,} | {row['kept']:,} "
            f"| {shown(cells['library index'])} | {shown(cells['library scan'])} "
            f"| {shown(cells['library auto'])} | {ratio(cells['library auto'], best)} "
            f"| {shown(cells['command auto'])} | {shown(cells['command index'])} "
            f"| {shown(cells['startup'])} | {shown(cells['tabix -R'])} "
            f"| {ratio(cells['library index'], cells['tabix -R'])} "
            f"| {ratio(command_index, cells['tabix -R'])} "
            f"| {cells['command auto'] - cells['library auto']:+.3f} |")
    if wrong:
        lines += ["", "**Wrong results:**", ""] + [f"- {text}" for text in wrong]
    return "\n".join(lines) + "\n"


if __name__ == "__main__":
    if sys.argv[1:2] == ["--measure"]:
        measure_library(*sys.argv[2:])
    sys.exit(main())
