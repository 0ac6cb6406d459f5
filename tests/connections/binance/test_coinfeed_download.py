"""Kline download and cleaning, with the real python-binance client against the local exchange.

Most downloads run with n_jobs=1 (jobs in this process, so caplog sees their warnings); the
worker-process runs check that rebuilt feeds in fresh loky workers reach the same exchange
and give the same frame.
"""

import datetime as dt
import logging
import multiprocessing

import pandas as pd
import pytest

from velmora.connections.binance.coinfeed import Coinfeed
from velmora.utils.inference.inference import Inference
from support.market_data import load_ohlcv

DAILY = "binance_spot_1d_12field_2017-2023"
FIELDS = ("open", "high", "low", "close", "volume")
BEGIN = "-" * 29 + "BEGINNING BINANCE DOWNLOAD" + "-" * 29
END = "-" * 29 + "COMPLETED BINANCE DOWNLOAD" + "-" * 29


def failed(symbol):
    return "-" * 29 + f"DOWNLOAD FAILED FOR {symbol}" + "-" * 29


def ms(day):
    return int(pd.Timestamp(day, tz="UTC").value // 1_000_000)


def assert_valid_ohclv(frame, rule):
    """The frame contract of the crypto feed: five float64 columns per security, nothing
    else, no missing value, UTC open times named "datetime", one row for every bin."""
    names = [c[: -len("_close")] for c in frame.columns if c.endswith("_close")]
    assert sorted(frame.columns) == sorted(f"{n}_{f}" for n in names for f in FIELDS)
    assert (frame.dtypes == "float64").all()
    assert not frame.isna().any().any()
    index = frame.index
    assert isinstance(index, pd.DatetimeIndex) and str(index.tz) == "UTC"
    assert index.name == "datetime"
    assert index.is_unique and index.is_monotonic_increasing
    assert index.equals(pd.date_range(index[0], index[-1], freq=rule, unit=index.unit, name="datetime"))


def assert_same_bars(result, expected):
    expected = expected.copy()
    expected.index = expected.index.as_unit(result.index.unit)
    pd.testing.assert_frame_equal(result, expected, check_exact=False, rtol=1e-12, check_freq=False)


def frame_of(klines, symbol):
    """What one symbol's klines say, parsed independently of the feed."""
    index = pd.DatetimeIndex(pd.to_datetime([k[0] for k in klines], unit="ms", utc=True), name="datetime")
    return pd.DataFrame({f"{symbol}_{f}": [float(k[1 + i]) for k in klines] for i, f in enumerate(FIELDS)},
                        index=index)


def messages(caplog, level):
    return [r.getMessage() for r in caplog.records if r.levelno == level and r.name == " "]


@pytest.fixture
def feed(exchange):
    return Coinfeed("key", "secret")


@pytest.fixture
def daily_exchange(exchange, kline_files):
    for symbol in ("BTCUSDT", "ETHUSDT", "BNBUSDT"):
        exchange.serve(symbol, "1d", kline_files.daily(symbol))
    exchange.serve("EMPTYUSDT", "1d", [])  # listed, but without any kline
    return exchange


@pytest.mark.parametrize("n_jobs", [1, 2])
def test_daily_download_joins_symbols_in_request_order(daily_exchange, feed, caplog, n_jobs):
    caplog.set_level(logging.INFO)
    start, end = dt.datetime(2017, 10, 20), dt.datetime(2017, 12, 31)
    # BNB is listed on 6 Nov, inside the range: every security then starts there.
    result = feed.get_daily_historical_data_for_cryptocurrencies(
        ["ETHUSDT", "NOPEUSDT", "BTCUSDT", "BNBUSDT", "ETHUSDT"], start, end, n_jobs)

    names = ["ETHUSDT", "BTCUSDT", "BNBUSDT"]
    expected = load_ohlcv(DAILY, names, start=start, end=end).dropna()
    assert expected.index[0] == pd.Timestamp("2017-11-06", tz="UTC")
    assert_same_bars(result, expected)
    assert_valid_ohclv(result, "1D")
    assert Inference().infer_securities_from_OHCLV_df(result) == names
    assert messages(caplog, logging.INFO) == [BEGIN, END]
    if n_jobs == 1:  # worker processes log on their own
        assert messages(caplog, logging.WARNING) == [failed("NOPEUSDT")]


@pytest.mark.parametrize("n_jobs", [1, 2])
def test_minute_download_matches_the_exchange_reply(exchange, kline_files, feed, n_jobs):
    klines = kline_files.minute()
    exchange.serve("ADAUSDT", "1m", klines)
    result = feed.get_minute_historical_data_for_cryptocurrencies(
        ["ADAUSDT"], dt.datetime(2024, 11, 16), dt.datetime(2024, 11, 17), n_jobs=n_jobs)
    assert_same_bars(result, frame_of(klines, "ADAUSDT"))
    assert_valid_ohclv(result, "1min")
    assert Inference().infer_securities_from_OHCLV_df(result) == ["ADAUSDT"]


@pytest.mark.parametrize("minute", [False, True])
def test_missing_bars_repeat_the_last_prices_with_no_volume(exchange, kline_files, feed, minute):
    if minute:
        symbol, interval, klines = "ADAUSDT", "1m", kline_files.minute()
        dates, gone = (dt.datetime(2024, 11, 16), dt.datetime(2024, 11, 17)), [100, 101, 102, 250]
        download = feed.get_minute_historical_data_for_cryptocurrencies
    else:
        symbol, interval, klines = "BTCUSDT", "1d", kline_files.daily("BTCUSDT")[45:120]
        dates, gone = (dt.datetime(2017, 10, 1), dt.datetime(2017, 12, 31)), [20, 21, 40]
        download = feed.get_daily_historical_data_for_cryptocurrencies
    expected = frame_of(klines, symbol)
    prices = [f"{symbol}_{f}" for f in FIELDS[:4]]
    expected.iloc[gone, :4] = float("nan")
    expected[prices] = expected[prices].ffill()
    expected.iloc[gone, 4] = 0.0
    exchange.serve(symbol, interval, [k for i, k in enumerate(klines) if i not in gone])

    result = download([symbol], *dates, n_jobs=1)
    assert_same_bars(result, expected)
    assert_valid_ohclv(result, "1min" if minute else "1D")


@pytest.mark.parametrize(
    "start, bnb_kept",
    [
        # 6 Oct .. 31 Dec is 87 days: int(87 * 0.66) = 57 > BNB's 56 days
        (dt.datetime(2017, 10, 6), False),
        # 7 Oct .. 31 Dec is 86 days: int(86 * 0.66) = 56, exactly BNB's 56 days
        (dt.datetime(2017, 10, 7), True),
        (dt.datetime(2017, 10, 1), False),
    ],
)
def test_a_late_listing_is_judged_on_its_own_coverage(daily_exchange, feed, caplog, start, bnb_kept):
    end = dt.datetime(2017, 12, 31)
    order = ["BTCUSDT", "BNBUSDT", "ETHUSDT"]
    result = feed.get_daily_historical_data_for_cryptocurrencies(order, start, end, n_jobs=1)

    kept = order if bnb_kept else ["BTCUSDT", "ETHUSDT"]
    expected = load_ohlcv(DAILY, kept, start=start, end=end).dropna()
    assert_same_bars(result, expected)
    assert_valid_ohclv(result, "1D")
    dropped = [m for m in messages(caplog, logging.WARNING) if "BNBUSDT" in m]
    assert bool(dropped) is not bnb_kept


def test_a_long_history_is_read_page_by_page(daily_exchange, feed):
    start, end = dt.datetime(2018, 1, 1), dt.datetime(2020, 12, 31)
    result = feed.get_daily_historical_data_for_cryptocurrencies(["BTCUSDT"], start, end, n_jobs=1)
    assert_same_bars(result, load_ohlcv(DAILY, ["BTCUSDT"], start=start, end=end))
    pages = [q for q in daily_exchange.paths("/api/v3/klines") if q["startTime"] != "0"]
    assert [q["startTime"] for q in pages] == [str(ms("2018-01-01")), str(ms("2018-01-01") + 1000 * 86_400_000)]


def test_only_the_dates_of_start_and_end_reach_the_exchange(daily_exchange, feed):
    start = dt.datetime(2017, 10, 20, 23, 45, tzinfo=dt.timezone(dt.timedelta(hours=-5)))
    end = dt.datetime(2017, 10, 25, 0, 30)
    result = feed.get_daily_historical_data_for_cryptocurrencies(["BTCUSDT"], start, end, n_jobs=1)
    page = [q for q in daily_exchange.paths("/api/v3/klines") if q["startTime"] != "0"]
    assert (page[0]["startTime"], page[0]["endTime"]) == (str(ms("2017-10-20")), str(ms("2017-10-25")))
    assert list(result.index) == list(pd.date_range("2017-10-20", "2017-10-25", tz="UTC"))


def test_a_symbol_with_a_value_that_is_no_number_is_left_out(daily_exchange, kline_files, feed, caplog):
    broken = kline_files.daily("ETHUSDT")
    broken[60][4] = "n/a"  # a close inside the range
    daily_exchange.serve("ETHUSDT", "1d", broken)
    start, end = dt.datetime(2017, 10, 1), dt.datetime(2017, 10, 31)
    result = feed.get_daily_historical_data_for_cryptocurrencies(["ETHUSDT", "BTCUSDT"], start, end, n_jobs=1)
    assert_same_bars(result, load_ohlcv(DAILY, ["BTCUSDT"], start=start, end=end))
    assert messages(caplog, logging.WARNING) == [failed("ETHUSDT")]


@pytest.mark.parametrize(
    "symbols, start, end, warnings",
    [
        ([], dt.datetime(2017, 10, 1), dt.datetime(2017, 10, 31), []),
        (["NOPEUSDT"], dt.datetime(2017, 10, 1), dt.datetime(2017, 10, 31), ["NOPEUSDT"]),
        # a listed symbol without klines has none in the range: left out without a warning
        (["EMPTYUSDT", "NOPEUSDT"], dt.datetime(2017, 10, 1), dt.datetime(2017, 10, 31), ["NOPEUSDT"]),
        # the same date twice, and a range after the history ends: no klines, no warning
        (["BTCUSDT"], dt.datetime(2017, 10, 1, 1), dt.datetime(2017, 10, 1, 22), []),
        (["BTCUSDT", "ETHUSDT"], dt.datetime(2024, 1, 1), dt.datetime(2024, 2, 1), []),
    ],
)
def test_nothing_downloaded_is_an_error_after_both_banners(daily_exchange, feed, caplog, symbols, start, end, warnings):
    caplog.set_level(logging.INFO)
    with pytest.raises(TypeError, match="No kline data was downloaded"):
        feed.get_daily_historical_data_for_cryptocurrencies(symbols, start, end, n_jobs=1)
    assert messages(caplog, logging.INFO) == [BEGIN, END]
    assert messages(caplog, logging.WARNING) == [failed(s) for s in warnings]
    if not symbols:
        assert daily_exchange.paths("/api/v3/klines") == []


def test_default_arguments_download_nothing(daily_exchange, feed):
    with pytest.raises(TypeError, match="No kline data was downloaded"):
        feed.get_minute_historical_data_for_cryptocurrencies()
    assert daily_exchange.paths("/api/v3/klines") == []


@pytest.mark.parametrize(
    "arguments, error",
    [
        ((["BTCUSDT"], "2017-10-01", dt.datetime(2017, 10, 31)), AttributeError),
        ((["BTCUSDT"], dt.datetime(2017, 10, 1), None), AttributeError),
        (({"BTCUSDT"}, dt.datetime(2017, 10, 1), dt.datetime(2017, 10, 31), 1), TypeError),  # not indexable
        ((["BTCUSDT"], dt.datetime(2017, 10, 1), dt.datetime(2017, 10, 31), 1, "extra"), TypeError),
    ],
)
def test_bad_arguments_fail_without_downloading(daily_exchange, feed, arguments, error):
    with pytest.raises(error):
        feed.get_daily_historical_data_for_cryptocurrencies(*arguments)
    assert daily_exchange.paths("/api/v3/klines") == []


def test_workers_download_with_their_own_rebuilt_feed(daily_exchange, feed, caplog):
    """A feed travels to worker processes as its key and secret: each copy makes its own
    client at the configured exchange, whatever the caller did to the original's client."""
    del feed.binance_client
    start, end = dt.datetime(2017, 11, 1), dt.datetime(2017, 11, 30)

    with pytest.raises(TypeError):
        feed.get_daily_historical_data_for_cryptocurrencies(["BTCUSDT", "ETHUSDT"], start, end, n_jobs=1)
    assert messages(caplog, logging.WARNING) == [failed("BTCUSDT"), failed("ETHUSDT")]

    pings = len(daily_exchange.paths("/api/v3/ping"))
    result = feed.get_daily_historical_data_for_cryptocurrencies(["BTCUSDT", "ETHUSDT"], start, end, n_jobs=2)
    assert_same_bars(result, load_ohlcv(DAILY, ["BTCUSDT", "ETHUSDT"], start=start, end=end))
    assert len(daily_exchange.paths("/api/v3/ping")) > pings
    assert feed.binance_client is None


SIX = ["BTCUSDT", "ETHUSDT", "BNBUSDT", "LTCUSDT", "TRXUSDT", "XRPUSDT"]


@pytest.fixture
def six_symbols(exchange, kline_files):
    for symbol in SIX:
        exchange.serve(symbol, "1d", kline_files.daily(symbol))
    return exchange


@pytest.fixture
def fresh_workers():
    """Worker processes started by this test, so that they write their log lines into the
    test's captured standard error (a worker keeps the stderr it was started with)."""
    from joblib.externals.loky import get_reusable_executor

    get_reusable_executor().shutdown(wait=True)
    yield
    get_reusable_executor().shutdown(wait=True)


def worker_warnings(capfd):
    """The messages of the warnings that workers logged (logging's default format there:
    level, logger name, message)."""
    lines = [line.split(":", 2) for line in capfd.readouterr().err.splitlines()]
    return [line[2] for line in lines if len(line) == 3 and line[:2] == ["WARNING", " "]]


def test_a_worker_that_cannot_make_its_client_loses_only_its_jobs_symbols(six_symbols, feed, fresh_workers, capfd):
    """An exchange that answers every other ping with HTTP 500 (as rate limits do) once broke
    the worker pool while a worker rebuilt its feed, and the whole download was lost."""
    start, end = dt.datetime(2019, 1, 1), dt.datetime(2019, 3, 31)
    six_symbols.fail_every_other_ping()
    before = len(six_symbols.ping_replies)

    result = feed.get_daily_historical_data_for_cryptocurrencies(SIX, start, end, n_jobs=2)

    replies = six_symbols.ping_replies[before:]
    failed_pings = replies.count(500)
    kept = Inference().infer_securities_from_OHCLV_df(result)
    lost = [s for s in SIX if s not in kept]
    # The first worker ping is refused; a refused ping costs its job's symbol, and the next
    # job of that worker tries again, so each of the (at most two) workers loses at most one.
    assert 1 <= failed_pings <= 2 and replies.count(200) <= 2
    assert len(lost) == failed_pings
    assert kept == [s for s in SIX if s in kept]  # request order
    assert_same_bars(result, load_ohlcv(DAILY, kept, start=start, end=end))
    assert sorted(worker_warnings(capfd)) == sorted(failed(s) for s in lost)


def test_a_worker_makes_one_client_for_all_its_jobs(six_symbols, feed, fresh_workers, capfd):
    start, end = dt.datetime(2019, 1, 1), dt.datetime(2019, 1, 31)
    before = len(six_symbols.paths("/api/v3/ping"))
    result = feed.get_daily_historical_data_for_cryptocurrencies(SIX, start, end, n_jobs=2)
    assert_same_bars(result, load_ohlcv(DAILY, SIX, start=start, end=end))
    assert 1 <= len(six_symbols.paths("/api/v3/ping")) - before <= 2  # one per worker, not per job
    assert worker_warnings(capfd) == []


def test_a_worker_that_cannot_rebuild_the_feed_warns_for_each_symbol(six_symbols, feed, fresh_workers, capfd, monkeypatch):
    """Nothing answers at the exchange's address: every worker fails to make its client, and
    the download ends as a download of nothing, not as a broken worker pool."""
    from velmora.connections.binance import coinfeed

    monkeypatch.setattr(coinfeed, "BINANCE_API_URL", "http://127.0.0.1:9/api")
    with pytest.raises(TypeError, match="No kline data was downloaded"):
        feed.get_daily_historical_data_for_cryptocurrencies(SIX[:3], dt.datetime(2018, 1, 1),
                                                            dt.datetime(2018, 1, 31), n_jobs=2)
    assert sorted(worker_warnings(capfd)) == sorted(failed(s) for s in SIX[:3])


def manager_processes():
    return [p for p in multiprocessing.active_children() if "Manager" in type(p).__name__ + p.name]


@pytest.mark.parametrize(
    "symbols, error",
    [
        (["BTCUSDT"], None),
        (["NOPEUSDT"], TypeError),  # nothing downloaded
        ({"BTCUSDT"}, TypeError),  # a job that raises out of the parallel run
    ],
)
def test_no_manager_process_outlives_a_download(daily_exchange, feed, symbols, error):
    # A failed run's traceback holds the jobs and with them the shared dictionary's proxy,
    # which would keep the manager's server process alive for as long as the error is kept.
    start, end = dt.datetime(2017, 11, 1), dt.datetime(2017, 11, 5)
    if error is None:
        feed.get_daily_historical_data_for_cryptocurrencies(symbols, start, end, n_jobs=1)
        assert manager_processes() == []
    else:
        with pytest.raises(error) as info:
            feed.get_daily_historical_data_for_cryptocurrencies(symbols, start, end, n_jobs=1)
        assert info.value.__traceback__ is not None
        assert manager_processes() == []
