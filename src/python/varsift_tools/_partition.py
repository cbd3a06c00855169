"""Cutting VCF files into byte ranges that can be read apart, a record belonging to the range
in which it starts.

Plain text is cut anywhere: a range's reader skips the line in progress at its start and reads
on past its end to finish its last line. BGZF is cut at block boundaries, found from a ``.gzi``
index beside the file when there is a fresh one, else by walking the block headers (a few
bytes read per block). A URL, whose blocks cannot be walked without fetching it all, is cut
where its ``.tbi`` or ``.csi`` says records start when it has no ``.gzi``. Other inputs (gzip
that is not BGZF, damaged BGZF, standard input) are read whole, by the library itself, which
reports their faults.
"""

from __future__ import annotations

import errno
import os
import struct
from dataclasses import dataclass, replace

from varsift_tools import _native

__all__ = ["EOF_MARKER", "Part", "changed", "partition_file"]

EOF_MARKER = bytes.fromhex("1f8b08040000000000ff0600424302001b0003000000000000000000")

# The length given to the last range of a BGZF file: it runs to the end, whatever that is.
_LAST_LENGTH = 1 << 62
# The most bytes a BGZF block holds.
_BLOCK_DATA = 1 << 16


@dataclass(frozen=True)
class Part:
    """One range of one file, as the native reader takes it.

    ``before`` locates the byte just before the range (a file offset for plain text, a virtual
    offset for BGZF), None for a range at the file's start. ``length`` counts the range's
    uncompressed bytes and ``start`` is its uncompressed offset in the file. For BGZF, ``end``
    is the virtual offset just past the range's last byte, the end of a block, where the next
    range begins or the data ends (None when unknown): the reader checks that the range's bytes
    end there, so that ranges from a ``.gzi`` that does not describe the file fail rather than
    lose records. A part with ``whole`` set is the whole file, read by the library without a
    range. ``identity`` is the local file's (size, modification time in ns, inode) when it was
    cut, and ``last_block`` for BGZF the offset of the last block holding data, where the
    block walk ended, with its (size, ISIZE); the reader of a range checks both: ranges cut from another file
    would silently lose or repeat records. ``line_start``, for BGZF cut where an index says
    records start, is the virtual offset where the range's first line starts; ``before``,
    ``length`` and ``start`` are then unknown (None, 0, 0), and ``end`` is where the next
    range's first line starts, which its reader checks is just after a line feed.
    """

    path: str
    bgzf: bool
    before: int | None
    length: int
    start: int
    whole: bool = False
    identity: tuple[int, int, int] | None = None
    end: int | None = None
    last_block: tuple[int, tuple[int, int] | None] | None = None
    line_start: int | None = None

    @property
    def first(self) -> bool:
        """Whether the range starts the file."""
        return self.before is None and not self.line_start

    def check_identity(self) -> None:
        """Raises OSError (ESTALE) when the file is no longer the one that was cut."""
        if self.identity is None:
            return
        with open(self.path, "rb") as file:
            fd = file.fileno()
            status = os.fstat(fd)
            same = (status.st_size, status.st_mtime_ns, status.st_ino) == self.identity
            if same and self.last_block is not None:
                offset, block = self.last_block
                same = _native.bgzf_block(fd, offset) == block
        if not same:
            raise changed(self.path)

    def native_range(self) -> tuple[bool, int, int, int, int] | None:
        """The range as the native reader takes it: (bgzf, before or -1, length, end or -1,
        line_start or -1)."""
        if self.whole:
            return None
        return (
            self.bgzf,
            -1 if self.before is None else self.before,
            self.length,
            -1 if self.end is None else self.end,
            -1 if self.line_start is None else self.line_start,
        )


def changed(path: str) -> OSError:
    """The error of a task that finds its input is not the one its ranges were cut from."""
    return OSError(
        errno.ESTALE,
        "the input changed during the job, after it was cut into ranges (or its .gzi or "
        "index does not describe it)",
        path,
    )


def partition_file(path: str, size: int) -> list[Part]:
    """Cuts the file at ``path`` into ranges of about ``size`` bytes of the file as stored."""
    if size < 1:
        raise ValueError(f"partition_size must be at least 1, not {size}")
    if _native.is_url(os.fsencode(path)):
        return _url_parts(path, size)
    with open(path, "rb") as file:
        fd = file.fileno()
        status = os.fstat(fd)
        identity = (status.st_size, status.st_mtime_ns, status.st_ino)
        head = os.pread(fd, 4, 0)
        if not head.startswith(b"\x1f\x8b"):
            return [replace(part, identity=identity) for part in _plain_parts(path, status.st_size, size)]
        blocks = _bgzf_blocks(path, fd)
        parts = None if blocks is None else _bgzf_parts(path, blocks, size)
        if parts is not None and not all(_holds_byte_before(fd, part) for part in parts):
            # An index that does not describe this file.
            blocks = _walk_blocks(fd)
            parts = None if blocks is None else _bgzf_parts(path, blocks, size)
        last_block = None
        if blocks is not None and blocks[1]:
            # Where the walk ended: the last block holding data.
            offset = blocks[0][-1][0]
            last_block = (offset, _native.bgzf_block(fd, offset))
    if parts is None:
        return [Part(path, False, None, 0, 0, whole=True)]
    return [replace(part, identity=identity, last_block=last_block) for part in parts]


def _even_cuts(total: int, size: int) -> list[int]:
    """Where ranges of at most ``size`` bytes start when ``total`` bytes are cut into as few as
    can be, all about the same size: tasks of equal length keep workers equally busy."""
    count = max(1, -(-total // size))
    return [total * number // count for number in range(count)]


def _plain_parts(path: str, file_size: int, size: int) -> list[Part]:
    starts = _even_cuts(file_size, size)
    ends = starts[1:] + [file_size]
    return [
        Part(path, False, start - 1 if start else None, end - start, start)
        for start, end in zip(starts, ends)
    ]


# Where each block holding data starts, as (compressed, uncompressed) offsets from (0, 0),
# and the inflated size of the data when known.
_Blocks = tuple[list[tuple[int, int]], int | None]


def _end_before(blocks: list[tuple[int, int]], cut: int, start: int) -> int:
    """The virtual offset just past the last byte before uncompressed offset ``start``, which
    lies in the last block before block ``cut`` that holds data."""
    holder = cut - 1
    while blocks[holder][1] == start:
        holder -= 1
    coffset, uoffset = blocks[holder]
    return (coffset << 16) + start - uoffset


def _bgzf_parts(path: str, walked: _Blocks, size: int) -> list[Part]:
    """Cuts fall at the first block at or after each even cut of the compressed bytes."""
    blocks, total = walked
    targets = _even_cuts(blocks[-1][0] + 1, size)[1:]
    cuts = [0]
    for index, (coffset, uoffset) in enumerate(blocks):
        last = blocks[cuts[-1]]
        # A cut needs a byte before it and bytes after it.
        if len(cuts) <= len(targets) and coffset >= targets[len(cuts) - 1] and uoffset > last[1]:
            cuts.append(index)
    parts = []
    for number, cut in enumerate(cuts):
        start = blocks[cut][1]
        # The byte before lies in the last block holding data before the cut.
        before = _end_before(blocks, cut, start) - 1 if number else None
        if number + 1 < len(cuts):
            following = cuts[number + 1]
            stop = blocks[following][1]
            end: int | None = _end_before(blocks, following, stop)
        elif total is not None and total > start:
            stop, end = total, _end_before(blocks, len(blocks), total)
        else:
            # Runs to the end, whatever that is.
            stop, end = start + _LAST_LENGTH, None
        parts.append(Part(path, True, before, stop - start, start, end=end))
    return parts


def _holds_byte_before(fd: int, part: Part) -> bool:
    """Whether ``part.before`` names the last byte of a block, as the byte before a cut is."""
    if part.before is None:
        return True
    block = _native.bgzf_block(fd, part.before >> 16)
    return block is not None and (part.before & 0xFFFF) == block[1] - 1


def _bgzf_blocks(path: str, fd: int) -> _Blocks | None:
    """Where each block starts, or None when the file is not whole BGZF (not BGZF at all,
    damaged, or without its end-of-file marker)."""
    file_size = os.fstat(fd).st_size
    if file_size < len(EOF_MARKER) or os.pread(fd, 28, file_size - 28) != EOF_MARKER:
        return None
    from_index = _gzi_blocks(path, file_size)
    if from_index is not None:
        # The .gzi leaves out the marker: its last block must end where the marker begins.
        coffset, uoffset = from_index[-1]
        block = _native.bgzf_block(fd, coffset)
        if block is not None and coffset + block[0] == file_size - len(EOF_MARKER):
            return _without_empty_end(from_index, uoffset + block[1])
    return _walk_blocks(fd)


def _walk_blocks(fd: int) -> _Blocks | None:
    blocks = _native.bgzf_blocks(fd)
    if not blocks:
        return None
    return _without_empty_end(blocks, blocks[-1][1])


def _without_empty_end(blocks: list[tuple[int, int]], total: int) -> _Blocks:
    # Empty blocks at the end (the end-of-file marker) start no range.
    while len(blocks) > 1 and blocks[-1][1] == total:
        blocks.pop()
    return blocks, total


def _url_parts(url: str, size: int) -> list[Part]:
    """A URL tells neither its size nor its blocks without reading it all: it is cut by a
    ``.gzi`` index beside it (before any query), else where its ``.tbi`` or ``.csi`` says
    records start, or read whole by one task."""
    base, mark, query = url.partition("?")
    # A .gzi larger than this indexes a file of terabytes.
    data = _native.read_url(os.fsencode(f"{base}.gzi{mark}{query}"), 1 << 28)
    blocks = None if data is None else _blocks_from_gzi(data, None)
    # The data's end is not known: the last range runs to it, unchecked.
    parts = None if blocks is None else _bgzf_parts(url, (blocks, None), size)
    if parts is None:
        cuts = _native.record_cuts(os.fsencode(url), size)
        if cuts is not None and len(cuts) > 1:
            ends: list[int | None] = [*cuts[1:], None]
            parts = [
                Part(url, True, None, 0, 0, end=end, line_start=cut) for cut, end in zip(cuts, ends)
            ]
    return parts or [Part(url, False, None, 0, 0, whole=True)]


def _gzi_blocks(path: str, file_size: int) -> list[tuple[int, int]] | None:
    """Block starts from a ``.gzi`` index no older than the file, None without a usable one."""
    gzi = path + ".gzi"
    try:
        with open(gzi, "rb") as file:
            if os.fstat(file.fileno()).st_mtime < os.stat(path).st_mtime:
                return None
            data = file.read()
    except OSError:
        return None
    return _blocks_from_gzi(data, file_size)


def _blocks_from_gzi(data: bytes, file_size: int | None) -> list[tuple[int, int]] | None:
    """Block starts from the bytes of a ``.gzi`` index, which lists the (compressed,
    uncompressed) offsets of the blocks after the first; None when they are not such a list
    (for a file of ``file_size`` bytes, when known)."""
    if len(data) < 8:
        return None
    (count,) = struct.unpack_from("<Q", data)
    if len(data) != 8 + 16 * count:
        return None
    blocks = [(0, 0)]
    for coffset, uoffset in struct.iter_unpack("<QQ", data[8:]):
        last = blocks[-1]
        if not (
            last[0] < coffset < (file_size or coffset + 1) and 0 <= uoffset - last[1] <= _BLOCK_DATA
        ):
            return None
        blocks.append((coffset, uoffset))
    return blocks
