"""Writing a file so that it is either wholly new or untouched, as a shell's ``>`` would allow."""

from __future__ import annotations

import contextlib
import errno
import os
import re
import stat

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Iterator
    from typing import ParamSpec, TypeVar

    _P = ParamSpec("_P")
    _R = TypeVar("_R")

__all__ = ["check_replaceable", "index_beside", "output_file"]

PathLike = str | os.PathLike[str]

# Names that stand for a descriptor the process already holds; they are written through it.
_DESCRIPTOR_NAME = re.compile(r"/dev/(?:std(in|out|err)|fd/(\d+))|/proc/self/fd/(\d+)")
_STANDARD = {"in": 0, "out": 1, "err": 2}

# A NAME_MAX of 255 bytes holds "." + the kept part of the name + "." + 16 hex digits + ".tmp".
_NAME_MAX = 255
_ADDED_BYTES = 1 + 1 + 16 + 4
_ATTEMPTS = 100


@contextlib.contextmanager
def output_file(path: PathLike) -> Iterator[int]:
    """Yields a descriptor to write the new content of `path` into.

    A regular file (or a name that does not exist yet) is written to a temporary file beside it
    that replaces it, with the old file's mode and owner, only when the block ends without an
    exception; otherwise `path` keeps its old content and the temporary file is removed. A
    symbolic link is followed and its target replaced. A device, a FIFO or a /dev/std* name is
    written directly. A target the user may not write is refused before anything is created.
    """
    name = os.fspath(path)
    if not isinstance(name, str):
        raise TypeError(f"expected a str path, not {type(name).__name__}")
    if not name:
        raise FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT), name)

    match = _DESCRIPTOR_NAME.fullmatch(name)
    if match is not None:
        standard, *numbers = match.groups()
        number = _STANDARD[standard] if standard else int(next(n for n in numbers if n))
        # A duplicate shares the offset and the append mode the descriptor was opened with.
        fd = _with_name(name, os.dup, number)
        try:
            yield fd
        finally:
            os.close(fd)
        return

    status = _status(name)
    if status is not None and not stat.S_ISREG(status.st_mode):
        if stat.S_ISDIR(status.st_mode):
            raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), name)
        fd = _with_name(name, os.open, name, os.O_WRONLY | os.O_NOCTTY | os.O_CLOEXEC)
        try:
            yield fd
        finally:
            os.close(fd)
        return

    # The file a symbolic link points to is replaced, not the link.
    target = os.path.realpath(name)
    directory, base = os.path.split(target)
    if status is not None and not os.access(target, os.W_OK):
        raise PermissionError(errno.EACCES, os.strerror(errno.EACCES), name)

    temporary: str | None = None
    fd = -1
    try:
        fd = _unnamed_file(directory)
        for _ in range(0 if fd >= 0 else _ATTEMPTS):
            # Named before it is made, so that an interruption just after still removes it.
            temporary = os.path.join(directory, _temporary_name(base))
            try:
                fd = os.open(
                    temporary,
                    os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOCTTY | os.O_CLOEXEC,
                    0o666,
                )
                break
            except FileExistsError:
                temporary = None
        if fd < 0:
            raise FileExistsError(errno.EEXIST, "no free temporary name", name)
        if status is not None:
            _copy_owner_and_mode(fd, status)
        yield fd
        if temporary is None:
            # Named only now, under a fresh name renamed at once into place: a process killed
            # while writing leaves nothing behind.
            descriptors = _with_name(name, os.open, "/proc/self/fd", os.O_RDONLY | os.O_CLOEXEC)
            try:
                for _ in range(_ATTEMPTS):
                    temporary = os.path.join(directory, _temporary_name(base))
                    try:
                        # linkat() following the descriptor's link to the file itself.
                        _with_name(
                            name,
                            os.link,
                            str(fd),
                            temporary,
                            src_dir_fd=descriptors,
                            follow_symlinks=True,
                        )
                        break
                    except FileExistsError:
                        temporary = None
                else:
                    raise FileExistsError(errno.EEXIST, "no free temporary name", name)
            finally:
                os.close(descriptors)
        assert temporary is not None
        closing, fd = fd, -1
        os.close(closing)
        os.replace(temporary, target)
        temporary = None
    except OSError as error:
        if error.filename is None or error.filename == temporary:
            error.filename = name
        raise
    finally:
        if fd >= 0:
            os.close(fd)
        if temporary is not None:
            with contextlib.suppress(FileNotFoundError):
                os.unlink(temporary)


def _unnamed_file(directory: str) -> int:
    """A file without a name in `directory`, or -1 where the system or the file system has none
    (or no /proc to name it through later)."""
    if not hasattr(os, "O_TMPFILE") or not os.path.isdir("/proc/self/fd"):
        return -1
    # 0o666: the umask and the directory's default ACL then give the mode a new file gets.
    try:
        return os.open(
            directory or ".", os.O_TMPFILE | os.O_WRONLY | os.O_NOCTTY | os.O_CLOEXEC, 0o666
        )
    except OSError:
        # Refused (EOPNOTSUPP, EISDIR on old kernels, or what the named file will report).
        return -1


def check_replaceable(path: str) -> None:
    """Raises the :class:`OSError` that renaming a new file onto ``path`` would meet, where it
    can be told beforehand: a directory there, a directory that may not be written, or another
    user's file in a sticky directory."""
    directory = os.path.dirname(os.path.abspath(path))
    try:
        status = os.lstat(path)
    except FileNotFoundError:
        status = None
    except OSError as error:
        error.filename = path
        raise
    if status is not None and stat.S_ISDIR(status.st_mode):
        raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), path)
    parent = _with_name(path, os.stat, directory)
    if not os.access(directory, os.W_OK | os.X_OK):
        raise PermissionError(errno.EACCES, os.strerror(errno.EACCES), path)
    user = os.geteuid()
    if (
        status is not None
        and parent.st_mode & stat.S_ISVTX
        and user not in (0, status.st_uid, parent.st_uid)
    ):
        raise PermissionError(errno.EPERM, os.strerror(errno.EPERM), path)


def _status(name: str) -> os.stat_result | None:
    """The status of what `name` leads to; None when a file may be made there."""
    try:
        return os.stat(name)
    except FileNotFoundError:
        pass
    except OSError as error:
        error.filename = name
        raise
    parent = _with_name(name, os.stat, os.path.dirname(os.path.realpath(name)))
    if not stat.S_ISDIR(parent.st_mode):
        raise NotADirectoryError(errno.ENOTDIR, os.strerror(errno.ENOTDIR), name)
    if name.endswith("/"):
        raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), name)
    return None


def _temporary_name(base: str) -> str:
    # Cut on a character boundary; the name only has to be recognisable.
    kept = os.fsencode(base)[: _NAME_MAX - _ADDED_BYTES].decode("utf-8", "ignore")
    return f".{kept}.{os.urandom(8).hex()}.tmp"


def _copy_owner_and_mode(fd: int, status: os.stat_result) -> None:
    # The owner first: a change of owner may clear mode bits. Only the root may give a file away;
    # others keep at least the group when they belong to it, and otherwise own the new file.
    for uid in (status.st_uid, -1):
        try:
            os.fchown(fd, uid, status.st_gid)
            break
        except PermissionError:
            continue
    # Writing new content to a set-user-ID or set-group-ID file would clear those bits too.
    os.fchmod(fd, stat.S_IMODE(status.st_mode) & ~(stat.S_ISUID | stat.S_ISGID))


def _with_name(
    name: str, call: Callable[_P, _R], *args: _P.args, **kwargs: _P.kwargs
) -> _R:
    try:
        return call(*args, **kwargs)
    except OSError as error:
        error.filename = name
        raise


@contextlib.contextmanager
def _put_in_place(temporary: str, final: str) -> Iterator[None]:
    """Renames ``temporary`` to ``final`` once the block succeeds, and removes it otherwise."""
    try:
        yield
        try:
            os.replace(temporary, final)
        except OSError as error:
            error.filename, error.filename2 = final, None
            raise
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(temporary)
        raise


@contextlib.contextmanager
def index_beside(final: str) -> Iterator[str]:
    """A path for the native code to write an index into, put at ``final`` once the block
    succeeds and removed otherwise: a file without a name (``O_TMPFILE``), reached through
    /proc and named only then, so that not even SIGKILL leaves one behind; a temporary file
    beside ``final`` where there is no /proc."""
    if os.path.isdir("/proc/self/fd"):
        with output_file(final) as fd:
            yield f"/proc/self/fd/{fd}"
        return
    temporary = _temporary_beside(final)
    with _put_in_place(temporary, final):
        yield temporary


def _temporary_beside(path: str) -> str:
    # A fresh name rather than a file made here: htslib creates it with the usual mode.
    directory, name = os.path.split(path)
    return os.path.join(directory, f".{name}.{os.getpid()}.{os.urandom(6).hex()}.tmp")
