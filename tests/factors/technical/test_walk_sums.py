"""Long windows decided from running sums, against the two-pass numpy definitions.

The walk estimates a window's z-score, half-life and volatility multiplier from running sums
and takes the numpy-exact value only where the estimate's error bound cannot settle a
decision. Here each estimate is held to the two-pass value on seeded legs, knife edges
included (a z-score on its threshold, a half-life on an integer boundary, a constant spread, a
huge level with a tiny deviation, a jump), and whole walks over long windows are held to the
walk that computes every value by its two-pass definition.
"""

import math

import numpy as np
import pytest
from numpy.lib.stride_tricks import sliding_window_view

from factors.technical.factor_helpers import trading_params as params
from factors.technical.reference_walk import ReferenceWalk, sklearn_halflife
from support.frames import make_ohlcv_frame
from support.market_data import CRYPTO_1H, load_ohlcv
from velmora.factors.technical import cointpairs as cp


def make_legs(seed, n, level=(9.0, 6.0), beta=0.7, noise=0.003, phi=0.95, jump=0.0):
    rng = np.random.default_rng(seed)
    walk = np.cumsum(rng.normal(0, 0.01, n))
    e = np.zeros(n)
    for t in range(1, n):
        e[t] = phi * e[t - 1] + rng.normal(0, noise)
    la = level[0] + walk
    lb = level[1] + beta * walk + e
    lb[-1] += jump
    return la, lb, (1.0 + rng.normal(0, 0.05), -beta * (1.0 + rng.normal(0, 0.05)))


def spread_of(la, lb, hedges):
    return hedges[0] * la + hedges[1] * lb


def numpy_abs_zscore(spread):
    sd = np.std(spread)
    return abs((spread[-1] - np.mean(spread)) / sd) if sd > 0 else 0.0


# (label, legs keyword arguments, tail): the ordinary ones must also be decided by the sums.
Z_CASES = [
    ("ordinary", {}, 300, True),
    ("short tail", {}, 64, True),
    ("whole window", {}, 2000, True),
    ("fast reversion", {"phi": 0.5}, 500, True),
    ("random walk spread", {"phi": 1.0}, 800, True),
    ("jump at the end", {"jump": 0.5}, 400, True),
    ("negative levels", {"level": (-3.0, -1.5)}, 300, True),
    ("huge level, tiny deviation", {"level": (800.0, 600.0), "noise": 1e-9}, 300, False),
]


@pytest.mark.parametrize("label, kwargs, tail, decisive", Z_CASES, ids=[c[0] for c in Z_CASES])
def test_zscore_screen_never_rules_out_an_entry_numpy_takes(label, kwargs, tail, decisive):
    decided = 0
    for seed in range(25):
        la, lb, hedges = make_legs(seed, 2000, **kwargs)
        z = numpy_abs_zscore(spread_of(la, lb, hedges)[-tail:])
        # On the threshold (numpy: no entry), just below it (numpy: entry), and far either side.
        for threshold in (z, np.nextafter(z, 0.0), z * (1 - 1e-12), 0.5 * z, 2.0 * z + 1.0):
            if cp._zscore_surely_within(la, lb, *hedges, tail, threshold):
                assert z <= threshold, (label, seed, threshold)
        far = cp._zscore_surely_within(la, lb, *hedges, tail, 2.0 * z + 1.0)
        decided += far
    if decisive:
        assert decided == 25, label


def test_zscore_screen_on_degenerate_spreads():
    la, lb, _ = make_legs(1, 500)
    # A constant spread has no std: numpy's z-score is 0, which no threshold >= 0 enters on.
    assert not cp._zscore_surely_within(la, la.copy(), 1.0, -1.0, 300, -0.5)
    for threshold in (0.0, 1.0):
        if cp._zscore_surely_within(la, la.copy(), 1.0, -1.0, 300, threshold):
            assert 0.0 <= threshold
    # A non-finite value anywhere in the tail is left to the two-pass definitions.
    poked = lb.copy()
    poked[-10] = np.nan
    assert not cp._zscore_surely_within(la, poked, 1.0, -0.7, 300, 1e9)
    # Zero hedge ratios (no estimate) give nothing to screen.
    assert not cp._zscore_surely_within(la, lb, 0.0, 0.0, 300, 1.0)


def halflife_cases():
    for seed in range(30):
        n = [300, 1000, 3000][seed % 3]
        phi = [0.5, 0.9, 0.97, 0.995, 1.0, 1.003][seed % 6]
        yield f"seed {seed}", make_legs(seed, n, phi=phi)
    yield "huge level, tiny deviation", make_legs(7, 1000, level=(800.0, 600.0), noise=1e-9)
    yield "jump", make_legs(8, 1000, jump=0.3)


def test_halflife_estimate_is_the_regression_or_declines():
    decided = 0
    total = 0
    for label, (la, lb, hedges) in halflife_cases():
        spread = spread_of(la, lb, hedges)
        exact = cp._halflife_from_spread(True, len(spread), spread)
        assert exact == sklearn_halflife(True, len(spread), spread), label
        estimate = cp._halflife_estimate(la, lb, *hedges)
        assert estimate in (-1, exact), label
        decided += estimate != -1
        total += 1
    assert decided >= total - 4


def test_halflife_on_an_integer_boundary():
    # Move the second hedge ratio until the half-life steps from one integer to the next; on
    # either side of the step the estimate must give the regression's integer or decline.
    la, lb, (ha, hb) = make_legs(11, 1500, phi=0.97)
    h = lambda b: cp._halflife_from_spread(True, len(la), spread_of(la, lb, (ha, b)))  # noqa: E731
    lo, hi = hb, hb * 1.02
    assert h(lo) != h(hi)
    for _ in range(80):
        mid = 0.5 * (lo + hi)
        if mid in (lo, hi):
            break
        if h(mid) == h(lo):
            lo = mid
        else:
            hi = mid
    assert h(lo) != h(hi) and np.nextafter(lo, hi) == hi
    for b in (lo, hi):
        assert cp._halflife_estimate(la, lb, ha, b) in (-1, h(b))
    assert cp._halflife_estimate(la, lb, ha, lo) == -1 or cp._halflife_estimate(la, lb, ha, hi) == -1


def numpy_volatility_multiplier(spread, halflife, multiplier):
    w = int(multiplier * halflife)
    w = max(2, min(w, len(spread) - 30))
    s = np.std(sliding_window_view(spread, w), axis=1)
    m = np.mean(s)
    return float(1 + s[-1] / m) if m > 0 else 1.0


@pytest.mark.parametrize(
    "label, kwargs, halflife, multiplier, decisive",
    [
        ("ordinary", {}, 40, 2.0, True),
        ("runs of two values", {}, 1, 2.0, False),  # the walk takes the two-pass value there
        ("runs nearly the window", {}, 1000, 2.0, True),
        ("jump in the last run", {"jump": 0.5}, 30, 2.0, True),
        ("fast reversion", {"phi": 0.3}, 12, 3.5, True),
        ("huge level, tiny deviation", {"level": (800.0, 600.0), "noise": 1e-9}, 40, 2.0, True),
    ],
)
def test_volatility_multiplier_estimate_is_within_its_bound(label, kwargs, halflife, multiplier, decisive):
    for seed in range(10):
        la, lb, hedges = make_legs(seed, 1200, **kwargs)
        exact = numpy_volatility_multiplier(spread_of(la, lb, hedges), halflife, multiplier)
        got = cp._volatility_multiplier_estimate(la, lb, *hedges, halflife, multiplier)
        assert got is not None or not decisive, (label, seed)
        if got is None:
            continue
        value, error = got
        assert abs(value - exact) <= error, (label, seed)
        if decisive:
            assert error <= 1e-9 * exact, (label, seed)  # small enough to decide almost every bar


def test_volatility_multiplier_estimate_declines_a_constant_spread():
    la, _, _ = make_legs(2, 400)
    assert cp._volatility_multiplier_estimate(la, la.copy(), 1.0, -1.0, 20, 2.0) is None


def walk_both(closes, p, step, readjust=None):
    logs = np.log(closes)
    settings = dict(hedge_ratio_reestimation_interval=step, johansen_sampling_step=step,
                    barrier_readjustment_interval=step if readjust is None else readjust,
                    maximum_zscore_window=closes.shape[0] // 2)
    fast = cp._walk(closes, logs, p, **settings)
    exact = cp._walk(closes, logs, p, exact=True, **settings)
    return fast, exact


def assert_same_walk(fast, exact):
    assert np.array_equal(fast["positions"], exact["positions"])
    assert fast["trades"] == exact["trades"]
    assert fast["entries"] == exact["entries"]
    for a, b in zip(fast["states"], exact["states"]):
        for key in a:
            if key in ("take_profit", "stop_loss"):
                # An estimated barrier is within a few units in the last place of the two-pass one.
                assert a[key] == pytest.approx(b[key], rel=1e-14, abs=1e-300), key
            else:
                assert a[key] == b[key], key


def closes_of(frame):
    names = [c[: -len("_close")] for c in frame.columns if c.endswith("_close")]
    return np.ascontiguousarray(frame[[n + "_close" for n in names]].to_numpy(dtype=np.float64))


@pytest.mark.parametrize(
    "seed, w, step, readjust, overrides",
    [
        (21, 300, 4, None, {}),
        (22, 600, 4, 1, {"zscore_halflife_multiplier": 9.0}),
        (23, 900, 1, None, {"starting_sd_for_position_entry": 0.5}),
        (24, 1200, 8, 1, {"rolling_volatility_halflife_multiplier": 0.2}),
        (25, 1200, 8, None, {"rolling_volatility_halflife_multiplier": 20.0}),
    ],
)
def test_long_windows_decide_as_the_two_pass_walk(seed, w, step, readjust, overrides):
    frame = make_ohlcv_frame(n_bars=w + 900, n_cointegrated=3, n_independent=1, seed=seed)
    fast, exact = walk_both(closes_of(frame), params(w, **overrides), step, readjust)
    assert len(exact["trades"]) >= 3, "the fixture must trade to test anything"
    assert_same_walk(fast, exact)


@pytest.mark.parametrize("w", [1000, 2500, 4000])
def test_long_windows_on_hourly_crypto(w):
    frame = load_ohlcv(CRYPTO_1H, ["BTCUSDT", "ETHUSDT", "BNBUSDT", "LTCUSDT", "LINKUSDT"],
                       start="2022-01-01", end="2022-12-31").ffill().dropna()
    fast, exact = walk_both(closes_of(frame), params(w, zscore_halflife_multiplier=1.5), 24)
    assert len(exact["trades"]) >= 3
    assert_same_walk(fast, exact)


def test_long_window_equals_the_reference_walk():
    frame = make_ohlcv_frame(n_bars=1100, n_cointegrated=3, n_independent=1, seed=21)
    names = [c[: -len("_close")] for c in frame.columns if c.endswith("_close")]
    w, step = 500, 8
    p = params(w)
    settings = dict(hedge_ratio_reestimation_interval=step, johansen_sampling_step=step,
                    barrier_readjustment_interval=step, maximum_zscore_window=550)
    closes = closes_of(frame)
    ours = cp._walk(closes, np.log(closes), p, **settings)
    ref = ReferenceWalk(np.ascontiguousarray(frame.to_numpy(dtype=np.float64)), list(frame.columns),
                        names, p, **settings,
                        hedge_ratio=lambda a, b, s: cp._hedge_ratio_from_johansen(
                            np.ascontiguousarray(a), np.ascontiguousarray(b), s),
                        halflife=cp._halflife_from_spread).run()
    assert len(ref["trades"]) >= 3
    assert np.array_equal(ours["positions"], ref["positions"])
    assert ours["trades"] == ref["trades"] and ours["entries"] == ref["entries"]
    for a, b in zip(ours["states"], ref["states"]):
        for key in a:
            if key in ("take_profit", "stop_loss"):
                assert math.isclose(a[key], b[key], rel_tol=1e-14), key
            else:
                assert a[key] == b[key], key


def test_one_bar_step_after_a_long_walk_decides_as_the_walk():
    # The walk decides from window sums; a single live step takes the two-pass route. Both
    # must leave the same state, bit for bit, on a bar where trades close and open.
    from factors.technical.factor_helpers import daily_frame, fields, make_factor

    full = daily_frame(n_days=1400, names=("A", "B", "C", "D"), seed=5)
    longer, shorter = make_factor(full), make_factor(full.iloc[:-1])
    end = len(full) - 1
    p = params(600, zscore_halflife_multiplier=6.0)
    expected = cp._run_walk(longer, p)[end]
    cp._run_walk(shorter, p)
    shorter.current_time = fields(longer)["datetime_array"][end]
    np.testing.assert_array_equal(cp._one_bar_positions(shorter, p, end), expected)
    a, b = fields(shorter), fields(longer)
    assert a["trade_store"] == b["trade_store"] and a["open_trade_records"] == b["open_trade_records"]
    for name in ("hedge_ratios_dict", "cointegration_flags_dict", "halflife_dict", "spread_position_dict",
                 "reestimation_countdown_dict", "take_profit_dict", "stop_loss_dict", "time_barrier_dict",
                 "spread_at_entry_dict", "std_at_entry_dict", "barrier_countdown_dict", "meta_label_veto"):
        assert a[name] == b[name], name
    assert a["trade_counter"] >= 3
