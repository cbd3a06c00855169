from collections.abc import Callable, Iterable, Mapping
from typing import Final, final

MAX_THREADS: Final[int]

@final
class Scan:
    def read(self) -> list[str] | tuple[list[str], list[str]] | None: ...
    def close(self) -> None: ...

@final
class Selection: ...

def build_selection(
    positions: Iterable[int] | None,
    positions_files: list[str] | None,
    targets: list[str] | None,
    targets_files: list[str] | None,
    targets_overlap: str,
    targets_exclude: bool,
    regions: list[str] | None,
    regions_files: list[str] | None,
    regions_overlap: str,
    /,
) -> Selection: ...
def open_scan(
    path: bytes,
    positions: Iterable[int] | None,
    targets: Iterable[tuple[str, int]] | Mapping[str, Iterable[int]] | None,
    regions: Iterable[tuple[str, int, int]] | None,
    threads: int,
    split: bool,
    index: bool | None,
    index_path: str | None,
    overlap: str,
    selection: Selection | None,
    /,
) -> Scan: ...
def write(
    path: bytes,
    fd: int,
    output_name: bytes,
    positions: Iterable[int] | None,
    targets: Iterable[tuple[str, int]] | Mapping[str, Iterable[int]] | None,
    regions: Iterable[tuple[str, int, int]] | None,
    compress: bool,
    threads: int,
    index: bool | None,
    index_path: str | None,
    output_index: bytes | None,
    csi: bool,
    overlap: str,
    selection: Selection | None,
    progress: Callable[[int, int, int], object] | None,
    /,
) -> int: ...
def write_bcf(
    path: bytes,
    fd: int,
    output_name: bytes,
    positions: Iterable[int] | None,
    targets: Iterable[tuple[str, int]] | Mapping[str, Iterable[int]] | None,
    regions: Iterable[tuple[str, int, int]] | None,
    compress: bool,
    threads: int,
    index: bool | None,
    index_path: str | None,
    output_index: bytes | None,
    overlap: str,
    selection: Selection | None,
    progress: Callable[[int, int, int], object] | None,
    /,
) -> int: ...
def index_file(path: str, index_path: str, csi: bool, threads: int, /) -> None: ...
def scan_range(
    path: bytes,
    range: tuple[bool, int, int, int, int] | None,
    positions: Iterable[int] | None,
    targets: Iterable[tuple[str, int]] | Mapping[str, Iterable[int]] | None,
    regions: Iterable[tuple[str, int, int]] | None,
    threads: int,
    header: bool,
    /,
) -> list[str]: ...
def write_range(
    path: bytes,
    range: tuple[bool, int, int, int, int] | None,
    fd: int,
    output_name: bytes,
    positions: Iterable[int] | None,
    targets: Iterable[tuple[str, int]] | Mapping[str, Iterable[int]] | None,
    regions: Iterable[tuple[str, int, int]] | None,
    threads: int,
    header: bool,
    /,
) -> int: ...
def bgzf_blocks(fd: int, /) -> list[tuple[int, int]] | None: ...
def bgzf_block(fd: int, offset: int, /) -> tuple[int, int] | None: ...
def is_url(path: bytes, /) -> bool: ...
def read_url(url: bytes, limit: int, /) -> bytes | None: ...
def record_cuts(url: bytes, size: int, /) -> list[int] | None: ...
