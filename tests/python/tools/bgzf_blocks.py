"""BGZF files cut into blocks where a test wants them, made with zlib."""

from __future__ import annotations

import struct
import zlib
from pathlib import Path

from varsift_tools._partition import EOF_MARKER


def bgzf_block(data: bytes, *, extra: bytes = b"") -> bytes:
    """A block of ``data``; ``extra`` adds subfields before the BC one, as the format allows."""
    deflate = zlib.compressobj(6, zlib.DEFLATED, -15)
    body = deflate.compress(data) + deflate.flush()
    size = 18 + len(extra) + len(body) + 8
    header = (
        b"\x1f\x8b\x08\x04\x00\x00\x00\x00\x00\xff"
        + struct.pack("<H", 6 + len(extra))
        + extra
        + b"BC\x02\x00"
        + struct.pack("<H", size - 1)
    )
    return header + body + struct.pack("<II", zlib.crc32(data), len(data))


def write_blocks(path: Path, pieces: list[bytes], *, eof: bool = True) -> Path:
    """One block per piece (empty pieces make empty blocks), then the end-of-file marker."""
    path.write_bytes(b"".join(bgzf_block(piece) for piece in pieces) + (EOF_MARKER if eof else b""))
    return path


def cut(data: bytes, sizes: list[int]) -> list[bytes]:
    """``data`` in pieces of the given sizes, cycling through them."""
    pieces = []
    at = 0
    index = 0
    while at < len(data):
        size = sizes[index % len(sizes)]
        pieces.append(data[at : at + size])
        at += size
        index += 1
    return pieces
