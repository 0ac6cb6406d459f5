"""A local web server that answers page fetches badly, for both feeds.

Routes (GET):
- /trickle-body  -> a 200 with html headers, then one byte every TRICKLE_PAUSE seconds
- /trickle-headers -> the status line, then the headers one byte every TRICKLE_PAUSE seconds
- /endless       -> a 200 without a length, then html text as fast as the socket takes it
- /huge-declared -> a 200 that declares a body of 10**12 bytes, then html text
- /page          -> `pages.page`, with its length, at once

A bad answer goes on until the client leaves, the test ends or the server's own cap is
reached (TRICKLE_SECONDS of trickling, ENDLESS_BYTES of text), so that a client without
bounds still ends and its test fails on what it shows instead of hanging.
"""

from __future__ import annotations

import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import pytest

TRICKLE_PAUSE = 0.05
TRICKLE_SECONDS = 20.0
ENDLESS_BYTES = 64 << 20

_FILLER = (b"<!-- " + b"x" * 65_000 + b" -->\n")


class _BadPages(BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def _send(self, data: bytes) -> bool:
        try:
            self.wfile.write(data)
            self.wfile.flush()
            return True
        except OSError:  # the client has gone
            return False

    def _trickle(self, data: bytes) -> None:
        state = self.server.state
        until = time.monotonic() + TRICKLE_SECONDS
        for i in range(10**9):
            if state.release.wait(TRICKLE_PAUSE) or time.monotonic() > until:
                return
            if not self._send(data[i % len(data): i % len(data) + 1]):
                return

    def _stream(self) -> None:
        sent = 0
        while sent < ENDLESS_BYTES and not self.server.state.release.is_set():
            if not self._send(_FILLER):
                return
            sent += len(_FILLER)

    def do_GET(self):
        state = self.server.state
        state.requests.append(self.path)
        if self.path == "/trickle-body":
            self.send_response(200)
            self.send_header("Content-Type", "text/html; charset=utf-8")
            self.end_headers()
            self.wfile.flush()
            self._trickle(b"<html><body>" + b"x" * 100)
        elif self.path == "/trickle-headers":
            self._send(b"HTTP/1.0 200 OK\r\n")
            self._trickle(b"X-Slow: " + b"y" * 200)
        elif self.path == "/endless":
            self.send_response(200)
            self.send_header("Content-Type", "text/html; charset=utf-8")
            self.end_headers()
            self._stream()
        elif self.path == "/huge-declared":
            self.send_response(200)
            self.send_header("Content-Type", "text/html; charset=utf-8")
            self.send_header("Content-Length", str(10**12))
            self.end_headers()
            self._stream()
        elif self.path == "/page":
            data = state.page.encode()
            self.send_response(200)
            self.send_header("Content-Type", "text/html; charset=utf-8")
            self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            self._send(data)
        else:
            self.send_response(404)
            self.end_headers()


class BadPagesState:
    def __init__(self, base: str):
        self.base = base
        self.page = "<html><body></body></html>"
        self.requests: list[str] = []
        self.release = threading.Event()


@pytest.fixture(scope="session")
def _bad_pages_server():
    server = ThreadingHTTPServer(("127.0.0.1", 0), _BadPages)
    server.daemon_threads = True
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    yield server
    server.shutdown()
    server.server_close()


@pytest.fixture
def bad_pages(_bad_pages_server):
    """The server's state for one test; its bad answers stop when the test ends."""
    state = BadPagesState(f"http://127.0.0.1:{_bad_pages_server.server_address[1]}")
    _bad_pages_server.state = state
    yield state
    state.release.set()
