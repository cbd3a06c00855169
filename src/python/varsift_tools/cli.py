"""The ``varsift`` command: keep the header and the chosen records of a VCF file."""

from __future__ import annotations

import argparse
import errno
import os
import signal
import stat
import sys
import time
import warnings

import varsift_tools
from varsift_tools import _native

# Modules only the annotations need are left out of the start-up, which every run pays.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Sequence
    from types import FrameType
    from typing import NoReturn, TypeVar

    _T = TypeVar("_T")

__all__ = ["main", "run"]

# Exit statuses: 1 for a failure reading the VCF or writing the result, 2 for a bad command line,
# and the status of a death by SIGPIPE when the output's reader went away, which run() gives and
# main() ends by.
EXIT_FAILURE = 1
EXIT_USAGE = 2
EXIT_BROKEN_PIPE = 128 + signal.SIGPIPE

MAX_POSITION = 2**64 - 1

# The most threads the library runs.
MAX_THREADS = _native.MAX_THREADS

# bcftools' numbers for the overlap modes.
OVERLAPS = {"0": "pos", "1": "record", "2": "variant"}

DESCRIPTION = """\
Write the header lines of a VCF file and the data lines chosen by position, as a VCF.
INPUT is plain text, gzip (one member or several), BGZF (.vcf.gz, read in parallel) or BCF,
told apart by content, also on standard input ('-'). INPUT may be a URL (http, https,
ftp, s3, gs), read by byte ranges where its index allows. A data line is chosen by its CHROM
and POS columns (the first two TAB-separated fields) and, where a region is met by overlap,
by its REF, ALT and INFO/END. Lines keep their order and their text. With no selector, every
data line is kept."""

EPILOG = """\
selectors: -p/-P are varsift's own, by POS; -r/-R and -t/-T are bcftools' regions and
targets, meant as bcftools view means them. Within a kind, lists and files add up; a record
is kept when it meets every kind given (-r chr1 -t ^chr1:100 keeps chr1 but chr1:100).
Records keep their file order, also where bcftools -r gives them in region order.

regions and targets (-r/-t LIST, as htslib reads region strings; 1-based, inclusive):
  chr1  chr1:1500  chr1:1000-2000  chr1:2000-  chr1:-1000  chr1:1,000-2,000 (one region)
  chr1:100-200,chr2 (a list)  HLA-A*01:01:200 (the last ':' ends CHROM)  {HLA-A*01:01}:1-10
  A leading ^ in -t or -T keeps every record but the targets' (all of them or none ^).
regions and targets files (-R/-T FILE, gzip allowed, '-' for standard input):
  CHROM, CHROM POS or CHROM BEG END, 1-based and inclusive, TABs or spaces between columns;
  further columns (REF, ALT...) are ignored. FILE named .bed or .bed.gz is BED: CHROM BEG END,
  0-based and half-open. Lines starting with '#' and blank lines are skipped.
overlap (--regions-overlap, default record; --targets-overlap, default pos; or 0, 1, 2):
  pos      the record's POS lies in the region
  record   any base from POS to the record's end (REF's length, or INFO/END) does
  variant  a base its ALT alleles change does (REF's leading bases that every ALT allele
           shares are left out; an insertion meets a region holding the bases on both sides)
  A selector naming a chromosome that the header's ##contig lines do not (without them: that
  the input's index, when read, does not) is warned of.

positions file (-P), varsift's own, every selector by POS:
    POS              a position on any chromosome
    CHROM POS        a target (as in a bcftools targets file)
    CHROM BEG END    a region, 1-based and inclusive (not BED; -R reads BED)
  lines starting with '#' and blank lines are skipped. A file that holds no selector keeps
  no data line.

output:
  a plain VCF on standard output. -o OUTPUT writes a file instead: BGZF when its name ends
  in .gz or .bgz (readable by bgzip, tabix and bcftools), plain otherwise; -O z or -O v
  chooses either whatever the name. From a BCF INPUT, records are written as the VCF text
  htslib formats; -O b (or an OUTPUT ending in .bcf) writes BCF, -O u uncompressed BCF,
  each kept record's bytes copied unchanged. A regular OUTPUT is written to a temporary file beside
  it and renamed into place once complete, keeping the old file's mode and owner, so OUTPUT
  is never left half-written and keeps its old content on failure or interruption; a file
  the user may not write is refused. A symbolic link is followed and its target replaced;
  a device, a FIFO or /dev/stdout is written directly. OUTPUT '-' is standard output.

exit status:
  0  success
  1  the VCF could not be read or is malformed, or the output could not be written or
     indexed (one line on standard error: 'varsift: error: FILE:LINE: what is wrong',
     'varsift: error: FILE: PLACE: what is wrong' for a line reached through an index,
     whose number is unknown, or 'varsift: error: FILE: reason')
  2  bad command line, or a positions, regions or targets file that cannot be read
  141 (killed by SIGPIPE) quietly, when the reader of the output goes away (| head), as
     bcftools ends
  a run stopped by SIGINT, SIGTERM or SIGHUP removes its temporary file and ends by that
  signal.

examples:
  varsift calls.vcf.gz -p 10177 10352 > subset.vcf
  varsift calls.vcf.gz -P sites.tsv -o subset.vcf.gz -@ 2      # POS / CHROM POS lines
  varsift calls.vcf.gz -r chr1:10000-20000,chr2 -T ^known.tsv.gz
  varsift calls.vcf.gz -R exome.bed --regions-overlap variant
  varsift -p 10177 10352 -- calls.vcf     # a list before INPUT ends with --"""


class UsageError(Exception):
    """Bad input to the command itself; exits with status 2."""


class _Stopped(BaseException):
    """A signal that ends the run; raised where the run is, so that it cleans up."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


def _write_stdout(text: str) -> None:
    if sys.stdout is None:
        raise OSError(errno.EBADF, os.strerror(errno.EBADF))
    sys.stdout.write(text)


class _Parser(argparse.ArgumentParser):
    # One line on standard error, without the usage block argparse adds by default.
    def error(self, message: str) -> NoReturn:
        self.exit(EXIT_USAGE, f"{self.prog}: error: {message}\n")

    # argparse would hide a failure to write the help; main() reports it.
    def print_help(self, file: object = None) -> None:
        _write_stdout(self.format_help())


class _VersionAction(argparse.Action):
    def __init__(self, option_strings: Sequence[str], dest: str, help: str) -> None:
        super().__init__(option_strings, dest, nargs=0, help=help)

    def __call__(self, parser: argparse.ArgumentParser, *args: object) -> NoReturn:
        _write_stdout(f"{parser.prog} {varsift_tools.__version__}\n")
        parser.exit()


class _HelpFormatter(argparse.RawDescriptionHelpFormatter):
    # argparse would import shutil (and zlib, bz2 and lzma with it) on every run to measure the
    # terminal, once for each argument added; the width is measured here as shutil measures it.
    def __init__(
        self,
        prog: str,
        indent_increment: int = 2,
        max_help_position: int = 24,
        width: int | None = None,
    ) -> None:
        if width is None:
            width = _terminal_columns() - 2
        super().__init__(prog, indent_increment, max_help_position, width)


def _terminal_columns() -> int:
    """COLUMNS when a positive number, else the width of the terminal of standard output, else
    80."""
    try:
        columns = int(os.environ["COLUMNS"])
    except (KeyError, ValueError):
        columns = 0
    if columns > 0:
        return columns
    stdout = sys.__stdout__
    try:
        columns = os.get_terminal_size(stdout.fileno()).columns if stdout is not None else 0
    except (AttributeError, ValueError, OSError):
        columns = 0
    return columns or 80


def parse_position(text: str) -> int:
    """Reads an unsigned 64-bit decimal position; refuses signs, spaces and other digits."""
    if not (text.isascii() and text.isdigit()):
        raise ValueError(f"not a position: {text!r}")
    value = int(text)
    if value > MAX_POSITION:
        raise ValueError(f"position out of range (0 to {MAX_POSITION}): {text!r}")
    return value


def _argument_type(parse: Callable[[str], _T]) -> Callable[[str], _T]:
    def convert(text: str) -> _T:
        try:
            return parse(text)
        except ValueError as error:
            raise argparse.ArgumentTypeError(str(error)) from None

    convert.__name__ = parse.__name__
    return convert


def _threads(text: str) -> int:
    if not (text.isascii() and text.isdigit()) or not 1 <= int(text) <= MAX_THREADS:
        raise ValueError(f"not a number of threads (1 to {MAX_THREADS}): {text!r}")
    return int(text)


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="varsift",
        description=DESCRIPTION,
        epilog=EPILOG,
        formatter_class=_HelpFormatter,
    )
    parser.add_argument(
        "input",
        metavar="INPUT",
        help="the VCF to read: plain, gzip, BGZF or BCF, a file or a URL; '-' for standard input",
    )
    selectors = parser.add_argument_group(
        "selectors (a record is kept when it meets each kind given: -p/-P, -r/-R, -t/-T)"
    )
    selectors.add_argument(
        "-p",
        "--position",
        dest="positions",
        metavar="POS",
        type=_argument_type(parse_position),
        nargs="+",
        action="extend",
        default=[],
        help="keep the records at these positions, on any chromosome; may be repeated; a list "
        "given before INPUT must end with --",
    )
    selectors.add_argument(
        "-P",
        "--positions-file",
        dest="positions_files",
        metavar="FILE",
        action="append",
        help="keep the records chosen by the lines of FILE: POS, CHROM POS or CHROM BEG END, "
        "by POS (format below); may be repeated",
    )
    selectors.add_argument(
        "-r",
        "--regions",
        "--region",
        dest="regions",
        metavar="LIST",
        nargs="+",
        action="extend",
        help="keep the records that overlap these regions: CHROM, CHROM:POS, CHROM:BEG-END, "
        "CHROM:BEG-, comma-separated (as bcftools -r)",
    )
    selectors.add_argument(
        "-R",
        "--regions-file",
        dest="regions_files",
        metavar="FILE",
        action="append",
        help="regions from FILE: CHROM, CHROM POS or CHROM BEG END, 1-based; BED (0-based) "
        "when named .bed or .bed.gz; gzip allowed; '-' for standard input (as bcftools -R)",
    )
    selectors.add_argument(
        "--regions-overlap",
        choices=["pos", "record", "variant", "0", "1", "2"],
        default="record",
        help="how a record meets a region: its POS, any base of the record (default), or the "
        "bases its alleles change",
    )
    selectors.add_argument(
        "-t",
        "--targets",
        "--target",
        dest="targets",
        metavar="[^]LIST",
        nargs="+",
        action="extend",
        help="keep the records at these targets, in the forms of -r; with ^, all records but "
        "those (as bcftools -t)",
    )
    selectors.add_argument(
        "-T",
        "--targets-file",
        dest="targets_files",
        metavar="[^]FILE",
        action="append",
        help="targets from FILE, in the forms of -R; with ^, all records but those "
        "(as bcftools -T)",
    )
    selectors.add_argument(
        "--targets-overlap",
        choices=["pos", "record", "variant", "0", "1", "2"],
        default="pos",
        help="how a record meets a target (default: pos), as --regions-overlap",
    )
    output = parser.add_argument_group("output")
    output.add_argument(
        "-o",
        "--output",
        metavar="OUTPUT",
        help="write the VCF to this file instead of standard output ('-' for standard output)",
    )
    output.add_argument(
        "-O",
        "--output-type",
        choices=["v", "z", "b", "u"],
        help="v: plain VCF, z: BGZF VCF, b: BCF, u: uncompressed BCF, both from a BCF INPUT "
        "(default: BGZF for an OUTPUT ending in .gz or .bgz, BCF for .bcf)",
    )
    output.add_argument(
        "-@",
        "--threads",
        metavar="THREADS",
        type=_argument_type(_threads),
        help=f"threads that inflate and compress, 1 to {MAX_THREADS} (default: the cores this "
        "process may use)",
    )
    indexed = parser.add_argument_group("index (BGZF or BCF input)")
    indexed.add_argument(
        "--index",
        dest="index_path",
        metavar="FILE",
        help="the tabix or CSI index of INPUT, a BCF's CSI (default: INPUT.tbi or INPUT.csi when "
        "present)",
    )
    indexed.add_argument(
        "--write-index",
        nargs="?",
        const=True,
        choices=["tbi", "csi"],
        help="index the BGZF OUTPUT while writing it, as OUTPUT.tbi (default) or OUTPUT.csi; "
        "a BCF OUTPUT as OUTPUT.csi",
    )
    choice = indexed.add_mutually_exclusive_group()
    choice.add_argument(
        "--force-index",
        dest="index",
        action="store_const",
        const=True,
        help="always follow the index, failing when it is missing or unusable",
    )
    choice.add_argument(
        "--no-index",
        dest="index",
        action="store_const",
        const=False,
        help="never follow an index: scan the whole file (default: whichever reads less)",
    )
    parser.add_argument(
        "-q",
        "--quiet",
        action="store_true",
        help="no progress line (shown on a terminal's standard error for runs of more than "
        "a second or two, while standard output goes elsewhere)",
    )
    parser.add_argument(
        "--version", action=_VersionAction, help="show the version of varsift and exit"
    )
    return parser


def _excluding(values: list[str], what: str) -> tuple[list[str], bool]:
    """The values without their '^', and whether they exclude: all or none of them must."""
    marked = [value.startswith("^") for value in values]
    if any(marked) and not all(marked):
        raise UsageError(f"{what}: either every list and file excludes (^) or none does")
    return [value[1:] if mark else value for value, mark in zip(values, marked)], any(marked)


def _selection(options: argparse.Namespace) -> varsift_tools.Selection | None:
    """The selectors of the command line, read natively; None when there is none (every
    record is kept)."""
    given = [options.positions, options.positions_files, options.regions, options.regions_files,
             options.targets, options.targets_files]
    if not any(given):
        return None
    targets, exclude = _excluding(options.targets or [], "-t/-T")
    targets_files, exclude_files = _excluding(options.targets_files or [], "-t/-T")
    if targets and targets_files and exclude != exclude_files:
        raise UsageError("-t/-T: either every list and file excludes (^) or none does")
    files = [*(options.positions_files or []), *(options.regions_files or []), *targets_files]
    if files.count("-") + (options.input == "-") > 1:
        raise UsageError("standard input can be read only once")
    positions = None
    if options.positions:
        from array import array

        positions = array("Q", options.positions)
    try:
        return varsift_tools.Selection(
            positions=positions,
            positions_file=options.positions_files,
            regions=options.regions,
            regions_file=options.regions_files,
            regions_overlap=OVERLAPS.get(options.regions_overlap, options.regions_overlap),
            targets=targets if options.targets else None,
            targets_file=targets_files if options.targets_files else None,
            targets_overlap=OVERLAPS.get(options.targets_overlap, options.targets_overlap),
            exclude_targets=exclude or exclude_files,
        )
    except ValueError as error:
        raise UsageError(str(error)) from None
    except OSError as error:
        raise UsageError(f"cannot read {error.filename}: {error.strerror}") from None


class _ProgressLine:
    """One line on a terminal's standard error, rewritten in place while a long run goes on and
    erased at its end. Called by the library a few times a second at most."""

    # Short runs show nothing.
    DELAY = 1.5

    def __init__(self, total: int | None) -> None:
        self._start = time.monotonic()
        self._total = total
        self._shown = False

    def __call__(self, read: int, stored: int, kept: int) -> None:
        if time.monotonic() - self._start < self.DELAY:
            return
        done = f" ({min(99, stored * 100 // self._total)}%)" if self._total and stored else ""
        # A BCF copied block for block reads no records: their number is not known (-1).
        records = f", {kept:,} records kept" if kept >= 0 else ""
        self._write(f"\rvarsift: {_amount(read)} read{done}{records}\x1b[K")
        self._shown = True

    def close(self) -> None:
        if self._shown:
            self._write("\r\x1b[K")
            self._shown = False

    @staticmethod
    def _write(text: str) -> None:
        # A terminal that went away must not fail the run it only reports on.
        try:
            sys.stderr.write(text)
            sys.stderr.flush()
        except (OSError, ValueError, AttributeError):
            pass


def _amount(count: int) -> str:
    if count < 1000:
        return f"{count} B"
    amount = count / 1000
    for unit in ("kB", "MB", "GB"):
        if amount < 1000:
            return f"{amount:.1f} {unit}"
        amount /= 1000
    return f"{amount:.1f} TB"


def _progress_line(options: argparse.Namespace, to_stdout: bool) -> _ProgressLine | None:
    """A progress line when standard error is a terminal that the output does not go to and
    -q is not given; None otherwise (pipes, files, or the output on the same terminal)."""
    if options.quiet or sys.stderr is None:
        return None
    try:
        if not os.isatty(sys.stderr.fileno()) or (to_stdout and os.isatty(1)):
            return None
    except (OSError, ValueError):
        return None
    return _ProgressLine(_file_size(options.input))


def _file_size(path: str) -> int | None:
    """The size of a local regular file, which the bytes read as stored count up to; None for
    standard input, a URL, a FIFO."""
    if path == "-" or _native.is_url(os.fsencode(path)):
        return None
    try:
        status = os.stat(path)
    except OSError:
        return None
    return status.st_size if stat.S_ISREG(status.st_mode) else None


def _fail(message: str) -> int:
    print(f"varsift: error: {message}", file=sys.stderr)
    return EXIT_FAILURE


def run(argv: Sequence[str] | None = None, *, closed: frozenset[int] = frozenset()) -> int:
    """Runs the command on argv (default: the process arguments); returns the exit status.
    `closed` names the standard descriptors the process started without."""
    parser = build_parser()
    options = parser.parse_args(argv)
    try:
        selection = _selection(options)
    except UsageError as error:
        parser.error(str(error))

    if options.input == "-" and 0 in closed:
        return _fail(f"cannot read standard input: {os.strerror(errno.EBADF)}")
    to_stdout = options.output in (None, "-")
    compress = {None: None, "v": False, "z": True, "b": True, "u": False}[options.output_type]
    bcf = options.output_type in ("b", "u") or (
        options.output_type is None and not to_stdout and options.output.endswith(".bcf")
    )
    if options.write_index is True:
        options.write_index = "csi" if bcf else "tbi"
    if bcf:
        compress = compress is not False
        if options.write_index and (to_stdout or not compress):
            return _fail("--write-index needs a compressed BCF OUTPUT file")
        if options.write_index == "tbi":
            return _fail("a BCF OUTPUT is indexed as csi only")
    if to_stdout:
        if 1 in closed:
            return _fail(f"cannot write standard output: {os.strerror(errno.EBADF)}")
        output: str | int = 1
        compress = bool(compress)
    else:
        output = options.output
    if options.write_index and not bcf:
        bgzf = compress or (
            compress is None and not to_stdout and str(output).endswith((".gz", ".bgz"))
        )
        if to_stdout or not bgzf:
            parser.error("--write-index needs a BGZF OUTPUT file (-O z, or a name ending .gz)")
    progress = _progress_line(options, to_stdout)
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always", UserWarning)
            try:
                varsift_tools.write_subset(
                    options.input,
                    output,
                    selection=selection,
                    compress=compress,
                    threads=options.threads,
                    index=options.index,
                    index_path=options.index_path,
                    write_index=options.write_index,
                    format="bcf" if bcf else "vcf",
                    progress=progress,
                )
            finally:
                if progress is not None:
                    progress.close()
        for warning in caught:
            print(f"varsift: warning: {warning.message}", file=sys.stderr)
    except ValueError as error:
        # Malformed input (VcfFormatError) or an index asked for that cannot be used.
        return _fail(str(error))
    except OSError as error:
        if error.errno == errno.EPIPE:
            # The reader went away (`| head`, also through -o /dev/stdout or a FIFO): it has
            # what it wanted.
            return EXIT_BROKEN_PIPE
        reason = error.strerror or str(error)
        if error.filename is not None:
            return _fail(f"{error.filename}: {reason}")
        return _fail(f"cannot write standard output: {reason}")
    except MemoryError:
        return _fail("out of memory")
    return 0


def _reserve_standard_descriptors() -> frozenset[int]:
    """Opens /dev/null on closed descriptors 0 to 2, so that no file opened later takes their
    place (and standard output is never written into an input); gives those that were closed."""
    closed = set()
    for fd in (0, 1, 2):
        try:
            os.fstat(fd)
        except OSError:
            closed.add(fd)
            opened = os.open(os.devnull, os.O_RDWR)
            if opened != fd:
                os.dup2(opened, fd)
                os.close(opened)
    return frozenset(closed)


def _stop(signum: int, frame: FrameType | None) -> None:
    # Once stopping, further signals must not interrupt the clean-up.
    for caught in _CAUGHT:
        signal.signal(caught, signal.SIG_IGN)
    raise _Stopped(signum)


_CAUGHT = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


def _catch_signals() -> None:
    for signum in _CAUGHT:
        # A signal the caller has ignored (nohup, a background job) stays ignored.
        if signal.getsignal(signum) != signal.SIG_IGN:
            signal.signal(signum, _stop)


def _end_by(signum: int) -> NoReturn:
    # Ends the way the signal would have, so that the caller (a shell, make) sees it.
    signal.signal(signum, signal.SIG_DFL)
    signal.pthread_sigmask(signal.SIG_UNBLOCK, {signum})
    os.kill(os.getpid(), signum)
    os._exit(128 + signum)


def _stdout_failed(error: OSError) -> int:
    if sys.stdout is not None:
        # Keep the interpreter's last flush from reporting the same failure with a traceback.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    if error.errno == errno.EPIPE:
        return EXIT_BROKEN_PIPE
    return _fail(f"cannot write standard output: {error.strerror}")


def main() -> NoReturn:
    """Entry point of the ``varsift`` console command."""
    closed = _reserve_standard_descriptors()
    _catch_signals()
    try:
        try:
            status = run(closed=closed)
        except SystemExit as exit:
            status = exit.code if isinstance(exit.code, int) else EXIT_FAILURE if exit.code else 0
        # The library reports its own writes; only the help and the version pass through here.
        if sys.stdout is not None:
            sys.stdout.flush()
    except OSError as error:
        status = _stdout_failed(error)
    except _Stopped as stopped:
        sys.stderr.flush()
        _end_by(stopped.signum)
    if status == EXIT_BROKEN_PIPE:
        _end_by(signal.SIGPIPE)
    sys.exit(status)
