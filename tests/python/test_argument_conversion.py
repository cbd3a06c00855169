"""How subset_vcf converts its arguments, and the errors that a conversion raises."""

import operator
import sys

import pytest

import varsift
from conftest import MAX, record, run_child, vcf_lines

POSITIONS = [0, 1, 5, 7, 42, 100, 255, MAX]


@pytest.fixture
def kept(write_vcf):
    """Gives the positions that a call keeps from a file with a data line at each of POSITIONS."""
    path = write_vcf(vcf_lines("#h", *(record(p) for p in POSITIONS)))

    def call(positions):
        header, data = varsift.subset_vcf(path, positions)
        return [int(line.split("\t")[1]) for line in data]

    return call


class Outer:
    class Inner:
        pass


class Index:
    def __init__(self, value, calls=None):
        self.value, self.calls = value, calls

    def __index__(self):
        if self.calls is not None:
            self.calls.append(f"__index__ {self.value}")
        return self.value


class IntWithIndex(int):
    def __index__(self):
        raise AssertionError("an int converts by its value")


class Recording:
    """A sequence that records its special methods; `length` is what __len__ reports."""

    def __init__(self, items, calls, length=None):
        self.items, self.calls = items, calls
        self.length = len(items) if length is None else length

    def __len__(self):
        self.calls.append("__len__")
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length

    def __getitem__(self, index):
        return self.items[index]

    def __iter__(self):
        self.calls.append("__iter__")
        for item in self.items:
            self.calls.append("__next__")
            yield item
        self.calls.append("__next__")


class Raising:
    """A sequence whose __iter__, second __next__ or first item's __index__ raises `error`."""

    def __init__(self, method, error):
        self.method, self.error, self.yielded = method, error, False

    def __len__(self):
        return 1

    def __getitem__(self, index):
        return 7

    def __iter__(self):
        if self.method == "__iter__":
            raise self.error
        return self

    def __next__(self):
        if not self.yielded:
            self.yielded = True
            return self if self.method == "__index__" else 7
        if self.method == "__next__":
            raise self.error
        raise StopIteration

    def __index__(self):
        raise self.error


class OnlyGetitem:
    def __getitem__(self, index):
        return [7, 42, 100][index]


def index_error(value):
    try:
        operator.index(value)
    except TypeError as error:
        return str(error)


def surrogate_named():
    cls = type("Named", (), {})
    cls.__qualname__ = "\udc80"
    return cls()


def cannot(kind, target):
    return f"'{kind}' object cannot be converted to '{target}'"


# (vcf_path, positions, message of the TypeError); no file exists, since conversion errors
# come before the file is opened.
TYPE_ERRORS = [
    (1, [], "argument 'vcf_path': " + cannot("int", "PyString")),
    (None, [], "argument 'vcf_path': " + cannot("NoneType", "PyString")),
    (b"a.vcf", [], "argument 'vcf_path': " + cannot("bytes", "PyString")),
    (Outer.Inner(), [], "argument 'vcf_path': " + cannot("Outer.Inner", "PyString")),
    (surrogate_named(), [], "argument 'vcf_path': " + cannot("<failed to extract type name>", "PyString")),
    ("a", "123", "argument 'positions': Can't extract `str` to `Vec`"),
    ("a", type("S", (str,), {})("1"), "argument 'positions': Can't extract `str` to `Vec`"),
    ("a", "\udc80", "argument 'positions': Can't extract `str` to `Vec`"),
    ("a", {1}, "argument 'positions': " + cannot("set", "Sequence")),
    ("a", {1: 2}, "argument 'positions': " + cannot("dict", "Sequence")),
    ("a", type("D", (dict,), {})(), "argument 'positions': " + cannot("D", "Sequence")),
    ("a", 5, "argument 'positions': " + cannot("int", "Sequence")),
    ("a", None, "argument 'positions': " + cannot("NoneType", "Sequence")),
    ("a", iter([1]), "argument 'positions': " + cannot("list_iterator", "Sequence")),
    ("a", (i for i in [1]), "argument 'positions': " + cannot("generator", "Sequence")),
    ("a", [1.5], "argument 'positions': " + index_error(1.5)),
    ("a", [1, "7"], "argument 'positions': " + index_error("7")),
    ("a", [None], "argument 'positions': " + index_error(None)),
    ("a", Raising("__iter__", TypeError("no iter")), "argument 'positions': no iter"),
    ("a", Raising("__next__", TypeError("no next")), "argument 'positions': no next"),
    ("a", Raising("__index__", TypeError("no index")), "argument 'positions': no index"),
]


@pytest.mark.parametrize(("vcf_path", "positions", "message"), TYPE_ERRORS)
def test_type_errors_are_reworded_with_the_argument_name(vcf_path, positions, message):
    with pytest.raises(TypeError) as raised:
        varsift.subset_vcf(vcf_path, positions)
    assert type(raised.value) is TypeError
    assert raised.value.args == (message,)
    assert raised.value.__cause__ is None
    assert raised.value.__suppress_context__ is True


class TypeErrorSubclass(TypeError):
    pass


# (vcf_path, positions, type, CPython's text or None); the exception passes unchanged.
PASSED_UNCHANGED = [
    ("\udc80", [], UnicodeEncodeError, None),
    ("a\ud800", "positions are not looked at", UnicodeEncodeError, None),
    ("a", [-1], OverflowError, "can't convert negative int to unsigned"),
    ("a", [MAX + 1], OverflowError, "int too big to convert"),
    ("a", [Index(-5)], OverflowError, "can't convert negative int to unsigned"),
    ("a", Raising("__iter__", ValueError("iter")), ValueError, "iter"),
    ("a", Raising("__next__", KeyError("next")), KeyError, "'next'"),
    ("a", Raising("__index__", TypeErrorSubclass("index")), TypeErrorSubclass, "index"),
]


@pytest.mark.parametrize(("vcf_path", "positions", "expected", "text"), PASSED_UNCHANGED)
def test_other_errors_pass_unchanged(vcf_path, positions, expected, text):
    with pytest.raises(BaseException) as raised:
        varsift.subset_vcf(vcf_path, positions)
    assert type(raised.value) is expected
    assert text is None or str(raised.value) == text


def test_a_passed_exception_is_the_very_object_with_its_traceback_and_chain():
    cause, error = KeyError("cause"), ValueError("from __index__")

    class Raises:
        def __index__(self):
            raise error from cause

    with pytest.raises(ValueError) as caught:
        varsift.subset_vcf("a", [Raises()])
    assert caught.value is error
    assert caught.value.__cause__ is cause
    assert caught.traceback[-1].name == "__index__"


@pytest.mark.parametrize("with_cause", [True, False])
def test_a_wrapped_type_error_keeps_only_the_inner_cause(with_cause):
    cause = KeyError("cause")

    class Raises:
        def __index__(self):
            try:
                raise LookupError("context")
            except LookupError:
                raise TypeError("inner") from (cause if with_cause else None)

    with pytest.raises(TypeError) as caught:
        varsift.subset_vcf("a", [Raises()])
    assert caught.value.args == ("argument 'positions': inner",)
    assert caught.value.__cause__ is (cause if with_cause else None)
    assert caught.value.__context__ is None
    assert caught.value.__suppress_context__ is True


def test_an_unprintable_inner_type_error_is_shown_as_such_and_reported_once(monkeypatch):
    class Unprintable:
        def __str__(self):
            raise ValueError("no text")

    reported = []
    monkeypatch.setattr(sys, "unraisablehook", reported.append)
    with pytest.raises(TypeError) as caught:
        varsift.subset_vcf("a", Raising("__index__", TypeError(Unprintable())))
    assert caught.value.args == ("argument 'positions': <unprintable TypeError object>",)
    assert [(type(r.exc_value), type(r.object)) for r in reported] == [(ValueError, TypeError)]


@pytest.mark.parametrize(
    ("positions", "expected"),
    [
        ([], POSITIONS),
        ((), POSITIONS),
        (range(0), POSITIONS),
        ((42, 7, 7), [7, 42]),
        (range(5, 8), [5, 7]),
        (bytes([0, 7, 255]), [0, 7, 255]),
        ([True, False], [0, 1]),
        ([IntWithIndex(100)], [100]),
        ([Index(42)], [42]),
        ([MAX], [MAX]),
        (OnlyGetitem(), [7, 42, 100]),
        (Recording([5, 7], [], length=100), [5, 7]),
        (Recording([5, 7, 42], [], length=0), [5, 7, 42]),
        (Recording([5], [], length=sys.maxsize), [5]),
        (Recording([7, 100], [], length=TypeError("no length")), [7, 100]),
        (type("L", (list,), {})([255]), [255]),
    ],
)
def test_accepted_positions_are_exactly_the_items_iterated(kept, positions, expected):
    assert kept(positions) == expected


def test_methods_run_once_each_in_order_and_ints_skip_index(kept):
    calls = []
    items = [Index(7, calls), 42, IntWithIndex(100), Index(255, calls)]
    assert kept(Recording(items, calls)) == [7, 42, 100, 255]
    assert calls == [
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
    calls.clear()
    with pytest.raises(TypeError):
        varsift.subset_vcf("a", Recording([Index(7, calls), 1.5, Index(8, calls)], calls))
    assert calls == ["__len__", "__iter__", "__next__", "__index__ 7", "__next__"]


def test_a_str_subclass_path_is_read_by_its_content(write_vcf):
    class Path(str):
        def __str__(self):
            raise AssertionError("__str__ is not called")

        def __fspath__(self):
            raise AssertionError("__fspath__ is not called")

    path = write_vcf(vcf_lines("#h", record(1)))
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
    # Run apart: reserving what such a length asks for would end the process.
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
                return [7][index]

        for length in (sys.maxsize, 2**62, 2**40):
            print(varsift.subset_vcf({path!r}, Huge(length))[1])
        """
    )
    assert (result.returncode, result.stderr) == (0, b"")
    assert result.stdout.splitlines() == [str([record(7)])] * 3
