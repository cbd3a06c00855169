"""An HTTP server on the loopback for the tests: serves files from a directory with byte ranges,
counts the requests and bytes it sends, and misbehaves when told to."""

from __future__ import annotations

import os
import re
import threading
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from types import TracebackType

RANGE = re.compile(r"bytes=(\d+)-(\d*)")


@dataclass
class Behaviour:
    """How the server answers a name: ``status`` (403, 404...) instead of the file,
    ``ranges=False`` to ignore Range headers, ``cut`` to end each body after that many bytes."""

    status: int | None = None
    ranges: bool = True
    cut: int | None = None


@dataclass
class Counts:
    requests: int = 0
    bytes: int = 0
    ranges: list[tuple[int, int]] = field(default_factory=list)


class _Server(ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request: object, client_address: object) -> None:
        # A client that stops reading (a seek, an index that is enough) closes its connection.
        pass


class FileServer:
    """A context manager: ``url(name)`` names a file of ``root``; ``counts`` what was sent."""

    def __init__(self, root: Path) -> None:
        self.root = root
        self.behaviour: dict[str, Behaviour] = {}
        self.counts = Counts()
        self._lock = threading.Lock()
        server = self

        class Handler(BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, format: str, *args: object) -> None:
                pass

            def do_HEAD(self) -> None:
                self._answer(body=False)

            def do_GET(self) -> None:
                self._answer(body=True)

            def _answer(self, body: bool) -> None:
                name = self.path.lstrip("/").split("?")[0]
                how = server.behaviour.get(name, Behaviour())
                path = server.root / name
                if how.status is not None or not path.is_file():
                    self.send_response(how.status or 404)
                    self.send_header("Content-Length", "0")
                    self.end_headers()
                    return
                size = path.stat().st_size
                begin, end, status = 0, size, 200
                wanted = RANGE.fullmatch(self.headers.get("Range", ""))
                if wanted and how.ranges:
                    begin = int(wanted[1])
                    end = min(size, int(wanted[2]) + 1) if wanted[2] else size
                    if begin >= size:
                        self.send_response(416)
                        self.send_header("Content-Range", f"bytes */{size}")
                        self.send_header("Content-Length", "0")
                        self.end_headers()
                        return
                    status = 206
                self.send_response(status)
                if how.ranges:
                    self.send_header("Accept-Ranges", "bytes")
                if status == 206:
                    self.send_header("Content-Range", f"bytes {begin}-{end - 1}/{size}")
                self.send_header("Content-Length", str(end - begin))
                self.end_headers()
                if not body:
                    return
                stop = end if how.cut is None else min(end, begin + how.cut)
                with server._lock:
                    server.counts.requests += 1
                    server.counts.ranges.append((begin, stop))
                sent = self._send(path, begin, stop)
                with server._lock:
                    server.counts.bytes += sent
                if stop < end:
                    self.close_connection = True

            def _send(self, path: Path, begin: int, stop: int) -> int:
                # sendfile: the server costs the benchmarks little beside the client.
                self.wfile.flush()
                sent = 0
                with path.open("rb") as file:
                    while sent < stop - begin:
                        try:
                            count = os.sendfile(
                                self.connection.fileno(), file.fileno(), begin + sent,
                                min(1 << 24, stop - begin - sent),
                            )
                        except (BrokenPipeError, ConnectionResetError):
                            break
                        if count == 0:
                            break
                        sent += count
                return sent

        self._server = _Server(("127.0.0.1", 0), Handler)
        self._thread = threading.Thread(target=self._server.serve_forever, daemon=True)

    @property
    def port(self) -> int:
        return int(self._server.server_address[1])

    def url(self, name: str) -> str:
        return f"http://127.0.0.1:{self.port}/{name}"

    def reset(self) -> Counts:
        """Gives the counts so far and starts new ones."""
        with self._lock:
            counts, self.counts = self.counts, Counts()
        return counts

    def __enter__(self) -> FileServer:
        self._thread.start()
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        self._server.shutdown()
        self._server.server_close()
        self._thread.join()


def serve_directory(root: str | os.PathLike[str]) -> FileServer:
    return FileServer(Path(root))
