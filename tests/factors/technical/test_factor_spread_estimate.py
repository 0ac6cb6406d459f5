"""The per-security proportional bid-ask spread the accounting charges slippage on,
checked against a direct pandas/numpy computation of its formula."""

import logging

import numpy as np
import pandas as pd
import pytest

from factors.technical.factor_helpers import daily_frame, fields, make_factor
from support.market_data import CRYPTO_1H, SP500_CLEAN, load_ohlcv
from velmora.factors.technical import cointpairs


def cleaned_log(series):
    return series.replace([np.inf, -np.inf], np.nan).ffill().dropna()


def formula(close, high, low, number_of_rows):
    """The estimate as written: label-aligned slices of the cleaned log series."""
    with np.errstate(divide="ignore", invalid="ignore"):
        lc = cleaned_log(np.log(close))
        lm = 0.5 * cleaned_log(np.log(high) + np.log(low))
    n = number_of_rows
    a = lc.iloc[:n] - lm.iloc[:n]
    b = lc.iloc[:n] - lm.iloc[1:n - 1]
    return 2 * np.sqrt(np.mean(a * b))


def expected_estimates(daily, names, number_of_rows):
    return np.array([formula(daily[f"{s}_close"], daily[f"{s}_high"], daily[f"{s}_low"], number_of_rows)
                     for s in names])


def daily_prices(clean_frame):
    prices = [c for c in clean_frame.columns if not c.endswith("_volume")]
    return clean_frame[prices].resample("1D").last().ffill().dropna()


def test_hourly_crypto_against_the_formula():
    names = ["BTCUSDT", "ETHUSDT", "SOLUSDT", "DOGEUSDT"]
    frame = load_ohlcv(CRYPTO_1H, names, start="2022-01-01", end="2022-10-15")
    factor = make_factor(frame, resolution=60)
    f = fields(factor)
    assert f["number_of_rows"] >= 6048
    daily = daily_prices(factor.get_clean_dataframe())
    assert len(daily) < f["number_of_rows"] - 1  # the all-but-the-first-day case
    expected = expected_estimates(daily, names, f["number_of_rows"])
    assert (expected > 0).all()
    np.testing.assert_array_equal(f["proportional_spread_array"], expected)


def test_daily_equities_against_the_formula():
    # At whole-day resolution the re-binned series is as long as the data, so its last bar
    # falls outside the second slice as well.
    names = ["AAPL", "JPM", "XOM"]
    frame = load_ohlcv(SP500_CLEAN, names, start="2014-01-01", tz="America/New_York")
    factor = make_factor(frame, resolution=1440)
    f = fields(factor)
    daily = factor.get_clean_dataframe()[[f"{s}_{x}" for s in names for x in ("close", "high", "low")]]
    assert len(daily) == f["number_of_rows"]
    np.testing.assert_array_equal(f["proportional_spread_array"],
                                  expected_estimates(daily, names, f["number_of_rows"]))


def random_case(rng):
    n = int(rng.choice([0, 1, 2, 3, 4, 7, 20, 150]))
    lc = rng.normal(0.0, 0.01, n) + 4.0
    hi = lc + np.abs(rng.normal(0.0, 0.01, n))
    lo = lc - np.abs(rng.normal(0.0, 0.01, n))
    close, high, low = np.exp(lc), np.exp(hi), np.exp(lo)
    if n:
        for arr in (close, high, low):
            # leading gaps of different lengths, zero and negative prices inside
            arr[: rng.integers(0, n + 1) // 3] = np.nan
            arr[rng.random(n) < 0.1] = 0.0
            arr[rng.random(n) < 0.05] = -1.0
    return close, high, low, int(rng.choice([1, 2, 3, 5, n + 3, max(n - 1, 1), 1000]))


def test_alignment_rules_on_random_gappy_series():
    rng = np.random.default_rng(20240101)
    for _ in range(400):
        close, high, low, number_of_rows = random_case(rng)
        with np.errstate(divide="ignore", invalid="ignore"):
            logs = [np.log(x) for x in (close, high, low)]
        got = cointpairs._proportional_spread(*logs, number_of_rows)
        want = formula(pd.Series(close), pd.Series(high), pd.Series(low), number_of_rows)
        np.testing.assert_equal(got, want)


@pytest.mark.parametrize("offsets, number_of_rows, expected", [
    ([0.0] * 10, 100, 0.0),                     # close at the mid-range
    ([0.001] * 10, 100, 0.002),                 # log close 0.001 above the log mid-range
    ([0.5, 0.001, 0.001], 1000, 0.002),         # the first bar never counts
    ([0.5, 0.001, 0.001, 0.5], 4, 0.002),       # nor, with N = D, the last one
    ([0.001], 1000, np.nan),                    # one bar gives no term
])
def test_worked_values(offsets, number_of_rows, expected):
    offsets = np.asarray(offsets)
    mid = np.linspace(1.0, 2.0, len(offsets))
    got = cointpairs._proportional_spread(mid + offsets, mid + 0.01, mid - 0.01, number_of_rows)
    np.testing.assert_allclose(got, expected, rtol=1e-9, atol=1e-15)


def test_zero_close_day_takes_the_previous_days_log():
    mid = np.full(6, np.log(100.0))
    lc = mid + np.array([0.0, 0.002, 0.002, -np.inf, 0.004, 0.002])
    # Day 3 counts with day 2's log close: terms 0.002^2 (x3), 0.004^2 over days 1..4.
    got = cointpairs._proportional_spread(lc, mid, mid, 6)
    np.testing.assert_allclose(got, 2 * np.sqrt((3 * 0.002**2 + 0.004**2) / 4), rtol=1e-9)


def test_security_without_a_usable_close_leaves_no_bar_to_estimate_from(caplog):
    # Every close of C is 0: cleaning makes each of its bars missing, so no row holds every
    # security and the frame is refused, naming it, before any estimate (which would have no
    # usable bar).
    frame = daily_frame()
    frame["C_close"] = 0.0
    with caplog.at_level(logging.WARNING, logger=" "), pytest.raises(Exception, match="^No usable bars for C: "):
        make_factor(frame)
    assert [r.getMessage().split(":")[0] for r in caplog.records] == [
        "260 bars of C have an open, high, low or close that is not a positive finite number"]
