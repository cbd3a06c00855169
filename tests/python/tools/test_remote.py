"""Reading VCFs from URLs (HTTP and S3) gives what reading the same local file gives, fetches
only what the index points to, and fails with an OSError naming the URL and the reason."""

from __future__ import annotations

import errno
import os
import random
import shutil
import socket
import subprocess
import sys
import time
import warnings
from collections import Counter
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import pytest
import varsift_tools
from http_server import Behaviour, FileServer
from vcf_files import bgzip_file, gzip_file, random_vcf

pytestmark = pytest.mark.skipif(
    not all(shutil.which(tool) for tool in ("bgzip", "tabix")), reason="needs bgzip and tabix"
)

# name -> how it is made from in.vcf, and the index made beside it.
FILES = {
    "in.vcf": None,
    "in.vcf.gz": "tbi",
    "csi.vcf.gz": "csi",
    "bare.vcf.gz": None,
    "gzip.vcf.gz": None,
}


@pytest.fixture(scope="module")
def served(tmp_path_factory: pytest.TempPathFactory) -> Iterator[tuple[FileServer, list]]:
    root = tmp_path_factory.mktemp("served")
    text, sites = random_vcf(16, 20000)
    plain = root / "in.vcf"
    plain.write_text(text)
    for name in ("in.vcf.gz", "csi.vcf.gz", "bare.vcf.gz"):
        bgzip_file(plain, root / name)
    subprocess.run(["tabix", "-p", "vcf", str(root / "in.vcf.gz")], check=True)
    subprocess.run(["bgzip", "-r", str(root / "in.vcf.gz")], check=True)
    subprocess.run(["tabix", "-C", "-p", "vcf", str(root / "csi.vcf.gz")], check=True)
    gzip_file(plain, root / "gzip.vcf.gz", members=2)
    with FileServer(root) as server:
        yield server, sites


def selections(sites: list[tuple[str, int]]) -> list[dict[str, Any]]:
    chosen = random.Random(3).sample(sites, 10) + [("chr2", 10**7), ("nowhere", 5)]
    return [
        {"targets": chosen},
        {"positions": [pos for _, pos in chosen[:4]]},
        {"regions": [(chrom, pos, pos + 60) for chrom, pos in chosen]},
        {"targets": chosen[:2], "regions": [("chrX", 1, 90)]},
        {"targets": []},
    ]


@pytest.mark.parametrize("name", sorted(FILES))
@pytest.mark.parametrize("index", [None, True, False])
def test_a_url_reads_as_the_local_file(served: tuple[FileServer, list], name: str, index: Any) -> None:
    server, sites = served
    if index and not FILES[name]:
        pytest.skip("no index to force")
    local = server.root / name
    for selection in selections(sites):
        expected = varsift_tools.subset(local, index=False, **selection)
        assert varsift_tools.subset(server.url(name), index=index, **selection) == expected
    # Every record, streamed.
    with varsift_tools.iter_lines(server.url(name), index=index) as lines:
        assert list(lines) == (server.root / "in.vcf").read_text().splitlines()


def test_an_index_named_by_url_or_path(served: tuple[FileServer, list], tmp_path: Path) -> None:
    server, sites = served
    targets = sites[::500]
    expected = varsift_tools.subset(server.root / "in.vcf.gz", targets=targets, index=False)
    local_index = server.root / "in.vcf.gz.tbi"
    for index_path in (server.url("in.vcf.gz.tbi"), str(local_index)):
        got = varsift_tools.subset(
            server.url("bare.vcf.gz"), targets=targets, index=True, index_path=index_path
        )
        assert got == expected


def test_an_index_fetches_only_what_it_points_to(served: tuple[FileServer, list], tmp_path: Path) -> None:
    server, sites = served
    targets = random.Random(5).sample(sites, 10)
    server.reset()
    varsift_tools.subset(server.url("in.vcf.gz"), targets=targets, index=True)
    ours = server.reset()
    regions = tmp_path / "targets.tsv"
    regions.write_text("".join(f"{chrom}\t{pos}\n" for chrom, pos in targets))
    subprocess.run(
        ["tabix", "-h", "-R", str(regions), server.url("in.vcf.gz")],
        check=True, capture_output=True, cwd=tmp_path,
    )
    theirs = server.reset()
    # Where each request starts is exact; the bytes sent past what a client reads are not.
    assert {begin for begin, _ in ours.ranges} <= {begin for begin, _ in theirs.ranges}
    assert ours.requests <= theirs.requests
    # Nothing is fetched twice: the blocks the index check reads are those the reading gives.
    starts = Counter(begin for begin, _ in ours.ranges)
    assert starts.pop(0) == 2  # the data and its index
    assert set(starts.values()) <= {1}


def test_a_missing_index_beside_a_url_is_a_scan(served: tuple[FileServer, list]) -> None:
    server, sites = served
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        got = varsift_tools.subset(server.url("bare.vcf.gz"), targets=sites[:3])
    assert got == varsift_tools.subset(server.root / "in.vcf.gz", targets=sites[:3], index=False)
    with pytest.raises(FileNotFoundError):
        varsift_tools.subset(server.url("bare.vcf.gz"), targets=sites[:3], index=True)


# in.vcf.gz is cut by its .gzi, csi.vcf.gz where its index says records start.
@pytest.mark.parametrize(
    ("name", "ranges"),
    [("in.vcf.gz", True), ("csi.vcf.gz", True), ("bare.vcf.gz", False), ("in.vcf", False)],
)
def test_dask_reads_ranges_of_a_url(served: tuple[FileServer, list], tmp_path: Path, name: str, ranges: bool) -> None:
    dask = pytest.importorskip("varsift_tools.dask")
    server, sites = served
    url = server.url(name)
    parts = dask.partitions(url, partition_size=40_000)
    assert (len(parts) > 2) == ranges and all(not part.whole for part in parts) == ranges
    targets = sites[::300]
    header, records = varsift_tools.subset(server.root / name, targets=targets)
    assert dask.lines(url, targets=targets, partition_size=40_000).compute(scheduler="sync") == header + records
    out = tmp_path / "out.vcf.gz"
    both = [url, server.url("csi.vcf.gz")]
    assert dask.write_subset(both, out, targets=targets, partition_size=40_000) == 2 * len(records)
    assert varsift_tools.subset(out) == (header, records * 2)


def test_dask_fails_on_a_url_whose_index_cuts_lines(served: tuple[FileServer, list]) -> None:
    dask = pytest.importorskip("varsift_tools.dask")
    from varsift_tools import _native

    server, _ = served
    root = server.root
    cut = dask.partitions(server.url("csi.vcf.gz"), partition_size=40_000)[-1].line_start
    assert cut
    with open(root / "csi.vcf.gz", "rb") as file:
        blocks = dict(_native.bgzf_blocks(file.fileno()) or [])
    # One byte more in the line before the last cut: the blocks before keep their places, and
    # the cut, from the index of the file as it was, falls inside a line.
    at = blocks[cut >> 16] + (cut & 0xFFFF) - 1
    text = (root / "in.vcf").read_bytes()
    assert text[at : at + 1] == b"\n"
    (root / "grown.vcf").write_bytes(text[:at] + b"0" + text[at:])
    bgzip_file(root / "grown.vcf", root / "grown.vcf.gz")
    shutil.copy(root / "csi.vcf.gz.csi", root / "grown.vcf.gz.csi")
    with pytest.raises(OSError) as raised:
        dask.lines(server.url("grown.vcf.gz"), partition_size=40_000).compute(scheduler="sync")
    assert raised.value.errno == errno.ESTALE


def test_dask_ranges_of_a_server_without_byte_ranges_raise_naming_the_url(
    served: tuple[FileServer, list]
) -> None:
    dask = pytest.importorskip("varsift_tools.dask")
    server, _ = served
    url = server.url("csi.vcf.gz")
    server.behaviour["csi.vcf.gz"] = Behaviour(ranges=False)
    try:
        with pytest.raises(OSError) as raised:
            dask.lines(url, partition_size=40_000).compute(scheduler="sync")
    finally:
        del server.behaviour["csi.vcf.gz"]
    assert (raised.value.errno, raised.value.filename) == (errno.ESPIPE, url)
    assert "byte ranges" in raised.value.strerror


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return int(probe.getsockname()[1])


FAULTS = [
    # behaviour of in.vcf.gz, index, the error, words of the reason
    (Behaviour(status=404), None, FileNotFoundError, "404"),
    (Behaviour(status=403), None, PermissionError, "403"),
    (Behaviour(status=401), None, PermissionError, "401"),
    (Behaviour(status=500), None, OSError, "500"),
    (Behaviour(cut=20000), False, OSError, "cut short"),
    (Behaviour(cut=20000), True, OSError, "cut short"),
]


@pytest.mark.parametrize(("behaviour", "index", "kind", "words"), FAULTS)
def test_a_failing_server_raises_naming_the_url(
    served: tuple[FileServer, list], behaviour: Behaviour, index: Any, kind: type, words: str
) -> None:
    server, sites = served
    server.behaviour["in.vcf.gz"] = behaviour
    url = server.url("in.vcf.gz")
    try:
        for call in (varsift_tools.subset, lambda *a, **k: list(varsift_tools.iter_lines(*a, **k))):
            with pytest.raises(kind) as raised:
                call(url, targets=sites[::700], index=index)
            assert raised.value.filename == url
            assert words in raised.value.strerror
    finally:
        del server.behaviour["in.vcf.gz"]


@pytest.mark.parametrize("index", [None, True])
def test_a_server_without_ranges_is_read_in_order(served: tuple[FileServer, list], index: Any) -> None:
    server, sites = served
    server.behaviour["in.vcf.gz"] = Behaviour(ranges=False)
    try:
        got = varsift_tools.subset(server.url("in.vcf.gz"), targets=sites[::700], index=index)
    finally:
        del server.behaviour["in.vcf.gz"]
    assert got == varsift_tools.subset(server.root / "in.vcf", targets=sites[::700])


def test_a_refused_connection_raises_naming_the_url() -> None:
    url = f"http://127.0.0.1:{free_port()}/in.vcf.gz"
    with pytest.raises(ConnectionRefusedError) as raised:
        varsift_tools.subset(url)
    assert raised.value.filename == url


def test_the_command_reads_a_url(served: tuple[FileServer, list], tmp_path: Path) -> None:
    server, _ = served
    out = tmp_path / "out.vcf"
    ran = subprocess.run(
        [sys.executable, "-m", "varsift_tools", server.url("in.vcf.gz"), "-r", "chr1:1-400",
         "-o", str(out)],
        capture_output=True, text=True, timeout=60,
    )
    assert ran.returncode == 0, ran.stderr
    expected = varsift_tools.subset(server.root / "in.vcf", regions=[("chr1", 1, 400)])
    assert out.read_text().splitlines() == expected[0] + expected[1]
    missing = server.url("none.vcf.gz")
    ran = subprocess.run(
        [sys.executable, "-m", "varsift_tools", missing], capture_output=True, text=True, timeout=60
    )
    assert (ran.returncode, ran.stderr) == (1, f"varsift: error: {missing}: not found (HTTP 404 or 410)\n")


@pytest.fixture(scope="module")
def s3(served: tuple[FileServer, list]) -> Iterator[str]:
    """A moto S3 server on the loopback holding the served files in bucket 'calls'; gives the
    URL prefix that htslib reads them by, with its settings in the environment."""
    if os.environ.get("VARSIFT_SANITIZED") == "1":
        pytest.skip("S3 runs the native code HTTP runs; the unsanitized run checks it")
    boto3 = pytest.importorskip("boto3")
    pytest.importorskip("moto")
    port = free_port()
    server = subprocess.Popen(
        [sys.executable, "-m", "moto.server", "-H", "127.0.0.1", "-p", str(port)],
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
    )
    settings = {
        "AWS_ACCESS_KEY_ID": "testing",
        "AWS_SECRET_ACCESS_KEY": "testing",
        "AWS_DEFAULT_REGION": "us-east-1",
        "HTS_S3_HOST": f"127.0.0.1:{port}",
        "HTS_S3_ADDRESS_STYLE": "path",
    }
    saved = {name: os.environ.get(name) for name in settings}
    try:
        deadline = time.monotonic() + 30
        while True:
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                break
            except OSError:
                if time.monotonic() > deadline or server.poll() is not None:
                    raise
                time.sleep(0.1)
        client = boto3.client(
            "s3", endpoint_url=f"http://127.0.0.1:{port}", region_name="us-east-1",
            aws_access_key_id="testing", aws_secret_access_key="testing",
        )
        client.create_bucket(Bucket="calls")
        for path in served[0].root.iterdir():
            client.upload_file(str(path), "calls", path.name)
        os.environ.update(settings)
        yield "s3+http://calls/"
    finally:
        for name, value in saved.items():
            if value is None:
                os.environ.pop(name, None)
            else:
                os.environ[name] = value
        server.terminate()
        server.wait(timeout=30)


@pytest.mark.parametrize("name", ["in.vcf.gz", "csi.vcf.gz", "in.vcf"])
@pytest.mark.parametrize("index", [None, True, False])
def test_an_s3_object_reads_as_the_local_file(
    served: tuple[FileServer, list], s3: str, name: str, index: Any
) -> None:
    server, sites = served
    if index and name == "in.vcf":
        pytest.skip("no index to force")
    for selection in selections(sites)[:3]:
        expected = varsift_tools.subset(server.root / name, index=False, **selection)
        assert varsift_tools.subset(s3 + name, index=index, **selection) == expected


def test_a_missing_s3_object_raises_naming_it(s3: str) -> None:
    with pytest.raises(FileNotFoundError) as raised:
        varsift_tools.subset(s3 + "none.vcf.gz")
    assert raised.value.filename == s3 + "none.vcf.gz"
