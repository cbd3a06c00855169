"""The type aliases of the package's signatures, made when first asked for: they need typing."""

from __future__ import annotations

import os
from collections.abc import Iterable, Mapping
from typing import Literal

__all__ = ["Overlap", "PathLike", "Positions", "Regions", "Targets"]

PathLike = str | os.PathLike[str]
Positions = Iterable[int]
# (chrom, pos) pairs; or each chromosome's positions (ints, or a buffer of integers such as a
# NumPy array), as columns give them; or a pandas DataFrame or an Arrow table (pyarrow, or
# anything giving an Arrow stream) of (chrom, pos) rows.
Targets = Iterable[tuple[str, int]] | Mapping[str, Iterable[int]]
Regions = Iterable[tuple[str, int, int]]
# How a record meets a region: by POS, by any base from POS to its end (REF's length or
# INFO/END), or by the bases its alleles change (bcftools' --regions-overlap).
Overlap = Literal["pos", "record", "variant"]
