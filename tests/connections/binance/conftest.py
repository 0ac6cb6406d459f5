"""A local stand-in for the exchange's market-data interface and the coin-ranking page.

One HTTP server on 127.0.0.1 per test run. It answers what python-binance asks for while
constructing a client and downloading klines, in the exchange's own format:

- GET /api/v3/ping -> {}; after `fail_every_other_ping()`, every other ping (starting with the
  next one) gets HTTP 500, as a rate-limited exchange answers.
- GET /api/v3/klines?symbol=&interval=&startTime=&endTime=&limit= -> the symbol's klines with
  startTime <= open time <= endTime, at most `limit` of them (default 500, at most 1000), each a
  list of twelve values with prices and volumes as decimal text; an unlisted symbol gets
  HTTP 400 {"code": -1121, "msg": "Invalid symbol."}; a listed symbol without klines gets [].
  After `misbehave(symbol, interval, answer)`, that symbol's klines are `answer(query)` instead,
  whatever it is, for a test of an exchange that answers badly; when that is a function, it
  is called with the request handler and writes the whole answer itself.
- GET / -> the coin-ranking page of the test.
- GET /stall -> waits until the test ends (a page that never answers).
- Any path in `writers` (such as /api/v3/ping) -> `writers[path](handler)`, which writes the
  whole answer itself, for a test of an exchange that answers that request badly.

Kline contents come from the real kline files in tests/data. Every request is logged.
"""

from __future__ import annotations

import csv
import json
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, urlsplit

import pytest

from support.market_data import open_data, read_data_text, require_shared_data

DAY_MS = 86_400_000
MINUTE_MS = 60_000


def _daily_klines(symbol: str) -> list[list]:
    """A symbol's daily klines from the 12-field 2017-2023 files, as the exchange sends them."""
    path = require_shared_data() / "crypto_klines" / "binance_spot_1d_12field_2017-2023" / f"{symbol}-1d.csv"
    rows = []
    with open_data(path) as handle:
        reader = csv.reader(handle)
        next(reader)
        for r in reader:
            kline = r[1:]  # the source's extra date column comes first
            rows.append([int(kline[0]), *kline[1:6], int(kline[6]), kline[7], int(kline[8]),
                         kline[9], kline[10], kline[11]])
    return rows


def _minute_klines() -> list[list]:
    """500 one-minute ADAUSDT klines of 2024-11-16 09:07 .. 17:26 UTC, a saved exchange reply."""
    path = require_shared_data() / "pages" / "binance_api_v3_klines_ADAUSDT_1m_2024-11-16.json"
    return json.loads(read_data_text(path))


class KlineFiles:
    """Real klines, read once per run; every call hands out a fresh copy to edit."""

    def __init__(self):
        self._daily: dict[str, list[list]] = {}
        self._minute: list[list] | None = None

    def daily(self, symbol: str) -> list[list]:
        if symbol not in self._daily:
            self._daily[symbol] = _daily_klines(symbol)
        return [list(row) for row in self._daily[symbol]]

    def minute(self) -> list[list]:
        if self._minute is None:
            self._minute = _minute_klines()
        return [list(row) for row in self._minute]


@pytest.fixture(scope="session")
def kline_files():
    return KlineFiles()


class ExchangeState:
    def __init__(self):
        self.klines: dict[tuple[str, str], list[list]] = {}
        self.listed: set[str] = set()
        self.answers: dict[tuple[str, str], object] = {}
        self.page = "<html><body></body></html>"
        self.requests: list[tuple[str, dict, dict]] = []
        self.release = threading.Event()
        self.ping_replies: list[int] = []  # the HTTP status of every ping, in order
        self.writers: dict[str, object] = {}
        self._failing_from: int | None = None
        self._lock = threading.Lock()

    def serve(self, symbol: str, interval: str, klines: list[list]) -> None:
        self.listed.add(symbol)
        self.klines[(symbol, interval)] = klines

    def misbehave(self, symbol: str, interval: str, answer) -> None:
        self.listed.add(symbol)
        self.answers[(symbol, interval)] = answer

    def fail_every_other_ping(self) -> None:
        with self._lock:
            self._failing_from = len(self.ping_replies)

    def ping_status(self) -> int:
        with self._lock:
            since = None if self._failing_from is None else len(self.ping_replies) - self._failing_from
            status = 500 if since is not None and since % 2 == 0 else 200
            self.ping_replies.append(status)
            return status

    def paths(self, path: str) -> list[dict]:
        return [query for p, query, _ in self.requests if p == path]


class _Handler(BaseHTTPRequestHandler):
    def log_message(self, *args):  # keep the test output quiet
        pass

    def _reply(self, status: int, body: str, content_type: str = "application/json") -> None:
        data = body.encode()
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def do_GET(self):
        state: ExchangeState = self.server.state
        url = urlsplit(self.path)
        query = {k: v[-1] for k, v in parse_qs(url.query).items()}
        state.requests.append((url.path, query, dict(self.headers)))
        if url.path in state.writers:
            state.writers[url.path](self)
        elif url.path == "/api/v3/ping":
            if state.ping_status() == 500:
                self._reply(500, '{"code": -1001, "msg": "Internal error; unable to process your request."}')
            else:
                self._reply(200, "{}")
        elif url.path == "/api/v3/klines":
            self._klines(state, query)
        elif url.path == "/":
            self._reply(200, state.page, "text/html; charset=utf-8")
        elif url.path == "/stall":
            state.release.wait(30)
            self._reply(200, state.page, "text/html; charset=utf-8")
        else:
            self._reply(404, '{"code": -1, "msg": "Not found."}')

    def _klines(self, state: ExchangeState, query: dict) -> None:
        symbol = query.get("symbol")
        if symbol not in state.listed:
            self._reply(400, '{"code": -1121, "msg": "Invalid symbol."}')
            return
        answer = state.answers.get((symbol, query.get("interval")))
        if answer is not None:
            reply = answer(query)
            if callable(reply):  # the test writes the whole answer itself
                reply(self)
            else:
                self._reply(200, json.dumps(reply))
            return
        rows = state.klines.get((symbol, query.get("interval")), [])
        start = int(query.get("startTime", 0))
        end = int(query["endTime"]) if "endTime" in query else None
        limit = min(int(query.get("limit", 500)), 1000)
        chosen = [r for r in rows if r[0] >= start and (end is None or r[0] <= end)][:limit]
        self._reply(200, json.dumps(chosen))


@pytest.fixture(scope="session")
def _exchange_server():
    server = ThreadingHTTPServer(("127.0.0.1", 0), _Handler)
    server.daemon_threads = True
    server.state = ExchangeState()
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    yield server
    server.state.release.set()
    server.shutdown()
    server.server_close()


@pytest.fixture
def exchange(_exchange_server, monkeypatch):
    """A fresh exchange state, with the feed's addresses pointed at the local server."""
    from velmora.connections.binance import coinfeed

    state = ExchangeState()
    _exchange_server.state = state
    base = f"http://127.0.0.1:{_exchange_server.server_address[1]}"
    state.base = base
    monkeypatch.setattr(coinfeed, "BINANCE_API_URL", base + "/api")
    monkeypatch.setattr(coinfeed, "COINGECKO_URL", base + "/")
    yield state
    state.release.set()


@pytest.fixture
def refused_address():
    """An address on which nothing listens: connections to it are refused."""
    import socket

    sock = socket.socket()
    sock.bind(("127.0.0.1", 0))
    port = sock.getsockname()[1]
    sock.close()
    return f"http://127.0.0.1:{port}"
