from collections.abc import Sequence
from typing import SupportsIndex

__all__ = ["subset_vcf"]

def subset_vcf(
    vcf_path: str, positions: Sequence[SupportsIndex]
) -> tuple[list[str], list[str]]:
    """Subset a VCF file by a list of positions.

# Arguments
vcf_path: String - Path to the VCF file.
positions: Vec<u64> - List of positions to subset the VCF file by.

# Returns
Tuple of two lists of strings. The first list contains the header lines of the VCF file, and the second list contains the subsetted VCF lines."""
