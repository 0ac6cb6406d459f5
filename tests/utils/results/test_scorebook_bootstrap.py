import _thread
import threading
import time

import numpy as np
import pandas as pd
import pytest
from sklearn.utils import resample

BOOTSTRAP = "__get_bootstrapped_cumprod_daily_returns"
EXTRAPOLATE = "__get_extrapolations_from_train_set"
PERCENTILES = [0, 1, 5, 25, 33.3, 50, 75, 95, 99, 100]


def daily_returns(values, start="2024-01-02"):
    return pd.Series(np.asarray(values, dtype=float), index=pd.date_range(start, periods=len(values), freq="D"))


@pytest.fixture
def record(ref):
    return ref.Scorebook(**ref.hourly_record_arguments(days=3))


def assert_same_selection(got, expected):
    assert len(got[0]) == len(expected[0]) and len(got[1]) == len(expected[1])
    for mine, theirs in zip(got[0] + got[1], expected[0] + expected[1]):
        assert mine.dtype == np.float64 and np.array_equal(mine, theirs)


@pytest.mark.parametrize(
    "values",
    [
        [0.0123],  # one value: nothing is drawn, every path is that value
        [0.01, -0.02],
        np.random.default_rng(1).normal(0.001, 0.02, 7),
        np.random.default_rng(2).normal(0.0, 0.05, 16),  # n - 1 a power of two minus one
        np.random.default_rng(3).normal(0.002, 0.01, 17),  # mask with heavy rejection
        np.random.default_rng(4).standard_t(3, 90) * 0.01,
    ],
    ids=["n1", "n2", "n7", "n16", "n17", "n90"],
)
def test_paths_are_sklearns_paths(ref, record, private, values):
    r = daily_returns(values)
    x = r.values
    finals = ref.final_values(x)
    got = private(record, BOOTSTRAP, len(r), r, PERCENTILES)
    assert_same_selection(got, ref.selection(x, PERCENTILES, finals))
    # the cumulative path is the running product of the return row it came with
    for row, path in zip(*got):
        assert np.array_equal(np.cumprod(1 + row), path)
    assert_same_selection(private(record, BOOTSTRAP, len(r), r, PERCENTILES), got)


def test_unmatched_percentiles_leave_shorter_lists(ref, record, private):
    # Two far-apart returns: the final values form clusters with empty gaps between them.
    r = daily_returns([0.0, 3.0, 0.0, 1.0])
    finals = ref.final_values(r.values)
    ordered = np.sort(finals)
    boundary = int(np.flatnonzero(np.diff(ordered) > 0.5)[0])
    between = 100 * (boundary + 0.5) / (len(finals) - 1)  # a target half-way across a gap
    percentiles = [0, between, 50, 100]
    expected = ref.selection(r.values, percentiles, finals)
    assert len(expected[1]) == 3
    assert_same_selection(private(record, BOOTSTRAP, len(r), r, percentiles), expected)


def test_selection_rules(record, private):
    zeros = daily_returns([0.0] * 5)
    rows, paths = private(record, BOOTSTRAP, 5, zeros, [5, 50, 95])
    assert len(paths) == 3 and all(np.array_equal(p, np.ones(5)) for p in paths)
    # NaN returns are resampled as 0
    rows, paths = private(record, BOOTSTRAP, 3, daily_returns([np.nan, 0.0, np.nan]), [50])
    assert np.array_equal(rows[0], np.zeros(3))
    assert private(record, BOOTSTRAP, 3, daily_returns([0.1, 0.2, 0.3]), []) == ([], [])


@pytest.mark.parametrize(
    "length, values, percentiles, error",
    [
        (3, [0.1, 0.2, 0.3], None, TypeError),
        (3, [0.1, 0.2, 0.3], ["x"], TypeError),
        (4, [0.1, 0.2, 0.3], [50], ValueError),  # the series must hold `length` values
        (0, [], [50], IndexError),  # no path has a last value
    ],
)
def test_bootstrap_errors(record, private, length, values, percentiles, error):
    with pytest.raises(error):
        private(record, BOOTSTRAP, length, daily_returns(values), percentiles)


def test_replaced_resample_global_is_honoured(ref, record, private, monkeypatch):
    """Any other `bootstrapping_resample` is called for every path instead of the native draws."""
    seeds = []

    def heavy_tail(x, random_state):
        seeds.append(random_state)
        return np.full(len(x), 1.0 if random_state >= 69 + 9500 else 0.0)

    monkeypatch.setattr(ref.module, "bootstrapping_resample", heavy_tail)
    rows, paths = private(record, BOOTSTRAP, 2, daily_returns([0.1, 0.2]), [5, 95, 100])
    assert seeds[:3] == [69, 70, 71] and seeds[9999] == 10068
    # the 95th percentile falls between the clusters and has no path
    assert [p.tolist() for p in paths] == [[1.0, 1.0], [2.0, 4.0]]


def test_long_bootstrap_releases_the_gil_and_stops_on_ctrl_c(ref, record, private):
    # about ten seconds of draws when nothing interrupts them, so the interrupt cannot come
    # after the call even on a loaded machine
    r = pd.Series(np.random.default_rng(5).normal(0, 0.01, 300_000))
    ticks = []
    stop = threading.Event()

    def count():
        while not stop.is_set():
            ticks.append(1)
            time.sleep(0.001)

    counter = threading.Thread(target=count)
    counter.start()
    interrupt = threading.Timer(0.3, _thread.interrupt_main)
    started = time.monotonic()
    interrupt.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            private(record, BOOTSTRAP, len(r), r, [50])
    finally:
        stop.set()
        counter.join()
        interrupt.cancel()
    assert time.monotonic() - started < 2.0
    assert len(ticks) > 20


@pytest.mark.parametrize(
    "returns, dates, line, upper, lower",
    [
        # window = [first date - 1 day, last date]: the returns 0.01 and 0.03
        ([0.01, 0.03, 0.5], ["2024-01-03", "2024-01-03"], [1, 1.02, 1.04],
         [1, 1.04, 1.04 + 0.02 * np.sqrt(2)], [1, 1.0, 1.04 - 0.02 * np.sqrt(2)]),
        # a window with no returns gives NaN everywhere
        ([0.01, 0.03], ["2025-06-01"], [np.nan] * 2, [np.nan] * 2, [np.nan] * 2),
    ],
)
def test_extrapolations(record, private, returns, dates, line, upper, lower):
    r = daily_returns(returns)
    got = private(record, EXTRAPOLATE, r, pd.DatetimeIndex(dates))
    for array, expected in zip(got, (line, upper, lower)):
        assert array.dtype == np.float64
        np.testing.assert_allclose(array, expected, rtol=1e-14, atol=1e-15)


def test_extrapolations_match_numpy_and_need_dates(record, private):
    r = daily_returns(np.random.default_rng(6).normal(0.001, 0.02, 50))
    dates = r.index[5:30]
    window = r.loc[dates[0] - pd.Timedelta(days=1): dates[-1]]
    t = np.arange(len(r))
    line = np.mean(window) * t + 1
    expected = (line, 2 * np.sqrt(t) * np.std(window) + line, -2 * np.sqrt(t) * np.std(window) + line)
    for array, reference in zip(private(record, EXTRAPOLATE, r, dates), expected):
        assert np.array_equal(array, reference)
    with pytest.raises(IndexError):
        private(record, EXTRAPOLATE, r, pd.DatetimeIndex([]))
