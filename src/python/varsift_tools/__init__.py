"""Read VCF files as they are stored (plain, gzip, BGZF or BCF, local or at a URL) and keep the header and the chosen
records: by position on any chromosome, by target (chromosome and position) or by region.

>>> header, records = subset("calls.vcf.gz", targets=[("chr1", 10177)])
"""

from __future__ import annotations

import os
import stat
import sys

from varsift_tools import _native
from varsift_tools._errors import CompressionError, VcfFormatError

# typing, contextlib and the writing of output files (with re) are left out of the import,
# which every run of the command pays: only annotations and calls writing to a path need them.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
    from types import TracebackType
    from typing import Any, Literal

__version__ = "0.1.0"

__all__ = [
    "CompressionError",
    "LineStream",
    "Overlap",
    "Selection",
    "VcfFormatError",
    "iter_lines",
    "subset",
    "write_index",
    "write_subset",
]

if TYPE_CHECKING:
    from varsift_tools._aliases import Overlap as Overlap
    from varsift_tools._aliases import PathLike as PathLike
    from varsift_tools._aliases import Positions as Positions
    from varsift_tools._aliases import Regions as Regions
    from varsift_tools._aliases import Targets as Targets
else:

    def __getattr__(name: str) -> object:
        # The aliases (Overlap is public) are imported when first asked for, by attribute or
        # by `from varsift_tools import *`.
        if name in ("Overlap", "PathLike", "Positions", "Regions", "Targets"):
            from varsift_tools import _aliases

            return getattr(_aliases, name)
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


_OVERLAPS = ("pos", "record", "variant")


def _overlap(value: object, name: str) -> str:
    if value not in _OVERLAPS:
        raise ValueError(f"{name} must be 'pos', 'record' or 'variant', not {value!r}")
    return str(value)


def _many(value: object, name: str) -> list[str] | None:
    """A string or path, or a sequence of them, as a list of str (None for None)."""
    if value is None:
        return None
    items = [value] if isinstance(value, (str, os.PathLike)) else list(value)  # type: ignore[call-overload]
    result = []
    for item in items:
        path = os.fspath(item)
        if not isinstance(path, str):
            raise TypeError(f"{name} must be str or os.PathLike[str], not {type(path).__name__}")
        result.append(path)
    return result


class Selection:
    """Records chosen as ``bcftools view`` chooses them, built once (files are read natively, in
    one pass, without holding the interpreter lock) for any number of calls.

    - ``regions``: region strings as htslib reads them, ``"chr1"``, ``"chr1:1500"``,
      ``"chr1:1000-2000"``, ``"chr1:2000-"``, ``"{HLA-A*01:01}:1-10"``, each a comma-separated
      list, or one region with thousands separators (``"chr1:1,000-2,000"``);
      ``regions_file``: files of ``CHROM``, ``CHROM POS`` or ``CHROM BEG END`` lines, 1-based
      and inclusive, or BED (0-based, half-open) for names ending ``.bed`` or ``.bed.gz``; gzip
      allowed, ``"-"`` for standard input. Met by ``regions_overlap`` (default ``"record"``).
    - ``targets`` and ``targets_file``: the same forms, met by ``targets_overlap`` (default
      ``"pos"``); with ``exclude_targets``, the records that meet none of them.
    - ``positions`` (ints, or a buffer of integers such as a NumPy array) and
      ``positions_file`` (lines of ``POS``, ``CHROM POS`` or ``CHROM BEG END``, 1-based): by
      POS, on any chromosome for ``POS``.

    A record is kept when it meets each of the three that is given (regions, targets,
    positions), as ``bcftools view -r ... -t ...`` keeps it. Raises :class:`ValueError` naming
    the file and line of a line that cannot be read, and :class:`OSError` for a file that
    cannot be.
    """

    def __init__(
        self,
        *,
        regions: str | Sequence[str] | None = None,
        regions_file: PathLike | Sequence[PathLike] | None = None,
        regions_overlap: Overlap = "record",
        targets: str | Sequence[str] | None = None,
        targets_file: PathLike | Sequence[PathLike] | None = None,
        targets_overlap: Overlap = "pos",
        exclude_targets: bool = False,
        positions: Positions | None = None,
        positions_file: PathLike | Sequence[PathLike] | None = None,
    ) -> None:
        self._native = _native.build_selection(
            positions,
            _many(positions_file, "positions_file"),
            _many(targets, "targets"),
            _many(targets_file, "targets_file"),
            _overlap(targets_overlap, "targets_overlap"),
            bool(exclude_targets),
            _many(regions, "regions"),
            _many(regions_file, "regions_file"),
            _overlap(regions_overlap, "regions_overlap"),
        )


def _prepared(selection: Selection | None) -> _native.Selection | None:
    if selection is None:
        return None
    if not isinstance(selection, Selection):
        raise TypeError(f"selection must be a Selection or None, not {type(selection).__name__}")
    return selection._native


def _targets(targets: Targets | None) -> Targets | None:
    """A pandas DataFrame, or an Arrow table (a pyarrow Table or RecordBatch, or any object
    giving an Arrow stream or array), of (chrom, pos) rows as each chromosome's positions: no
    Python loop over the rows."""
    pandas = sys.modules.get("pandas")
    if pandas is not None and isinstance(targets, pandas.DataFrame):
        if len(targets.columns) != 2:
            raise ValueError(
                f"a targets DataFrame must have 2 columns (chrom, pos), not {len(targets.columns)}"
            )
        chroms, positions = targets.iloc[:, 0], targets.iloc[:, 1]
        # Missing chromosomes are kept, to be refused as the wrong type.
        groups = positions.groupby(chroms, sort=False, dropna=False)
        return {chrom: column.to_numpy() for chrom, column in groups}
    if hasattr(targets, "__arrow_c_stream__") or hasattr(targets, "__arrow_c_array__"):
        return _arrow_targets(targets)
    return targets


def _arrow_targets(table: object) -> Mapping[str, Iterable[int]]:
    """Each chromosome's positions, as NumPy views where the column allows, of an Arrow table of
    (chrom, pos) rows, grouped by Arrow and NumPy."""
    import importlib

    try:
        numpy = importlib.import_module("numpy")
        pyarrow = importlib.import_module("pyarrow")
    except ImportError as error:
        raise TypeError(f"an Arrow table of targets needs pyarrow and NumPy: {error}") from None
    arrow: Any = table
    if not isinstance(arrow, (pyarrow.Table, pyarrow.RecordBatch)):
        arrow = (pyarrow.table if hasattr(arrow, "__arrow_c_stream__") else pyarrow.record_batch)(
            arrow
        )
    if arrow.num_columns != 2:
        raise ValueError(
            f"a targets table must have 2 columns (chrom, pos), not {arrow.num_columns}"
        )
    chroms = arrow.column(0)
    if isinstance(chroms, pyarrow.ChunkedArray):
        chroms = chroms.combine_chunks()
    # A dictionary may name a chromosome twice: encoded afresh, each name is one code.
    if pyarrow.types.is_dictionary(chroms.type):
        chroms = chroms.dictionary_decode()
    if chroms.null_count:
        raise TypeError("a chromosome must be a str, not None")
    if arrow.column(1).null_count:
        raise TypeError("a position must be an int, not None")
    encoded = chroms.dictionary_encode()
    names = encoded.dictionary.to_pylist()
    codes = encoded.indices.to_numpy()
    positions = arrow.column(1).to_numpy(zero_copy_only=False)
    if len(names) < 2**16:
        codes = codes.astype(numpy.uint16)  # sorted by counting, in one pass
    order = numpy.argsort(codes, kind="stable")
    starts = numpy.searchsorted(codes[order], numpy.arange(len(names) + 1))
    sorted_positions = positions[order]
    return {
        name: sorted_positions[starts[code] : starts[code + 1]] for code, name in enumerate(names)
    }


def _thread_count(threads: int | None) -> int:
    if threads is None:
        return len(os.sched_getaffinity(0))
    if isinstance(threads, bool) or not isinstance(threads, int):
        raise TypeError(f"threads must be an int or None, not {type(threads).__name__}")
    if not 1 <= threads <= _native.MAX_THREADS:
        raise ValueError(f"threads must be from 1 to {_native.MAX_THREADS}, not {threads}")
    return threads


def _input_path(source: PathLike) -> bytes:
    path = os.fspath(source)
    if not isinstance(path, str):
        raise TypeError(f"source must be a str or os.PathLike[str], not {type(path).__name__}")
    return os.fsencode(path)


def _index_path(index_path: PathLike | None) -> str | None:
    if index_path is None:
        return None
    path = os.fspath(index_path)
    if not isinstance(path, str):
        raise TypeError(f"index_path must be a str or os.PathLike[str], not {type(path).__name__}")
    return path


def subset(
    source: PathLike,
    *,
    positions: Positions | None = None,
    targets: Targets | None = None,
    regions: Regions | None = None,
    overlap: Overlap = "record",
    selection: Selection | None = None,
    threads: int | None = None,
    index: bool | None = None,
    index_path: PathLike | None = None,
) -> tuple[list[str], list[str]]:
    """Reads ``source`` once and gives ``(header_lines, data_lines)``, without terminators.

    ``source`` is a plain, gzip or BGZF file, told apart by content, or ``"-"`` for standard
    input. Header lines are every line starting with ``#``. Data lines are kept when their POS
    is one of ``positions`` (on any chromosome, ints or a buffer of integers such as a NumPy
    array), one of ``targets`` (``(chrom, pos)`` pairs; a mapping of each chromosome to its
    positions, ints or a buffer; or a pandas DataFrame or an Arrow table, such as a pyarrow
    ``Table`` or ``RecordBatch``, of ``(chrom, pos)`` rows) or meets one
    of ``regions`` (``(chrom, beg, end)``, 1-based and inclusive) by ``overlap``: ``"record"`` (default) keeps a record any
    base of which, from POS to its end (REF's length, or INFO/END), lies in the region,
    ``"pos"`` one whose POS does, ``"variant"`` one whose changed bases do. That is the union
    of what is given; with ``selection`` (a :class:`Selection`), records must meet it too.
    With no selector at all every record is kept; selectors that are given but empty keep none.
    ``threads`` inflates BGZF blocks in parallel (``None``: the cores this process may use).

    For a BGZF ``source`` with a tabix or CSI index (``NAME.tbi`` or ``NAME.csi`` beside it, or
    ``index_path``; for BCF, the CSI index ``bcftools index`` writes), ``index=None`` follows the index when that inflates less than a parallel
    scan, ``True`` always follows it and ``False`` always scans. An index found beside the
    file that is stale or damaged gives a :class:`UserWarning` and a scan; one forced or named
    raises :class:`FileNotFoundError` when missing and :class:`ValueError` when unusable.
    Following an index checks only the lines it reads.

    A bad selector raises :class:`TypeError` or :class:`ValueError` naming it by its index
    (``targets[12]: position out of range ...``). Raises :class:`VcfFormatError` for a
    malformed line, :class:`CompressionError` for damaged compression and :class:`OSError`
    when the file cannot be read. Nothing partial is returned.
    """
    scan = _native.open_scan(
        _input_path(source), positions, _targets(targets), regions, _thread_count(threads), True,
        index, _index_path(index_path), _overlap(overlap, "overlap"), _prepared(selection),
    )
    header: list[str] = []
    data: list[str] = []
    try:
        while (batch := scan.read()) is not None:
            assert isinstance(batch, tuple)
            header += batch[0]
            data += batch[1]
    finally:
        scan.close()
    return header, data


class LineStream:
    """The kept lines of one input, header and data, in file order, read as they are needed.

    An iterator of ``str`` and a context manager; :meth:`close` releases the file early.
    Memory stays bounded whatever the size of the file. An error raises where it is met, after
    the lines before it have been given.
    """

    def __init__(self, scan: _native.Scan) -> None:
        self._scan = scan
        self._lines: Iterator[str] = iter(())

    def __iter__(self) -> LineStream:
        return self

    def __next__(self) -> str:
        for line in self._lines:
            return line
        while (batch := self._scan.read()) is not None:
            assert isinstance(batch, list)
            self._lines = iter(batch)
            for line in self._lines:
                return line
        raise StopIteration

    def close(self) -> None:
        self._scan.close()
        self._lines = iter(())

    def __enter__(self) -> LineStream:
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        self.close()


def iter_lines(
    source: PathLike,
    *,
    positions: Positions | None = None,
    targets: Targets | None = None,
    regions: Regions | None = None,
    overlap: Overlap = "record",
    selection: Selection | None = None,
    threads: int | None = None,
    index: bool | None = None,
    index_path: PathLike | None = None,
) -> LineStream:
    """Streams the lines that :func:`subset` keeps, header and data, in file order."""
    return LineStream(
        _native.open_scan(
            _input_path(source), positions, _targets(targets), regions, _thread_count(threads), False,
            index, _index_path(index_path), _overlap(overlap, "overlap"), _prepared(selection),
        )
    )


def _compress_by_name(output: PathLike | int) -> bool:
    if isinstance(output, int):
        return False
    return os.fspath(output).endswith((".gz", ".bgz"))


def write_subset(
    source: PathLike,
    output: PathLike | int,
    *,
    positions: Positions | None = None,
    targets: Targets | None = None,
    regions: Regions | None = None,
    overlap: Overlap = "record",
    selection: Selection | None = None,
    compress: bool | None = None,
    threads: int | None = None,
    index: bool | None = None,
    index_path: PathLike | None = None,
    write_index: Literal["tbi", "csi"] | None = None,
    format: Literal["vcf", "bcf"] | None = None,
    progress: Callable[[int, int, int], object] | None = None,
) -> int:
    """Writes the lines that :func:`subset` keeps to ``output``, in file order, without making
    Python strings, and gives the number of data lines written.

    ``output`` is a path, written to a temporary file beside it and renamed into place once
    complete (devices and FIFOs are written directly), or an open file descriptor, written and
    left open. ``compress`` writes BGZF (``None``: when the path ends in ``.gz`` or ``.bgz``),
    compressed on ``threads`` threads. Raises as :func:`subset` does, and :class:`OSError` when
    the output cannot be written; the output path is never left partly written.

    ``write_index`` (``"tbi"`` or ``"csi"``) indexes a BGZF ``output`` path while it is written,
    as ``tabix -p vcf`` (``"tbi"``, positions up to 2**29) or ``tabix -C -p vcf`` (``"csi"``)
    would, into ``OUTPUT.tbi`` or ``OUTPUT.csi``: put in place just after the output, and only
    when both are complete. Raises :class:`ValueError` when the records cannot be indexed
    (not sorted, each sequence not in one run), leaving neither file.

    ``format="bcf"`` (``None``: when the path ends in ``.bcf``) writes BCF from a BCF
    ``source``, copying each kept record's bytes unchanged: BGZF-compressed unless
    ``compress`` is False, and indexed with ``write_index="csi"`` as ``bcftools index`` would.
    A BCF ``source`` follows its ``.csi`` as ``index`` and ``index_path`` say, as :func:`subset`
    does. Keeping every record of a BGZF BCF file into a compressed BCF without an index copies
    its blocks as they are, checking their headers and the end-of-file marker but not
    inflating them: the records are not read, and their number is the one a sound ``.csi``
    beside the source counts, or -1 without one.

    ``progress``, when given, is called while a VCF or BCF is written, at most four times a
    second, with the input's bytes read so far as inflated and as stored (to compare with the
    file's size; 0 where not known: lines read through an index) and the records kept (-1
    while a BCF is copied block for block); an exception it raises ends the run.
    """
    path = _input_path(source)
    count = _thread_count(threads)
    targets = _targets(targets)
    chosen = (_overlap(overlap, "overlap"), _prepared(selection))
    if format is None:
        format = "bcf" if not isinstance(output, int) and os.fspath(output).endswith(".bcf") else "vcf"
    if format not in ("vcf", "bcf"):
        raise ValueError(f"format must be 'vcf', 'bcf' or None, not {format!r}")
    if format == "bcf":
        return _write_bcf(
            path, output, positions, targets, regions, chosen, compress, count, index, index_path,
            write_index, progress,
        )
    if compress is None:
        compress = _compress_by_name(output)
    index_file = _index_path(index_path)
    if write_index is not None:
        if write_index not in ("tbi", "csi"):
            raise ValueError(f"write_index must be 'tbi', 'csi' or None, not {write_index!r}")
        if isinstance(output, int) or not compress:
            raise ValueError("write_index needs a BGZF output path (compress=True, or .gz)")
    if isinstance(output, int):
        return _native.write(
            path, output, b"", positions, targets, regions, compress, count, index, index_file,
            None, False, *chosen, progress,
        )
    from varsift_tools._output import check_replaceable, index_beside, output_file

    name = os.fspath(output)
    if write_index is None:
        with output_file(name) as fd:
            return _native.write(
                path, fd, os.fsencode(name), positions, targets, regions, compress, count, index,
                index_file, None, False, *chosen, progress,
            )
    # An index beside a device or a FIFO would index nothing that stays.
    try:
        if not stat.S_ISREG(os.stat(name).st_mode):
            raise ValueError(f"write_index needs a regular output file, not {name}")
    except FileNotFoundError:
        pass
    final_index = f"{name}.{write_index}"
    # Refused before the output is replaced, which could not be undone.
    check_replaceable(final_index)
    # Put in place after the data: an index older than its data would be taken for a stale one.
    with index_beside(final_index) as temporary, output_file(name) as fd:
        return _native.write(
            path, fd, os.fsencode(name), positions, targets, regions, compress, count, index,
            index_file, os.fsencode(temporary), write_index == "csi", *chosen, progress,
        )


def _write_bcf(
    path: bytes,
    output: PathLike | int,
    positions: Positions | None,
    targets: Targets | None,
    regions: Regions | None,
    chosen: tuple[str, _native.Selection | None],
    compress: bool | None,
    threads: int,
    index: bool | None,
    index_path: PathLike | None,
    write_index: Literal["tbi", "csi"] | None,
    progress: Callable[[int, int, int], object] | None,
) -> int:
    index_file = _index_path(index_path)
    if write_index not in (None, "csi"):
        raise ValueError(f"a BCF output is indexed as 'csi' only, not {write_index!r}")
    compress = True if compress is None else compress
    if write_index is not None and (isinstance(output, int) or not compress):
        raise ValueError("write_index needs a compressed BCF output path")
    if isinstance(output, int):
        return _native.write_bcf(
            path, output, b"", positions, targets, regions, compress, threads, index, index_file,
            None, *chosen, progress,
        )
    from varsift_tools._output import index_beside, output_file

    name = os.fspath(output)
    if write_index is None:
        with output_file(name) as fd:
            return _native.write_bcf(
                path, fd, os.fsencode(name), positions, targets, regions, compress, threads, index,
                index_file, None, *chosen, progress,
            )
    final_index = f"{name}.csi"
    with index_beside(final_index) as temporary, output_file(name) as fd:
        return _native.write_bcf(
            path, fd, os.fsencode(name), positions, targets, regions, compress, threads, index,
            index_file, os.fsencode(temporary), *chosen, progress,
        )


def write_index(path: PathLike, *, csi: bool = False, threads: int | None = None) -> str:
    """Writes the index of the sorted BGZF VCF at ``path`` beside it, as ``tabix -p vcf`` does:
    ``PATH.tbi``, or ``PATH.csi`` with ``csi`` (for positions beyond 2**29). The index is
    written to a temporary file and renamed into place, so it is never left partly written and
    is newer than the data. Gives the index's path. Raises :class:`ValueError` when the file
    cannot be indexed (not BGZF, records not sorted) and :class:`OSError` when the index
    cannot be put in place.
    """
    data = os.fspath(path)
    if not isinstance(data, str):
        raise TypeError(f"path must be a str or os.PathLike[str], not {type(data).__name__}")
    from varsift_tools._output import check_replaceable, index_beside

    final = data + (".csi" if csi else ".tbi")
    check_replaceable(final)
    with index_beside(final) as temporary:
        try:
            _native.index_file(data, temporary, csi, _thread_count(threads))
        except ValueError as error:
            raise ValueError(f"{data}: {error}") from None
    return final
