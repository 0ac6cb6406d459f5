"""Downloads from an exchange that answers badly end, in bounded time and memory, with no
kline outside the dates asked for.

The misbehaving answers stop after MAX_PAGES requests, so that a download without bounds
ends too and its test fails on what it did instead of hanging.
"""

import datetime as dt
import logging
import time
import tracemalloc

import numpy as np
import pytest
import requests
from binance.helpers import convert_ts_str

import velmora.connections.binance.coinfeed as coinfeed
from velmora.connections.binance.coinfeed import Coinfeed
from support.market_data import load_ohlcv

DAILY = "binance_spot_1d_12field_2017-2023"
DAY_MS = 86_400_000
MINUTE_MS = 60_000
MAX_PAGES = 50
JOB = "__single_job__get_historical_data_for_single_currency"


def failed(symbol):
    return "-" * 29 + f"DOWNLOAD FAILED FOR {symbol}" + "-" * 29


def ms(*date):
    return int(dt.datetime(*date, tzinfo=dt.timezone.utc).timestamp() * 1000)


def at(kline, open_ms):
    return [open_ms, *kline[1:]]


def warnings(caplog):
    return [r.getMessage() for r in caplog.records if r.levelno == logging.WARNING and r.name == " "]


def capped(answer):
    """`answer`, for the first MAX_PAGES requests; an empty page after that."""
    seen = []

    def reply(query):
        seen.append(query)
        return answer(query) if len(seen) <= MAX_PAGES else []

    return reply


@pytest.fixture
def feed(exchange):
    return Coinfeed("key", "secret")


START, END = dt.datetime(2018, 1, 1), dt.datetime(2021, 12, 31)  # 1461 days


def old_klines_forever(real):
    # Full pages of klines three centuries before the dates asked for.
    return lambda query: [at(real[0], ms(1700, 1, 1) + i * DAY_MS) for i in range(1000)]


def the_first_page_forever(real):
    # Every request, whatever its start, gets the first 1000 days from the start asked for.
    first = [k for k in real if k[0] >= ms(2018, 1, 1)][:1000]
    return lambda query: first


def minutes_for_days(real):
    # Full pages of klines one minute apart inside the dates: more than 1461 days can hold.
    return lambda query: [at(real[0], int(query["startTime"]) + i * MINUTE_MS) for i in range(1000)]


@pytest.mark.parametrize(
    "answer, pages, kept_days, warned",
    [
        (old_klines_forever, 1, 0, False),
        (the_first_page_forever, 2, 1000, False),
        (minutes_for_days, 3, 0, True),  # fails once past the 1461 days and one page
    ],
    ids=["old klines forever", "the first page forever", "minutes for days"],
)
def test_a_download_ends_when_answers_stop_advancing_or_overflow_the_span(
        exchange, kline_files, feed, caplog, answer, pages, kept_days, warned):
    real = kline_files.daily("BTCUSDT")
    exchange.serve("BTCUSDT", "1d", real)
    exchange.misbehave("BADUSDT", "1d", capped(answer(real)))

    result = feed.get_daily_historical_data_for_cryptocurrencies(["BTCUSDT", "BADUSDT"], START, END, n_jobs=1)

    asked = [q for q in exchange.paths("/api/v3/klines") if q["symbol"] == "BADUSDT"]
    assert len(asked) == pages
    assert warnings(caplog) == ([failed("BADUSDT")] if warned else [])
    expected = load_ohlcv(DAILY, ["BTCUSDT"], start=START, end=END)
    assert list(result.index.strftime("%Y-%m-%d")) == list(expected.index.strftime("%Y-%m-%d"))
    if kept_days:
        traded = result.index[result["BADUSDT_volume"] > 0]
        assert list(traded.strftime("%Y-%m-%d")) == list(expected.index[:kept_days].strftime("%Y-%m-%d"))
    else:
        assert "BADUSDT_close" not in result.columns


class _OwnClient:
    """A client of the caller's own making: its history method answers what it holds."""

    def __init__(self, klines):
        self.klines = klines

    def get_historical_klines(self, **kwargs):
        return self.klines


@pytest.mark.parametrize("source", ["exchange", "own client"])
def test_klines_outside_the_dates_asked_for_or_repeated_are_dropped(exchange, kline_files, feed, source):
    start, end = dt.datetime(2017, 10, 1), dt.datetime(2017, 10, 31)
    real = kline_files.daily("BTCUSDT")
    inside = [k for k in real if ms(2017, 10, 1) <= k[0] <= ms(2017, 10, 31)]
    answer = ([at(real[0], ms(1678, 1, 1))] + inside + [inside[5]]  # a repeat would double a volume
              + [at(real[1], ms(2356, 1, 1))])
    if source == "exchange":
        exchange.misbehave("BTCUSDT", "1d", lambda query: answer)
    else:
        feed.binance_client = _OwnClient(answer)

    result = feed.get_daily_historical_data_for_cryptocurrencies(["BTCUSDT"], start, end, n_jobs=1)

    expected = load_ohlcv(DAILY, ["BTCUSDT"], start=start, end=end)
    assert len(result) == 31
    assert list(result.index.strftime("%Y-%m-%d")) == list(expected.index.strftime("%Y-%m-%d"))
    np.testing.assert_allclose(result.to_numpy(), expected.to_numpy(), rtol=1e-12)


@pytest.mark.parametrize(
    "answer",
    [
        lambda k: {"code": -1, "msg": "no klines here"},
        lambda k: [k[:11]],
        lambda k: [at(k, str(k[0]))],
        lambda k: [at(k, float(k[0]))],
        lambda k: [at(k, True)],
    ],
    ids=["an object", "eleven values", "open time as text", "open time as float", "open time as bool"],
)
def test_an_answer_that_is_no_list_of_klines_fails_only_its_symbol(exchange, kline_files, feed, caplog, answer):
    start, end = dt.datetime(2017, 10, 1), dt.datetime(2017, 10, 31)
    real = kline_files.daily("BTCUSDT")
    exchange.serve("BTCUSDT", "1d", real)
    inside = [k for k in real if ms(2017, 10, 1) <= k[0] <= ms(2017, 10, 31)]
    exchange.misbehave("BADUSDT", "1d", lambda query: answer(inside[3]))

    result = feed.get_daily_historical_data_for_cryptocurrencies(["BTCUSDT", "BADUSDT"], start, end, n_jobs=1)

    assert warnings(caplog) == [failed("BADUSDT")]
    assert [c for c in result.columns if c.startswith("BAD")] == []
    assert len(result) == 31


def _headers(handler):
    handler.send_response(200)
    handler.send_header("Content-Type", "application/json")
    handler.end_headers()
    handler.wfile.flush()


def trickling(handler):
    """A kline answer that comes one byte every 50 ms (for 20 s at most)."""
    _headers(handler)
    release, until = handler.server.state.release, time.monotonic() + 20
    try:
        while not release.wait(0.05) and time.monotonic() < until:
            handler.wfile.write(b" ")
            handler.wfile.flush()
    except OSError:  # the client has gone
        pass


def endless(handler):
    """A kline answer without end (64 MB at most)."""
    _headers(handler)
    row = b'[1506816000000,"1","1","1","1","1",1506902399999,"1",1,"1","1","0"],' * 1000
    try:
        handler.wfile.write(b"[")
        for _ in range((64 << 20) // len(row)):
            if handler.server.state.release.is_set():
                return
            handler.wfile.write(row)
    except OSError:
        pass


@pytest.mark.parametrize("answer", [trickling, endless])
def test_a_kline_answer_past_the_page_bounds_fails_only_its_symbol(exchange, feed, caplog, monkeypatch, answer):
    monkeypatch.setattr(coinfeed, "PAGE_TIMEOUT", 0.5)
    monkeypatch.setattr(coinfeed, "PAGE_MAX_BYTES", 256 * 1024)
    exchange.misbehave("BADUSDT", "1d", lambda query: answer)
    convert_ts_str("01 Oct, 2017")  # the date parser's first call loads its languages: not timed
    shared = {"BADUSDT": "untouched"}

    tracemalloc.start()
    began = time.monotonic()
    try:
        getattr(feed, JOB)(shared, ["BADUSDT"], 0, "1d", "01 Oct, 2017", "31 Oct, 2017")
        elapsed = time.monotonic() - began
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()

    assert shared == {"BADUSDT": "untouched"}
    assert warnings(caplog) == [failed("BADUSDT")]
    # The server would go on for 20 s or 64 MB; generous margins keep this free of timing.
    assert elapsed < 5.0
    assert peak < 32 << 20


def make_feed(exchange):
    return Coinfeed("key", "secret")


def ask_exchange_info(exchange):
    feed = Coinfeed("key", "secret")
    return feed.binance_client.get_exchange_info()


@pytest.mark.parametrize(
    "call, path",
    [(make_feed, "/api/v3/ping"), (ask_exchange_info, "/api/v3/exchangeInfo")],
    ids=["constructor's ping", "later request"],
)
@pytest.mark.parametrize(
    "answer, error, match",
    [
        (trickling, requests.exceptions.Timeout, "PAGE_TIMEOUT"),
        (endless, requests.exceptions.RequestException, "PAGE_MAX_BYTES"),
    ],
    ids=["trickling", "endless"],
)
def test_every_request_of_the_client_is_bounded_like_a_page(
        exchange, monkeypatch, call, path, answer, error, match):
    """The client's own session waits per read and reads any length: an endless ping once
    grew the process to gigabytes, a trickling one held the constructor past a minute."""
    monkeypatch.setattr(coinfeed, "PAGE_TIMEOUT", 0.5)
    monkeypatch.setattr(coinfeed, "PAGE_MAX_BYTES", 256 * 1024)
    exchange.writers[path] = answer

    tracemalloc.start()
    began = time.monotonic()
    try:
        with pytest.raises(error, match=match) as raised:
            call(exchange)
        elapsed = time.monotonic() - began
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()

    assert path in str(raised.value)
    # The server would go on for 20 s or 64 MB; generous margins keep this free of timing.
    assert elapsed < 5.0
    assert peak < 32 << 20


def test_a_worker_whose_ping_trickles_gives_up_within_the_bounds(exchange, feed, monkeypatch):
    """Each worker makes its own client and pings again, at the settings of the caller."""
    monkeypatch.setattr(coinfeed, "PAGE_TIMEOUT", 0.5)
    exchange.writers["/api/v3/ping"] = trickling
    symbols = ["AUSDT", "BUSDT", "CUSDT", "DUSDT"]

    began = time.monotonic()
    with pytest.raises(TypeError, match="No kline data"):
        feed.get_daily_historical_data_for_cryptocurrencies(
            symbols, dt.datetime(2019, 1, 1), dt.datetime(2019, 1, 31), n_jobs=2)
    elapsed = time.monotonic() - began

    assert exchange.paths("/api/v3/ping")  # the workers did ping
    assert exchange.paths("/api/v3/klines") == []
    # Unbounded, each of the two workers would wait 20 s for each of its two jobs.
    assert elapsed < 20.0
