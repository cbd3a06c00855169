from collections.abc import Iterable
from typing import Final, final

MAX_THREADS: Final[int]

@final
class Scan:
    def read(self) -> list[str] | tuple[list[str], list[str]] | None: ...
    def close(self) -> None: ...

def open_scan(
    path: bytes,
    positions: Iterable[int] | None,
    targets: Iterable[tuple[str, int]] | None,
    regions: Iterable[tuple[str, int, int]] | None,
    threads: int,
    split: bool,
    /,
) -> Scan: ...
def write(
    path: bytes,
    fd: int,
    output_name: bytes,
    positions: Iterable[int] | None,
    targets: Iterable[tuple[str, int]] | None,
    regions: Iterable[tuple[str, int, int]] | None,
    compress: bool,
    threads: int,
    /,
) -> int: ...
