#!/usr/bin/env python3
"""Times the index choice in CPU seconds, on the files and targets of bench/contigs.py.

Wall times of a few milliseconds cannot show a ratio of 1.2 on a shared machine; CPU seconds
(all threads) are steadier. For each shape, index and target count, `bench/index/index_bench`
(built with the C++ tests) makes the choice and reads what it chose into a counter, without
Python: choosing, forced to follow the index, and scanning, each its best of --repeats runs;
beside them `tabix -R` (user and system time of the whole process; not run for a million
targets, which take it minutes). Every way must keep the same records. It prints a Markdown
table and writes it to bench/results/choice_cpu.md.
"""

import argparse
import datetime
import os
import resource
import subprocess
import sys
import tempfile
from pathlib import Path

import contigs
import run

HERE = Path(__file__).resolve().parent
MODES = {"auto": [], "index": ["--force"], "scan": ["--scan"]}
TABIX_LIMIT = 10_000


def index_bench(binary: Path, data: Path, targets: Path, flags: list[str]) -> dict[str, str]:
    """One run of index_bench: its `key=value` fields."""
    out = subprocess.run([str(binary), str(data), str(targets), *flags], capture_output=True,
                         text=True, check=True).stdout
    return dict(field.split("=", 1) for field in out.split())


def tabix_cpu(data: Path, targets: Path) -> float:
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    subprocess.run(["tabix", "-h", "-R", str(targets), str(data)], stdout=subprocess.DEVNULL,
                   check=True)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--binary", type=Path,
                        default=HERE.parent / "build" / "release" / "bench" / "index" / "index_bench")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--repeats", type=int, default=5)
    options = parser.parse_args()
    if not options.binary.exists():
        print(f"{options.binary} is missing: build the C++ tests first", file=sys.stderr)
        return 1
    load_before = os.getloadavg()[0]
    started = datetime.datetime.now(datetime.UTC)
    lines = [
        "| contigs | index | targets | choice | auto | index | scan | auto / best | tabix -R |",
        "| ---: | --- | ---: | --- | ---: | ---: | ---: | ---: | ---: |",
    ]
    wrong = []
    with tempfile.TemporaryDirectory() as tmp:
        targets_file = Path(tmp) / "targets.tsv"
        for count_of_contigs, records in contigs.SHAPES:
            paths = contigs.files(count_of_contigs, records, options.seed)
            present = contigs.records_of(paths["tbi"])
            for kind, data in paths.items():
                run.warm(data)
                for count in contigs.TARGET_COUNTS:
                    targets, expected = contigs.draw_targets(count, present, options.seed)
                    targets_file.write_text("".join(f"{c}\t{p}\n" for c, p in targets))
                    best = {mode: float("inf") for mode in MODES}
                    choice = ""
                    # In rounds, one run of each way in turn.
                    for _ in range(options.repeats):
                        for mode, flags in MODES.items():
                            fields = index_bench(options.binary, data, targets_file, flags)
                            best[mode] = min(best[mode], float(fields["total_cpu_s"]))
                            if int(fields["kept"]) != expected:
                                wrong.append(f"{count_of_contigs} {kind} {count} {mode}: kept "
                                             f"{fields['kept']}, not {expected}")
                            if mode == "auto":
                                choice = fields["choice"]
                    tabix = (f"{min(tabix_cpu(data, targets_file) for _ in range(options.repeats)):.2f}"
                             if count <= TABIX_LIMIT else "-")
                    lines.append(
                        f"| {count_of_contigs:,} | {kind} | {count:,} | {choice} "
                        f"| {best['auto']:.4f} | {best['index']:.4f} | {best['scan']:.4f} "
                        f"| {best['auto'] / min(best['index'], best['scan']):.2f} | {tabix} |")
                    print(lines[-1], file=sys.stderr)
    header = [
        "# The index choice in CPU seconds",
        "",
        f"- Machine: {run.machine()}",
        f"- Run: {started:%Y-%m-%d %H:%M} UTC, load average {load_before:.1f} before and "
        f"{os.getloadavg()[0]:.1f} after, best of {options.repeats}",
        "- CPU seconds of `index_bench`, all threads (the scan inflates on 2); `tabix -R`: user "
        "and system time. auto / best: the choice against the cheaper of its two ways.",
        "",
    ]
    if wrong:
        lines += ["", "**Wrong results:**", ""] + [f"- {text}" for text in wrong]
    text = "\n".join(header + lines) + "\n"
    (HERE / "results" / "choice_cpu.md").write_text(text)
    print(text)
    return 1 if wrong else 0


if __name__ == "__main__":
    sys.exit(main())
