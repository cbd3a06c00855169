"""output_file: a file is wholly replaced or untouched; devices, FIFOs and links are respected."""

import errno
import os
import signal
import stat
import subprocess
import sys
import tempfile
import textwrap
import threading

import pytest

from varsift_tools._output import output_file

NOBODY = 65534
IS_ROOT = os.geteuid() == 0
needs_root = pytest.mark.skipif(not IS_ROOT, reason="needs root")


def write(path, data=b"new\n"):
    with output_file(path) as fd:
        os.write(fd, data)


def listing(directory):
    return sorted(os.listdir(directory))


@pytest.fixture
def umask():
    """Sets the process's umask for one test."""
    previous = os.umask(0o022)
    yield os.umask
    os.umask(previous)


@pytest.fixture
def shared_dir():
    """A directory that an unprivileged child may enter (pytest's own are private to root)."""
    with tempfile.TemporaryDirectory(prefix="varsift-output-") as name:
        os.chmod(name, 0o777)
        yield name


def run_as_nobody(code):
    """Runs `code` in a child that imports as root, then drops to the unprivileged user."""
    drop = f"""
        import os
        from varsift_tools._output import output_file
        os.setgroups([])
        os.setgid({NOBODY})
        os.setuid({NOBODY})
        """
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(drop) + textwrap.dedent(code)],
        capture_output=True,
        text=True,
        check=False,
    )


@pytest.mark.parametrize("mask", [0o022, 0o077, 0o002])
def test_new_file_gets_the_mode_a_plain_open_gives(tmp_path, umask, mask):
    umask(mask)
    write(tmp_path / "out.vcf", b"content\n")
    assert (tmp_path / "out.vcf").read_bytes() == b"content\n"
    assert stat.S_IMODE((tmp_path / "out.vcf").stat().st_mode) == 0o666 & ~mask
    assert listing(tmp_path) == ["out.vcf"]


@pytest.mark.parametrize("mode", [0o600, 0o640, 0o755, 0o444, 0o1666])
def test_existing_file_keeps_its_mode(tmp_path, mode):
    target = tmp_path / "out.vcf"
    target.write_bytes(b"old content, longer than the new one\n" * 50)
    target.chmod(mode)
    if not os.access(target, os.W_OK):
        pytest.skip("needs a user who may write a read-only file")
    write(target)
    assert target.read_bytes() == b"new\n"
    assert stat.S_IMODE(target.stat().st_mode) == mode
    assert listing(tmp_path) == ["out.vcf"]


def test_set_id_bits_are_not_carried_over(tmp_path):
    target = tmp_path / "tool"
    target.write_bytes(b"old\n")
    target.chmod(0o6755)
    write(target)
    assert stat.S_IMODE(target.stat().st_mode) == 0o755


@needs_root
def test_existing_file_keeps_its_owner(tmp_path):
    target = tmp_path / "out.vcf"
    target.write_bytes(b"old\n")
    os.chown(target, 1234, 5678)
    write(target)
    assert (target.stat().st_uid, target.stat().st_gid) == (1234, 5678)


@needs_root
def test_read_only_file_is_refused_for_a_user_who_may_not_write_it(shared_dir):
    target = os.path.join(shared_dir, "out.vcf")
    with open(target, "wb") as stream:
        stream.write(b"old\n")
    os.chown(target, NOBODY, NOBODY)
    os.chmod(target, 0o444)
    result = run_as_nobody(f"""
        try:
            with output_file({target!r}) as fd:
                print("entered")
        except PermissionError as error:
            print(error.errno, error.filename)
        """)
    assert (result.returncode, result.stderr) == (0, "")
    assert result.stdout == f"{errno.EACCES} {target}\n"
    assert open(target, "rb").read() == b"old\n"
    assert listing(shared_dir) == ["out.vcf"]


@needs_root
@pytest.mark.parametrize("exists", [False, True])
def test_unwritable_directory_is_refused_with_the_output_name(shared_dir, exists):
    directory = os.path.join(shared_dir, "locked")
    os.mkdir(directory, 0o755)
    target = os.path.join(directory, "out.vcf")
    if exists:
        with open(target, "wb") as stream:
            stream.write(b"old\n")
        os.chmod(target, 0o666)
    result = run_as_nobody(f"""
        try:
            with output_file({target!r}) as fd:
                print("entered")
        except PermissionError as error:
            print(error.errno, error.filename)
        """)
    assert (result.returncode, result.stderr) == (0, "")
    assert result.stdout == f"{errno.EACCES} {target}\n"
    assert listing(directory) == (["out.vcf"] if exists else [])


@pytest.mark.parametrize(
    "failure", [RuntimeError("boom"), KeyboardInterrupt(), SystemExit(3), OSError(errno.EIO, "io")]
)
@pytest.mark.parametrize("exists", [False, True])
def test_failure_in_the_block_leaves_the_target_as_it_was(tmp_path, failure, exists):
    target = tmp_path / "out.vcf"
    if exists:
        target.write_bytes(b"old\n")
    with pytest.raises(type(failure)):
        with output_file(target) as fd:
            os.write(fd, b"partial")
            raise failure
    assert listing(tmp_path) == (["out.vcf"] if exists else [])
    if exists:
        assert target.read_bytes() == b"old\n"


def test_write_error_in_the_block_is_named_after_the_output(tmp_path):
    with pytest.raises(OSError) as caught:
        with output_file(tmp_path / "out.vcf"):
            raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))
    assert caught.value.filename == str(tmp_path / "out.vcf")


def test_symbolic_link_is_followed_and_its_target_replaced(tmp_path):
    (tmp_path / "data").mkdir()
    real = tmp_path / "data" / "real.vcf"
    real.write_bytes(b"old\n")
    real.chmod(0o640)
    (tmp_path / "link.vcf").symlink_to("data/real.vcf")
    write(tmp_path / "link.vcf")
    assert (tmp_path / "link.vcf").is_symlink()
    assert os.readlink(tmp_path / "link.vcf") == "data/real.vcf"
    assert real.read_bytes() == b"new\n"
    assert stat.S_IMODE(real.stat().st_mode) == 0o640
    assert listing(tmp_path) == ["data", "link.vcf"]
    assert listing(tmp_path / "data") == ["real.vcf"]


def test_dangling_link_creates_its_target(tmp_path):
    (tmp_path / "link.vcf").symlink_to("made.vcf")
    write(tmp_path / "link.vcf")
    assert (tmp_path / "link.vcf").is_symlink()
    assert (tmp_path / "made.vcf").read_bytes() == b"new\n"


def test_fifo_is_written_into_and_stays_a_fifo(tmp_path):
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    received = []
    reader = threading.Thread(target=lambda: received.append(fifo.read_bytes()))
    reader.start()
    write(fifo, b"through the pipe\n")
    reader.join(timeout=30)
    assert received == [b"through the pipe\n"]
    assert stat.S_ISFIFO(fifo.lstat().st_mode)
    assert listing(tmp_path) == ["pipe"]


@needs_root
def test_device_is_written_into_and_stays_a_device(tmp_path):
    # A node of its own with the numbers of /dev/null, so that a fault cannot harm the real one.
    null = os.stat("/dev/null").st_rdev
    device = tmp_path / "null"
    os.mknod(device, 0o666 | stat.S_IFCHR, null)
    write(device, b"discarded\n" * 1000)
    assert stat.S_ISCHR(device.lstat().st_mode)
    assert device.lstat().st_rdev == null
    assert listing(tmp_path) == ["null"]


@pytest.mark.parametrize("name", ["/dev/stdout", "/dev/fd/1", "/proc/self/fd/1"])
def test_standard_output_names_write_through_the_descriptor(tmp_path, name):
    # Opened for appending by the parent: the old content stays and the file is not replaced.
    target = tmp_path / "out.txt"
    target.write_bytes(b"first\n")
    before = target.stat().st_ino
    code = f"""
        import os
        from varsift_tools._output import output_file
        with output_file({name!r}) as fd:
            os.write(fd, b"second\\n")
        """
    with open(target, "ab") as stdout:
        subprocess.run([sys.executable, "-c", textwrap.dedent(code)], stdout=stdout, check=True)
    assert target.read_bytes() == b"first\nsecond\n"
    assert target.stat().st_ino == before


def test_closed_descriptor_name_is_an_error_naming_it(tmp_path):
    code = """
        import errno, os
        from varsift_tools._output import output_file
        os.close(1)
        try:
            with output_file("/dev/stdout"):
                pass
        except OSError as error:
            os.write(2, f"{error.errno == errno.EBADF} {error.filename}".encode())
        """
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, check=True
    )
    assert result.stderr == b"True /dev/stdout"


@pytest.mark.parametrize(
    "name", ["a" * 254, "b" * 255, "\u00e9" * 127, "c" + "\u00e9" * 127, "x" * 240 + ".vcf.gz"]
)
def test_long_names_leave_room_for_the_temporary_name(tmp_path, name):
    assert len(os.fsencode(name)) in range(240, 256)
    write(tmp_path / name)
    assert listing(tmp_path) == [name]
    assert (tmp_path / name).read_bytes() == b"new\n"


def test_new_content_has_no_name_until_the_end(tmp_path):
    with output_file(tmp_path / "out.vcf") as fd:
        os.write(fd, b"new\n")
        assert listing(tmp_path) == []
    assert listing(tmp_path) == ["out.vcf"]


def test_temporary_file_sits_beside_the_target_where_unnamed_files_are_refused(
    tmp_path, monkeypatch
):
    monkeypatch.delattr(os, "O_TMPFILE")
    with output_file(tmp_path / "out.vcf") as fd:
        os.write(fd, b"new\n")
        (name,) = listing(tmp_path)
        assert name.startswith(".out.vcf.")
    assert listing(tmp_path) == ["out.vcf"]
    assert (tmp_path / "out.vcf").read_bytes() == b"new\n"


@pytest.mark.parametrize("exists", [False, True])
def test_killed_writer_leaves_nothing_behind(tmp_path, exists):
    if exists:
        (tmp_path / "out.vcf").write_bytes(b"old\n")
    code = """
        import os, time
        from varsift_tools._output import output_file
        with output_file("out.vcf") as fd:
            os.write(fd, b"partial")
            print("ready", flush=True)
            time.sleep(60)
        """
    child = subprocess.Popen(
        [sys.executable, "-c", textwrap.dedent(code)], cwd=tmp_path, stdout=subprocess.PIPE
    )
    assert child.stdout.readline() == b"ready\n"
    child.kill()
    child.wait(timeout=30)
    child.stdout.close()
    assert listing(tmp_path) == (["out.vcf"] if exists else [])


@pytest.mark.parametrize(
    ("name", "kind"),
    [
        ("", FileNotFoundError),
        (".", IsADirectoryError),
        ("sub", IsADirectoryError),
        ("missing/out.vcf", FileNotFoundError),
        ("file/out.vcf", NotADirectoryError),
        ("file/", NotADirectoryError),
        ("new/", IsADirectoryError),
    ],
)
def test_paths_that_cannot_be_a_file_are_refused_with_their_name(tmp_path, monkeypatch, name, kind):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "sub").mkdir()
    (tmp_path / "file").write_bytes(b"old\n")
    with pytest.raises(kind) as caught:
        with output_file(name):
            pytest.fail("the block must not run")
    assert caught.value.filename == name
    assert listing(tmp_path) == ["file", "sub"]
    assert (tmp_path / "file").read_bytes() == b"old\n"


@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGINT])
def test_signal_turned_into_an_exception_leaves_no_temporary_file(tmp_path, signum):
    code = f"""
        import os, signal, sys, time
        from varsift_tools._output import output_file

        class Stop(BaseException):
            pass

        def stop(signum, frame):
            raise Stop

        signal.signal({int(signum)}, stop)
        try:
            with output_file("out.vcf") as fd:
                os.write(fd, b"partial")
                print("ready", flush=True)
                time.sleep(60)
        except Stop:
            sys.exit(7)
        """
    child = subprocess.Popen(
        [sys.executable, "-c", textwrap.dedent(code)], cwd=tmp_path, stdout=subprocess.PIPE
    )
    assert child.stdout.readline() == b"ready\n"
    child.send_signal(signum)
    assert child.wait(timeout=30) == 7
    child.stdout.close()
    assert listing(tmp_path) == []
