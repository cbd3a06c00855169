"""How subset_vcf converts its arguments, and the errors that a conversion raises."""

import operator
import sys

import pytest

import varsift
from conftest import MAX, Recorder, record, run_child, vcf_lines

POSITIONS = [0, 1, 5, 7, 42, 100, 255, MAX]


@pytest.fixture
def numbered(write_vcf):
    """A file with one data line at each of POSITIONS; gives the positions a call keeps."""
    path = write_vcf(vcf_lines("#h", *(record(p) for p in POSITIONS)))

    def kept(positions):
        header, data = varsift.subset_vcf(path, positions)
        assert header == ["#h"]
        return [int(line.split("\t")[1]) for line in data]

    return kept


class DictSubclass(dict):
    pass


class Outer:
    class Inner:
        pass


class Index:
    def __init__(self, value, recorder=None):
        self.value = value
        self.recorder = recorder

    def __index__(self):
        if self.recorder is not None:
            self.recorder(f"__index__ {self.value}")
        return self.value


class IntWithIndex(int):
    def __index__(self):
        raise AssertionError("an int converts by its value")


class RecordingSequence:
    """A sequence that records its special methods and those of its items."""

    def __init__(self, items, recorder, length=None):
        self.items = items
        self.recorder = recorder
        self.length = len(items) if length is None else length

    def __len__(self):
        self.recorder("__len__")
        return self.length

    def __getitem__(self, index):
        self.recorder("__getitem__")
        return self.items[index]

    def __iter__(self):
        self.recorder("__iter__")
        return RecordingIterator(self.items, self.recorder)


class RecordingIterator:
    def __init__(self, items, recorder):
        self.items = iter(items)
        self.recorder = recorder

    def __iter__(self):
        return self

    def __next__(self):
        self.recorder("__next__")
        return next(self.items)


class OnlyGetitem:
    def __getitem__(self, index):
        if index < 3:
            return [7, 42, 100][index]
        raise IndexError(index)


def raises_on(method, exception):
    """A sequence whose `method` raises `exception` (after yielding one item for __next__)."""

    class Failing:
        def __len__(self):
            return 1

        def __getitem__(self, index):
            return 7

        def __iter__(self):
            if method == "__iter__":
                raise exception
            return FailingIterator()

    class FailingIterator:
        def __init__(self):
            self.first = True

        def __iter__(self):
            return self

        def __next__(self):
            if self.first:
                self.first = False
                return FailingIndex() if method == "__index__" else 7
            raise exception

    class FailingIndex:
        def __index__(self):
            raise exception

    return Failing()


def index_error_text(value):
    try:
        operator.index(value)
    except TypeError as error:
        return str(error)
    raise AssertionError(f"{value!r} has an index")


def surrogate_type_instance():
    cls = type("Named", (), {})
    cls.__qualname__ = "\udc80"
    return cls()


# (vcf_path, positions, message of the TypeError)
TYPE_ERRORS = [
    (1, [], "argument 'vcf_path': 'int' object cannot be converted to 'PyString'"),
    (None, [], "argument 'vcf_path': 'NoneType' object cannot be converted to 'PyString'"),
    (b"a.vcf", [], "argument 'vcf_path': 'bytes' object cannot be converted to 'PyString'"),
    (bytearray(b"a"), [], "argument 'vcf_path': 'bytearray' object cannot be converted to 'PyString'"),
    (Outer.Inner(), [], "argument 'vcf_path': 'Outer.Inner' object cannot be converted to 'PyString'"),
    (
        surrogate_type_instance(),
        [],
        "argument 'vcf_path': '<failed to extract type name>' object cannot be converted to 'PyString'",
    ),
    ("a.vcf", "123", "argument 'positions': Can't extract `str` to `Vec`"),
    ("a.vcf", type("S", (str,), {})("1"), "argument 'positions': Can't extract `str` to `Vec`"),
    ("a.vcf", "\udc80", "argument 'positions': Can't extract `str` to `Vec`"),
    ("a.vcf", {1}, "argument 'positions': 'set' object cannot be converted to 'Sequence'"),
    ("a.vcf", frozenset(), "argument 'positions': 'frozenset' object cannot be converted to 'Sequence'"),
    ("a.vcf", {1: 2}, "argument 'positions': 'dict' object cannot be converted to 'Sequence'"),
    ("a.vcf", DictSubclass(), "argument 'positions': 'DictSubclass' object cannot be converted to 'Sequence'"),
    ("a.vcf", 5, "argument 'positions': 'int' object cannot be converted to 'Sequence'"),
    ("a.vcf", None, "argument 'positions': 'NoneType' object cannot be converted to 'Sequence'"),
    ("a.vcf", iter([1]), "argument 'positions': 'list_iterator' object cannot be converted to 'Sequence'"),
    ("a.vcf", (i for i in [1]), "argument 'positions': 'generator' object cannot be converted to 'Sequence'"),
    ("a.vcf", [1.5], "argument 'positions': " + index_error_text(1.5)),
    ("a.vcf", [1, "7"], "argument 'positions': " + index_error_text("7")),
    ("a.vcf", [None], "argument 'positions': " + index_error_text(None)),
    (
        "a.vcf",
        raises_on("__iter__", TypeError("no iter")),
        "argument 'positions': no iter",
    ),
    ("a.vcf", raises_on("__next__", TypeError("no next")), "argument 'positions': no next"),
    ("a.vcf", raises_on("__index__", TypeError("no index")), "argument 'positions': no index"),
]


@pytest.mark.parametrize(("vcf_path", "positions", "message"), TYPE_ERRORS)
def test_conversion_type_errors_are_reworded_with_the_argument_name(vcf_path, positions, message):
    # No file exists: conversion errors come before the file is touched.
    with pytest.raises(TypeError) as raised:
        varsift.subset_vcf(vcf_path, positions)
    error = raised.value
    assert type(error) is TypeError
    assert error.args == (message,)
    assert error.__cause__ is None
    assert error.__suppress_context__ is True


class TypeErrorSubclass(TypeError):
    pass


# (vcf_path, positions, expected type); the exception passes unchanged.
PASSED_UNCHANGED = [
    ("\udc80", [], UnicodeEncodeError),
    ("a\ud800.vcf", "positions are not looked at", UnicodeEncodeError),
    ("a.vcf", [-1], OverflowError),
    ("a.vcf", [MAX + 1], OverflowError),
    ("a.vcf", [Index(-5)], OverflowError),
    ("a.vcf", raises_on("__iter__", ValueError("iter")), ValueError),
    ("a.vcf", raises_on("__next__", KeyError("next")), KeyError),
    ("a.vcf", raises_on("__index__", TypeErrorSubclass("index")), TypeErrorSubclass),
]


@pytest.mark.parametrize(("vcf_path", "positions", "expected"), PASSED_UNCHANGED)
def test_other_conversion_errors_pass_unchanged(vcf_path, positions, expected):
    with pytest.raises(BaseException) as raised:
        varsift.subset_vcf(vcf_path, positions)
    assert type(raised.value) is expected
    assert not str(raised.value).startswith("argument ")


def test_overflow_error_carries_cpythons_own_text():
    with pytest.raises(OverflowError) as negative:
        varsift.subset_vcf("a.vcf", [-1])
    with pytest.raises(OverflowError) as large:
        varsift.subset_vcf("a.vcf", [MAX + 1])
    assert str(negative.value) == "can't convert negative int to unsigned"
    assert str(large.value) == "int too big to convert"


def test_an_exception_passed_through_is_the_very_object_with_its_traceback_and_chain():
    cause = KeyError("cause")
    raised = ValueError("from __index__")

    class Raising:
        def __index__(self):
            raise raised from cause

    with pytest.raises(ValueError) as caught:
        varsift.subset_vcf("a.vcf", [Raising()])
    assert caught.value is raised
    assert caught.value.__cause__ is cause
    frames = []
    traceback = caught.value.__traceback__
    while traceback is not None:
        frames.append(traceback.tb_frame.f_code.co_name)
        traceback = traceback.tb_next
    assert "__index__" in frames


def test_a_wrapped_type_error_keeps_only_the_inner_cause():
    cause = KeyError("cause")

    class Raising:
        def __index__(self):
            try:
                raise LookupError("context")
            except LookupError:
                raise TypeError("inner") from cause

    with pytest.raises(TypeError) as caught:
        varsift.subset_vcf("a.vcf", [Raising()])
    assert caught.value.args == ("argument 'positions': inner",)
    assert caught.value.__cause__ is cause
    assert caught.value.__suppress_context__ is True


def test_a_wrapped_type_error_drops_the_inner_context():
    class Raising:
        def __index__(self):
            try:
                raise LookupError("context")
            except LookupError:
                raise TypeError("inner")

    with pytest.raises(TypeError) as caught:
        varsift.subset_vcf("a.vcf", [Raising()])
    assert caught.value.args == ("argument 'positions': inner",)
    assert caught.value.__cause__ is None
    assert caught.value.__context__ is None


def test_an_unprintable_inner_type_error_is_shown_as_such_and_reported_once(monkeypatch):
    class Unprintable:
        def __str__(self):
            raise ValueError("no text")

    class Raising:
        def __index__(self):
            raise TypeError(Unprintable())

    reported = []
    monkeypatch.setattr(sys, "unraisablehook", reported.append)
    with pytest.raises(TypeError) as caught:
        varsift.subset_vcf("a.vcf", [Raising()])
    assert caught.value.args == ("argument 'positions': <unprintable TypeError object>",)
    assert len(reported) == 1
    assert type(reported[0].exc_value) is ValueError
    assert type(reported[0].object) is TypeError


@pytest.mark.parametrize(
    ("positions", "kept"),
    [
        ([], POSITIONS),
        ((), POSITIONS),
        (range(0), POSITIONS),
        ([7, 42], [7, 42]),
        ((42, 7), [7, 42]),
        ([7, 7, 7], [7]),
        (range(5, 8), [5, 7]),
        (bytes([0, 7, 255]), [0, 7, 255]),
        (bytearray([1]), [1]),
        ([True, False], [0, 1]),
        ([IntWithIndex(100)], [100]),
        ([Index(42)], [42]),
        ([MAX], [MAX]),
        (OnlyGetitem(), [7, 42, 100]),
        (RecordingSequence([5, 7], Recorder(), length=100), [5, 7]),
        (RecordingSequence([5, 7, 42], Recorder(), length=0), [5, 7, 42]),
        (RecordingSequence([5], Recorder(), length=sys.maxsize), [5]),
        (type("L", (list,), {})([255]), [255]),
    ],
    ids=lambda value: type(value).__name__,
)
def test_accepted_positions_select_the_lines_of_exactly_the_items_iterated(numbered, positions, kept):
    assert numbered(positions) == kept


def test_an_exception_of_len_is_discarded(numbered):
    class BadLength(RecordingSequence):
        def __len__(self):
            raise TypeError("no length")

    assert numbered(BadLength([7, 100], Recorder())) == [7, 100]


def test_methods_run_once_each_in_order_and_ints_skip_index(numbered):
    recorder = Recorder()
    items = [Index(7, recorder), 42, IntWithIndex(100), Index(255, recorder)]
    assert numbered(RecordingSequence(items, recorder)) == [7, 42, 100, 255]
    assert recorder.calls == [
        "__len__",
        "__iter__",
        "__next__",
        "__index__ 7",
        "__next__",
        "__next__",
        "__next__",
        "__index__ 255",
        "__next__",
    ]


def test_conversion_stops_at_the_first_bad_item():
    recorder = Recorder()
    items = [Index(7, recorder), 1.5, Index(8, recorder)]
    with pytest.raises(TypeError):
        varsift.subset_vcf("a.vcf", RecordingSequence(items, recorder))
    assert recorder.calls == ["__len__", "__iter__", "__next__", "__index__ 7", "__next__"]


def test_a_str_subclass_path_is_read_by_its_content(write_vcf):
    path = write_vcf(vcf_lines("#h", record(1)))

    class Path(str):
        def __str__(self):
            raise AssertionError("__str__ is not called")

        def __fspath__(self):
            raise AssertionError("__fspath__ is not called")

    assert varsift.subset_vcf(Path(path), []) == (["#h"], [record(1)])


def test_a_nested_call_during_conversion_runs_independently(write_vcf):
    path = write_vcf(vcf_lines("#h", record(1), record(2)))
    inner = []

    class Nested:
        def __index__(self):
            inner.append(varsift.subset_vcf(path, [2]))
            return 1

    assert varsift.subset_vcf(path, [Nested()]) == (["#h"], [record(1)])
    assert inner == [(["#h"], [record(2)])]


def test_a_length_far_beyond_memory_neither_fails_the_call_nor_ends_the_process(write_vcf):
    path = write_vcf(vcf_lines(record(7), record(8)))
    result = run_child(
        f"""
        import sys, varsift

        class Huge:
            def __init__(self, length):
                self.length = length
            def __len__(self):
                return self.length
            def __getitem__(self, index):
                if index == 0:
                    return 7
                raise IndexError
        for length in (sys.maxsize, 2**62, 2**40):
            print(varsift.subset_vcf({path!r}, Huge(length))[1])
        """
    )
    assert result.returncode == 0, result.stderr.decode()
    assert result.stdout.splitlines() == [str([record(7)])] * 3
    assert result.stderr == b""
