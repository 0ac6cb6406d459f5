"""The Coinfeed object: its exchange client, the client property, pickling, subclassing, GC."""

import datetime as dt
import gc
import pickle
import weakref

import pytest
import requests
from binance.client import Client

import velmora.utils.pickling.rebuilds as rebuilds
from velmora.connections.binance import coinfeed
from velmora.connections.binance.coinfeed import Coinfeed

JOB = "__single_job__get_historical_data_for_single_currency"


@pytest.mark.parametrize(
    "args, kwargs",
    [(("my-key", "my-secret"), {}), ((), {"binance_api_secret": "my-secret", "binance_api_key": "my-key"})],
)
def test_client_is_made_from_key_and_secret_at_the_configured_exchange(exchange, args, kwargs):
    feed = Coinfeed(*args, **kwargs)
    client = feed.binance_client
    assert isinstance(client, Client)
    assert (client.API_KEY, client.API_SECRET) == ("my-key", "my-secret")
    (_, _, headers), = [r for r in exchange.requests if r[0] == "/api/v3/ping"]
    assert headers["X-MBX-APIKEY"] == "my-key"


def test_client_class_is_the_one_bound_in_the_module(monkeypatch):
    made = []

    class Recording:
        def __init__(self, **kwargs):
            made.append(kwargs)

        def ping(self):
            made.append(self.API_URL)

    monkeypatch.setattr(coinfeed, "Client", Recording)
    monkeypatch.setattr(coinfeed, "BINANCE_API_URL", "http://127.0.0.1:9/api")
    feed = Coinfeed("k", "s")
    assert isinstance(feed.binance_client, Recording)
    assert made[0]["api_key"] == "k" and made[0]["api_secret"] == "s"
    assert made[1] == "http://127.0.0.1:9/api"


@pytest.mark.parametrize("args, kwargs", [((), {}), (("k",), {}), (("k", "s", "x"), {}), ((), {"binance_api_key": "k"})])
def test_constructor_takes_exactly_a_key_and_a_secret(exchange, args, kwargs):
    with pytest.raises(TypeError):
        Coinfeed(*args, **kwargs)
    assert exchange.requests == []


def test_an_unreachable_exchange_fails_the_constructor(monkeypatch, refused_address):
    monkeypatch.setattr(coinfeed, "BINANCE_API_URL", refused_address + "/api")
    with pytest.raises(requests.exceptions.ConnectionError):
        Coinfeed("k", "s")


def test_client_property_reads_writes_and_deletes(exchange):
    feed = Coinfeed("k", "s")
    replacement = object()
    feed.binance_client = replacement
    assert feed.binance_client is replacement
    del feed.binance_client
    assert feed.binance_client is None
    assert not hasattr(feed, "binance_api_key") and not hasattr(feed, "binance_api_secret")


def test_a_pickled_feed_rebuilds_with_its_key_and_secret_and_a_new_client(exchange):
    feed = Coinfeed("k", "s")
    feed.binance_client = "set by the host"
    rebuild, args = feed.__reduce__()
    assert rebuild is rebuilds.rebuild_coinfeed and args == ("k", "s")

    copy = pickle.loads(pickle.dumps(feed))
    assert type(copy) is Coinfeed
    assert isinstance(copy.binance_client, Client)
    assert (copy.binance_client.API_KEY, copy.binance_client.API_SECRET) == ("k", "s")
    assert len(exchange.paths("/api/v3/ping")) == 2


class _CannedClient:
    def __init__(self, klines):
        self.klines = klines
        self.calls = []

    def get_historical_klines(self, **kwargs):
        self.calls.append(kwargs)
        return self.klines


def test_a_subclass_makes_its_own_client_and_runs_its_own_jobs(exchange, kline_files):
    klines = kline_files.daily("BTCUSDT")[40:50]
    jobs = []

    class OfflineFeed(Coinfeed):
        def initialize_binance_client(self):
            self.binance_client = _CannedClient(klines)

    def job(self, *args):
        jobs.append(args[2])
        return getattr(super(OfflineFeed, self), JOB)(*args)

    setattr(OfflineFeed, JOB, job)  # a name defined in a class body would be mangled

    feed = OfflineFeed("k", "s")
    assert exchange.requests == []  # the override made the client: no ping
    result = feed.get_daily_historical_data_for_cryptocurrencies(
        ["BTCUSDT", "ETHUSDT"], dt.datetime(2017, 9, 26, 8), dt.datetime(2017, 10, 5), n_jobs=1)
    assert jobs == [0, 1]
    assert feed.binance_client.calls == [
        {"symbol": s, "interval": "1d", "start_str": "26 Sep, 2017", "end_str": "05 Oct, 2017"}
        for s in ("BTCUSDT", "ETHUSDT")
    ]
    assert list(result.columns) == [f"{s}_{f}" for s in ("BTCUSDT", "ETHUSDT")
                                    for f in ("open", "high", "low", "close", "volume")]


def test_job_writes_its_symbol_or_warns_and_leaves_the_entry(exchange, kline_files, caplog):
    feed = Coinfeed("k", "s")
    feed.binance_client = _CannedClient(kline_files.daily("BTCUSDT")[:3])
    shared = {"BTCUSDT": "untouched"}
    assert getattr(feed, JOB)(shared, ["ETHUSDT", "BTCUSDT"], 1, "1d", "17 Aug, 2017", "19 Aug, 2017") is None
    assert list(shared["BTCUSDT"].columns) == [f"BTCUSDT_{f}" for f in ("open", "high", "low", "close", "volume")]
    assert shared["BTCUSDT"].index.name == "datetime" and shared["BTCUSDT"].index.tz is None

    feed.binance_client = _CannedClient([[1, "2"]])  # rows that are no klines
    shared = {"BTCUSDT": "untouched"}
    getattr(feed, JOB)(shared, ["BTCUSDT"], 0, "1d", "17 Aug, 2017", "19 Aug, 2017")
    assert shared == {"BTCUSDT": "untouched"}
    assert caplog.messages[-1] == "-" * 29 + "DOWNLOAD FAILED FOR BTCUSDT" + "-" * 29


def test_job_lets_interrupts_through(exchange):
    class Interrupting:
        def get_historical_klines(self, **kwargs):
            raise KeyboardInterrupt

    feed = Coinfeed("k", "s")
    feed.binance_client = Interrupting()
    with pytest.raises(KeyboardInterrupt):
        getattr(feed, JOB)({}, ["BTCUSDT"], 0, "1d", "17 Aug, 2017", "19 Aug, 2017")


def test_a_cycle_through_the_client_is_collected(exchange):
    class Holder:
        pass

    feed = Coinfeed("k", "s")
    holder = Holder()
    holder.feed = feed
    feed.binance_client = holder
    alive = weakref.ref(holder)
    del feed, holder
    gc.collect()
    assert alive() is None


def test_default_dates_run_from_22_may_1995_to_today(exchange, kline_files):
    feed = Coinfeed("k", "s")
    feed.binance_client = _CannedClient(kline_files.daily("BTCUSDT")[:5])
    feed.get_daily_historical_data_for_cryptocurrencies(["BTCUSDT"], n_jobs=1)
    feed.get_minute_historical_data_for_cryptocurrencies(["BTCUSDT"], n_jobs=1)
    today = dt.date.today()
    recent = {(today - dt.timedelta(days=d)).strftime("%d %b, %Y") for d in (0, 1)}
    for call in feed.binance_client.calls:
        assert call["start_str"] == "22 May, 1995"
        assert call["end_str"] in recent  # the moment of import: today, or yesterday near midnight
