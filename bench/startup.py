"""The varsift command's own start-up, above the bare start of the interpreter that runs it.

Whole processes, each the best of N runs: `python -c pass` (the floor), the import of the
command's module, `varsift --version`, and the command on an empty selection of a one-record
file (start-up, argument parsing, opening the file). Each row gives the wall time and the
processor time (user and system; steadier than wall time on a loaded machine), and both above
the floor's.

    .venv/bin/python bench/startup.py [--repeats N]
"""

from __future__ import annotations

import argparse
import os
import resource
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


def measure_startup(repeats: int) -> dict[str, tuple[float, float]]:
    """Best (wall, processor) seconds of each row, the floor first."""
    python = sys.executable
    entry = Path(python).parent / "varsift"
    command = [str(entry)] if entry.is_file() else [python, "-m", "varsift_tools"]
    with tempfile.TemporaryDirectory() as tmp:
        vcf = Path(tmp) / "tiny.vcf"
        vcf.write_text("##fileformat=VCFv4.2\n#CHROM\tPOS\tID\tREF\tALT\n1\t5\t.\tA\tC\n")
        rows = {
            "`python -c pass` (floor)": [python, "-c", "pass"],
            "`python -c 'import varsift_tools.cli'`": [python, "-c", "import varsift_tools.cli"],
            "`varsift --version`": [*command, "--version"],
            "`varsift tiny.vcf -p 1` (nothing kept)": [*command, str(vcf), "-p", "1"],
        }
        # Interleaved, so that a busy moment does not fall on one row alone.
        best = {name: (float("inf"), float("inf")) for name in rows}
        for _ in range(repeats):
            for name, row in rows.items():
                wall, cpu = run_once(row)
                best[name] = (min(best[name][0], wall), min(best[name][1], cpu))
    return best


def startup_report(best: dict[str, tuple[float, float]]) -> str:
    floor_wall, floor_cpu = next(iter(best.values()))
    lines = [
        "| run | wall | above the floor | processor | above the floor |",
        "| --- | ---: | ---: | ---: | ---: |",
    ]
    for name, (wall, cpu) in best.items():
        lines.append(
            f"| {name} | {wall * 1000:.0f} ms | {(wall - floor_wall) * 1000:+.0f} ms "
            f"| {cpu * 1000:.0f} ms | {(cpu - floor_cpu) * 1000:+.0f} ms |"
        )
    load = os.getloadavg()[0]
    return "\n".join(lines) + f"\n\nLoad average (1 min) at the end: {load:.2f}.\n"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeats", type=int, default=30, help="runs of each row (default 30)")
    options = parser.parse_args()
    print(startup_report(measure_startup(options.repeats)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
