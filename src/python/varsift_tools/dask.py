"""Subset many VCF files, or very large ones, on Dask: on a laptop's processes or a cluster.

Each file is cut into byte ranges (BGZF at block boundaries) that tasks read apart; a record
belongs to the range in which it starts. Results are the single-process library's, in file
order: the first file's header, then the kept records of every file.

>>> from varsift_tools.dask import write_subset
>>> write_subset(["chr1.vcf.gz", "chr2.vcf.gz"], "sites.vcf.gz", positions=sites)

Work runs on the current Dask scheduler: a ``distributed.Client`` the caller made, else Dask's
local default. Every worker must be able to read the inputs at the same paths or URLs (a URL
with a ``.gzi`` beside it is cut into ranges that workers fetch apart), and
:func:`write_subset` writes its parts beside the output, which the workers must reach too.
Needs the ``dask`` extra: ``pip install 'varsift[dask]'``.
"""

from __future__ import annotations

import contextlib
import errno
import gzip
import os
import shutil
import stat
import tempfile
import zlib
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass
from typing import Any, Literal, TypeVar, cast

import dask.bag
import dask.threaded
from dask.base import compute, get_scheduler
from dask.delayed import Delayed, delayed

from varsift_tools import _native, iter_lines
from varsift_tools._errors import VcfFormatError
from varsift_tools._output import check_replaceable, output_file
from varsift_tools._partition import EOF_MARKER, Part, changed, partition_file

__all__ = ["DEFAULT_PARTITION_SIZE", "lines", "partitions", "write_subset"]

PathLike = str | os.PathLike[str]

# Bytes of a file as stored per task. BGZF is read at about 120 MB/s as stored on one core
# (bench/dask_bench.py), so a task takes one to a few seconds: long enough that scheduling
# costs little, short enough that two workers share even a 1 GB file evenly.
DEFAULT_PARTITION_SIZE = 128 << 20

_COPY_CHUNK = 1 << 24


@dataclass(frozen=True)
class _Selection:
    positions: list[int] | None
    targets: list[tuple[str, int]] | None
    regions: list[tuple[str, int, int]] | None


def _paths(sources: PathLike | Iterable[PathLike]) -> list[str]:
    if isinstance(sources, (str, os.PathLike)):
        sources = [sources]
    paths = []
    for source in sources:
        path = os.fspath(source)
        if not isinstance(path, str):
            raise TypeError(f"sources must be str or os.PathLike[str], not {type(path).__name__}")
        if path == "-":
            raise ValueError("standard input cannot be shared between Dask workers")
        paths.append(path)
    if not paths:
        raise ValueError("no source given")
    return paths


def partitions(
    sources: PathLike | Iterable[PathLike], *, partition_size: int | None = None
) -> list[Part]:
    """The ranges the files are read in, in order: one or more per file."""
    size = DEFAULT_PARTITION_SIZE if partition_size is None else partition_size
    if isinstance(size, bool) or not isinstance(size, int):
        raise TypeError(f"partition_size must be an int or None, not {type(size).__name__}")
    return [part for path in _paths(sources) for part in partition_file(path, size)]


def _selection(positions: Iterable[int] | None, targets: Iterable[tuple[str, int]] | None,
               regions: Iterable[tuple[str, int, int]] | None) -> Delayed:
    """One graph key for the selection, sent once to each worker rather than with each task."""
    selection = _Selection(
        None if positions is None else list(positions),
        None if targets is None else [tuple(t) for t in targets],  # type: ignore[misc]
        None if regions is None else [tuple(r) for r in regions],  # type: ignore[misc]
    )
    return cast(Delayed, delayed(selection, pure=True, traverse=False))


def _lines_before(part: Part) -> int:
    """How many lines of the file come before the range's first line (failure path only)."""
    opener = gzip.open if part.bgzf else open
    count = 0
    # The range's first line follows the first line feed at or after the byte before it.
    remaining = part.start - 1
    with opener(part.path, "rb") as file:
        while remaining > 0:
            chunk = file.read(min(remaining, _COPY_CHUNK))
            if not chunk:
                break
            count += chunk.count(b"\n")
            remaining -= len(chunk)
    return count + 1


_T = TypeVar("_T")


def _reporting_file_lines(part: Part, call: Callable[[], _T]) -> _T:
    """Runs ``call``, turning line numbers counted from the range's start into the file's, and
    a range that does not end where it was planned to into the input's change."""
    try:
        return call()
    except OSError as error:
        if error.errno == errno.ESTALE and error.filename == part.path:
            raise changed(part.path) from None
        raise
    except VcfFormatError as error:
        if part.first or error.lineno is None:
            raise
        if _native.is_url(os.fsencode(part.path)):
            # Counting the lines before would read the object up to the range.
            where = (
                f"uncompressed byte {part.start}" if part.line_start is None
                else f"BGZF offset {part.line_start >> 16}:{part.line_start & 0xFFFF}"
            )
            place = f"line {error.lineno} of the range from {where}"
            raise type(error)(error.filename, None, error.reason, place) from None
        lineno = _lines_before(part) + error.lineno
        raise type(error)(error.filename, lineno, error.reason) from None


def _first_fault(parts: Sequence[Part], number: int, fault: Exception) -> Exception:
    """The first fault in file order up to range ``number``, whose own fault is ``fault``:
    the one the library reports, whichever task met its own first."""
    for part in parts[:number]:
        try:
            _read_part(part, _Selection([], None, None), False)
        except (VcfFormatError, OSError) as earlier:
            return earlier
    return fault


def _read_nth_part(
    parts: Sequence[Part], number: int, selection: _Selection, header: bool
) -> list[str]:
    try:
        return _read_part(parts[number], selection, header)
    except (VcfFormatError, OSError) as fault:
        raise _first_fault(parts, number, fault) from None


def _read_part(part: Part, selection: _Selection, header: bool) -> list[str]:
    part.check_identity()
    kept = _reporting_file_lines(
        part,
        lambda: _native.scan_range(
            os.fsencode(part.path), part.native_range(), selection.positions, selection.targets,
            selection.regions, 1, header,
        ),
    )
    # A file replaced while the range was read.
    part.check_identity()
    return kept


def _header_flags(parts: Sequence[Part]) -> list[bool]:
    """Header lines come from the first file only: its parts run up to the next part that
    starts a file, which may be the same path given again."""
    starts = [number for number, part in enumerate(parts) if part.first]
    second = starts[1] if len(starts) > 1 else len(parts)
    return [number < second for number in range(len(parts))]


def _columns(path: str) -> tuple[int, bytes | None] | None:
    """The file's ``#CHROM`` line and its number; without one, None and the number of the line
    where the header ended. None for an empty file, and for damage, which the tasks report as
    the library does."""
    if _native.is_url(os.fsencode(path)):
        return _url_columns(path)
    with open(path, "rb") as raw:
        compressed = raw.read(2) == b"\x1f\x8b"
    number = 0
    try:
        with gzip.open(path, "rb") if compressed else open(path, "rb") as file:
            for number, line in enumerate(file, 1):
                if line.startswith(b"#CHROM"):
                    return number, line.rstrip(b"\r\n")
                if not line.startswith(b"#"):
                    return number - 1, None
    except (EOFError, gzip.BadGzipFile, zlib.error):
        return None
    return (number, None) if number else None


def _url_columns(url: str) -> tuple[int, bytes | None] | None:
    """_columns for a URL, read by the library, which stops at the end of the header."""
    number = 0
    try:
        with iter_lines(url, positions=[], index=False, threads=1) as header:
            for number, line in enumerate(header, 1):
                if line.startswith("#CHROM"):
                    return number, line.encode()
    except VcfFormatError:
        return None
    return (number, None) if number else None


def _check_columns(parts: Sequence[Part]) -> None:
    """Refuses files whose columns are not the first file's: joined under its header, their
    sample columns would be read as other samples'."""
    paths = list(dict.fromkeys(part.path for part in parts))
    first = _columns(paths[0]) if len(paths) > 1 else None
    if first is None:
        return
    for path in paths[1:]:
        found = _columns(path)
        if found is not None and found[1] != first[1]:
            what = "no #CHROM line, unlike" if found[1] is None else "columns differ from those of"
            raise VcfFormatError(path, found[0], f"{what} the first file, {paths[0]}")


def _compute_to_the_end(tasks: list[Delayed]) -> tuple[Any, ...]:
    """Computes every task, and returns or raises only once none runs any more, so that a
    failed job leaves no task writing beside the output."""
    try:
        from distributed import Client, wait
    except ImportError:
        return cast(tuple[Any, ...], compute(*tasks))  # type: ignore[no-untyped-call]
    client = getattr(get_scheduler(), "__self__", None)  # type: ignore[no-untyped-call]
    if not isinstance(client, Client):
        # Local schedulers: the tasks give their faults back instead of raising them.
        return cast(tuple[Any, ...], compute(*tasks))  # type: ignore[no-untyped-call]
    futures = client.compute(tasks)  # type: ignore[no-untyped-call]
    wait(futures)  # type: ignore[no-untyped-call]
    return tuple(client.gather(futures))  # type: ignore[no-untyped-call]


class _ThreadedBag(dask.bag.Bag):
    """A Bag that Dask's local default computes on threads of this process, as the native scan
    releases the GIL, rather than on processes: no copy of the lines between processes, and no
    script run again in a worker. The bags made from it keep that default."""

    __dask_scheduler__ = staticmethod(dask.threaded.get)


def lines(
    sources: PathLike | Iterable[PathLike],
    *,
    positions: Iterable[int] | None = None,
    targets: Iterable[tuple[str, int]] | None = None,
    regions: Iterable[tuple[str, int, int]] | None = None,
    partition_size: int | None = None,
    header: bool = True,
) -> dask.bag.Bag:
    """A lazy Dask Bag of the kept lines, without terminators, one partition per range.

    In order: the first file's header lines (unless ``header`` is false), then the kept records
    of each file, as :func:`varsift_tools.iter_lines` gives them. Selectors work as there.
    Errors raise when the bag is computed, naming the file and line. Without a client, the
    bag is computed on threads of this process.
    """
    parts = partitions(sources, partition_size=partition_size)
    _check_columns(parts)
    selection = _selection(positions, targets, regions)
    flags = _header_flags(parts) if header else [False] * len(parts)
    # One graph key for the list, which a failing task reads to find the first fault.
    planned = delayed(parts, pure=True, traverse=False)
    read = delayed(_read_nth_part, pure=True)
    tasks = [read(planned, number, selection, flag) for number, flag in enumerate(flags)]
    bag = dask.bag.from_delayed(tasks)  # type: ignore[no-untyped-call]
    return _ThreadedBag(bag.dask, bag.name, bag.npartitions)


def _write_part(
    part: Part, selection: _Selection, header: bool, target: str
) -> int | Exception:
    """Writes the range's kept lines as BGZF into ``target``, whole or not at all. A fault is
    given back rather than raised, so that every task has ended when the job reports the first
    fault in file order."""
    try:
        part.check_identity()
        with output_file(target) as fd:
            written = _reporting_file_lines(
                part,
                lambda: _native.write_range(
                    os.fsencode(part.path), part.native_range(), fd, os.fsencode(target),
                    selection.positions,
                    selection.targets, selection.regions, 1, header,
                ),
            )
            part.check_identity()
            return written
    except Exception as error:  # noqa: BLE001 - raised by the caller once every task has ended
        return error


def _write_all(out: int, data: bytes) -> None:
    view = memoryview(data)
    while view:
        view = view[os.write(out, view) :]


def _append_part(source: str, out: int) -> None:
    """Copies a part, byte for byte, without its end-of-file marker."""
    with open(source, "rb") as file:
        fd = file.fileno()
        size = os.fstat(fd).st_size - len(EOF_MARKER)
        if size < 0 or os.pread(fd, len(EOF_MARKER), size) != EOF_MARKER:
            raise OSError(errno.EIO, "part does not end in a BGZF end-of-file marker", source)
        offset = 0
        while offset < size:
            sent = os.sendfile(out, fd, offset, min(size - offset, _COPY_CHUNK))
            if sent == 0:
                raise OSError(errno.EIO, "part shrank while it was copied", source)
            offset += sent


def write_subset(
    sources: PathLike | Iterable[PathLike],
    output: PathLike,
    *,
    positions: Iterable[int] | None = None,
    targets: Iterable[tuple[str, int]] | None = None,
    regions: Iterable[tuple[str, int, int]] | None = None,
    partition_size: int | None = None,
    index: bool = False,
    write_index: Literal["tbi", "csi"] | None = None,
) -> int:
    """Writes the kept lines of ``sources`` into one BGZF file at ``output`` and gives the number
    of records written. With ``write_index`` (``"tbi"`` or ``"csi"``), also its index
    ``OUTPUT.tbi`` or ``OUTPUT.csi``, as :func:`varsift_tools.write_index` writes it; with
    ``index``, ``"tbi"``, or ``"csi"`` when a record lies beyond 2**29, which a tabix index
    cannot hold. The index is made before the output is renamed into place and put beside it
    just after; one that cannot be made (:class:`ValueError`) or put there (:class:`OSError`)
    is found before the output changes.

    Each task compresses its range into a part beside ``output``; the parts are then joined
    byte for byte, with one end-of-file marker, into a temporary file renamed into place. On
    any failure nothing changes at ``output``. The content is what
    :func:`varsift_tools.write_subset` writes for one file, and for several the first file's
    header followed by every file's kept records.
    """
    if write_index not in (None, "tbi", "csi"):
        raise ValueError(f"write_index must be 'tbi', 'csi' or None, not {write_index!r}")
    kind = write_index or ("auto" if index else None)
    target = os.fspath(output)
    if kind is not None:
        # An index beside a device or a FIFO would index nothing that stays.
        with contextlib.suppress(FileNotFoundError):
            if not stat.S_ISREG(os.stat(target).st_mode):
                raise ValueError(f"an index needs a regular output file, not {target}")
    if write_index is not None:
        check_replaceable(f"{target}.{write_index}")
    parts = partitions(sources, partition_size=partition_size)
    _check_columns(parts)
    selection = _selection(positions, targets, regions)
    directory = tempfile.mkdtemp(
        prefix=f".{os.path.basename(target)}.", suffix=".parts",
        dir=os.path.dirname(os.path.abspath(target)),
    )
    try:
        names = [os.path.join(directory, f"{number:08d}.bgz") for number in range(len(parts))]
        write = delayed(_write_part, pure=False)
        tasks = [
            write(part, selection, flag, name)
            for part, flag, name in zip(parts, _header_flags(parts), names)
        ]
        results = _compute_to_the_end(tasks)
        for result in results:
            if isinstance(result, BaseException):
                raise result
        with output_file(target) as out:
            for name in names:
                _append_part(name, out)
            _write_all(out, EOF_MARKER)
            if kind is not None:
                made, final = _index_output(out, target, kind, directory)
        if kind is not None:
            try:
                os.replace(made, final)
            except OSError as error:
                error.filename, error.filename2 = final, None
                raise
    finally:
        shutil.rmtree(directory, ignore_errors=True)
    return sum(results)


def _index_output(out: int, target: str, kind: str, directory: str) -> tuple[str, str]:
    """Indexes the output written through ``out`` into ``directory``, before it is in place;
    gives the index made and where it goes. ``kind`` "auto": .tbi, or .csi when needed."""
    made = os.path.join(directory, "index")
    # The output's temporary file, read through its descriptor: only that is known of it.
    data = f"/proc/self/fd/{out}"
    csi = kind == "csi"
    try:
        _index_file(data, made, csi, target)
    except ValueError as error:
        if kind != "auto" or "past what a tabix index holds" not in str(error):
            raise
        csi = True
        _index_file(data, made, csi, target)
    final = f"{target}.{'csi' if csi else 'tbi'}"
    check_replaceable(final)
    return made, final


def _index_file(data: str, made: str, csi: bool, target: str) -> None:
    try:
        _native.index_file(data, made, csi, 1)
    except ValueError as error:
        raise ValueError(f"{target}: {error}") from None
