#!/usr/bin/env python3
"""Measures varsift against the tools users subset VCF files with today.

On one generated VCF file, held in the page cache, it times for each position list:
varsift.subset_vcf; the same subsetting in plain Python; awk (mawk and gawk, whichever are
installed) with the positions in an array; `bcftools view -T` with a targets file; and, as the
floor, `wc -l`. Each tool runs --repeats times, each time in a process of its own, and its best
time counts; so does its lowest peak resident memory (RSS) over the runs. The tools must agree
on the number of kept data lines, or the run fails. It prints Markdown tables of throughput
(file bytes per second) and of time relative to `wc -l`, of peak RSS, and of varsift against
plain Python when every record is kept, and writes them with a PNG chart to bench/results/.
"""

import argparse
import datetime
import importlib.metadata
import importlib.util
import os
import platform
import random
import shutil
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable
from pathlib import Path

import varsift

import generate_vcf
import selection as selection_bench
import startup
import stored

HERE = Path(__file__).resolve().parent
DATA = HERE / "data"
RESULTS = HERE / "results"
LIST_SIZES = [0, 10, 10_000, 500_000, 1_000_000]
# Share of each position list drawn from positions absent from the file.
ABSENT_SHARE = 0.1

# The positions file comes first; FILENAME rather than NR == FNR, which an empty file fools.
AWK_PROGRAM = r"""
BEGIN { FS = "\t" }
FILENAME == ARGV[1] { keep[$1]; next }
/^#/ { print; next }
all || ($2 in keep)
"""


def plain_python_subset(path: str, positions: list[int]) -> tuple[list[str], list[str]]:
    """The subsetting as a user would write it: a set and a loop over the lines."""
    wanted = set(positions)
    header, data = [], []
    with open(path, encoding="utf-8") as vcf:
        for line in vcf:
            line = line.rstrip("\n")
            if line.startswith("#"):
                header.append(line)
            elif not wanted or int(line.split("\t", 2)[1]) in wanted:
                data.append(line)
    return header, data


class Capped(Exception):
    """A run took longer than the cap."""


# What a measurement gives: seconds, kept data lines and peak RSS in bytes (None if unknown).
Measurement = tuple[float, int, int | None]


# GNU time reports a child's peak RSS. Run straight from the benchmark, a child would inherit
# the benchmark's own peak (Linux carries it through fork and exec); a child of the small
# `time` process starts from time's.
GNU_TIME = "/usr/bin/time" if Path("/usr/bin/time").is_file() else None


def run_measured(command: list[str], stdout, workdir: Path,
                 cap: float) -> tuple[float, int | None]:
    """Runs `command` to its end; gives its wall time and its peak RSS in bytes (None without
    GNU time)."""
    report = workdir / "peak-rss"
    if GNU_TIME is not None:
        command = [GNU_TIME, "-f", "%M", "-o", str(report), *command]
    start = time.perf_counter()
    try:
        subprocess.run(command, stdout=stdout, check=True, timeout=cap)
    except subprocess.TimeoutExpired:
        raise Capped from None
    elapsed = time.perf_counter() - start
    if GNU_TIME is None:
        return elapsed, None
    rss = int(report.read_text().split()[-1]) * 1024
    report.unlink()
    return elapsed, rss


class Case:
    """One position list and the files that hand it to the command-line tools."""

    def __init__(self, size: int, positions: list[int], chrom: str, workdir: Path) -> None:
        self.size = size
        self.positions = positions
        self.positions_file = workdir / f"positions-{size}.txt"
        self.positions_file.write_text("".join(f"{p}\n" for p in positions))
        self.targets_file = workdir / f"targets-{size}.tsv"
        self.targets_file.write_text("".join(f"{chrom}\t{p}\n" for p in sorted(set(positions))))


def count_data_lines(path: Path) -> int:
    result = subprocess.run(["grep", "-cv", "^#", str(path)], capture_output=True, text=True)
    if result.returncode not in (0, 1):
        raise RuntimeError(result.stderr)
    return int(result.stdout)


def external(command: Callable[[Case], list[str]]):
    """A tool run as a child process whose VCF output goes to a file (in memory where /dev/shm
    is); its data lines are counted after the clock stops."""

    def measure(vcf: Path, case: Case, workdir: Path, cap: float) -> Measurement:
        output = workdir / "output.vcf"
        with open(output, "wb") as stream:
            elapsed, rss = run_measured(command(case), stream, workdir, cap)
        kept = count_data_lines(output)
        output.unlink()
        return elapsed, kept, rss

    return measure


IN_PROCESS = {
    "varsift.subset_vcf": varsift.subset_vcf,
    "plain Python (set)": plain_python_subset,
}


def in_process(tool: str, targets: bool = False):
    """A Python function, timed in a fresh interpreter of its own (see measure_child) so that
    its peak RSS is its own; the time covers the call alone. With `targets`, it is given the
    case's targets (CHROM, POS) rather than its positions."""

    def measure(vcf: Path, case: Case, workdir: Path, cap: float) -> Measurement:
        report = workdir / "measurement"
        selection = case.targets_file if targets else case.positions_file
        command = [sys.executable, __file__, "--measure", tool, str(vcf), str(selection),
                   str(report)]
        run_measured(command, subprocess.DEVNULL, workdir, cap)
        elapsed, kept, rss = report.read_text().split()
        report.unlink()
        return float(elapsed), int(kept), int(rss)

    return measure


def measure_child(tool: str, vcf: str, positions_file: str, report: str) -> None:
    """The child's side of in_process: reads the positions, calls the tool once and writes the
    call's seconds, the count of kept data lines and the process's peak RSS to `report`."""
    function = IN_PROCESS.get(tool)
    if function is None:
        # A targets file: CHROM and POS on each line.
        selection = [(chrom, int(pos)) for chrom, pos in
                     (line.split("\t") for line in Path(positions_file).read_text().splitlines())]
        function = IN_PROCESS_TARGETS[tool]
    else:
        selection = [int(line) for line in Path(positions_file).read_text().split()]
    start = time.perf_counter()
    _, data = function(vcf, selection)
    elapsed = time.perf_counter() - start
    status = Path("/proc/self/status").read_text().splitlines()
    peak_kb = next(int(line.split()[1]) for line in status if line.startswith("VmHWM:"))
    Path(report).write_text(f"{elapsed} {len(data)} {peak_kb * 1024}")
    # Freeing millions of strings one by one is no part of the call.
    os._exit(0)


def tools(vcf: Path) -> dict[str, Callable]:
    found = {tool: in_process(tool) for tool in IN_PROCESS}
    for awk in ("mawk", "gawk"):
        if shutil.which(awk):
            found[f"awk ({awk})"] = external(
                lambda case, awk=awk: [awk, "-v", f"all={int(case.size == 0)}", AWK_PROGRAM,
                                       str(case.positions_file), str(vcf)]
            )
    if shutil.which("bcftools"):
        # With no position, plain `bcftools view`: every record, parsed and written again.
        found["bcftools view -T"] = external(
            lambda case: ["bcftools", "view", "--no-version", "-Ov"]
            + (["-T", str(case.targets_file)] if case.size else [])
            + [str(vcf)]
        )
    return found


INDEX_LIST_SIZES = [10, 10_000, 1_000_000]


def indexed_copy(vcf: Path) -> Path:
    """The file as BGZF with a tabix index beside it, made once with the peers' tools."""
    gz = vcf.with_name(vcf.name + ".gz")
    if not (gz.exists() and Path(f"{gz}.tbi").exists()):
        partial = gz.with_name(gz.name + ".partial")
        with open(partial, "wb") as stream:
            subprocess.run(["bgzip", "-@2", "-c", str(vcf)], stdout=stream, check=True)
        partial.rename(gz)
        subprocess.run(["tabix", "-f", "-p", "vcf", str(gz)], check=True)
    return gz


def library_subset(path: str, targets: list[tuple[str, int]]) -> tuple[list[str], list[str]]:
    import varsift_tools

    return varsift_tools.subset(path, targets=targets)


# Python functions that take targets; timed as IN_PROCESS's are.
IN_PROCESS_TARGETS = {"varsift_tools.subset": library_subset}


def varsift_command() -> list[str] | None:
    """The `varsift` command of the interpreter running the benchmark: its entry point, or
    `python -m varsift_tools`; None when the package is not installed."""
    if importlib.util.find_spec("varsift_tools") is None:
        return None
    entry = Path(sys.executable).parent / "varsift"
    return [str(entry)] if entry.is_file() else [sys.executable, "-m", "varsift_tools"]


def indexed_tools(gz: Path) -> dict[str, Callable]:
    """Subsetting the indexed file by targets (CHROM, POS): the library, which chooses between
    following the index and a parallel scan, the command, which adds its interpreter's
    start-up (see command_startup), and the peers that follow the index. The peers keep every
    record overlapping a site (a deletion starting before it too), so their counts may exceed
    the records whose POS matches."""
    found: dict[str, Callable] = {}
    command = varsift_command()
    if command is None:
        print("varsift_tools is not installed: measuring the peers only", file=sys.stderr)
    else:
        found["varsift_tools.subset"] = in_process("varsift_tools.subset", targets=True)
        found["varsift -P (command)"] = external(
            lambda case: [*command, "-P", str(case.targets_file), str(gz)])
    if shutil.which("tabix"):
        found["tabix -h -R"] = external(
            lambda case: ["tabix", "-h", "-R", str(case.targets_file), str(gz)])
    if shutil.which("bcftools"):
        found["bcftools view -R"] = external(
            lambda case: ["bcftools", "view", "--no-version", "-Ov", "-R",
                          str(case.targets_file), str(gz)])
    return found


def index_benchmark(vcf: Path, chrom: str, present: list[int], seed: int, repeats: int,
                    cap: float, sizes: list[int] = INDEX_LIST_SIZES
                    ) -> tuple[dict[str, dict[int, float | None]], dict[str, dict[int, int]]]:
    """Times the indexed tools on the BGZF copy of `vcf` for target lists of `sizes`; gives the
    best seconds (None when capped) and the kept data lines of each tool and size."""
    gz = indexed_copy(vcf)
    measures = indexed_tools(gz)
    seconds: dict[str, dict[int, float | None]] = {tool: {} for tool in measures}
    kept: dict[str, dict[int, int]] = {tool: {} for tool in measures}
    with tempfile.TemporaryDirectory(dir="/dev/shm" if Path("/dev/shm").is_dir() else DATA) as tmp:
        workdir = Path(tmp)
        warm(gz)
        for size in sizes:
            case = Case(size, draw_positions(size, present, seed), chrom, workdir)
            for tool, measure in measures.items():
                best: float | None = float("inf")
                for _ in range(repeats):
                    try:
                        elapsed, count, _ = measure(gz, case, workdir, cap)
                    except Capped:
                        best = None
                        break
                    best = min(best, elapsed)
                    kept[tool][size] = count
                seconds[tool][size] = best
                shown = "capped" if best is None else f"{best:.3f} s"
                print(f"{size:>9,} targets  {tool:<22} {shown}", file=sys.stderr)
    return seconds, kept


def command_startup(repeats: int) -> float | None:
    """The best wall time of the command on an empty selection of a one-record file: its
    interpreter's start-up and imports, which the command's rows include; None without it."""
    command = varsift_command()
    if command is None:
        return None
    with tempfile.TemporaryDirectory() as tmp:
        vcf = Path(tmp) / "tiny.vcf"
        vcf.write_text("##fileformat=VCFv4.2\n#CHROM\tPOS\tID\tREF\tALT\n1\t5\t.\tA\tC\n")
        empty = Path(tmp) / "empty.txt"
        empty.write_text("")
        best = float("inf")
        for _ in range(max(repeats, 3)):
            start = time.perf_counter()
            subprocess.run([*command, "-P", str(empty), str(vcf)], stdout=subprocess.DEVNULL,
                           check=True)
            best = min(best, time.perf_counter() - start)
    return best


def index_report(seconds: dict[str, dict[int, float | None]], startup: float | None) -> str:
    """Seconds of each indexed tool for each target list, and the command's start-up, as
    Markdown."""
    sizes = sorted({size for times in seconds.values() for size in times})
    lines = ["| tool | " + " | ".join(f"{size:,} targets" for size in sizes) + " |",
             "| --- | " + " | ".join("---:" for _ in sizes) + " |"]
    for tool, times in seconds.items():
        cells = ["capped" if times.get(size) is None else f"{times[size]:.3f} s" for size in sizes]
        lines.append(f"| {tool} | " + " | ".join(cells) + " |")
    if startup is not None:
        lines += ["", f"The command's start-up, measured in the same run (`varsift` on an empty "
                  f"selection of a one-record file): {startup:.3f} s; its rows include it."]
    return "\n".join(lines) + "\n"


def wc_seconds(vcf: Path, repeats: int) -> float:
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        subprocess.run(["wc", "-l", str(vcf)], stdout=subprocess.DEVNULL, check=True)
        best = min(best, time.perf_counter() - start)
    return best


def warm(vcf: Path) -> None:
    for _ in range(2):
        with open(vcf, "rb") as stream:
            while stream.read(1 << 24):
                pass


def file_positions(vcf: Path) -> tuple[str, list[int], int]:
    """The chromosome, the positions of the data lines and the count of header lines of a
    generated file."""
    chroms, positions, header_lines = set(), [], 0
    with open(vcf, "rb") as stream:
        for line in stream:
            if line.startswith(b"#"):
                header_lines += 1
            else:
                chrom, position, _ = line.split(b"\t", 2)
                chroms.add(chrom)
                positions.append(int(position))
    (chrom,) = chroms
    return chrom.decode(), positions, header_lines


def draw_positions(size: int, present: list[int], seed: int) -> list[int]:
    """`size` positions in random order: most from the file, the rest absent from it."""
    rng = random.Random(seed * 1_000_003 + size)
    distinct = sorted(set(present))
    # A small file may not hold enough positions; absent ones make up the rest.
    chosen = rng.sample(distinct, min(size - round(size * ABSENT_SHARE), len(distinct)))
    taken, absent = set(distinct), set()
    while len(absent) < size - len(chosen):
        candidate = rng.randint(1, distinct[-1] + 2 * size)
        if candidate not in taken:
            absent.add(candidate)
    positions = chosen + sorted(absent)
    rng.shuffle(positions)
    return positions


def machine() -> str:
    model = next(
        (line.split(":", 1)[1].strip() for line in Path("/proc/cpuinfo").read_text().splitlines()
         if line.startswith("model name")),
        platform.processor(),
    )
    memory = next(line.split()[1] for line in Path("/proc/meminfo").read_text().splitlines()
                  if line.startswith("MemTotal"))
    os_name = next((line.split("=", 1)[1].strip('"') for line in
                    Path("/etc/os-release").read_text().splitlines()
                    if line.startswith("PRETTY_NAME")), platform.system())
    return (f"{model}, {os.cpu_count()} cores, {int(memory) / 2**20:.0f} GiB RAM; {os_name}, "
            f"Linux {platform.release()}; CPython {platform.python_version()}")


def version(command: list[str]) -> str:
    result = subprocess.run(command, capture_output=True, text=True)
    return (result.stdout or result.stderr).splitlines()[0].strip()


def versions() -> str:
    found = []
    for name, command in [("bcftools", ["bcftools", "--version"]), ("mawk", ["mawk", "-W", "version"]),
                          ("gawk", ["gawk", "--version"]), ("wc", ["wc", "--version"])]:
        if shutil.which(name):
            found.append(version(command))
    return "; ".join(found)


def cell(seconds: float | None, size_bytes: int, floor: float, cap: float) -> str:
    if seconds is None:
        return f"capped (> {cap:.0f} s)"
    return f"{size_bytes / seconds / 1e6:,.0f} MB/s ({seconds / floor:.1f}×)"


def chart(path: Path, title: str, names: list[str], sizes: list[int],
          seconds: dict[str, dict[int, float | None]], floor: float, size_bytes: int) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure, axes = plt.subplots(figsize=(9, 4.8), dpi=100)
    width = 0.8 / len(names)
    for index, name in enumerate(names):
        values = [size_bytes / seconds[name][size] / 1e6 if seconds[name][size] else 0
                  for size in sizes]
        offsets = [position + (index - (len(names) - 1) / 2) * width
                   for position in range(len(sizes))]
        bars = axes.bar(offsets, values, width, label=name)
        axes.bar_label(bars, labels=[f"{value:,.0f}" if value else "capped" for value in values],
                       fontsize=6)
    axes.axhline(size_bytes / floor / 1e6, color="black", linestyle="--", linewidth=1,
                 label="wc -l (floor)")
    axes.set_xticks(range(len(sizes)), [f"{size:,} positions" for size in sizes])
    axes.set_yscale("log")
    axes.set_ylabel("throughput, MB/s (log scale)")
    axes.set_title(title, fontsize=10)
    axes.legend(fontsize=8, loc="upper left", bbox_to_anchor=(1.0, 1.0))
    figure.tight_layout()
    figure.savefig(path)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--samples", type=int, default=4, help="samples in the VCF (default 4)")
    parser.add_argument("--size", type=generate_vcf.parse_size, default="1G",
                        help="size of the VCF, with an optional K, M or G suffix (default 1G)")
    parser.add_argument("--seed", type=int, default=1, help="seed of the file and the lists")
    parser.add_argument("--repeats", type=int, default=2, help="runs per measurement (default 2)")
    parser.add_argument("--cap", type=float, default=600,
                        help="seconds after which a tool's run is stopped (default 600)")
    parser.add_argument("--lists", type=lambda text: [int(n) for n in text.split(",")],
                        default=LIST_SIZES, help="sizes of the position lists (default "
                        + ",".join(map(str, LIST_SIZES)) + ")")
    parser.add_argument("--name", help="name of the results files (default from the shape)")
    parser.add_argument("--no-index", action="store_true",
                        help="skip the rows on the indexed BGZF copy (10 to 1,000,000 targets)")
    parser.add_argument("--no-stored", action="store_true",
                        help="skip the rows on the BGZF form of the file (bench/stored.py)")
    parser.add_argument("--no-selection", action="store_true",
                        help="skip a million targets on 25 contigs (bench/selection.py)")
    options = parser.parse_args()

    DATA.mkdir(exist_ok=True)
    RESULTS.mkdir(exist_ok=True)
    vcf = DATA / f"bench-{options.samples}s-{options.size}-{options.seed}.vcf"
    if not vcf.exists():
        print(f"generating {vcf.name} ...", file=sys.stderr)
        partial = vcf.with_suffix(".partial")
        generate_vcf.generate(partial, options.size, options.samples, options.seed)
        partial.rename(vcf)
    size_bytes = vcf.stat().st_size
    chrom, present, header_lines = file_positions(vcf)
    name = options.name or f"{'narrow' if options.samples <= 10 else 'wide'}-{options.samples}"

    measures = tools(vcf)
    seconds: dict[str, dict[int, float | None]] = {tool: {} for tool in measures}
    kept: dict[str, dict[int, int]] = {tool: {} for tool in measures}
    peak: dict[str, dict[int, int | None]] = {tool: {} for tool in measures}
    expected: dict[int, int] = {}
    load_before = os.getloadavg()
    with tempfile.TemporaryDirectory(dir="/dev/shm" if Path("/dev/shm").is_dir() else DATA) as tmp:
        workdir = Path(tmp)
        cases = [Case(size, draw_positions(size, present, options.seed), chrom, workdir)
                 for size in options.lists]
        for case in cases:
            wanted = set(case.positions)
            expected[case.size] = sum(1 for p in present if not wanted or p in wanted)
        warm(vcf)
        floor = wc_seconds(vcf, options.repeats + 1)
        for case in cases:
            for tool, measure in measures.items():
                best: float | None = float("inf")
                lowest: int | None = None
                for _ in range(options.repeats):
                    try:
                        elapsed, count, rss = measure(vcf, case, workdir, options.cap)
                    except Capped:
                        best, lowest = None, None
                        break
                    best = min(best, elapsed)
                    if rss is not None:
                        lowest = rss if lowest is None else min(lowest, rss)
                    kept[tool][case.size] = count
                seconds[tool][case.size] = best
                peak[tool][case.size] = lowest
                print(f"{case.size:>9,} positions  {tool:<20} "
                      f"{cell(best, size_bytes, floor, options.cap)}  {megabytes(lowest)}",
                      file=sys.stderr)
        floor = min(floor, wc_seconds(vcf, options.repeats + 1))
        stored_table = None
        if not options.no_stored:
            positions = draw_positions(10_000, present, options.seed)
            wanted = set(positions)
            stored_table = stored.measure_stored(
                vcf, chrom, positions, sum(1 for p in present if p in wanted), len(present),
                workdir, options.repeats)
    index_table = None
    if not options.no_index:
        index_seconds, _ = index_benchmark(vcf, chrom, present, options.seed, options.repeats,
                                           options.cap)
        index_table = index_report(index_seconds, command_startup(options.repeats))
    load_after = os.getloadavg()

    # A tool that keeps other lines than the file holds at those positions measured nothing.
    wrong = [
        f"{tool}, {size:,} positions: kept {count:,} data lines, not {expected[size]:,}"
        for tool in measures
        for size, count in kept[tool].items()
        if count != expected[size]
    ]
    title = (f"{size_bytes / 1e9:.2f} GB VCF, {options.samples} samples, {len(present):,} records "
             f"({size_bytes / (len(present) + header_lines):.0f} bytes a line), page-cached")
    notes = [
        f"Date: {datetime.datetime.now(datetime.UTC):%Y-%m-%d %H:%M} UTC",
        f"Machine: {machine()}",
        f"Load average (1 min) before and after: {load_before[0]:.2f}, {load_after[0]:.2f}",
        f"Tools: varsift {varsift_version()}; {versions()}",
        f"Best of {options.repeats} runs; `wc -l` took {floor:.3f} s "
        f"({size_bytes / floor / 1e6:,.0f} MB/s).",
        "Cells: throughput (file bytes / best time) and, in brackets, time relative to `wc -l`.",
    ]
    table = report(title, notes, options.lists, expected, seconds, floor, size_bytes, options.cap,
                   wrong) + memory_report(options.lists, peak) + keep_all_report(seconds, peak)
    if index_table is not None:
        table += "\n## The same file as indexed BGZF\n\n" + index_table
    if stored_table is not None:
        table += "\n## The same file stored as BGZF\n\n" + stored_table
    if varsift_command() is not None:
        table += "\n## The command's start-up\n\n" + startup.startup_report(
            startup.measure_startup(max(options.repeats, 10)))
    if not options.no_selection:
        # Its own file (300 MB of BGZF on 25 contigs), made once under bench/data.
        selection_table = selection_bench.measure(2_340_000, 16, options.repeats, 60.0, None)
        (RESULTS / "selection.md").write_text(selection_table)
        table += "\n## A million targets on 25 contigs\n\n" + selection_table
    print(table)
    (RESULTS / f"{name}.md").write_text(table)
    chart(RESULTS / f"{name}.png", title, list(measures), options.lists, seconds, floor,
          size_bytes)
    return 1 if wrong else 0


def report(title: str, notes: list[str], sizes: list[int], expected: dict[int, int],
           seconds: dict[str, dict[int, float | None]], floor: float, size_bytes: int,
           cap: float, wrong: list[str]) -> str:
    """The results as Markdown: the notes, then one row per tool and one column per list."""
    lines = [f"# Benchmark: {title}", ""] + [f"- {note}" for note in notes] + [""]
    lines += [
        "| tool | " + " | ".join(f"{size:,} positions" for size in sizes) + " |",
        "| --- | " + " | ".join("---:" for _ in sizes) + " |",
        "| kept data lines | " + " | ".join(f"{expected[size]:,}" for size in sizes) + " |",
    ]
    rows = {**seconds, "wc -l": {size: floor for size in sizes}}
    for tool, times in rows.items():
        cells = [cell(times[size], size_bytes, floor, cap) for size in sizes]
        lines.append(f"| {tool} | " + " | ".join(cells) + " |")
    if wrong:
        lines += ["", "**Wrong results:**", ""] + [f"- {text}" for text in wrong]
    return "\n".join(lines) + "\n"


def megabytes(rss: int | None) -> str:
    return "n/a" if rss is None else f"{rss / 1e6:,.0f} MB"


def memory_report(sizes: list[int], peak: dict[str, dict[int, int | None]]) -> str:
    """Peak RSS of each tool's process: one row per tool and one column per list."""
    lines = ["", "Peak resident memory (RSS) of the tool's process, lowest of the runs:", "",
             "| tool | " + " | ".join(f"{size:,} positions" for size in sizes) + " |",
             "| --- | " + " | ".join("---:" for _ in sizes) + " |"]
    for tool, values in peak.items():
        lines.append(f"| {tool} | " + " | ".join(megabytes(values[size]) for size in sizes)
                     + " |")
    return "\n".join(lines) + "\n"


def keep_all_report(seconds: dict[str, dict[int, float | None]],
                    peak: dict[str, dict[int, int | None]]) -> str:
    """varsift against plain Python when every record is kept (the list of 0 positions)."""
    ours, loop = "varsift.subset_vcf", "plain Python (set)"
    if 0 not in seconds.get(ours, {}) or 0 not in seconds.get(loop, {}):
        return ""
    times = (seconds[ours][0], seconds[loop][0])
    rss = (peak[ours][0], peak[loop][0])
    if None in times or None in rss:
        return ""
    return "\n".join([
        "", "Keeping every record, varsift against plain Python:", "",
        "| | time | peak RSS |", "| --- | ---: | ---: |",
        f"| varsift.subset_vcf | {times[0]:.2f} s | {megabytes(rss[0])} |",
        f"| plain Python (set) | {times[1]:.2f} s | {megabytes(rss[1])} |",
        f"| plain Python / varsift | {times[1] / times[0]:.2f}× | {rss[1] / rss[0]:.2f}× |",
    ]) + "\n"


def varsift_version() -> str:
    return importlib.metadata.version("varsift")


if __name__ == "__main__":
    if sys.argv[1:2] == ["--measure"]:
        measure_child(*sys.argv[2:])
    sys.exit(main())
