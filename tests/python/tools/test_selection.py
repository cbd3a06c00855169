"""Selections in bcftools' forms, through the library and the command: region strings and
files, BED, exclusion, overlap, the forms of positions, and what is refused or warned of."""

import gzip
import subprocess
import sys
import sysconfig
import warnings
from array import array
from collections.abc import Sequence
from pathlib import Path

import pytest

import varsift_tools

VARSIFT = Path(sysconfig.get_path("scripts")) / "varsift"
HEADER = "##fileformat=VCFv4.2\n##contig=<ID=chr1>\n##contig=<ID=chr2>\n##contig=<ID=HLA-A*01:01>\n"
COLUMNS = "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\n"
RECORDS = [
    "chr1\t100\ta\tA\tC\t.\t.\t.",
    "chr1\t198\tdel\tAGTC\tA\t.\t.\t.",  # reaches 201
    "chr1\t200\tins\tG\tGA\t.\t.\t.",
    "chr1\t1500\tb\tT\tC\t.\t.\t.",
    "chr1\t2000\tsv\tA\t<DEL>\t.\t.\tEND=2500",
    "chr2\t200\tc\tG\tT\t.\t.\t.",
    "HLA-A*01:01\t200\td\tA\tC\t.\t.\t.",
]


@pytest.fixture
def vcf(tmp_path):
    path = tmp_path / "in.vcf"
    path.write_text(HEADER + COLUMNS + "".join(line + "\n" for line in RECORDS))
    return path


def ids(lines):
    return [line.split("\t")[2] for line in lines if not line.startswith("#")]


def write(path: Path, text: str) -> str:
    data = text.encode()
    path.write_bytes(gzip.compress(data) if path.name.endswith(".gz") else data)
    return str(path)


@pytest.mark.parametrize(
    ("choose", "files", "kept"),
    [
        ({"regions": "chr1:201"}, {}, ["del"]),
        ({"regions": "chr1:201", "regions_overlap": "pos"}, {}, []),
        ({"regions": "chr1:200-201", "regions_overlap": "variant"}, {}, ["del", "ins"]),
        ({"regions": "chr1:198", "regions_overlap": "variant"}, {}, []),
        ({"regions": "chr1:2400-2600"}, {}, ["sv"]),
        ({"regions": "chr2"}, {}, ["c"]),
        ({"regions": "chr1:1,000-2,000"}, {}, ["b", "sv"]),
        ({"regions": "chr1:1500,chr2"}, {}, ["b", "c"]),
        ({"regions": "chr1:1501-"}, {}, ["sv"]),
        ({"regions": "chr1:-150"}, {}, ["a"]),
        ({"regions": "chr1:1.5k"}, {}, ["b"]),
        ({"regions": "{HLA-A*01:01}:200"}, {}, ["d"]),
        ({"regions": "HLA-A*01:01:200"}, {}, ["d"]),
        ({"regions": ["chr2", "chr1:100"]}, {}, ["a", "c"]),
        ({"targets": "chr1:200"}, {}, ["ins"]),
        ({"targets": "chr1:200", "targets_overlap": "record"}, {}, ["del", "ins"]),
        ({"targets": "chr1", "exclude_targets": True}, {}, ["c", "d"]),
        ({"targets": "chr1:1-1000", "exclude_targets": True}, {}, ["b", "sv", "c", "d"]),
        ({"regions": "chr1", "targets": "chr1:1500,chr2:200"}, {}, ["b"]),
        ({"positions": [200], "regions": "chr1"}, {}, ["ins"]),
        ({"regions_file": "r.bed"}, {"r.bed": "chr1\t199\t200\tname\t0\t+\n"}, ["del", "ins"]),
        ({"regions_file": "r.tsv"}, {"r.tsv": "chr1\t199\t200\n"}, ["del", "ins"]),
        ({"regions_file": "r.bed.gz"}, {"r.bed.gz": "chr1\t1499\t1500\n"}, ["b"]),
        ({"targets_file": "t.tsv.gz"}, {"t.tsv.gz": "# sites\nchr1\t1500\tT\tC\n"}, ["b"]),
        ({"targets_file": "t.tsv"}, {"t.tsv": "\ufeffchr2\t200\n"}, ["c"]),
        ({"targets_file": "t.tsv"}, {"t.tsv": "chr2 150 250\r\n\n"}, ["c"]),
        ({"targets_file": "t.bed"}, {"t.bed": "chr1\t1500\t1500\n"}, []),
        ({"positions_file": "p.txt"}, {"p.txt": "\ufeff200\nchr1 1500\n"}, ["ins", "b", "c", "d"]),
    ],
)
def test_records_chosen(vcf, tmp_path, choose, files, kept):
    for name, text in files.items():
        write(tmp_path / name, text)
    for key in ("regions_file", "targets_file", "positions_file"):
        if key in choose:
            choose = choose | {key: str(tmp_path / choose[key])}
    _, lines = varsift_tools.subset(vcf, selection=varsift_tools.Selection(**choose))
    assert ids(lines) == kept


@pytest.mark.parametrize(
    ("overlap", "kept"), [("record", ["del", "ins"]), ("pos", ["ins"]), ("variant", ["del"])]
)
def test_region_tuples_meet_records_by_overlap(vcf, overlap, kept):
    _, lines = varsift_tools.subset(vcf, regions=[("chr1", 200, 200)], overlap=overlap)
    assert ids(lines) == kept


@pytest.mark.parametrize(
    "positions", [array("q", [200, 1500]), array("H", [200, 1500]), memoryview(array("L", [200, 1500]))]
)
def test_positions_may_be_a_buffer_of_integers(vcf, positions):
    _, lines = varsift_tools.subset(vcf, positions=positions)
    assert ids(lines) == ["ins", "b", "c", "d"]


@pytest.mark.parametrize(
    ("targets", "kept"),
    [
        ({"chr1": [1500, 200]}, ["ins", "b"]),
        ({"chr2": array("q", [200]), "chr1": array("I", [1500])}, ["b", "c"]),
        ({"chr1": range(1500, 1501), "chr2": iter([200])}, ["b", "c"]),
        ({"chr1": []}, []),
    ],
)
def test_targets_may_map_each_chromosome_to_its_positions(vcf, targets, kept):
    _, lines = varsift_tools.subset(vcf, targets=targets)
    assert ids(lines) == kept


@pytest.mark.parametrize(
    ("selectors", "kept"),
    [
        ({"targets": [("chr1", 200), ("chr1", 2**40), ("chr2", 200), ("chr1", 1500)]},
         ["ins", "b", "c"]),
        ({"targets": [("chr1", 200), ("chr2", 200), ["chr1", 1500], ("chr1", 2**63)]},
         ["ins", "b", "c"]),
        ({"regions": [("chr1", 100, 100), ("chr1", 2**40, 2**41), ("chr2", 1, 300)]},
         ["a", "c"]),
    ],
)
def test_target_and_region_tuples_of_any_run_of_chromosomes(vcf, selectors, kept):
    _, lines = varsift_tools.subset(vcf, **selectors)
    assert ids(lines) == kept


@pytest.mark.parametrize(
    ("selectors", "error", "message"),
    [
        ({"positions": [1, -1]}, ValueError, r"^positions\[1\]: position out of range"),
        ({"positions": array("q", [5, 6, -7])}, ValueError, r"^positions\[2\]: .* -7$"),
        ({"targets": [("chr1", 1), ("chr1", "x")]}, TypeError, r"^targets\[1\]: 'str' object"),
        ({"targets": [("chr1", 1), ("chr1",)]}, TypeError, r"^targets\[1\]: a target"),
        ({"targets": {"chr1": [1, 2**64]}}, ValueError, r"^targets\['chr1'\]\[1\]: position out"),
        ({"targets": {"chr1": array("b", [-1])}}, ValueError, r"^targets\['chr1'\]\[0\]: "),
        ({"targets": {5: [1]}}, TypeError, "^a chromosome must be a str, not int$"),
        ({"regions": [("chr1", 9, 3)]}, ValueError, r"^regions\[0\]: region"),
        ({"regions": [("chr1", 1, 2), ("chr1", 9, 3)]}, ValueError, r"^regions\[1\]: region"),
        ({"targets": [("chr1", 1), ("chr1", -1)]}, ValueError, r"^targets\[1\]: position out"),
        ({"targets": [("chr1", 1), ("chr1", True)]}, TypeError, r"^targets\[1\]: a position"),
    ],
)
def test_a_bad_item_is_named_by_its_index(vcf, selectors, error, message):
    with pytest.raises(error, match=message):
        varsift_tools.subset(vcf, **selectors)


@pytest.mark.parametrize(
    ("rows", "kept"),
    [({"chrom": ["chr2", "chr1", "chr1"], "pos": [200, 1500, 100]}, ["a", "b", "c"]),
     ({"chrom": [], "pos": []}, [])],
)
def test_targets_may_be_a_pandas_table(vcf, rows, kept):
    pandas = pytest.importorskip("pandas")
    _, lines = varsift_tools.subset(vcf, targets=pandas.DataFrame(rows))
    assert ids(lines) == kept


@pytest.mark.parametrize(
    ("rows", "error", "message"),
    [({"chrom": ["chr1"], "pos": [1], "ref": ["A"]}, ValueError, "2 columns"),
     ({"chrom": ["chr1", None], "pos": [1, 2]}, TypeError, "chromosome must be a str"),
     ({"chrom": ["chr1"], "pos": [-1]}, ValueError, r"targets\['chr1'\]\[0\]: position out")],
)
def test_bad_pandas_tables_are_refused(vcf, rows, error, message):
    pandas = pytest.importorskip("pandas")
    with pytest.raises(error, match=message):
        varsift_tools.subset(vcf, targets=pandas.DataFrame(rows))


class ArrowStream:
    """An object that gives an Arrow stream, as tables of other libraries do."""

    def __init__(self, table):
        self.table = table

    def __arrow_c_stream__(self, requested_schema=None):
        return self.table.__arrow_c_stream__(requested_schema)


@pytest.mark.parametrize(
    ("make", "kept"),
    [
        (lambda pa: pa.table({"c": ["chr2", "chr1", "chr1"], "p": [200, 1500, 100]}),
         ["a", "b", "c"]),
        (lambda pa: pa.record_batch({"c": ["chr1"], "p": pa.array([1500], pa.uint32())}), ["b"]),
        (lambda pa: pa.concat_tables([pa.table({"c": pa.array(["chr1"]).dictionary_encode(),
                                                "p": [100]}),
                                      pa.table({"c": pa.array(["chr1"]).dictionary_encode(),
                                                "p": [1500]})]), ["a", "b"]),
        (lambda pa: ArrowStream(pa.table({"c": ["chr2"], "p": [200]})), ["c"]),
        (lambda pa: pa.table({"c": pa.array([], pa.string()), "p": pa.array([], pa.int64())}), []),
        (lambda pa: pa.table({"c": ["chr1"], "p": [1], "x": [1]}), "2 columns"),
        (lambda pa: pa.table({"c": ["chr1", None], "p": [1, 2]}), "chromosome must be a str"),
        (lambda pa: pa.table({"c": ["chr1", "chr1"], "p": [1, None]}), "position must be an int"),
        (lambda pa: pa.table({"c": ["chr1"], "p": [-1]}), r"targets\['chr1'\]\[0\]: position out"),
    ],
)
def test_targets_may_be_an_arrow_table(vcf, make, kept):
    pyarrow = pytest.importorskip("pyarrow")
    if isinstance(kept, str):
        with pytest.raises((TypeError, ValueError), match=kept):
            varsift_tools.subset(vcf, targets=make(pyarrow))
    else:
        assert ids(varsift_tools.subset(vcf, targets=make(pyarrow))[1]) == kept


class Fresh(Sequence):
    """A target whose chromosome is a new str each time it is read."""

    def __init__(self, chrom, pos):
        self.chrom, self.pos = chrom, pos

    def __len__(self):
        return 2

    def __getitem__(self, index):
        return ["".join(self.chrom), self.pos][index]


def test_targets_read_through_objects_made_afresh_keep_their_chromosomes(vcf):
    _, lines = varsift_tools.subset(vcf, targets=[Fresh("chr1", 200), Fresh("chr2", 200)])
    assert ids(lines) == ["ins", "c"]


SHRINKING = """
import sys, varsift_tools
items = []
class Shrinks:
    def __index__(self):
        items.clear()
        items.extend(range(10**5))
        items.clear()
        return 200
items += [Shrinks(), *range(1000)] if sys.argv[2] == "positions" else [
    ["chr1", Shrinks()], *(("chr1", n) for n in range(1000))]
print(len(varsift_tools.subset(sys.argv[1], **{sys.argv[2]: items})[1]))
"""


@pytest.mark.parametrize("selector", ["positions", "targets"])
def test_a_list_emptied_while_it_is_read_ends_there(vcf, selector):
    result = subprocess.run([sys.executable, "-c", SHRINKING, str(vcf), selector],
                            capture_output=True, timeout=60)
    assert (result.returncode, result.stderr, result.stdout) == (0, b"", b"3\n" if selector == "positions" else b"1\n")


@pytest.mark.parametrize(
    ("option", "line", "kept"),
    [
        ("positions_file", "200", ["ins", "c", "d"]),
        ("positions_file", "chr1\t0001500", ["b"]),
        ("positions_file", "chr1\t150\t250", ["del", "ins"]),
        ("positions_file", "chr1\t300\t200", "s.tsv:1: region begins after it ends"),
        ("positions_file", "chr1\t18446744073709551616", "s.tsv:1: position out of range"),
        ("positions_file", "chr1\t12345678901234567890", []),
        ("targets_file", "chr1\t200", ["ins"]),
        ("targets_file", "chr1\t150\t250", ["del", "ins"]),
        ("targets_file", "chr1\t300\t200", "s.tsv:1: region begins after it ends"),
        ("targets_file", "chr1\t0", "s.tsv:1: positions are 1-based"),
        ("targets_file", "chr1\t34359738367", []),
        ("targets_file", "chr1\t34359738368", "s.tsv:1: not a position"),
        ("regions_file", "chr1\t201\t201", ["del"]),
        ("regions_file", "chr1\t2400\t2600", ["sv"]),
    ],
)
def test_a_line_reads_alike_whether_tabs_or_spaces_separate_its_columns(
        vcf, tmp_path, option, line, kept):
    # Lines of TAB-separated numbers are read by a shorter way than others.
    results = []
    for separator in ("\t", " "):
        path = write(tmp_path / "s.tsv", line.replace("\t", separator) + "\n")
        try:
            _, lines = varsift_tools.subset(vcf, selection=varsift_tools.Selection(**{option: path}))
            results.append(ids(lines))
        except ValueError as error:
            results.append(str(error).replace(str(tmp_path) + "/", ""))
    assert [result if isinstance(result, list) else result[:len(kept)] for result in results] == [
        kept, kept]


@pytest.mark.parametrize(
    ("choose", "files", "error", "message"),
    [
        ({"positions": array("q", [5, -1])}, {}, ValueError, "out of range"),
        ({"regions": "chr1:5-3"}, {}, ValueError, "'chr1:5-3'"),
        ({"regions": "chr1:99999999999999999999"}, {}, ValueError, "cannot read the region"),
        ({"regions": ",chr1"}, {}, ValueError, "cannot read the region"),
        ({"targets_file": "t.tsv"}, {"t.tsv": "chr1\t1\nchr1\t3x\n"}, ValueError, "t.tsv:2: "),
        ({"targets_file": "t.tsv"}, {"t.tsv": "chr1\t0\n"}, ValueError, "t.tsv:1: "),
        ({"targets_file": "t.tsv"}, {"t.tsv": "chr1\t9\t2\n"}, ValueError, "begins after"),
        ({"regions_file": "r.bed"}, {"r.bed": "chr1\t5\n"}, ValueError, "r.bed:1: "),
        ({"regions_file": "r.tsv"}, {"r.tsv": "chr1\t\xff\n"}, ValueError, "r.tsv:1: "),
        ({"regions_file": "missing.tsv"}, {}, FileNotFoundError, "missing.tsv"),
        ({"regions_overlap": "any"}, {}, ValueError, "'pos', 'record' or 'variant'"),
    ],
)
def test_bad_selections_are_refused(tmp_path, choose, files, error, message):
    for name, text in files.items():
        write(tmp_path / name, text)
    for key in ("regions_file", "targets_file"):
        if key in choose:
            choose = choose | {key: str(tmp_path / choose[key])}
    with pytest.raises(error, match=message):
        varsift_tools.Selection(**choose)


@pytest.mark.parametrize(
    ("contigs", "indexed", "index", "chrom", "warning"),
    [
        (True, False, None, "1", "header's ##contig lines do not: '1'"),
        (True, False, None, "chr1", None),
        (True, True, True, "1", "header's ##contig lines do not: '1'"),
        (False, True, None, "1", "index's sequences do not: '1'"),
        (False, True, True, "1", "index's sequences do not: '1'"),
        (False, True, True, "chr2", None),
        # Not read: the index names nothing then.
        (False, True, False, "1", None),
        (False, False, None, "1", None),
    ],
)
def test_unknown_chromosome_is_warned_of(tmp_path, contigs, indexed, index, chrom, warning):
    header = HEADER if contigs else "##fileformat=VCFv4.2\n"
    plain = tmp_path / "in.vcf"
    plain.write_text(header + COLUMNS + "".join(line + "\n" for line in RECORDS))
    path = plain
    if indexed:
        path = tmp_path / "in.vcf.gz"
        subprocess.run(["bgzip", "-k", str(plain)], check=True)
        subprocess.run(["tabix", "-p", "vcf", str(path)], check=True)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        varsift_tools.subset(path, targets=[(chrom, 200)], index=index)
    assert [str(w.message).split("do not: ")[-1] for w in caught] == (
        [] if warning is None else [warning.split("do not: ")[-1]]
    )
    assert all(warning in str(w.message) for w in caught)


def run(args, cwd, **kwargs):
    return subprocess.run([str(VARSIFT), *args], cwd=cwd, capture_output=True, timeout=60,
                          **kwargs)


@pytest.mark.parametrize(
    ("args", "stdin", "kept"),
    [
        (["-t", "^chr1:1-1000", "-T", "^-"], b"chr2\t200\n", ["b", "sv", "d"]),
        (["-R", "-", "--regions-overlap", "0"], b"chr1\t201\t201\n", []),
        (["-R", "-", "--regions-overlap", "1"], b"chr1\t201\t201\n", ["del"]),
        (["-T", "-", "--targets-overlap", "2"], b"chr1 200 201\n", ["del", "ins"]),
        (["-p", "200", "-r", "chr1:1500", "chr2"], b"", ["c"]),
    ],
)
def test_command_takes_bcftools_options(vcf, args, stdin, kept):
    result = run(["in.vcf", *args], vcf.parent, input=stdin)
    assert (result.returncode, result.stderr) == (0, b"")
    assert ids(result.stdout.decode().splitlines()) == kept


@pytest.mark.parametrize(
    ("args", "message"),
    [
        (["-t", "^chr1:5", "chr2:5"], "^"),
        (["-T", "-", "-R", "-"], "standard input"),
        (["--targets-overlap", "all"], "--targets-overlap"),
        (["-T", "t.tsv"], "t.tsv:1: not a position: '3x'"),
    ],
)
def test_command_refuses_bad_selections_with_status_2(vcf, args, message):
    (vcf.parent / "t.tsv").write_text("chr1\t3x\n")
    result = run(["in.vcf", *args], vcf.parent)
    assert result.returncode == 2
    assert message in result.stderr.decode()
    assert result.stdout == b""


def test_command_warns_of_an_unknown_chromosome(vcf):
    result = run(["in.vcf", "-t", "1:1500"], vcf.parent)
    assert result.returncode == 0
    assert result.stderr.decode().startswith("varsift: warning: the selection names a chromosome")
    assert ids(result.stdout.decode().splitlines()) == []
