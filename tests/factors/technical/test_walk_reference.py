"""The native rolling walk against the plain-Python reference walk.

Two comparisons per fixture: against the reference with the libraries' own estimators
(statsmodels, scikit-learn), equal to their rounding; and against the reference fed the
native Johansen and half-life, equal bit for bit, which pins down everything else in the walk
(z-scores, state machine, barriers, conversion).
"""

import numpy as np
import pytest

from factors.technical.factor_helpers import assert_interrupted_with_the_gil_released
from factors.technical.factor_helpers import trading_params as params
from factors.technical.reference_walk import ReferenceWalk
from support.frames import make_ohlcv_frame
from support.market_data import CRYPTO_1H, SP500_CLEAN, load_ohlcv
from velmora.factors.technical import cointpairs as cp


class Fixture:
    def __init__(self, frame, step, w, **overrides):
        self.names = [c[: -len("_close")] for c in frame.columns if c.endswith("_close")]
        self.column_names = list(frame.columns)
        self.data = np.ascontiguousarray(frame.to_numpy(dtype=np.float64))
        self.closes = np.ascontiguousarray(frame[[n + "_close" for n in self.names]].to_numpy(dtype=np.float64))
        self.step = step
        self.params = params(w, **overrides)
        self.settings = dict(hedge_ratio_reestimation_interval=step, johansen_sampling_step=step,
                             barrier_readjustment_interval=step,
                             maximum_zscore_window=int(self.data.shape[0] * 0.5))

    def native(self, closes=None, on_entry=None):
        closes = self.closes if closes is None else closes
        with np.errstate(divide="ignore", invalid="ignore"):
            logs = np.log(closes)
        return cp._walk(closes, logs, self.params, on_entry=on_entry, **self.settings)

    def reference(self, data=None, exact=False, on_entry=None):
        kwargs = {}
        if exact:
            kwargs = dict(
                hedge_ratio=lambda a, b, s: cp._hedge_ratio_from_johansen(
                    np.ascontiguousarray(a), np.ascontiguousarray(b), s),
                halflife=cp._halflife_from_spread)
        walk = ReferenceWalk(self.data if data is None else data, self.column_names, self.names,
                             self.params, on_entry=on_entry, **self.settings, **kwargs)
        return walk.run()


def clean(frame):
    return frame.ffill().dropna()


@pytest.fixture(scope="module")
def fixtures():
    synthetic = make_ohlcv_frame(n_bars=700, n_cointegrated=3, n_independent=1, seed=21)
    crypto = clean(load_ohlcv(CRYPTO_1H, ["BTCUSDT", "ETHUSDT", "LTCUSDT", "BNBUSDT", "LINKUSDT"],
                              start="2022-03-01", end="2022-04-20"))
    equity = clean(load_ohlcv(SP500_CLEAN, ["JPM", "BAC", "XOM", "CVX"], start="2012-01-01",
                              end="2014-12-31"))
    return {
        "synthetic": Fixture(synthetic, step=4, w=120),
        "crypto-hourly": Fixture(crypto, step=24, w=300, zscore_halflife_multiplier=1.5),
        "equity-daily": Fixture(equity, step=1, w=90, starting_sd_for_position_entry=2),
        "synthetic-long-zscore": Fixture(synthetic, step=4, w=60, zscore_halflife_multiplier=9.0),
    }


FIXTURES = ["synthetic", "crypto-hourly", "equity-daily", "synthetic-long-zscore"]


def assert_trades_close(ours, ref):
    assert [(t["pair"], t["entry"], t["exit"], t["trade_label"]) for t in ours] == [
        (t["pair"], t["entry"], t["exit"], t["trade_label"]) for t in ref]
    np.testing.assert_allclose([t["trade_returns"] for t in ours], [t["trade_returns"] for t in ref],
                               rtol=1e-7, atol=1e-12)


@pytest.mark.parametrize("name", FIXTURES)
def test_native_walk_equals_reference_with_library_estimators(fixtures, name):
    fx = fixtures[name]
    ours, ref = fx.native(), fx.reference()
    assert len(ref["trades"]) >= 3, "the fixture must trade to test anything"
    assert ours["entries"] == ref["entries"]
    assert_trades_close(ours["trades"], ref["trades"])
    scale = np.abs(ref["positions"]).max()
    np.testing.assert_allclose(ours["positions"], ref["positions"], rtol=1e-8, atol=1e-10 * scale)
    for a, b in zip(ours["states"], ref["states"]):
        assert (a["cointegrated"], a["halflife"], a["spread_position"], a["reestimation_countdown"],
                a["barrier_countdown"]) == (b["cointegrated"], b["halflife"], b["spread_position"],
                                            b["reestimation_countdown"], b["barrier_countdown"])
        np.testing.assert_allclose(a["hedge_ratios"], b["hedge_ratios"], rtol=1e-8)


@pytest.mark.parametrize("name", FIXTURES)
def test_native_walk_equals_reference_bit_for_bit_given_the_same_estimators(fixtures, name):
    fx = fixtures[name]
    ours, ref = fx.native(), fx.reference(exact=True)
    assert np.array_equal(ours["positions"], ref["positions"])
    assert ours["trades"] == ref["trades"]
    assert ours["states"] == ref["states"]


def test_rows_before_the_first_window_stay_empty_and_pairs_follow_list_order(fixtures):
    fx = fixtures["synthetic"]
    ours = fx.native()
    w = fx.params["size_of_rolling_windows"]
    assert not ours["positions"][:w].any()
    assert ours["positions"][w:].any()
    # Four securities: six pairs, (0,1), (0,2), (0,3), (1,2), ... in that order.
    assert len(ours["states"]) == 6
    assert {t["pair"] for t in ours["trades"]} <= set(range(6))


def test_vetoed_entries_are_followed_but_never_booked_or_recorded(fixtures):
    fx = fixtures["synthetic"]
    veto = lambda bar, pair, position, ha, hb, z: (bar + pair) % 3 != 0  # noqa: E731
    ours, ref = fx.native(on_entry=veto), fx.reference(exact=True, on_entry=veto)
    assert np.array_equal(ours["positions"], ref["positions"])
    assert ours["trades"] == ref["trades"]
    assert ours["entries"] == ref["entries"]
    vetoed = [e for e in ours["entries"] if not e[3]]
    allowed = [e for e in ours["entries"] if e[3]]
    assert vetoed and allowed
    recorded = {(t["pair"], t["entry"]) for t in ours["trades"]}
    assert not recorded & {(e[1], e[0]) for e in vetoed}
    # A vetoed trade books nothing while it is followed, and blocks new entries of its pair.
    free = fx.native()
    assert not np.array_equal(free["positions"], ours["positions"])
    assert len(free["trades"]) > len(ours["trades"])


def test_a_bar_never_sees_its_own_or_later_data(fixtures):
    fx = fixtures["crypto-hourly"]
    base = fx.native()["positions"]
    rng = np.random.default_rng(4)
    w = fx.params["size_of_rolling_windows"]
    for i in sorted(rng.integers(w, fx.closes.shape[0] - 1, 4)):
        poked = fx.closes.copy()
        poked[i:] *= rng.uniform(0.5, 1.5, poked[i:].shape)
        moved = fx.native(closes=poked)["positions"]
        assert np.array_equal(moved[: i + 1], base[: i + 1])
        assert not np.array_equal(moved, base)


def test_an_error_in_the_entry_callback_ends_the_walk(fixtures):
    def fail(*_):
        raise ZeroDivisionError("from the classifier")

    with pytest.raises(ZeroDivisionError, match="from the classifier"):
        fixtures["synthetic"].native(on_entry=fail)


@pytest.fixture(scope="module")
def big_walk():
    frame = make_ohlcv_frame(n_bars=3000, n_cointegrated=20, n_independent=20, seed=2)
    return Fixture(frame, step=1, w=400, zscore_halflife_multiplier=9.0,
                   rolling_volatility_halflife_multiplier=10.0)


def test_walk_releases_the_gil_and_stops_on_ctrl_c(big_walk):
    assert_interrupted_with_the_gil_released(big_walk.native)


def test_factor_walk_on_hourly_crypto_equals_the_library_reference():
    """The class end to end on a year of real hourly bars: its positions matrix and trade
    store against the reference walk run with statsmodels and scikit-learn on the factor's
    own working arrays."""
    frame = load_ohlcv(CRYPTO_1H, ["BTCUSDT", "ETHUSDT", "LTCUSDT"], start="2022-01-01", end="2022-09-30")
    factor = cp.PairsTradingSerialCointegrationFactor("crypto_test", frame, 60, [], False)
    f = cp._factor_fields(factor)
    assert f["johansen_sampling_step"] == 24
    p = params(300, zscore_halflife_multiplier=1.5)
    positions = cp._run_walk(factor, p)
    f = cp._factor_fields(factor)
    walk = ReferenceWalk(f["data_matrix_array"], f["data_column_names_array"], f["securities_names_list"], p,
                         hedge_ratio_reestimation_interval=f["hedge_ratio_reestimation_interval"],
                         johansen_sampling_step=f["johansen_sampling_step"],
                         barrier_readjustment_interval=f["barrier_readjustment_interval"],
                         maximum_zscore_window=f["maximum_zscore_window"])
    ref = walk.run()
    assert len(ref["trades"]) > 20
    np.testing.assert_allclose(positions, ref["positions"], rtol=1e-8,
                               atol=1e-10 * np.abs(ref["positions"]).max())
    times = f["datetime_array"]
    store = [f["trade_store"][k] for k in range(f["trade_counter"])]
    assert [(r["trade_securities"], r["time_of_entry"], r["time_of_exit"], r["trade_label"]) for r in store] == [
        (walk.pairs_list[t["pair"]], times[t["entry"]], times[t["exit"]], t["trade_label"]) for t in ref["trades"]]
    np.testing.assert_allclose([r["trade_returns"] for r in store], [t["trade_returns"] for t in ref["trades"]],
                               rtol=1e-7, atol=1e-12)
