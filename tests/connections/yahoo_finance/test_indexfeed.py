"""Index feed tests, offline.

The encyclopedia articles come from a local HTTP server on 127.0.0.1 at their real paths (the
saved S&P 500 list from tests/data, hand-made pages for the other three with decoy tables
in front of and behind the constituent table). `yf.download` is replaced by `FakeYahoo`, which
answers from per-ticker daily histories and assembles them the way yfinance 1.x does: two
column levels Price/Ticker sorted by field then ticker, tickers upper-cased and de-duplicated,
a zone-less index "Date", a failed ticker as all-NaN columns including "Adj Close", zero rows
when every ticker fails. One test checks that layout against the real `yf.download`.
"""

import datetime
import http.server
import logging
import pickle
import socket
import threading
from collections import Counter
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
import requests
import yfinance as yf

import velmora.connections.yahoo_finance.indexfeed as indexfeed
from velmora.connections.yahoo_finance.indexfeed import Indexfeed
from velmora.utils.inference.inference import Inference
from support.market_data import load_security, read_data_text, require_shared_data, SP500_CLEAN

PAGES = Path(__file__).parent / "pages"

PATHS = {
    "FTSE100_PAGE_URL": "/wiki/FTSE_100_Index",
    "SP500_PAGE_URL": "/wiki/List_of_S%26P_500_companies",
    "NIFTY50_PAGE_URL": "/wiki/NIFTY_50",
    "STI_PAGE_URL": "/wiki/Straits_Times_Index",
}

PRICE_FIELDS = ["Open", "High", "Low", "Close", "Volume"]


class _Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        server = self.server
        server.requests.append({"path": self.path, "headers": dict(self.headers)})
        body = server.pages.get(self.path)
        if body is None:
            self.send_response(404)
            self.end_headers()
            return
        data = body.encode("utf-8")
        self.send_response(200)
        self.send_header("Content-Type", "text/html; charset=UTF-8")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def log_message(self, *args):
        pass


@pytest.fixture(scope="session")
def _http_server():
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), _Handler)
    server.daemon_threads = True
    server.requests = []
    server.pages = {}
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    yield server
    server.shutdown()
    server.server_close()


class PageServer:
    def __init__(self, server):
        self._server = server
        self.base = f"http://127.0.0.1:{server.server_address[1]}"

    @property
    def requests(self):
        return self._server.requests

    def serve(self, path, html):
        self._server.pages[path] = html


@pytest.fixture
def page_server(_http_server, monkeypatch):
    """The four articles at their real paths; the module's page addresses point here."""
    _http_server.requests.clear()
    _http_server.pages.clear()
    sp500 = require_shared_data() / "pages" / "wikipedia_List_of_SP500_companies_2022-11-10.html"
    _http_server.pages[PATHS["SP500_PAGE_URL"]] = read_data_text(sp500)
    for path in ("/wiki/FTSE_100_Index", "/wiki/NIFTY_50", "/wiki/Straits_Times_Index"):
        _http_server.pages[path] = (PAGES / (path.rsplit("/", 1)[1] + ".html")).read_text(encoding="utf-8")
    server = PageServer(_http_server)
    for setting, path in PATHS.items():
        monkeypatch.setattr(indexfeed, setting, server.base + path)
    return server


def empty_history(index=None):
    """What yfinance keeps for a ticker whose download failed."""
    frame = pd.DataFrame(index=index if index is not None else [],
                         data={f: np.nan for f in ["Open", "High", "Low", "Close", "Adj Close", "Volume"]})
    frame.index.name = "Date"
    return frame


def yahoo_layout(per_ticker):
    """Assemble per-ticker histories (None for a failure) as yfinance 1.x `download` does."""
    frames = {t: (f if f is not None and len(f) else empty_history()) for t, f in per_ticker.items()}
    index = None
    for frame in frames.values():
        if len(frame):
            frame.index = frame.index.tz_localize(None)
            index = frame.index if index is None else index.union(frame.index)
    if index is None:
        index = pd.DatetimeIndex([])
    frames = {t: f.reindex(index) for t, f in frames.items()}
    data = pd.concat(frames.values(), axis=1, sort=True, keys=frames.keys(), names=["Ticker", "Price"])
    data.columns = data.columns.swaplevel(0, 1)
    return data.sort_index(level=0, axis=1)


def history_frame(frame, start=None, end=None):
    """A per-ticker daily history (Open ... Volume, float64, zone-aware "Date" index)."""
    out = frame.copy()
    if start is not None:
        out = out[out.index >= pd.Timestamp(start)]
    if end is not None:
        out = out[out.index < pd.Timestamp(end)]
    out.index = pd.DatetimeIndex(out.index).tz_localize("America/New_York")
    out.index.name = "Date"
    return out


class FakeYahoo:
    """Answers `download(tickers, start=..., end=...)` from known histories."""

    def __init__(self):
        self.histories = {}
        self.calls = []
        self.error = None

    def add(self, ticker, frame):
        """`frame`: columns Open, High, Low, Close, Volume on a zone-less daily index."""
        self.histories[ticker.upper()] = frame[PRICE_FIELDS].astype("float64")

    def history(self, ticker, start=None, end=None):
        known = self.histories.get(ticker.upper())
        return None if known is None else history_frame(known, start, end)

    def download(self, tickers, *args, **kwargs):
        self.calls.append({"tickers": list(tickers), "args": args, "kwargs": kwargs})
        if self.error is not None:
            raise self.error
        start, end = kwargs.get("start"), kwargs.get("end")
        wanted = list(set(t.upper() for t in tickers))
        return yahoo_layout({t: self.history(t, start, end) for t in wanted})


@pytest.fixture
def yahoo(monkeypatch):
    fake = FakeYahoo()
    monkeypatch.setattr(yf, "download", fake.download)
    return fake


def synthetic_history(n_rows, seed=0, start="2020-01-01"):
    rng = np.random.default_rng(seed)
    close = 50.0 * np.exp(np.cumsum(rng.normal(0, 0.01, n_rows)))
    index = pd.bdate_range(start, periods=n_rows)
    return pd.DataFrame({
        "Open": close * (1 + rng.normal(0, 0.002, n_rows)),
        "High": close * 1.01,
        "Low": close * 0.99,
        "Close": close,
        "Volume": rng.integers(1_000, 100_000, n_rows).astype("float64"),
    }, index=index)

BANNER = "-" * 29 + "YAHOO FINANCE DOWNLOADING FAILED | PLEASE TRY AGAIN" + "-" * 29
SUFFIXES = ("_open", "_high", "_low", "_close", "_volume")

FTSE = "get_daily_historical_data_for_uk_FTSE100"
SP500 = "get_daily_historical_data_for_us_SP500"
NIFTY = "get_daily_historical_data_for_india_NIFTY50"
STI = "get_daily_historical_data_for_singapore_STI"


def assert_valid_ohclv(frame):
    assert isinstance(frame, pd.DataFrame) and len(frame) > 0
    names = Inference().infer_securities_from_OHCLV_df(frame)
    assert len(set(names)) == len(names)
    expected = Counter(name + suffix for name in names for suffix in SUFFIXES)
    assert Counter(frame.columns) == expected
    assert all(np.issubdtype(dtype, np.floating) for dtype in frame.dtypes)
    assert not frame.isna().any().any()
    assert isinstance(frame.index, pd.DatetimeIndex)
    assert frame.index.is_monotonic_increasing and frame.index.is_unique
    return names


def titled(frame):
    return frame.rename(columns=str.title)


def banners(caplog):
    return [r for r in caplog.records if r.getMessage() == BANNER]


@pytest.fixture
def caplog_info(caplog):
    caplog.set_level(logging.INFO, logger=" ")
    return caplog


# ---------------------------------------------------------------- constituents

@pytest.mark.parametrize(
    "method, expected",
    [
        # the table's share class BT.A in Yahoo's spelling
        (FTSE, ["AAL.L", "AZN.L", "BARC.L", "BT-A.L", "CCH.L", "GSK.L", "HSBA.L", "ITV.L"]),
        (NIFTY, ["ADANIENT.NS", "ASIANPAINT.NS", "BAJAJ-AUTO.NS", "HDFCBANK.NS", "INFY.NS",
                 "M&M.NS", "RELIANCE.NS", "TCS.NS"]),
        (STI, ["D05.SI", "O39.SI", "U11.SI", "Z74.SI", "C6L.SI", "BN4.SI"]),
    ],
)
def test_scrapes_the_constituent_table(page_server, yahoo, method, expected):
    for i, ticker in enumerate(expected):
        yahoo.add(ticker, synthetic_history(30, seed=i))
    frame = getattr(Indexfeed(), method)(start="2020-01-01", end="2021-01-01")
    assert yahoo.calls[-1]["tickers"] == expected
    assert yahoo.calls[-1]["args"] == ()
    assert yahoo.calls[-1]["kwargs"] == {"start": "2020-01-01", "end": "2021-01-01"}
    names = assert_valid_ohclv(frame)
    assert sorted(names) == sorted(t.replace(".", "_") for t in expected)
    assert [r["path"] for r in page_server.requests] == [PATHS[{
        FTSE: "FTSE100_PAGE_URL", NIFTY: "NIFTY50_PAGE_URL", STI: "STI_PAGE_URL"}[method]]]


def test_sp500_from_the_saved_article_with_real_bars(page_server, yahoo):
    symbols = ["AAPL", "JPM", "KO", "XOM", "MSFT"]
    for symbol in symbols:
        yahoo.add(symbol, titled(load_security(SP500_CLEAN, symbol)))
    # The share classes, which the page writes BRK.B and BF.B and Yahoo knows only as BRK-B
    # and BF-B (stand-in bars: the saved data has neither).
    yahoo.add("BRK-B", titled(load_security(SP500_CLEAN, "BAC")))
    yahoo.add("BF-B", titled(load_security(SP500_CLEAN, "CAT")))
    frame = Indexfeed().get_daily_historical_data_for_us_SP500(
        datetime.datetime(2012, 1, 1), datetime.datetime(2014, 1, 1))

    tickers = yahoo.calls[-1]["tickers"]
    assert len(tickers) == 503 and tickers[:3] == ["MMM", "AOS", "ABT"]
    assert "BRK-B" in tickers and "BF-B" in tickers
    assert all("\n" not in t and "." not in t for t in tickers)

    names = assert_valid_ohclv(frame)
    downloaded = sorted(symbols + ["BRK-B", "BF-B"])
    assert sorted(names) == downloaded
    # field-major, as downloaded: fields sorted, then tickers
    assert list(frame.columns[:7]) == [f"{n}_close" for n in downloaded]
    np.testing.assert_array_equal(frame["BRK-B_close"].to_numpy(),
                                  load_security(SP500_CLEAN, "BAC").loc["2012-01-01":"2013-12-31", "close"].to_numpy())
    assert frame.index.name == "Date" and frame.index.tz is None
    assert frame.index[0] == pd.Timestamp("2012-01-03")
    ko = load_security(SP500_CLEAN, "KO").loc["2012-01-01":"2013-12-31"]
    np.testing.assert_array_equal(frame["KO_close"].to_numpy(), ko["close"].to_numpy())
    np.testing.assert_array_equal(frame["KO_volume"].to_numpy(), ko["volume"].to_numpy())


def test_ftse_with_real_bars_drops_failed_and_late_members(page_server, yahoo):
    for symbol in ["AAL.L", "AZN.L", "BARC.L", "CCH.L", "GSK.L", "HSBA.L", "ITV.L"]:
        yahoo.add(symbol, titled(load_security("ftse100_2013-2017", symbol)))
    # The table writes the share class BT.A; it is requested as Yahoo spells it, BT-A.L.
    yahoo.add("BT-A.L", titled(load_security("ftse100_2013-2017", "BT-A.L")))
    # CCH.L starts on 2013-04-29, well under half of these rows.
    frame = Indexfeed().get_daily_historical_data_for_uk_FTSE100("2013-01-01", "2013-06-15")
    names = assert_valid_ohclv(frame)
    assert sorted(names) == ["AAL_L", "AZN_L", "BARC_L", "BT-A_L", "GSK_L", "HSBA_L", "ITV_L"]
    assert frame.index[0] == pd.Timestamp("2013-02-25")


# ---------------------------------------------------------------- cleaning

def cleaning_case(n_rows, first_close_row, first_volume_row):
    """A (n_rows) download: A complete, B's close and C's volume starting late, D failed."""
    index = pd.bdate_range("2021-03-01", periods=n_rows)
    a = synthetic_history(n_rows, seed=1).set_axis(index)
    b = synthetic_history(n_rows, seed=2).set_axis(index)
    c = synthetic_history(n_rows, seed=3).set_axis(index)
    b.iloc[:first_close_row, b.columns.get_loc("Close")] = np.nan
    c.iloc[:first_volume_row, c.columns.get_loc("Volume")] = np.nan
    # a hole inside a column is filled from the day before
    a.iloc[n_rows - 2, a.columns.get_loc("Open")] = np.nan
    per_ticker = {"A.X": history_frame(a), "B": history_frame(b), "C": history_frame(c), "D": None}
    return yahoo_layout(per_ticker), a, b


@pytest.mark.parametrize(
    "n_rows, first_close_row, first_volume_row, kept, first_row",
    [
        # T = 5 of 10 rows: five present values stay, four go
        (10, 5, 0, ["A_X", "B", "C"], 5),
        (10, 5, 6, ["A_X", "B"], 5),
        (10, 6, 0, ["A_X", "C"], 0),
        # T = 4 of 9 rows
        (9, 5, 0, ["A_X", "B", "C"], 5),
        (9, 6, 6, ["A_X"], 0),
    ],
)
def test_cleaning(page_server, yahoo, monkeypatch, n_rows, first_close_row, first_volume_row,
                  kept, first_row):
    download, a, b = cleaning_case(n_rows, first_close_row, first_volume_row)
    assert "Adj Close" in download.columns.get_level_values(0)
    monkeypatch.setattr(yf, "download", lambda tickers, **kw: download.copy())
    frame = Indexfeed().get_daily_historical_data_for_us_SP500()
    names = assert_valid_ohclv(frame)
    assert sorted(names) == kept
    # field-major in download order, no adjusted close, a security only ever whole
    assert list(frame.columns) == [f"{n}_{f}" for f in ("close", "high", "low", "open", "volume")
                                   for n in kept]
    # the frame starts on the latest first day of the kept columns
    assert list(frame.index) == list(download.index[first_row:])
    assert frame["A_X_open"].iloc[-2] == a["Open"].iloc[n_rows - 3]


# ---------------------------------------------------------------- failures

def sti_page(cell):
    return ("<html><body>" + "<table><tr><td>x</td></tr></table>" * 3 +
            f"<table><tr><th>Stock symbol</th></tr><tr><td>{cell}</td></tr></table></body></html>")


@pytest.mark.parametrize(
    "cell, expected",
    [
        ("SGX: D05\n", ["D05.SI"]),
        ("SGX D05 Holdings", ["D05"]),  # three words: the middle one, without the suffix
        ("\nSGX:\n D05", ["D05.SI"]),  # newlines go before the split
    ],
)
def test_sti_cell_split(page_server, yahoo, cell, expected):
    page_server.serve(PATHS["STI_PAGE_URL"], sti_page(cell))
    yahoo.add(expected[0], synthetic_history(10))
    assert Indexfeed().get_daily_historical_data_for_singapore_STI() is not None
    assert yahoo.calls[-1]["tickers"] == expected


def closed_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def fail_refused(server, yahoo, monkeypatch):
    monkeypatch.setattr(indexfeed, "FTSE100_PAGE_URL", f"http://127.0.0.1:{closed_port()}/wiki/x")


def fail_too_few_tables(server, yahoo, monkeypatch):
    server.serve(PATHS["FTSE100_PAGE_URL"], "<html><body><table><tr><td>a</td><td>b</td></tr></table></body></html>")


def fail_not_found(server, yahoo, monkeypatch):
    monkeypatch.setattr(indexfeed, "FTSE100_PAGE_URL", server.base + "/wiki/Missing")


def fail_short_row(server, yahoo, monkeypatch):
    page = (PAGES / "FTSE_100_Index.html").read_text(encoding="utf-8")
    row = '<tr><td><a href="/wiki/ITV_plc">ITV</a></td><td>ITV\n</td><td>Media</td></tr>'
    assert row in page
    server.serve(PATHS["FTSE100_PAGE_URL"], page.replace(row, "<tr><td>ITV only</td></tr>"))


def fail_download_raises(server, yahoo, monkeypatch):
    yahoo.error = RuntimeError("rate limited")


def fail_every_ticker(server, yahoo, monkeypatch):
    pass  # no histories known: yfinance returns zero rows without raising


def fail_all_sparse(server, yahoo, monkeypatch):
    # Two late starters under half the 40 rows, and a full-length one without volumes.
    full = synthetic_history(40)
    full["Volume"] = np.nan
    yahoo.add("AAL.L", full)
    yahoo.add("AZN.L", full.iloc[30:].fillna(1.0))
    yahoo.add("BARC.L", full.iloc[21:].fillna(1.0))


def fail_single_level(server, yahoo, monkeypatch):
    monkeypatch.setattr(yf, "download", lambda tickers, **kw: synthetic_history(10))


@pytest.mark.parametrize("make_it_fail", [
    fail_refused, fail_too_few_tables, fail_not_found, fail_short_row, fail_download_raises,
    fail_every_ticker, fail_all_sparse, fail_single_level])
def test_failure_gives_none_and_one_banner(page_server, yahoo, monkeypatch, caplog_info, make_it_fail):
    make_it_fail(page_server, yahoo, monkeypatch)
    assert Indexfeed().get_daily_historical_data_for_uk_FTSE100("2020-01-01", "2020-12-31") is None
    assert len(banners(caplog_info)) == 1
    assert banners(caplog_info)[0].levelno == logging.INFO


def test_sti_cell_without_a_blank_fails(page_server, yahoo, caplog_info):
    page_server.serve(PATHS["STI_PAGE_URL"], sti_page("D05"))
    assert Indexfeed().get_daily_historical_data_for_singapore_STI() is None
    assert len(banners(caplog_info)) == 1 and yahoo.calls == []


def test_interrupt_is_not_a_download_failure(page_server, yahoo, caplog_info):
    yahoo.error = KeyboardInterrupt()
    with pytest.raises(KeyboardInterrupt):
        Indexfeed().get_daily_historical_data_for_us_SP500()
    assert banners(caplog_info) == []


# ---------------------------------------------------------------- arguments, defaults, fetch

def test_argument_errors_raise_before_any_request(page_server, yahoo):
    feed = Indexfeed()
    for method in (FTSE, SP500, NIFTY, STI):
        with pytest.raises(TypeError):
            getattr(feed, method)("2020-01-01", "2020-02-01", "extra")
        with pytest.raises(TypeError):
            getattr(feed, method)(begin="2020-01-01")
    assert page_server.requests == [] and yahoo.calls == []


def test_defaults_are_fixed_at_import(page_server, yahoo):
    yahoo.add("D05.SI", synthetic_history(10))
    feed = Indexfeed()
    feed.get_daily_historical_data_for_singapore_STI()
    feed.get_daily_historical_data_for_singapore_STI(end="2021-01-01")
    feed.get_daily_historical_data_for_singapore_STI()
    first, given, again = (call["kwargs"] for call in yahoo.calls)
    assert first["start"] == datetime.datetime(1995, 5, 22) and first["start"].tzinfo is None
    assert isinstance(first["end"], datetime.datetime) and first["end"].tzinfo is None
    assert first["end"] <= datetime.datetime.now()
    assert again == first and given == {"start": first["start"], "end": "2021-01-01"}


def test_page_fetch_sends_user_agent_and_timeout(page_server, yahoo, monkeypatch):
    seen = []
    real_get = requests.get

    def spy(url, *args, **kwargs):
        seen.append((url, args, kwargs))
        return real_get(url, *args, **kwargs)

    monkeypatch.setattr(requests, "get", spy)
    monkeypatch.setattr(indexfeed, "USER_AGENT", "velmora-test-agent")
    monkeypatch.setattr(indexfeed, "PAGE_TIMEOUT", 7.5)
    Indexfeed().get_daily_historical_data_for_india_NIFTY50()
    (url, args, kwargs), = seen
    assert url == page_server.base + "/wiki/NIFTY_50" and args == ()
    assert kwargs["timeout"] == 7.5
    assert page_server.requests[-1]["headers"]["User-Agent"] == "velmora-test-agent"


def test_default_addresses_are_the_encyclopedia_articles():
    base = "https://en.wikipedia.org"
    for setting, path in PATHS.items():
        assert getattr(indexfeed, setting) == base + path
    assert isinstance(indexfeed.USER_AGENT, str) and indexfeed.USER_AGENT
    assert indexfeed.PAGE_TIMEOUT > 0


def test_stateless_object():
    feed = Indexfeed("ignored", 2, also="ignored")
    with pytest.raises(TypeError):
        pickle.dumps(feed)
    with pytest.raises(TypeError):
        feed.__setstate__({})

    class Mine(Indexfeed):
        def get_daily_historical_data_for_us_SP500(self, start=None, end=None):
            return "overridden"

    assert Mine().get_daily_historical_data_for_us_SP500() == "overridden"


# ---------------------------------------------------------------- the fake's layout

@pytest.mark.filterwarnings("ignore:The inplace keyword")  # inside yfinance, on pandas 3.1
def test_fake_download_layout_matches_yfinance(monkeypatch):
    """The real yf.download, with only its per-ticker history faked, assembles the same frame."""
    import yfinance.multi as multi

    if not hasattr(multi, "Ticker"):
        pytest.skip("yfinance no longer downloads through yfinance.multi.Ticker")
    yahoo = FakeYahoo()
    yahoo.add("KO", titled(load_security(SP500_CLEAN, "KO")))
    yahoo.add("PEP", titled(load_security(SP500_CLEAN, "PEP")).iloc[100:])

    class FakeTicker:
        def __init__(self, ticker, *args, **kwargs):
            self.ticker = ticker
            self._price_history = None

        def history(self, start=None, end=None, **kwargs):
            frame = yahoo.history(self.ticker, start, end)
            if frame is None:
                raise ValueError(f"{self.ticker}: possibly delisted")
            return frame

    monkeypatch.setattr(multi, "Ticker", FakeTicker)
    for tickers in (["ko", "PEP", "NOPE", "KO"], ["NOPE"]):
        assembled = yf.download(tickers, start="2011-01-01", end="2011-07-01", progress=False)
        expected = yahoo.download(tickers, start="2011-01-01", end="2011-07-01")
        pd.testing.assert_frame_equal(assembled, expected, check_freq=False)
