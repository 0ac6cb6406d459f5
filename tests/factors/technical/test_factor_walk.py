"""The factor's rolling walk as a class: the native walk wired to the factor's arrays, its
per-pair state, trade records, features and classifier veto through fakes, and the split.
The oracle is the plain-Python reference walk run on the factor's own working arrays."""

import numpy as np
import pandas as pd
import pytest

from factors.technical.factor_helpers import (FakeSignalsmith, FakeTradegate, assert_interrupted_with_the_gil_released,
                                              daily_frame, fields, make_factor)
from factors.technical.factor_helpers import trading_params as params
from factors.technical.reference_walk import ReferenceWalk
from support.market_data import SP500_CLEAN, load_ohlcv
from velmora.factors.technical import cointpairs


def reference_for(factor, p, on_entry=None):
    """The reference walk over the factor's own arrays, with the native estimators so that
    everything downstream of them is compared bit for bit."""
    f = fields(factor)
    walk = ReferenceWalk(
        f["data_matrix_array"], f["data_column_names_array"], f["securities_names_list"], p,
        hedge_ratio_reestimation_interval=f["hedge_ratio_reestimation_interval"],
        johansen_sampling_step=f["johansen_sampling_step"],
        barrier_readjustment_interval=f["barrier_readjustment_interval"],
        maximum_zscore_window=f["maximum_zscore_window"], on_entry=on_entry,
        hedge_ratio=lambda a, b, s: cointpairs._hedge_ratio_from_johansen(
            np.ascontiguousarray(a), np.ascontiguousarray(b), s),
        halflife=cointpairs._halflife_from_spread)
    return walk, walk.run()


STATE_DICTS = {
    "hedge_ratios": "hedge_ratios_dict", "cointegrated": "cointegration_flags_dict", "halflife": "halflife_dict",
    "spread_position": "spread_position_dict", "reestimation_countdown": "reestimation_countdown_dict",
    "take_profit": "take_profit_dict", "stop_loss": "stop_loss_dict", "time_barrier": "time_barrier_dict",
    "spread_at_entry": "spread_at_entry_dict", "std_at_entry": "std_at_entry_dict",
    "barrier_countdown": "barrier_countdown_dict", "meta_label_veto": "meta_label_veto",
}


@pytest.fixture(scope="module")
def equities():
    frame = load_ohlcv(SP500_CLEAN, ["JPM", "BAC", "XOM", "CVX"], start="2013-06-01", tz="America/New_York")
    return frame


@pytest.mark.parametrize("source, w", [("synthetic", 60), ("equities", 45)])
def test_walk_equals_the_reference(source, w, request):
    frame = daily_frame(n_days=320, names=("A", "B", "C", "D")) if source == "synthetic" else request.getfixturevalue("equities")
    factor = make_factor(frame)
    p = params(w)
    positions = cointpairs._run_walk(factor, p)
    walk, ref = reference_for(factor, p)
    f = fields(factor)

    assert positions is f["positions_matrix_array"]
    np.testing.assert_array_equal(positions, ref["positions"])
    assert not positions[:w].any() and positions[w:].any()
    assert f["pairs_list"] == walk.pairs_list

    # Every closed trade, in closing order, with its bar times and the pair tuple.
    times = f["datetime_array"]
    assert len(ref["trades"]) > 5 and f["trade_counter"] == len(ref["trades"])
    assert list(f["trade_store"]) == list(range(len(ref["trades"])))
    for key, trade in enumerate(ref["trades"]):
        record = f["trade_store"][key]
        assert list(record) == ["time_of_entry", "time_of_exit", "trade_label", "trade_returns",
                                "trade_securities", "features"]
        assert record["time_of_entry"] == times[trade["entry"]] and record["time_of_exit"] == times[trade["exit"]]
        assert record["trade_label"] == trade["trade_label"] and type(record["trade_label"]) is int
        assert record["trade_returns"] == trade["trade_returns"] and type(record["trade_returns"]) is float
        assert record["trade_securities"] == walk.pairs_list[trade["pair"]] and record["features"] is None

    # The per-pair dicts hold every pair's state after the last bar.
    for k, pair in enumerate(walk.pairs_list):
        for name, field in STATE_DICTS.items():
            got = f[field][pair]
            got = tuple(got) if name == "hedge_ratios" else got
            assert got == ref["states"][k][name], (pair, name)
        np.testing.assert_array_equal(f["spread_dict"][pair], walk.spread_dict[pair])
    assert f["current_time"] == times[-1]
    np.testing.assert_array_equal(f["positions_array"], positions[-1])


def test_features_and_veto_through_fakes(capsys):
    frame = daily_frame(n_days=320, names=("A", "B", "C", "D"))
    gate = FakeTradegate(loaded=True)
    smith = FakeSignalsmith()
    factor = make_factor(frame, vodED_signalsmith=smith, vodED_tradegate=gate)
    w = 60
    p = params(w)
    decisions = [bool(x) for x in np.random.default_rng(5).integers(0, 2, 200)]
    gate.predictions = [np.int64(d) for d in decisions]

    positions = cointpairs._run_walk(factor, p)
    f = fields(factor)

    seen = []

    def veto(bar, pair_index, position, hedge_a, hedge_b, zscore):
        seen.append((bar, pair_index, (hedge_a, hedge_b)))
        return decisions[len(seen) - 1]

    walk, ref = reference_for(factor, p, on_entry=veto)
    np.testing.assert_array_equal(positions, ref["positions"])
    n_entries = len(seen)
    assert n_entries > 5 and len(smith.calls) == n_entries and len(gate.predict_inputs) == n_entries
    assert not all(decisions[:n_entries]) and any(decisions[:n_entries])

    times, data = f["datetime_array"], f["data_matrix_array"]
    lines = capsys.readouterr().out.splitlines()
    assert len(lines) == n_entries
    for (bar, pair_index, hedges), call, line, decision, X in zip(seen, smith.calls, lines, decisions,
                                                                  gate.predict_inputs):
        pair = walk.pairs_list[pair_index]
        assert call["pair_of_security"] == pair and call["pair_hedge_ratios"] == hedges
        assert call["data_column_names_array"] is f["data_column_names_array"]
        np.testing.assert_array_equal(call["rolling_window_matrix_array"], data[bar - w:bar])
        assert line == f"CURRENT TIME: {times[bar]} | PAIR: {pair} | PREDICTION: {decision}"
        assert isinstance(X, pd.DataFrame) and X.shape == (1, 2) and list(X.columns) == ["f_last_first_column", "f_rows"]

    # Only allowed entries are booked and recorded, each with its entry's features.
    assert f["trade_counter"] == len(ref["trades"]) > 0
    for key, trade in enumerate(ref["trades"]):
        record = f["trade_store"][key]
        assert record["time_of_entry"] == times[trade["entry"]]
        assert record["features"] == {"f_last_first_column": data[trade["entry"] - 1, 0], "f_rows": float(w)}


def test_features_requested_without_a_classifier(capsys):
    smith = FakeSignalsmith()
    factor = make_factor(daily_frame(n_days=320), vodED_signalsmith=smith)
    cointpairs._request_features(factor, True)
    cointpairs._run_walk(factor, params(60))
    store = fields(factor)["trade_store"]
    assert store and all(isinstance(r["features"], dict) for r in store.values())
    assert capsys.readouterr().out == ""


class Boom(Exception):
    pass


class FailingTradegate(FakeTradegate):
    def predict(self, X):
        raise Boom("predict failed")


@pytest.mark.parametrize("smith, gate, error", [
    (None, FakeTradegate(loaded=True), AttributeError),    # features needed, no feature generator
    (FakeSignalsmith(), FailingTradegate(loaded=True), Boom),
])
def test_errors_at_entries_end_the_walk(smith, gate, error):
    factor = make_factor(daily_frame(n_days=320), vodED_signalsmith=smith, vodED_tradegate=gate)
    with pytest.raises(error):
        cointpairs._run_walk(factor, params(60))


def test_walks_are_independent_but_trades_accumulate():
    frame = daily_frame(n_days=320, names=("A", "B", "C", "D"))
    factor = make_factor(frame)
    first = cointpairs._run_walk(factor, params(60))
    n_first = fields(factor)["trade_counter"]
    first_trade = dict(fields(factor)["trade_store"][0])
    second = cointpairs._run_walk(factor, params(45, starting_sd_for_position_entry=2))
    assert second is not first  # a fresh matrix for every walk

    fresh = make_factor(frame)
    np.testing.assert_array_equal(second, cointpairs._run_walk(fresh, params(45, starting_sd_for_position_entry=2)))
    f = fields(factor)
    assert f["trade_counter"] == n_first + fields(fresh)["trade_counter"]
    assert list(f["trade_store"]) == list(range(f["trade_counter"]))
    assert f["trade_store"][0] == first_trade
    assert f["trade_store"][n_first]["time_of_entry"] == fields(fresh)["trade_store"][0]["time_of_entry"]


def test_no_look_ahead():
    frame = daily_frame(n_days=320, names=("A", "B", "C"))
    p = params(50)
    base = cointpairs._run_walk(make_factor(frame), p)
    for i in (50, 120, 250):
        changed = frame.copy()
        changed.iloc[i:, :] = changed.iloc[i:, :].to_numpy() * np.linspace(0.5, 1.7, len(frame) - i)[:, None]
        positions = cointpairs._run_walk(make_factor(changed), p)
        np.testing.assert_array_equal(positions[: i + 1], base[: i + 1])
        assert not np.array_equal(positions[i + 1:], base[i + 1:])


@pytest.mark.parametrize("rows, w, ratio, n_train", [
    (320, 60, 0.8, 208),        # 60 + int(260 * 0.8)
    (320, 59, 0.8, 208),        # 261 * 0.8 = 208.8, truncated
    (320, 60, 1.0, 260),        # no test part
    (320, 60, 1e-9, 0),
])
def test_train_test_split(rows, w, ratio, n_train):
    factor = make_factor(daily_frame(n_days=rows), train_split_ratio=ratio)
    cointpairs._run_walk(factor, params(w))
    f = fields(factor)
    train_t, train_p, train_c, test_t, test_p, test_c = cointpairs._train_test_split(factor, w)
    split = w + n_train
    assert len(train_t) == len(train_p) == len(train_c) == n_train
    assert len(test_t) == len(test_p) == len(test_c) == rows - split
    np.testing.assert_array_equal(train_t, f["datetime_array"][w:split])
    np.testing.assert_array_equal(test_p, f["positions_matrix_array"][split:])
    for part, whole in ((train_p, "positions_matrix_array"), (train_c, "close_matrix_array"),
                        (test_c, "close_matrix_array"), (train_t, "datetime_array")):
        assert part.shape[1:] == f[whole].shape[1:]
        assert part.size == 0 or np.shares_memory(part, f[whole])


def test_a_callback_cannot_start_a_second_walk_of_the_same_factor():
    class Reentrant(FakeTradegate):
        def predict(self, X):
            return cointpairs._run_walk(self.factor, params(60))

    gate = Reentrant(loaded=True)
    factor = make_factor(daily_frame(n_days=320), vodED_signalsmith=FakeSignalsmith(), vodED_tradegate=gate)
    gate.factor = factor
    with pytest.raises(RuntimeError, match="already running"):
        cointpairs._run_walk(factor, params(60))
    gate.factor = None
    # The factor is usable again afterwards.
    factor.initialize_vodED_data_structures(None, None)
    np.testing.assert_array_equal(cointpairs._run_walk(factor, params(60)),
                                  cointpairs._run_walk(make_factor(daily_frame(n_days=320)), params(60)))


def test_one_bar_step_continues_the_walk():
    # Stepping a walked factor over its latest window decides what the walk of one more bar
    # writes into that bar's row, trades closing on it included.
    full = daily_frame(n_days=321, names=("A", "B", "C", "D"))
    longer, shorter = make_factor(full), make_factor(full.iloc[:320])
    assert fields(longer)["maximum_zscore_window"] == fields(shorter)["maximum_zscore_window"]
    p = params(47)  # a trade closes and another opens on bar 320
    expected = cointpairs._run_walk(longer, p)[320]
    cointpairs._run_walk(shorter, p)
    shorter.current_time = fields(longer)["datetime_array"][320]
    row = cointpairs._one_bar_positions(shorter, p, 320)
    np.testing.assert_array_equal(row, expected)
    assert row is fields(shorter)["positions_array"]
    a, b = fields(shorter), fields(longer)
    t = b["datetime_array"][320]
    assert any(r["time_of_exit"] == t for r in a["trade_store"].values())
    assert any(r["time_of_entry"] == t for r in a["open_trade_records"].values())
    assert a["trade_store"] == b["trade_store"] and a["trade_counter"] == b["trade_counter"]
    assert a["open_trade_records"] == b["open_trade_records"]
    for name in STATE_DICTS.values():
        assert a[name] == b[name], name

    with pytest.raises(ValueError):
        cointpairs._one_bar_positions(shorter, p, 321)


def test_walk_releases_the_gil_and_stops_on_ctrl_c():
    from support.frames import make_ohlcv_frame

    frame = make_ohlcv_frame(n_bars=3000, n_cointegrated=20, n_independent=20, freq="1D", seed=2)
    factor = make_factor(frame)
    p = params(400, zscore_halflife_multiplier=9.0, rolling_volatility_halflife_multiplier=10.0)
    assert_interrupted_with_the_gil_released(lambda: cointpairs._run_walk(factor, p))
    # An interrupted walk leaves the factor free for the next one (a short one here).
    assert cointpairs._run_walk(factor, params(2990)).shape == (3000, 40)


def test_with_the_real_feature_generator_and_classifier(in_tmp_dir):
    # No saved model under the working directory: the classifier is not ready, and features
    # come from the real generator only because they are requested.
    from velmora.vodED.signalsmith import Signalsmith
    from velmora.vodED.tradegate import OptimalEntryClassifier

    factor = make_factor(daily_frame(n_days=320), vodED_signalsmith=Signalsmith(),
                         vodED_tradegate=OptimalEntryClassifier())
    assert not fields(factor)["vodED_ready"]
    cointpairs._request_features(factor, True)
    cointpairs._run_walk(factor, params(60))
    store = fields(factor)["trade_store"]
    assert store and all(len(r["features"]) == 126 for r in store.values())


def test_walk_state_follows_rebuilt_arrays_and_ignores_list_reordering():
    frame = daily_frame(n_days=320, names=("A", "B", "C", "D"))
    names = ["A", "B", "C", "D"]
    factor = make_factor(frame, securities_names_list=names)
    p = params(47)
    walked = cointpairs._run_walk(factor, p)

    # Reordering the caller's list after construction pairs no price with a wrong name (the
    # legs of each pair swap, which moves results by rounding only).
    names.reverse()
    np.testing.assert_allclose(cointpairs._run_walk(factor, p), walked, rtol=1e-9, atol=1e-9)
    names.reverse()

    # Rebuilding the arrays for fewer securities drops the old walk state: the next one-bar
    # step starts afresh on the new arrays instead of reading columns that are gone.
    cointpairs._run_walk(factor, p)
    names.pop()
    for column in [c for c in frame.columns if c.startswith("D_")]:
        del frame[column]  # the factor holds this very frame
    factor.intialize_pairs_trading_data_structures()
    fresh = make_factor(frame.copy(), securities_names_list=["A", "B", "C"])
    end = fields(fresh)["number_of_rows"]
    np.testing.assert_array_equal(cointpairs._one_bar_positions(factor, p, end),
                                  cointpairs._one_bar_positions(fresh, p, end))
