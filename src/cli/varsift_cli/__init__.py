"""The ``varsift`` command: keep the header and the chosen records of a VCF file."""

from __future__ import annotations

import argparse
import importlib.metadata
import os
import sys
import tempfile
from collections.abc import Sequence
from pathlib import Path
from typing import BinaryIO, NoReturn

import varsift

__all__ = ["main"]

# Exit statuses: 1 for a failure while subsetting or writing, 2 for bad input to the command.
EXIT_FAILURE = 1
EXIT_USAGE = 2

MAX_POSITION = 2**64 - 1

DESCRIPTION = """\
Write the header lines of a VCF file and the data lines whose POS column (the second
TAB-separated field) is one of the given positions, as a VCF. The chromosome column is not
looked at: a position selects its records on every chromosome. Lines keep their order and
their text. With no -p and no -P, every data line is kept."""

EPILOG = """\
positions file:
  one position per line, or CHROM<TAB>POS lines of which the POS column is taken (the
  chromosome is ignored); blank lines and lines starting with '#' are skipped. A file that
  holds no position keeps no data line.

output:
  the result is written to a temporary file beside OUTPUT and renamed into place once it is
  complete, so OUTPUT is never left half-written and keeps its old content on failure.

exit status:
  0  success
  1  the VCF file could not be read or is malformed (its report is on standard error),
     or the output could not be written
  2  bad command line or positions file

example:
  varsift calls.vcf -p 10177 10352 -P more-positions.txt -o subset.vcf"""


class UsageError(Exception):
    """Bad input to the command itself; exits with status 2."""


class _Parser(argparse.ArgumentParser):
    # One line on standard error, without the usage block argparse adds by default.
    def error(self, message: str) -> NoReturn:
        self.exit(EXIT_USAGE, f"{self.prog}: error: {message}\n")


class _VersionAction(argparse.Action):
    # Looks the version up only when asked, not on every run.
    def __init__(self, option_strings: Sequence[str], dest: str, help: str) -> None:
        super().__init__(option_strings, dest, nargs=0, help=help)

    def __call__(self, parser: argparse.ArgumentParser, *args: object) -> NoReturn:
        print(f"{parser.prog} {importlib.metadata.version('varsift')}")
        parser.exit()


def parse_position(text: str) -> int:
    """Reads an unsigned 64-bit decimal position; refuses signs, spaces and other digits."""
    if not (text.isascii() and text.isdigit()):
        raise ValueError(f"not a position: {text!r}")
    value = int(text)
    if value > MAX_POSITION:
        raise ValueError(f"position out of range (0 to {MAX_POSITION}): {text!r}")
    return value


def _position_argument(text: str) -> int:
    try:
        return parse_position(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def read_positions_file(path: str) -> list[int]:
    """Reads the positions of a positions file, in file order."""
    try:
        with open(path, encoding="utf-8") as stream:
            lines = stream.read().split("\n")
    except (OSError, UnicodeDecodeError) as error:
        reason = error.strerror if isinstance(error, OSError) else "not UTF-8 text"
        raise UsageError(f"cannot read positions file {path!r}: {reason}") from None
    positions = []
    for number, line in enumerate(lines, start=1):
        stripped = line.strip()
        if not stripped or stripped.startswith("#"):
            continue
        fields = stripped.split("\t")
        # A third column would make this a region file (CHROM BEG END); refusing it beats
        # silently keeping only the start of each region.
        if len(fields) > 2:
            raise UsageError(f"{path}:{number}: expected POS or CHROM<TAB>POS, got {line!r}")
        try:
            positions.append(parse_position(fields[-1].strip()))
        except ValueError as error:
            raise UsageError(f"{path}:{number}: {error}") from None
    return positions


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="varsift",
        description=DESCRIPTION,
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("input", metavar="INPUT.vcf", help="the VCF file to read (uncompressed)")
    parser.add_argument(
        "-p",
        "--position",
        dest="positions",
        metavar="POS",
        type=_position_argument,
        nargs="+",
        action="extend",
        default=[],
        help="keep the records at these positions (unsigned decimal numbers); may be given "
        "several times; a list given before INPUT.vcf must end with --",
    )
    parser.add_argument(
        "-P",
        "--positions-file",
        dest="positions_files",
        metavar="POSITIONS_FILE",
        action="append",
        default=[],
        help="keep the records at the positions listed in this file (format below); "
        "may be given several times",
    )
    parser.add_argument(
        "-o",
        "--output",
        metavar="OUTPUT",
        help="write the VCF to this file instead of standard output ('-' for standard output)",
    )
    parser.add_argument(
        "--version", action=_VersionAction, help="show the version of varsift and exit"
    )
    return parser


# Lines are encoded and written a block at a time so that a large result is never copied whole.
_BLOCK = 4096


def _write_lines(stream: BinaryIO, header: list[str], data: list[str]) -> None:
    for lines in (header, data):
        for first in range(0, len(lines), _BLOCK):
            block = lines[first : first + _BLOCK]
            stream.write(("\n".join(block) + "\n").encode("utf-8"))


class _ReplacingOutput:
    """A temporary file beside the target, renamed over it by commit() and removed otherwise."""

    def __init__(self, target: str) -> None:
        self.target = target
        directory = os.path.dirname(os.path.abspath(target))
        fd, self.temporary = tempfile.mkstemp(dir=directory, prefix=f".{os.path.basename(target)}.")
        self.stream = os.fdopen(fd, "wb")

    def commit(self) -> None:
        self.stream.close()
        # mkstemp makes the file private; give it the mode a plain open() would.
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(self.temporary, 0o666 & ~umask)
        os.replace(self.temporary, self.target)

    def discard(self) -> None:
        self.stream.close()
        if os.path.exists(self.temporary):
            os.unlink(self.temporary)


def _is_subset_failure(error: BaseException) -> bool:
    # The extension's failure type is not reachable as an attribute; it is known by name.
    kind = type(error)
    return kind.__module__ == "pyo3_runtime" and kind.__name__ == "PanicException"


def _subset(options: argparse.Namespace, positions: list[int]) -> tuple[list[str], list[str]]:
    header, data = varsift.subset_vcf(options.input, positions)
    # An empty list asks the extension for every record; a positions file that named no
    # position asks for none.
    if options.positions_files and not positions:
        data = []
    return header, data


def _run_to_stdout(options: argparse.Namespace, positions: list[int]) -> int:
    header, data = _subset(options, positions)
    try:
        _write_lines(sys.stdout.buffer, header, data)
        sys.stdout.buffer.flush()
    except BrokenPipeError:
        # The reader went away (e.g. `| head`); keep the interpreter's final flush quiet.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_FAILURE
    return 0


def _run_to_file(
    parser: argparse.ArgumentParser, options: argparse.Namespace, positions: list[int]
) -> int:
    # Checked and made before the work starts, so that a bad target is reported at once.
    if os.path.isdir(options.output):
        parser.error(f"cannot write {options.output!r}: it is a directory")
    try:
        output = _ReplacingOutput(options.output)
    except OSError as error:
        parser.error(f"cannot write {options.output!r}: {error.strerror}")
    try:
        header, data = _subset(options, positions)
        _write_lines(output.stream, header, data)
        output.commit()
    except OSError as error:
        output.discard()
        print(f"varsift: error: cannot write {options.output!r}: {error.strerror}", file=sys.stderr)
        return EXIT_FAILURE
    except BaseException:
        output.discard()
        raise
    return 0


def run(argv: Sequence[str] | None = None) -> int:
    """Runs the command on argv (default: the process arguments); returns the exit status."""
    parser = build_parser()
    options = parser.parse_args(argv)
    try:
        # The extension takes the path as UTF-8 text; a name in another encoding cannot be opened.
        options.input.encode("utf-8")
    except UnicodeEncodeError:
        parser.error(f"cannot read {options.input!r}: the file name is not UTF-8")
    try:
        positions: list[int] = list(options.positions)
        for path in options.positions_files:
            positions.extend(read_positions_file(path))
    except UsageError as error:
        parser.error(str(error))

    try:
        if options.output is None or options.output == "-":
            return _run_to_stdout(options, positions)
        return _run_to_file(parser, options, positions)
    except BaseException as error:
        if not _is_subset_failure(error):
            raise
        # The extension has already written its report to standard error.
        return EXIT_FAILURE


def main() -> NoReturn:
    """Entry point of the ``varsift`` console command."""
    try:
        status = run()
    except KeyboardInterrupt:
        status = 130
    sys.exit(status)
