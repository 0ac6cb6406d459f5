"""The native spread-model kernels against the libraries they replace.

Johansen against statsmodels' coint_johansen, the half-life against scikit-learn's
LinearRegression, and every mean / std / rolling std against numpy bit for bit, on seeded
and real windows.
"""

import warnings

import numpy as np
import pytest
from numpy.lib.stride_tricks import sliding_window_view
from statsmodels.tsa.vector_ar.vecm import coint_johansen

from factors.technical.reference_walk import sklearn_halflife
from support.market_data import CRYPTO_1H, SP500_CLEAN, load_ohlcv
from velmora.factors.technical import cointpairs as cp

MAX_EIG_90 = 15.0006
TRACE_90 = 16.1619


def statsmodels_johansen(endog):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return coint_johansen(endog=endog, det_order=1, k_ar_diff=0)


def seeded_windows():
    """(label, m x 2 endog): cointegrated pairs, independent walks, near-unit-root spreads
    and badly scaled prices over a range of sample counts."""
    rng = np.random.default_rng(20240611)
    cases = []
    for m in (6, 7, 10, 30, 120, 400):
        for kind in ("cointegrated", "independent", "near_unit_root", "scaled"):
            for _ in range(12):
                a = np.cumsum(rng.normal(0, 0.02, m)) + np.log(rng.uniform(1, 1000))
                if kind == "cointegrated":
                    b = rng.uniform(0.3, 2.0) * a + rng.normal(0, rng.uniform(0.002, 0.05), m)
                elif kind == "independent":
                    b = np.cumsum(rng.normal(0, 0.02, m)) + 3.0
                elif kind == "near_unit_root":
                    e = np.zeros(m)
                    for t in range(1, m):
                        e[t] = 0.98 * e[t - 1] + rng.normal(0, 0.01)
                    b = 0.8 * a + e
                else:
                    b = 1e-3 * (a + rng.normal(0, 0.01, m)) + 12.0
                cases.append((f"{kind}-{m}", np.column_stack([a, b])))
    return cases


@pytest.fixture(scope="module")
def crypto_logs():
    frame = load_ohlcv(CRYPTO_1H, ["BTCUSDT", "ETHUSDT", "LTCUSDT", "BNBUSDT"], start="2022-01-01",
                       end="2022-12-31")
    closes = frame[[c for c in frame.columns if c.endswith("_close")]].ffill().dropna()
    return np.log(closes.to_numpy(dtype=np.float64))


@pytest.fixture(scope="module")
def equity_logs():
    frame = load_ohlcv(SP500_CLEAN, ["JPM", "BAC", "XOM", "CVX"])
    closes = frame[[c for c in frame.columns if c.endswith("_close")]].dropna()
    return np.log(closes.to_numpy(dtype=np.float64))


def real_windows(crypto_logs, equity_logs):
    """Windows of real log closes as the walk samples them: hourly crypto every 24 bars,
    daily equities every bar."""
    rng = np.random.default_rng(5)
    cases = []
    for logs, step, name in ((crypto_logs, 24, "crypto"), (equity_logs, 1, "equity")):
        for _ in range(60):
            a, b = rng.choice(logs.shape[1], 2, replace=False)
            w = int(rng.integers(31, 1500 if step == 24 else 400))
            start = int(rng.integers(0, logs.shape[0] - w))
            window = logs[start:start + w]
            endog = np.column_stack([window[:, a][::step][1:], window[:, b][::step][1:]])
            if endog.shape[0] >= 6:
                cases.append((f"{name}-{w}", endog))
    return cases


def assert_matches_statsmodels(endog):
    """Compared with the library on the demeaned series: adding a constant to a column leaves
    the test unchanged in exact arithmetic, and the library's uncentred trend fit loses up to
    1e-9 of precision on prices with a large level and little variation. The raw call must
    agree too, to the library's own precision."""
    ours = cp._johansen(endog)
    raw = statsmodels_johansen(endog)
    ref = statsmodels_johansen(endog - endog.mean(axis=0))
    assert ours["ok"]
    np.testing.assert_allclose([ours["lr1"][0], ours["lr2"][0]], [raw.lr1[0], raw.lr2[0]], rtol=1e-7)
    np.testing.assert_allclose(ours["eig"], ref.eig, rtol=1e-9, atol=1e-13)
    np.testing.assert_allclose(ours["lr1"][0], ref.lr1[0], rtol=1e-9)
    np.testing.assert_allclose(ours["lr2"][0], ref.lr2[0], rtol=1e-9)
    evec = np.array(ours["evec"])
    np.testing.assert_allclose(evec[:, 0], ref.evec[:, 0], rtol=1e-9)
    assert evec[0, 0] > 0
    # The second column keeps the solver's orientation relative to the first.
    second = evec[:, 1] * np.sign(evec[0, 1] * ref.evec[0, 1])
    np.testing.assert_allclose(second, ref.evec[:, 1], rtol=1e-8, atol=1e-10 * np.abs(ref.evec).max())
    return ours, raw


def clear_of_thresholds(lr2, lr1):
    return abs(lr2 / MAX_EIG_90 - 1) > 1e-6 and abs(lr1 / TRACE_90 - 1) > 1e-6


def test_johansen_matches_statsmodels_on_seeded_and_real_windows(crypto_logs, equity_logs):
    cases = seeded_windows() + real_windows(crypto_logs, equity_logs)
    assert len(cases) > 300
    flagged = 0
    for label, endog in cases:
        ours, ref = assert_matches_statsmodels(endog)
        a, b, flag = cp._hedge_ratio_from_johansen(
            np.concatenate([[np.nan], endog[:, 0]]), np.concatenate([[np.nan], endog[:, 1]]), 1)
        assert (a, b) == (ours["evec"][0][0], ours["evec"][1][0]), label
        if clear_of_thresholds(ref.lr2[0], ref.lr1[0]):
            expected = bool(ref.lr2[0] >= ref.cvm[0][0] and ref.lr1[0] >= ref.cvt[0][0])
            assert flag == expected, label
            flagged += expected
    # Both decisions occur, so the flag comparison is not vacuous.
    assert 0 < flagged < len(cases)


def test_johansen_golden_values_and_library_pairing():
    t = np.arange(40.0)
    x = 10 + 0.1 * t + np.sin(0.7 * t) + 0.3 * np.cos(1.3 * t)
    y = 5 + 0.5 * x + 0.4 * np.sin(2.1 * t + 0.5)
    r = cp._johansen(np.column_stack([x, y]))
    np.testing.assert_allclose(r["eig"], [0.7562627457832838, 0.15012183726057915], rtol=1e-9)
    np.testing.assert_allclose(r["lr1"], [61.39874280499415, 6.343828831285284], rtol=1e-9)
    np.testing.assert_allclose(r["lr2"], [55.054913973708864, 6.343828831285284], rtol=1e-9)
    np.testing.assert_allclose(np.array(r["evec"])[:, 0], [1.737248912054322, -3.5230100047376505],
                               rtol=1e-9)
    # Pairing each difference with the lagged level (the textbook form) would give 0.7528.
    assert abs(r["eig"][0] - 0.752763) > 1e-3
    swapped = cp._johansen(np.column_stack([y, x]))
    np.testing.assert_allclose(swapped["eig"], r["eig"], rtol=1e-12)
    np.testing.assert_allclose(np.array(swapped["evec"])[:, 0], [3.5230100047376505, -1.7372489120543222],
                               rtol=1e-9)


def test_johansen_invariances():
    rng = np.random.default_rng(11)
    for m in (8, 50, 300):
        a = np.cumsum(rng.normal(0, 0.02, m)) + 4.0
        b = 1.3 * a + rng.normal(0, 0.01, m)
        base = cp._johansen(np.column_stack([a, b]))
        scaled = cp._johansen(np.column_stack([a, 7.0 * b]))
        shifted = cp._johansen(np.column_stack([a + 3.0, b - 1.0]))
        for other in (scaled, shifted):
            np.testing.assert_allclose(other["lr1"], base["lr1"], rtol=1e-9)
            np.testing.assert_allclose(other["lr2"], base["lr2"], rtol=1e-9)
        np.testing.assert_allclose(scaled["evec"][1][0], base["evec"][1][0] / 7.0, rtol=1e-9)
        np.testing.assert_allclose(shifted["evec"][0][0], base["evec"][0][0], rtol=1e-9)


@pytest.mark.parametrize(
    "label, endog",
    [
        *[(f"{m} samples", np.column_stack([np.arange(m) ** 1.5, np.sin(np.arange(m)) + np.arange(m)]))
          for m in range(0, 6)],
        ("nan", np.column_stack([np.r_[1.0, np.nan, np.linspace(2, 3, 20)], np.linspace(0, 1, 22) ** 2])),
        ("-inf log of a zero close", np.column_stack([np.r_[-np.inf, np.linspace(2, 3, 21)],
                                                      np.linspace(0, 1, 22) ** 2])),
        ("collinear", np.column_stack([np.cumsum(np.sin(np.arange(30.0))), 2 * np.cumsum(np.sin(np.arange(30.0)))])),
        # Collinear up to the rounding of b's own float64 values: nothing but noise to test.
        ("affine copy", np.column_stack([4 + np.cumsum(np.sin(np.arange(200.0))) / 50,
                                         1.3 * (4 + np.cumsum(np.sin(np.arange(200.0))) / 50) + 0.7])),
        ("copy", np.column_stack([4 + np.cumsum(np.cos(np.arange(200.0))) / 50] * 2)),
        ("affine copy of a quiet leg at a high level",
         np.column_stack([20 + 1e-5 * np.cumsum(np.sin(np.arange(30.0))),
                          -2.26 * (20 + 1e-5 * np.cumsum(np.sin(np.arange(30.0)))) + 1.5])),
        ("constant column", np.column_stack([np.full(30, 4.2), np.cumsum(np.cos(np.arange(30.0)))])),
    ],
)
def test_johansen_failures_give_no_hedge(label, endog):
    with np.errstate(all="ignore"):
        assert not cp._johansen(np.ascontiguousarray(endog, dtype=np.float64))["ok"]
        # The walk sees the samples at positions step, 2 step, ...: put them there.
        pad = np.vstack([np.zeros((1, 2)), endog])
        assert cp._hedge_ratio_from_johansen(pad[:, 0].copy(), pad[:, 1].copy(), 1) == (0.0, 0.0, False)


def test_hedge_ratio_samples_every_step_and_never_the_first_row(crypto_logs):
    la, lb = crypto_logs[:500, 0], crypto_logs[:500, 1]
    for step, n in ((1, 200), (24, 500), (7, 211), (24, 31)):
        a, b, flag = cp._hedge_ratio_from_johansen(la[:n].copy(), lb[:n].copy(), step)
        sample_a, sample_b = la[:n][::step][1:], lb[:n][::step][1:]
        assert len(sample_a) == -(-n // step) - 1
        if len(sample_a) < 6:
            assert (a, b, flag) == (0.0, 0.0, False)
            continue
        ref = statsmodels_johansen(np.column_stack([sample_a, sample_b]))
        np.testing.assert_allclose([a, b], ref.evec[:, 0], rtol=1e-9)
    # The first row is never part of the test: changing it changes nothing.
    poked = la[:200].copy()
    poked[0] += 1.0
    assert cp._hedge_ratio_from_johansen(poked, lb[:200].copy(), 1) == cp._hedge_ratio_from_johansen(
        la[:200].copy(), lb[:200].copy(), 1)


def ar1(rng, n, phi, scale=0.01, level=0.0):
    e = np.zeros(n)
    for t in range(1, n):
        e[t] = phi * e[t - 1] + rng.normal(0, scale)
    return e + level


def test_halflife_matches_linear_regression(crypto_logs):
    rng = np.random.default_rng(3)
    spreads = []
    for n in (31, 60, 200, 500, 1500):
        for phi in (-0.2, 0.3, 0.5, 0.8, 0.9, 0.97, 0.995, 1.0, 1.01):
            spreads.append(ar1(rng, n, phi, scale=rng.uniform(1e-4, 0.1), level=rng.uniform(-5, 5)))
    for _ in range(40):
        n = int(rng.integers(31, 1000))
        start = int(rng.integers(0, crypto_logs.shape[0] - n))
        w = crypto_logs[start:start + n]
        spreads.append(0.8 * w[:, 0] - 0.5 * w[:, 1])
    values = set()
    for s in spreads:
        ours = cp._halflife_from_spread(True, len(s), s)
        assert ours == sklearn_halflife(True, len(s), s)
        values.add(np.sign(ours))
    assert values == {-1, 0, 1}


@pytest.mark.parametrize(
    "cointegrated, window_length, spread, expected",
    [
        (False, 50, np.linspace(0, 1, 50) ** 2, 0),           # not cointegrated: no fit at all
        (True, 50, np.full(50, 0.3), 0),                        # no variation: slope undefined
        (True, 40, np.r_[np.linspace(0, 1, 39), np.nan], 0),    # a NaN anywhere fails the fit
        (True, 40, np.r_[np.inf, np.linspace(0, 1, 39)], 0),
        (True, 49, np.sin(np.arange(50.0)), 0),                 # lengths that cannot be paired
        (True, 1, np.array([1.0]), 0),
    ],
)
def test_halflife_failures(cointegrated, window_length, spread, expected):
    assert cp._halflife_from_spread(cointegrated, window_length, spread) == expected
    assert sklearn_halflife(cointegrated, window_length, spread) == expected


@pytest.mark.parametrize("n", [*range(1, 140), 255, 256, 257, 1000, 8191, 8192, 8193, 20000, 65537])
def test_reductions_equal_numpy_bit_for_bit(n):
    rng = np.random.default_rng(n)
    x = rng.normal(0, 1, n) * np.exp(rng.normal(0, 3, n)) + rng.uniform(-1e3, 1e3)
    assert cp._pairwise_sum(x) == np.sum(x)
    assert cp._pairwise_sum(x[::3]) == np.sum(x[::3])
    assert cp._numpy_std(x) == np.std(x)
    if n >= 2 and n <= 2000:
        for w in {w for w in (2, 3, n // 2, n) if 1 <= w <= n}:
            expected = np.std(sliding_window_view(x, w), axis=1)
            assert np.array_equal(cp._sliding_std(x, w), expected)


def numpy_zscore(spread, halflife, multiplier, maximum, cointegrated, minimum=30):
    index = len(spread)
    current = spread[index - 1]
    window = int(multiplier * halflife)
    if minimum > window:
        window = minimum
    if halflife > 0 and window <= maximum and cointegrated:
        tail = spread[max(0, index - window):index]
        sd, mean = np.std(tail), np.mean(tail)
        z = (current - mean) / sd if sd > 0 else 0.0
        return (float(z), float(current), float(sd), float(mean))
    return (0.0, float(current), 0.0, 0.0)


def test_zscore_equals_numpy():
    rng = np.random.default_rng(8)
    spread = np.cumsum(rng.normal(0, 0.01, 400)) + 0.3
    cases = [
        (12, 1.5, 200, True),    # 18 < 30: the minimum window of 30
        (40, 2.7, 200, True),    # 108 values
        (100, 3.0, 500, True),   # 300 values
        (300, 2.0, 700, True),   # 600 > 400 values: the whole spread, not a wrapped slice
        (40, 2.7, 100, True),    # window above the maximum: no z-score
        (40, 2.7, 200, False),   # not cointegrated
        (0, 2.7, 200, True),     # no half-life
        (-5, 2.7, 200, True),
    ]
    for halflife, mult, maximum, coint in cases:
        got = cp._zscore_for_pair(spread, halflife, mult, maximum, coint)
        assert got == numpy_zscore(spread, halflife, mult, maximum, coint), (halflife, mult)
    assert cp._zscore_for_pair(np.full(60, 0.5), 10, 3.0, 100, True) == (0.0, 0.5, 0.0, 0.5)


def numpy_volatility_multiplier(spread, halflife, multiplier):
    w = int(multiplier * halflife)
    if len(spread) - 30 < w:
        w = len(spread) - 30
    if 2 > w:
        w = 2
    s = np.std(sliding_window_view(spread, w), axis=1)
    m = np.mean(s)
    return float(1 + s[len(s) - 1] / m) if m > 0 else 1.0


def test_volatility_multiplier_equals_numpy():
    rng = np.random.default_rng(9)
    for n, halflife, mult in ((31, 50, 3.0), (31, 1, 0.01), (200, 10, 2.5), (200, 100, 9.0),
                              (500, 33, 0.7), (64, 3, 0.2)):
        spread = np.cumsum(rng.normal(0, 0.01, n))
        assert cp._volatility_multiplier(spread, halflife, mult) == numpy_volatility_multiplier(
            spread, halflife, mult)
    assert cp._volatility_multiplier(np.full(80, 2.0), 10, 1.0) == 1.0


def test_kernels_refuse_other_dtypes():
    with pytest.raises(TypeError, match="float64"):
        cp._johansen(np.ones((10, 2), dtype=np.int64))
    with pytest.raises(TypeError, match="float64"):
        cp._halflife_from_spread(True, 3, [1.0, 2.0, 3.0])


@pytest.mark.parametrize(
    "position, entry, tp, sl, time_left, x, expected",
    [
        (1, 1.0, 1.2, 0.8, 3.0, 1.2, (0.0, 1, 0.2)),          # long take-profit, equality passes
        (1, 1.0, 1.2, 0.8, 3.0, 0.8, (0.0, 0, -0.2)),         # long stop-loss
        (1, 1.0, 1.2, 0.8, 3.0, 1.1, (1.0, None, 0.0)),       # nothing crossed
        (-1, 1.0, 0.9, 1.1, 3.0, 0.9, (0.0, 1, 0.1)),         # short take-profit
        (-1, 1.0, 0.9, 1.1, 3.0, 1.1, (0.0, 0, -0.1)),        # short stop-loss
        (1, 1.0, 1.2, 0.8, 0.0, 1.3, (0.0, 1, 0.3)),          # take-profit wins over the time-out
        (1, 1.0, 1.2, 0.8, -1.0, 1.05, (0.0, 1, 0.05)),       # time-out with a gain
        (1, 1.0, 1.2, 0.8, 0.0, 1.0, (0.0, 0, 0.0)),          # time-out with no gain: label 0
        (-1, 1.0, 0.9, 1.1, 0.0, 1.05, (0.0, 0, -0.05)),      # short time-out with a loss
        # A negative entry spread: a long trade whose spread rises has gained.
        (1, -2.0, -1.5, -2.5, -1.0, -1.8, (0.0, 1, 0.1)),
        (-1, -2.0, -2.5, -1.5, -1.0, -1.8, (0.0, 0, -0.1)),
        (1, -2.0, -1.5, -2.5, 1.0, -1.5, (0.0, 1, 0.25)),
        # An entry spread of exactly 0 has no scale: no return rather than a division error.
        (1, 0.0, 0.1, -0.1, 2.0, 0.1, (0.0, 1, 0.0)),
        (-1, 0.0, -0.1, 0.1, -1.0, 0.05, (0.0, 0, 0.0)),
        (0, 1.0, 1.2, 0.8, -5.0, 9.0, (0.0, None, 0.0)),      # a flat pair never crosses
    ],
)
def test_barrier_crossing_table(position, entry, tp, sl, time_left, x, expected):
    got = cp._check_barrier_crossing(position, entry, tp, sl, time_left, x)
    assert got[:2] == expected[:2]
    assert got[2] == pytest.approx(expected[2], abs=1e-15)


def test_kernels_read_odd_strided_arrays_as_their_values():
    # Fields of a structured array have strides that are not whole float64 elements: the
    # kernels must read (a kept copy of) the values, never garbage or freed memory.
    rng = np.random.default_rng(8)
    endog = np.cumsum(rng.normal(0, 0.01, (120, 2)), axis=0) + 4.0
    packed = np.zeros((120, 2), dtype=[("x", "f8"), ("tag", "i4")])
    packed["x"] = endog
    assert packed["x"].strides[1] % 8 != 0
    assert cp._johansen(packed["x"]) == cp._johansen(np.ascontiguousarray(endog))
    spread = np.zeros(80, dtype=[("s", "f8"), ("tag", "i2")])
    spread["s"] = rng.normal(0, 1, 80).cumsum() * 0.1
    assert cp._halflife_from_spread(True, 80, spread["s"]) == cp._halflife_from_spread(
        True, 80, np.ascontiguousarray(spread["s"]))
