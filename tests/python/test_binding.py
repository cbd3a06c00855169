"""How subset_vcf binds its arguments, and the TypeErrors of a malformed call."""

import pytest

import varsift
from conftest import HEADER, record, vcf_lines

F = "subset_vcf()"


class Untouchable:
    """An argument that records every special method the module could call on it."""

    def __init__(self, calls):
        self._calls = calls

    def __len__(self):
        self._calls.append("__len__")
        return 0

    def __iter__(self):
        self._calls.append("__iter__")
        return iter(())

    def __getitem__(self, index):
        self._calls.append("__getitem__")
        raise IndexError

    def __index__(self):
        self._calls.append("__index__")
        return 0

    def __str__(self):
        self._calls.append("__str__")
        return "untouchable"

    def __fspath__(self):
        self._calls.append("__fspath__")
        return "untouchable"


# (positional count, keyword names in call order, message)
BINDING_ERRORS = [
    (0, [], f"{F} missing 2 required positional arguments: 'vcf_path' and 'positions'"),
    (1, [], f"{F} missing 1 required positional argument: 'positions'"),
    (0, ["vcf_path"], f"{F} missing 1 required positional argument: 'positions'"),
    (0, ["positions"], f"{F} missing 1 required positional argument: 'vcf_path'"),
    (3, [], f"{F} takes 2 positional arguments but 3 were given"),
    (4, [], f"{F} takes 2 positional arguments but 4 were given"),
    (2, ["vcf_path"], f"{F} got multiple values for argument 'vcf_path'"),
    (1, ["positions", "vcf_path"], f"{F} got multiple values for argument 'vcf_path'"),
    (2, ["positions"], f"{F} got multiple values for argument 'positions'"),
    (2, ["path"], f"{F} got an unexpected keyword argument 'path'"),
    (0, ["VCF_PATH", "positions"], f"{F} got an unexpected keyword argument 'VCF_PATH'"),
    # Too many positional arguments win; the keyword is never looked at.
    (3, ["bogus"], f"{F} takes 2 positional arguments but 3 were given"),
    # An unexpected keyword wins over a missing argument.
    (0, ["bogus"], f"{F} got an unexpected keyword argument 'bogus'"),
    # The first bad keyword in call order is the one reported.
    (1, ["bogus", "vcf_path"], f"{F} got an unexpected keyword argument 'bogus'"),
    (1, ["vcf_path", "bogus"], f"{F} got multiple values for argument 'vcf_path'"),
    # Names are compared byte for byte.
    (0, ["vcf_path ", "positions"], f"{F} got an unexpected keyword argument 'vcf_path '"),
    (0, ["v\u0441f_path", "positions"], f"{F} got an unexpected keyword argument 'v\u0441f_path'"),
    # A lone surrogate shows as three replacement characters, one per byte of its encoding.
    (2, ["\udc80"], f"{F} got an unexpected keyword argument '\ufffd\ufffd\ufffd'"),
    (2, ["a\ud800b"], f"{F} got an unexpected keyword argument 'a\ufffd\ufffd\ufffdb'"),
]


@pytest.mark.parametrize(("positional", "keywords", "message"), BINDING_ERRORS)
def test_binding_errors_name_the_function_and_touch_no_argument(positional, keywords, message):
    calls = []
    args = [Untouchable(calls) for _ in range(positional)]
    kwargs = {name: Untouchable(calls) for name in keywords}
    with pytest.raises(TypeError) as raised:
        varsift.subset_vcf(*args, **kwargs)
    assert type(raised.value) is TypeError
    assert raised.value.args == (message,)
    assert calls == []


@pytest.mark.parametrize(
    "call",
    [
        lambda path, positions: varsift.subset_vcf(path, positions),
        lambda path, positions: varsift.subset_vcf(vcf_path=path, positions=positions),
        lambda path, positions: varsift.subset_vcf(positions=positions, vcf_path=path),
        lambda path, positions: varsift.subset_vcf(path, positions=positions),
    ],
    ids=["positional", "keywords", "keywords reversed", "mixed"],
)
def test_every_way_of_passing_binds_like_positional_arguments(write_vcf, call):
    path = write_vcf(vcf_lines(*HEADER, record(5), record(6)))
    assert call(path, [6]) == (HEADER, [record(6)])


def test_keyword_name_of_a_str_subclass_is_shown_by_its_str():
    class Name(str):
        def __str__(self):
            return "shown"

    with pytest.raises(TypeError, match=r"^subset_vcf\(\) got an unexpected keyword argument 'shown'$"):
        varsift.subset_vcf("a", [], **{Name("hidden"): 1})


def test_both_arguments_wrong_reports_only_the_path_and_leaves_positions_untouched():
    calls = []
    with pytest.raises(TypeError) as raised:
        varsift.subset_vcf(7, Untouchable(calls))
    assert str(raised.value) == "argument 'vcf_path': 'int' object cannot be converted to 'PyString'"
    assert calls == []
