"""Cutting VCF files into byte ranges that can be read apart, a record belonging to the range
in which it starts.

Plain text is cut anywhere: a range's reader skips the line in progress at its start and reads
on past its end to finish its last line. BGZF is cut at block boundaries, found from a ``.gzi``
index beside the file when there is a fresh one, else by walking the block headers (a few
bytes read per block). Other inputs (gzip that is not BGZF, damaged BGZF, standard input) are
read whole, by the library itself, which reports their faults.
"""

from __future__ import annotations

import errno
import os
import struct
from dataclasses import dataclass, replace

from varsift_tools import _native

__all__ = ["EOF_MARKER", "Part", "partition_file"]

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
    uncompressed bytes and ``start`` is its uncompressed offset in the file. A part with
    ``whole`` set is the whole file, read by the library without a range. ``identity`` is the
    local file's (size, modification time in ns, inode) when it was cut, which the reader of a
    range checks: ranges cut from another file would silently lose or repeat records.
    """

    path: str
    bgzf: bool
    before: int | None
    length: int
    start: int
    whole: bool = False
    identity: tuple[int, int, int] | None = None

    def check_identity(self) -> None:
        """Raises OSError (ESTALE) when the file is no longer the one that was cut."""
        if self.identity is None:
            return
        status = os.stat(self.path)
        if (status.st_size, status.st_mtime_ns, status.st_ino) != self.identity:
            raise OSError(
                errno.ESTALE, "the input changed during the job, after it was cut into ranges",
                self.path,
            )

    def native_range(self) -> tuple[bool, int, int] | None:
        """The range as the native reader takes it: (bgzf, before or -1, length)."""
        if self.whole:
            return None
        return (self.bgzf, -1 if self.before is None else self.before, self.length)


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
    if parts is None:
        return [Part(path, False, None, 0, 0, whole=True)]
    return [replace(part, identity=identity) for part in parts]


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


def _bgzf_parts(path: str, blocks: list[tuple[int, int]], size: int) -> list[Part]:
    """``blocks`` holds the (compressed, uncompressed) offsets where blocks start, the first
    at (0, 0); cuts fall at the first block at or after each even cut of the compressed bytes."""
    targets = _even_cuts(blocks[-1][0] + 1, size)[1:]
    cuts = [0]
    for index, (coffset, uoffset) in enumerate(blocks):
        last = blocks[cuts[-1]]
        # A cut needs a byte before it and bytes after it.
        if len(cuts) <= len(targets) and coffset >= targets[len(cuts) - 1] and uoffset > last[1]:
            cuts.append(index)
    parts = []
    for number, cut in enumerate(cuts):
        coffset, start = blocks[cut]
        end = blocks[cuts[number + 1]][1] if number + 1 < len(cuts) else None
        before = None
        if number:
            # The byte before lies in the last block holding data before the cut.
            holder = cut - 1
            while blocks[holder][1] == start:
                holder -= 1
            hc, hu = blocks[holder]
            before = (hc << 16) | (start - 1 - hu)
        length = _LAST_LENGTH if end is None else end - start
        parts.append(Part(path, True, before, length, start))
    return parts


def _holds_byte_before(fd: int, part: Part) -> bool:
    """Whether ``part.before`` names the last byte of a block, as the byte before a cut is."""
    if part.before is None:
        return True
    block = _native.bgzf_block(fd, part.before >> 16)
    return block is not None and (part.before & 0xFFFF) == block[1] - 1


def _bgzf_blocks(path: str, fd: int) -> list[tuple[int, int]] | None:
    """Where each block starts, or None when the file is not whole BGZF (not BGZF at all,
    damaged, or without its end-of-file marker)."""
    file_size = os.fstat(fd).st_size
    if file_size < len(EOF_MARKER) or os.pread(fd, 28, file_size - 28) != EOF_MARKER:
        return None
    from_index = _gzi_blocks(path, file_size)
    if from_index is not None:
        return from_index
    return _walk_blocks(fd)


def _walk_blocks(fd: int) -> list[tuple[int, int]] | None:
    blocks = _native.bgzf_blocks(fd)
    if not blocks:
        return None
    # Empty blocks at the end (the end-of-file marker) start no range.
    uoffset = blocks[-1][1]
    while len(blocks) > 1 and blocks[-1][1] == uoffset:
        blocks.pop()
    return blocks


def _url_parts(url: str, size: int) -> list[Part]:
    """A URL tells neither its size nor its blocks without reading it all: it is cut by a
    ``.gzi`` index beside it (before any query), or read whole by one task."""
    base, mark, query = url.partition("?")
    # A .gzi larger than this indexes a file of terabytes.
    data = _native.read_url(os.fsencode(f"{base}.gzi{mark}{query}"), 1 << 28)
    blocks = None if data is None else _blocks_from_gzi(data, None)
    parts = None if blocks is None else _bgzf_parts(url, blocks, size)
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
