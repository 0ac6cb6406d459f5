"""Backtest accounting against a direct numpy rendering of the booking rules."""

import numpy as np
import pytest

from velmora.factors.technical import cointpairs

KEYS = [
    "positions_matrix_array", "positions_market_value_matrix_array",
    "change_in_positions_matrix_array", "change_in_positions_market_value_matrix_array",
    "securities_pnl_matrix_array", "commissions_matrix_array", "slippage_matrix_array",
    "securities_pnl_after_transaction_costs_matrix_array", "total_pnl_after_transaction_costs_array",
    "equity_value_array", "returns_after_transaction_costs_array",
    "cumprod_returns_after_transaction_costs_array",
]


def numpy_book(positions, closes, spreads, T, equity0, pct, commission, slippage_frac, scale):
    S = positions.shape[1]
    units_m, mv_m, du_m, dmv_m, pnl_m = (np.zeros((T, S)) for _ in range(5))
    prev_units = np.zeros(S)
    prev_close = np.zeros(S)
    equity = equity0
    invested = False

    def size(row, gross, close, eq):
        w = row / gross
        v = w * close
        s = np.sum(np.abs(v))
        n = v / s
        target = n * eq * pct
        if scale:
            target = target * (np.count_nonzero(n) / len(n))
        return target

    with np.errstate(divide="ignore", invalid="ignore"):
        for t in range(T):
            target = np.zeros(S)
            pnl = np.zeros(S)
            row = positions[t]
            gross = np.sum(np.abs(row))
            close = closes[t]
            if invested:
                pnl = prev_units * (close - prev_close)
                # a leg carried into a close that is not a price has no value this bar
                pnl = np.where((prev_units != 0) & ~(close > 0), np.nan, pnl)
                equity = float(equity + np.sum(pnl))
                if gross != 0:
                    target = size(row, gross, close, equity)
                else:
                    invested = False
            elif gross != 0:
                target = size(row, gross, close, equity)
                invested = True
            # a held leg (carried in or asked for) cannot be traded at a close that is not
            # positive: NaN units; a security not held holds nothing, whatever its close
            held = (prev_units != 0) | (row != 0)
            units = np.where(~held, 0.0, np.where(close > 0, np.where(target == 0, 0.0, target / close), np.nan))
            du = units - prev_units
            dmv = du * close
            prev_units = units.copy()
            prev_close = close.copy()
            units_m[t], mv_m[t], du_m[t], dmv_m[t], pnl_m[t] = units, target, du, dmv, pnl

        comm = np.abs(dmv_m) * commission
        slip = np.abs(dmv_m)
        for j in range(S):
            slip[:, j] = slip[:, j] * spreads[j] * slippage_frac
        after = pnl_m - comm - slip
        total = np.sum(after, axis=1)
        eq = np.cumsum(total) + equity0
        bankrupt = np.flatnonzero(eq <= 0)
        if bankrupt.size:
            eq[bankrupt[0]:] = 0
            for arr in (total, after, comm, slip, pnl_m, units_m, mv_m, du_m, dmv_m):
                for t in range(T - 1):
                    if eq[t] <= 0:
                        arr[t + 1] = 0
        returns = np.nan_to_num(total[1:] / eq[:-1])
        cumprod = np.cumprod(1 + returns)
    return dict(zip(KEYS, [units_m, mv_m, du_m, dmv_m, pnl_m, comm, slip, after, total, eq,
                           returns, cumprod]))


def book(positions, closes, spreads, T=None, equity0=100000.0, pct=1.0, commission=0.001,
         slippage_frac=0.5, scale=False):
    T = len(positions) if T is None else T
    return cointpairs._book_positions(positions, closes, spreads, T, equity0, pct, commission,
                                      slippage_frac, scale)


def assert_same(native, expected):
    for key in KEYS:
        np.testing.assert_array_equal(native[key], expected[key], err_msg=key)
        assert native[key].dtype == np.float64


def walk_like_positions(rng, T, S):
    """Piecewise-constant pair positions with flat stretches, as a walk produces them."""
    positions = np.zeros((T, S))
    t = 0
    while t < T:
        length = int(rng.integers(1, 30))
        if rng.random() < 0.6:
            a, b = rng.choice(S, size=2, replace=False)
            hedge = rng.normal(1.0, 0.3)
            sign = rng.choice([-1.0, 1.0])
            positions[t:t + length, a] = sign
            positions[t:t + length, b] = -sign * hedge
        t += length
    return positions


@pytest.mark.parametrize("seed", range(12))
@pytest.mark.parametrize("scale", [False, True])
def test_matches_numpy_rendering_on_random_walk_positions(seed, scale):
    rng = np.random.default_rng(seed)
    T, S = int(rng.integers(2, 400)), int(rng.integers(2, 12))
    closes = np.exp(np.cumsum(rng.normal(0, 0.02, (T, S)), axis=0)) * rng.uniform(1, 500, S)
    positions = walk_like_positions(rng, T, S)
    spreads = rng.uniform(0, 0.01, S)
    args = dict(equity0=float(rng.uniform(1e3, 1e6)), pct=float(rng.uniform(0.1, 1.0)),
                commission=float(rng.uniform(0, 0.01)), slippage_frac=float(rng.uniform(0, 1)),
                scale=scale)
    native = book(positions, closes, spreads, **args)
    expected = numpy_book(positions, closes, spreads, T, args["equity0"], args["pct"],
                          args["commission"], args["slippage_frac"], scale)
    assert_same(native, expected)


def test_real_closes_and_strided_inputs():
    from support.market_data import load_ohlcv, CRYPTO_1H

    frame = load_ohlcv(CRYPTO_1H, ["BTCUSDT", "ETHUSDT", "SOLUSDT", "LTCUSDT"],
                       start="2022-03-01", end="2022-04-15")
    closes_full = frame[[c for c in frame.columns if c.endswith("_close")]].to_numpy()
    T = len(closes_full)
    positions = walk_like_positions(np.random.default_rng(3), T, 4)
    # Fortran-ordered and sliced views are read as they are, without a copy.
    closes = np.asfortranarray(closes_full)
    native = book(positions[::1], closes, np.full(4, 0.002))
    expected = numpy_book(positions, closes_full, np.full(4, 0.002), T, 100000.0, 1.0, 0.001, 0.5, False)
    assert_same(native, expected)


def test_flat_book_and_tiny_lengths():
    closes = np.full((5, 3), 10.0)
    flat = book(np.zeros((5, 3)), closes, np.zeros(3))
    assert np.all(flat["equity_value_array"] == 100000.0)
    assert np.all(flat["returns_after_transaction_costs_array"] == 0)
    assert np.all(flat["cumprod_returns_after_transaction_costs_array"] == 1)
    one = book(np.ones((1, 3)), closes[:1], np.zeros(3))
    assert one["positions_matrix_array"].shape == (1, 3)
    assert one["returns_after_transaction_costs_array"].shape == (0,)
    none = book(np.ones((0, 3)), closes[:0], np.zeros(3))
    assert none["positions_matrix_array"].shape == (0, 3)
    assert none["equity_value_array"].shape == (0,)


def test_opening_trade_pays_costs_and_books_no_pnl():
    closes = np.array([[10.0, 20.0], [11.0, 19.0], [12.0, 18.0]])
    positions = np.array([[0.0, 0.0], [1.0, -1.0], [1.0, -1.0]])
    r = book(positions, closes, np.array([0.01, 0.02]), commission=0.001, slippage_frac=0.5)
    assert np.all(r["securities_pnl_matrix_array"][1] == 0)
    np.testing.assert_array_equal(r["change_in_positions_matrix_array"][1], r["positions_matrix_array"][1])
    opening = np.abs(r["change_in_positions_market_value_matrix_array"][1])
    np.testing.assert_allclose(r["commissions_matrix_array"][1], opening * 0.001)
    np.testing.assert_allclose(r["slippage_matrix_array"][1], opening * np.array([0.01, 0.02]) * 0.5)
    assert r["equity_value_array"][1] == 100000.0 - np.sum(opening * 0.001 + opening * [0.005, 0.01])
    # the legs' market values follow position x close, summing to the equity in gross
    np.testing.assert_allclose(r["positions_market_value_matrix_array"][1],
                               np.array([11.0, -19.0]) / 30.0 * 100000.0)


def test_costs_change_only_money_not_holdings():
    rng = np.random.default_rng(11)
    closes = np.exp(np.cumsum(rng.normal(0, 0.02, (200, 4)), axis=0)) * 50
    positions = walk_like_positions(rng, 200, 4)
    cheap = book(positions, closes, np.full(4, 0.001), commission=0.0, slippage_frac=0.0)
    dear = book(positions, closes, np.full(4, 0.01), commission=0.01, slippage_frac=1.0)
    for key in KEYS[:4]:
        np.testing.assert_array_equal(cheap[key], dear[key])
    assert dear["equity_value_array"][-1] < cheap["equity_value_array"][-1]


def test_bankruptcy_stop():
    T = 8
    closes = np.column_stack([np.array([10, 10, 10, 30, 60, 90, 90, 90], float), np.full(T, 10.0)])
    positions = np.zeros((T, 2))
    positions[1:, 0] = -1.0  # short the rising leg
    positions[1:, 1] = 1.0
    r = book(positions, closes, np.zeros(2), commission=0.0, slippage_frac=0.0, pct=1.0)
    assert_same(r, numpy_book(positions, closes, np.zeros(2), T, 100000.0, 1.0, 0.0, 0.0, False))
    equity = r["equity_value_array"]
    f = int(np.flatnonzero(equity <= 0)[0])
    assert np.all(equity[f:] == 0)
    for key in KEYS[:9]:
        assert np.all(r[key][f + 1:] == 0), key
    assert np.any(r["securities_pnl_matrix_array"][f] != 0)
    returns = r["returns_after_transaction_costs_array"]
    assert np.all(returns[f:] == 0)
    cumprod = r["cumprod_returns_after_transaction_costs_array"]
    assert np.all(cumprod[f - 1:] == cumprod[f - 1])


def test_bankrupt_at_the_first_bar_stops_everything():
    closes = np.full((4, 2), 10.0)
    positions = np.array([[1.0, -1.0]] * 4)
    r = book(positions, closes, np.ones(2), equity0=1000.0, commission=0.6, slippage_frac=1.0)
    assert_same(r, numpy_book(positions, closes, np.ones(2), 4, 1000.0, 1.0, 0.6, 1.0, False))
    assert np.all(r["equity_value_array"] == 0)
    assert np.all(r["positions_matrix_array"][1:] == 0)
    assert np.all(r["returns_after_transaction_costs_array"] == 0)
    assert np.all(r["cumprod_returns_after_transaction_costs_array"] == 1)


@pytest.mark.parametrize("scale", [False, True])
def test_zero_close_of_a_security_not_held_leaves_equity_finite(scale):
    # The third security is never held and closes at 0; the first one closes at 0 at bar 3,
    # after the book was closed at bar 2.
    closes = np.array([[10.0, 20.0, 0.0], [11.0, 19.0, 0.0], [12.0, 18.0, 0.0], [0.0, 17.0, -1.0],
                       [-3.0, 16.0, 0.0]])
    positions = np.array([[1.0, -1.0, 0.0], [1.0, -1.0, 0.0], [0.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.0, 1.0, 0.0]])
    spreads = np.array([0.01, 0.02, 0.03])
    r = book(positions, closes, spreads, scale=scale)
    assert_same(r, numpy_book(positions, closes, spreads, 5, 100000.0, 1.0, 0.001, 0.5, scale))
    assert np.all(np.isfinite(r["equity_value_array"]))
    units = r["positions_matrix_array"]
    assert np.all(units[:, 2] == 0) and np.all(units[2:, 0] == 0) and np.all(units[2] == 0)


def test_zero_close_of_a_held_leg_books_no_gain():
    # As found: a short leg whose close drops to 0 was closed at 0 and booked its whole
    # market value as a 66.7 % gain (equity 100000, 100000, 166666.67, 166666.67).
    closes = np.array([[10.0, 20.0], [10.0, 20.0], [10.0, 0.0], [10.0, 20.0]])
    positions = np.array([[1.0, -1.0]] * 4)
    r = book(positions, closes, np.zeros(2), pct=1.0, commission=0.0, slippage_frac=0.0)
    assert_same(r, numpy_book(positions, closes, np.zeros(2), 4, 100000.0, 1.0, 0.0, 0.0, False))
    np.testing.assert_array_equal(r["equity_value_array"], [100000.0, 100000.0, np.nan, np.nan])
    assert np.isnan(r["positions_matrix_array"][2:]).all()
    assert np.isnan(r["securities_pnl_matrix_array"][2, 1])  # no mark to a close of 0


@pytest.mark.parametrize("bad_close", [0.0, -5.0, np.nan])
@pytest.mark.parametrize("closing", [False, True])
def test_held_leg_without_a_positive_close_is_not_a_number_from_that_bar(bad_close, closing):
    # Held at bar 2 either by its position row or only by the units it carries in (the row
    # closes the book there); the never-held third security keeps units 0 throughout.
    closes = np.array([[10.0, 20.0, 5.0], [11.0, 19.0, 5.0], [12.0, bad_close, 5.0], [13.0, 18.0, 5.0]])
    positions = np.array([[1.0, -1.0, 0.0]] * 4)
    if closing:
        positions[2:] = 0.0
    spreads = np.array([0.01, 0.02, 0.03])
    r = book(positions, closes, spreads, commission=0.002)
    assert_same(r, numpy_book(positions, closes, spreads, 4, 100000.0, 1.0, 0.002, 0.5, False))
    assert np.isnan(r["positions_matrix_array"][2, 1])
    assert np.all(np.isfinite(r["equity_value_array"][:2])) and np.all(np.isnan(r["equity_value_array"][2:]))
    assert np.all(r["positions_matrix_array"][:, 2] == 0)


@pytest.mark.parametrize("seed", range(8))
def test_matches_numpy_rendering_with_closes_that_are_not_prices(seed):
    rng = np.random.default_rng(100 + seed)
    T, S = int(rng.integers(2, 200)), int(rng.integers(2, 8))
    closes = np.exp(np.cumsum(rng.normal(0, 0.02, (T, S)), axis=0)) * 50
    bad = rng.random((T, S)) < 0.02
    closes[bad] = rng.choice([0.0, -1.0], size=bad.sum())
    positions = walk_like_positions(rng, T, S)
    spreads = rng.uniform(0, 0.01, S)
    scale = bool(seed % 2)
    native = book(positions, closes, spreads, pct=0.7, scale=scale)
    assert_same(native, numpy_book(positions, closes, spreads, T, 100000.0, 0.7, 0.001, 0.5, scale))


def test_refuses_inputs_that_cannot_be_booked():
    closes = np.ones((3, 2))
    with pytest.raises(ValueError):
        book(np.ones((3, 2)), closes, np.zeros(2), T=4)
    with pytest.raises(ValueError):
        book(np.ones((3, 2)), closes, np.zeros(1))
    with pytest.raises(TypeError):
        book(np.ones((3, 2), dtype=np.float32), closes, np.zeros(2))
    with pytest.raises(TypeError):
        book(np.ones((3, 2)), closes.astype(np.int64), np.zeros(2))


def test_arrays_with_odd_strides_are_read_correctly():
    rng = np.random.default_rng(5)
    T, S = 60, 3
    closes = np.exp(np.cumsum(rng.normal(0, 0.02, (T, S)), axis=0)) * 20
    positions = walk_like_positions(rng, T, S)
    packed = np.zeros(S, dtype=[("spread", "f8"), ("tag", "i4")])  # 12-byte records
    packed["spread"] = [0.001, 0.002, 0.003]
    odd = book(positions, closes, packed["spread"])
    plain = book(positions, closes, np.array([0.001, 0.002, 0.003]))
    assert_same(odd, plain)
