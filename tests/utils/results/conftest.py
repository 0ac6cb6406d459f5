"""Fixtures for the Scorebook tests: records built from bar profits, an offline benchmark,
and a pandas/sklearn reference of the daily series and the seeded bootstrap."""

import logging
import types
import warnings

import matplotlib

matplotlib.use("Agg", force=True)

import empyrical  # noqa: E402
import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402
import pytest  # noqa: E402
import yfinance  # noqa: E402
from sklearn.utils import resample  # noqa: E402

from velmora.utils.results import scorebook as scorebook_module  # noqa: E402
from velmora.utils.results.scorebook import Scorebook  # noqa: E402

ARRAY_NAMES = [
    "positions_matrix_array",
    "positions_market_value_matrix_array",
    "change_in_positions_matrix_array",
    "change_in_positions_market_value_matrix_array",
    "securities_pnl_matrix_array",
    "commissions_matrix_array",
    "slippage_matrix_array",
    "securities_pnl_after_transaction_costs_matrix_array",
    "total_pnl_after_transaction_costs_array",
    "equity_value_array",
    "returns_after_transaction_costs_array",
    "cumprod_returns_after_transaction_costs_array",
]


def record_arguments(pnl, times, starting_equity=10_000.0, names=("A", "B"), seed=0, **overrides):
    """The sixteen keyword arguments of a consistent record with these bar profits."""
    pnl = np.asarray(pnl, dtype=np.float64)
    times = np.asarray(times, dtype="datetime64[ns]")
    n_bars, n_sec = len(pnl), len(names)
    rng = np.random.default_rng(seed)
    matrices = {name: rng.normal(size=(n_bars, n_sec)) for name in ARRAY_NAMES[:8]}
    # Costs and gross profit that add up to the net profit per bar.
    split = np.full((n_bars, n_sec), 1.0 / n_sec)
    matrices["securities_pnl_after_transaction_costs_matrix_array"] = pnl[:, None] * split
    matrices["commissions_matrix_array"] = np.abs(rng.normal(0, 0.5, (n_bars, n_sec)))
    matrices["slippage_matrix_array"] = np.abs(rng.normal(0, 0.5, (n_bars, n_sec)))
    matrices["securities_pnl_matrix_array"] = (
        matrices["securities_pnl_after_transaction_costs_matrix_array"]
        + matrices["commissions_matrix_array"]
        + matrices["slippage_matrix_array"]
    )
    equity = starting_equity + np.cumsum(pnl)
    with np.errstate(divide="ignore", invalid="ignore"):
        returns = pnl[1:] / equity[:-1]
    arguments = dict(
        starting_equity=starting_equity,
        securities_names_list=list(names),
        datetime_length=n_bars,
        datetime_array=times,
        **matrices,
        total_pnl_after_transaction_costs_array=pnl,
        equity_value_array=equity,
        returns_after_transaction_costs_array=returns,
        cumprod_returns_after_transaction_costs_array=np.cumprod(1 + returns),
    )
    arguments.update(overrides)
    return arguments


def hourly_record_arguments(days=30, start="2024-01-01", seed=1, drift=4.0, scale=60.0, **kw):
    times = pd.date_range(start, periods=24 * days, freq="h").values
    pnl = np.random.default_rng(seed).normal(drift, scale, len(times))
    return record_arguments(pnl, times, seed=seed, **kw)


def reference_daily(starting_equity, pnl, times):
    """The daily equity and returns as pandas computes them, and the number of days."""
    bars = pd.Series(np.asarray(pnl, dtype=float), index=pd.DatetimeIndex(times))
    daily = bars.resample("1D").sum()
    equity = daily.cumsum() + starting_equity
    returns = (daily / equity.shift()).dropna().replace([np.inf, -np.inf], np.nan).fillna(0)
    return equity, returns, len(daily)


def reference_final_values(x, count=10_000):
    """Final values of the 10000 seeded paths. sklearn's resample draws its indices with
    RandomState(seed).randint(0, n, n); drawing them directly keeps this fast, and a sample
    of seeds is checked against sklearn itself so the shortcut cannot drift from it."""
    x = np.asarray(x, dtype=np.float64)
    n = len(x)
    finals = np.empty(count)
    state = np.random.RandomState()
    for k in range(count):
        state.seed(69 + k)
        finals[k] = np.cumprod(1 + x[state.randint(0, n, size=n)])[-1]
    for k in list(range(0, count, count // 25)) + [count - 1]:
        assert finals[k] == np.cumprod(1 + resample(x, random_state=69 + k))[-1]
    return finals


def reference_selection(x, percentiles, finals=None):
    """(return rows, cumulative paths) chosen by first match in seed order, through sklearn."""
    finals = reference_final_values(x) if finals is None else finals
    rows, paths = [], []
    for p in percentiles:
        close = np.isclose(finals, np.percentile(finals, p), rtol=0.001, atol=0.001)
        if close.any():
            sample = resample(x, random_state=69 + int(np.argmax(close)))
            rows.append(sample)
            paths.append(np.cumprod(1 + sample))
    return rows, paths


def benchmark_frame(start, end, seed=3, two_levels=True):
    """A yfinance-shaped daily download of "VT" over business days in [start, end)."""
    index = pd.date_range(pd.Timestamp(start).normalize(), pd.Timestamp(end), freq="B", inclusive="left")
    index.name = "Date"
    close = 100 * np.exp(np.cumsum(np.random.default_rng(seed).normal(0, 0.01, len(index))))
    if two_levels:
        columns = pd.MultiIndex.from_product([["Close", "High"], ["VT"]], names=["Price", "Ticker"])
        return pd.DataFrame(np.column_stack([close, close * 1.01]), index=index, columns=columns)
    return pd.DataFrame({"Close": close, "High": close * 1.01}, index=index)


class FakeDownload:
    """Stands in for yfinance.download; counts calls and can fail or return nothing. A noisy
    one first reports as yfinance does offline: ERROR and WARNING lines on the "yfinance"
    logger, and a pandas deprecation warning."""

    def __init__(self, mode="two_levels", noisy=False):
        self.mode = mode
        self.noisy = noisy
        self.calls = []

    def __call__(self, ticker, start=None, end=None, progress=True, **kwargs):
        self.calls.append((ticker, start, end, progress))
        if self.noisy:
            log = logging.getLogger("yfinance")
            log.warning("Cookie/crumb fetch failed (DNSError), continuing without crumb")
            log.error("\n1 Failed download:")
            log.error("['%s']: DNSError('Could not resolve host')", ticker)
            warnings.warn("The inplace keyword in DataFrame.rename is deprecated", FutureWarning)
            warnings.warn("The inplace keyword in DataFrame.sort_index is deprecated", DeprecationWarning)
        if self.mode == "raise":
            raise ConnectionError("no network here")
        if self.mode == "empty":
            return pd.DataFrame()
        return benchmark_frame(start, end, two_levels=self.mode == "two_levels")


@pytest.fixture(autouse=True)
def fresh_benchmark_cache():
    scorebook_module._benchmark_cache.clear()
    yield
    scorebook_module._benchmark_cache.clear()


@pytest.fixture
def fake_download(monkeypatch):
    fake = FakeDownload()
    monkeypatch.setattr(yfinance, "download", fake)
    return fake


@pytest.fixture
def unraisable(monkeypatch):
    """Records what reaches sys.unraisablehook instead of letting pytest warn about it."""
    seen = []
    monkeypatch.setattr("sys.unraisablehook", lambda args: seen.append((args.exc_type, str(args.exc_value), args.object)))
    return seen


@pytest.fixture(scope="session")
def ref():
    return types.SimpleNamespace(
        record_arguments=record_arguments,
        hourly_record_arguments=hourly_record_arguments,
        daily=reference_daily,
        final_values=reference_final_values,
        selection=reference_selection,
        benchmark_frame=benchmark_frame,
        FakeDownload=FakeDownload,
        empyrical=empyrical,
        Scorebook=Scorebook,
        module=scorebook_module,
    )


def call(obj, name, *args):
    """Methods named with two leading underscores, which Python would mangle in a class body."""
    return getattr(obj, name)(*args)


@pytest.fixture(scope="session")
def private():
    return call
