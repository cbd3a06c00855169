"""The exceptions that varsift_tools raises for malformed or damaged input."""

from __future__ import annotations

__all__ = ["CompressionError", "VcfFormatError"]


class VcfFormatError(ValueError):
    """A VCF file breaks the line, UTF-8 or POS rules at a line.

    ``filename`` names the file, ``lineno`` is the 1-based number of the line and ``reason``
    says what is wrong.
    """

    def __init__(self, filename: str, lineno: int, reason: str) -> None:
        super().__init__(filename, lineno, reason)
        self.filename = filename
        self.lineno = lineno
        self.reason = reason

    def __str__(self) -> str:
        return f"{self.filename}:{self.lineno}: {self.reason}"


class CompressionError(VcfFormatError):
    """The gzip or BGZF compression of a file is damaged: truncated, corrupt or incomplete.

    ``lineno`` is the line that was being read when the damage was found.
    """
