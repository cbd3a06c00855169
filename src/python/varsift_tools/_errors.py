"""The exceptions that varsift_tools raises for malformed or damaged input."""

from __future__ import annotations

__all__ = ["CompressionError", "VcfFormatError"]


class VcfFormatError(ValueError):
    """A VCF file breaks the line, UTF-8 or POS rules at a line.

    ``filename`` names the file, ``lineno`` is the 1-based number of the line and ``reason``
    says what is wrong. A line read by following an index, after lines that were skipped, has
    no known number: ``lineno`` is ``None`` and ``place`` names the line instead, by the last
    record read before it and the BGZF block being read (``None`` when ``lineno`` is known).
    """

    def __init__(
        self, filename: str, lineno: int | None, reason: str, place: str | None = None
    ) -> None:
        # The place joins the arguments only when given, so that a copy made from them (a
        # pickle) keeps it.
        if place is None:
            super().__init__(filename, lineno, reason)
        else:
            super().__init__(filename, lineno, reason, place)
        self.filename = filename
        self.lineno = lineno
        self.reason = reason
        self.place = place

    def __str__(self) -> str:
        if self.lineno is not None:
            return f"{self.filename}:{self.lineno}: {self.reason}"
        if self.place is not None:
            return f"{self.filename}: {self.place}: {self.reason}"
        return f"{self.filename}: {self.reason}"


class CompressionError(VcfFormatError):
    """The gzip or BGZF compression of a file is damaged: truncated, corrupt or incomplete.

    ``lineno`` is the line that was being read when the damage was found (``None``, with
    ``place``, when it is unknown).
    """
