"""Coverage-guided fuzzing of varsift.subset_vcf against a small model of its rules (atheris).

Each input is split into a position list and the bytes of a VCF file; the module's result, or
the message of its failure, must be the model's. Reports go to a discarded standard error.

    python fuzz/module_fuzz.py -max_total_time=60 fuzz/corpus/module_fuzz
"""

import os
import sys
import tempfile

import atheris

with atheris.instrument_imports():
    import varsift

RESULT = "called `Result::unwrap()` on an `Err` value: "
MISSING_FIELD = "called `Option::unwrap()` on a `None` value"
NOT_UTF8 = RESULT + 'Error { kind: InvalidData, message: "stream did not contain valid UTF-8" }'
MAX = 2**64 - 1


class ModelFailure(Exception):
    pass


@atheris.instrument_func
def parse_position(field: str) -> int:
    def fail(kind: str) -> ModelFailure:
        return ModelFailure(f"{RESULT}ParseIntError {{ kind: {kind} }}")

    if not field:
        raise fail("Empty")
    if field in ("+", "-"):
        raise fail("InvalidDigit")
    digits = field[1:] if field[0] == "+" else field
    value = 0
    for character in digits:
        if not "0" <= character <= "9":
            raise fail("InvalidDigit")
        value = value * 10 + ord(character) - ord("0")
        if value > MAX:
            raise fail("PosOverflow")
    return value


@atheris.instrument_func
def model(content: bytes, positions: list[int]) -> tuple[list[str], list[str]]:
    header, data = [], []
    wanted = set(positions)
    pieces = content.split(b"\n")
    # A final line feed ends the last line; it does not begin an empty one.
    lines = [piece + b"\n" for piece in pieces[:-1]] + ([pieces[-1]] if pieces[-1] else [])
    for raw in lines:
        try:
            text = raw.decode("utf-8")
        except UnicodeDecodeError:
            raise ModelFailure(NOT_UTF8) from None
        if text.endswith("\n"):
            text = text[:-1]
            if text.endswith("\r"):
                text = text[:-1]
        if text.startswith("#"):
            header.append(text)
            continue
        fields = text.split("\t")
        if len(fields) < 2:
            raise ModelFailure(MISSING_FIELD)
        position = parse_position(fields[1])
        if not wanted or position in wanted:
            data.append(text)
    return header, data


def split_input(data: bytes) -> tuple[list[int], bytes]:
    provider = atheris.FuzzedDataProvider(data)
    count = provider.ConsumeIntInRange(0, 6)
    positions = [provider.ConsumeIntInRange(0, 300) for _ in range(count)]
    if count and provider.ConsumeBool():
        positions.append(MAX)
    return positions, provider.ConsumeBytes(provider.remaining_bytes())


class Harness:
    def __init__(self) -> None:
        handle, self.path = tempfile.mkstemp(suffix=".vcf")
        os.close(handle)
        self.devnull = os.open(os.devnull, os.O_WRONLY)
        self.stderr = os.dup(2)

    def subset(self, positions: list[int]) -> tuple[list[str], list[str]] | str:
        os.dup2(self.devnull, 2)
        try:
            return varsift.subset_vcf(self.path, positions)
        except BaseException as error:  # PanicException derives from BaseException
            if type(error).__module__ != "pyo3_runtime":
                raise
            return str(error)
        finally:
            os.dup2(self.stderr, 2)

    def __call__(self, data: bytes) -> None:
        positions, content = split_input(data)
        with open(self.path, "wb") as stream:
            stream.write(content)
        try:
            expected: tuple[list[str], list[str]] | str = model(content, positions)
        except ModelFailure as failure:
            expected = str(failure)
        actual = self.subset(positions)
        if actual != expected:
            raise AssertionError(f"positions {positions!r}, content {content!r}: "
                                 f"module {actual!r}, model {expected!r}")


def main() -> None:
    harness = Harness()
    try:
        atheris.Setup(sys.argv, harness)
        atheris.Fuzz()
    finally:
        os.unlink(harness.path)


if __name__ == "__main__":
    main()
