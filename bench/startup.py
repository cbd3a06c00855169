"""The varsift command's own start-up, above the bare start of the interpreter that runs it.

Whole processes, N runs of each row, interleaved: `python -c pass` (the floor), the import of
the library and of the command's module, `varsift --version` through the installed entry point
and through `python -m varsift_tools`, and the command on an empty selection of a one-record
file (start-up, argument parsing, opening the file). Each row gives the best and the median
wall time and the best processor time (user and system; steadier than wall time on a loaded
machine), the best of each also above the floor's.

    .venv/bin/python bench/startup.py [--repeats N]
"""

from __future__ import annotations

import argparse
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path


def run_once(command: list[str]) -> tuple[float, float]:
    """The wall time and the processor time of one run of `command`."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    subprocess.run(command, stdout=subprocess.DEVNULL, check=True)
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return wall, after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime


def measure_startup(repeats: int) -> dict[str, list[tuple[float, float]]]:
    """The (wall, processor) seconds of each run of each row, the floor first."""
    python = sys.executable
    entry = Path(python).parent / "varsift"
    module = [python, "-m", "varsift_tools"]
    command = [str(entry)] if entry.is_file() else module
    with tempfile.TemporaryDirectory() as tmp:
        vcf = Path(tmp) / "tiny.vcf"
        vcf.write_text("##fileformat=VCFv4.2\n#CHROM\tPOS\tID\tREF\tALT\n1\t5\t.\tA\tC\n")
        empty = Path(tmp) / "empty.txt"
        empty.write_text("")
        rows = {
            "`python -c pass` (floor)": [python, "-c", "pass"],
            "`python -c 'import varsift_tools'`": [python, "-c", "import varsift_tools"],
            "`python -c 'import varsift_tools.cli'`": [python, "-c", "import varsift_tools.cli"],
            "`varsift --version`": [*command, "--version"],
            "`python -m varsift_tools --version`": [*module, "--version"],
            "`varsift -P empty.txt tiny.vcf` (nothing kept)": [
                *command, "-P", str(empty), str(vcf)
            ],
        }
        # Interleaved, so that a busy moment does not fall on one row alone.
        runs: dict[str, list[tuple[float, float]]] = {name: [] for name in rows}
        for _ in range(repeats):
            for name, row in rows.items():
                runs[name].append(run_once(row))
    return runs


def startup_report(runs: dict[str, list[tuple[float, float]]]) -> str:
    def best(name: str, field: int) -> float:
        return min(run[field] for run in runs[name])

    floor = next(iter(runs))
    lines = [
        "| run | wall: best | median | best above the floor | processor: best | above the floor |",
        "| --- | ---: | ---: | ---: | ---: | ---: |",
    ]
    for name in runs:
        wall, cpu = best(name, 0), best(name, 1)
        median = statistics.median(run[0] for run in runs[name])
        lines.append(
            f"| {name} | {wall * 1000:.0f} ms | {median * 1000:.0f} ms "
            f"| {(wall - best(floor, 0)) * 1000:+.0f} ms | {cpu * 1000:.0f} ms "
            f"| {(cpu - best(floor, 1)) * 1000:+.0f} ms |"
        )
    load = os.getloadavg()[0]
    count = len(next(iter(runs.values())))
    return "\n".join(lines) + (
        f"\n\n{count} runs of each row. Load average (1 min) at the end: {load:.2f}.\n"
    )


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeats", type=int, default=30, help="runs of each row (default 30)")
    options = parser.parse_args()
    print(startup_report(measure_startup(options.repeats)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
