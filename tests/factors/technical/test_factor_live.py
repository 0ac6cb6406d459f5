"""Live use of the factor: appending bars with update and the weights of predict.

The oracle of predict is the rolling walk itself: a second factor built the same way holds
every bar at once, and its walk's positions row for the bar after the latest one (decided
from the bars up to the latest, the walk never looks ahead) gives the weights predict must
return, sized by market value at the latest closes."""

import json
import logging
import shutil
import subprocess
import sys
import warnings

import numpy as np
import optuna
import pandas as pd
import pytest

from factors.technical.factor_helpers import Factor, fields, trading_params
from support.market_data import load_ohlcv
from velmora.factors.technical import cointpairs

OBJECTIVE = "latest_cumprod_returns"
STUDY_NAME = "PairsTradingSerialCointegrationFactor"
STUDY_FILE = f"crypto_1440_{OBJECTIVE}_0.9_{STUDY_NAME}.db"
N_FIT = 400
N_LIVE = 24
TRADING_PARAMS = trading_params(40)


@pytest.fixture(scope="module")
def crypto_daily():
    return load_ohlcv("binance_spot_1d_2017-2026", ["BTCUSDT", "ETHUSDT", "LTCUSDT", "XRPUSDT"],
                      start="2020-06-01", end="2021-12-31")


def make(frame, **kwargs):
    # Without costs: at every bar's rebalancing they would ruin the training run of these
    # parameters, a failed trial; weights and positions do not depend on them.
    kwargs.setdefault("market_value_pct_commissions", 0.0)
    kwargs.setdefault("bid_ask_spread_pct_slippage", 0.0)
    return Factor("crypto", frame, 1440, [], False, objective=OBJECTIVE, **kwargs)


def weights_from(positions_row, closes_row):
    values = positions_row * closes_row
    gross = np.sum(np.abs(values))
    return values / gross if gross != 0 else values


def snapshot(factor):
    f = fields(factor)
    return {k: f[k] for k in ("datetime_array", "data_matrix_array", "close_matrix_array", "number_of_rows")}


@pytest.fixture(scope="module")
def fitted(crypto_daily, tmp_path_factory):
    """A factor fitted on the first N_FIT bars, and the oracle walk over those bars plus the
    live ones (and one more, so the bar after the last live bar has a row)."""
    folder = tmp_path_factory.mktemp("live")
    mp = pytest.MonkeyPatch()
    mp.chdir(folder)
    # The study is seeded with one parameter set that trades over the live bars (the sampler's
    # own start-up draws mostly stay flat there), which fit then runs as its trial.
    study = optuna.create_study(study_name="PairsTradingSerialCointegrationFactor", direction="maximize",
                                storage=f"sqlite:///crypto_1440_{OBJECTIVE}_0.9_PairsTradingSerialCointegrationFactor.db")
    study.enqueue_trial(TRADING_PARAMS)
    factor = make(crypto_daily.iloc[:N_FIT])
    factor.fit(1)
    best = dict(fields(factor)["optimal_params"])
    assert best == TRADING_PARAMS
    oracle = make(crypto_daily.iloc[:N_FIT])
    oracle.update(crypto_daily.iloc[N_FIT:N_FIT + N_LIVE + 1])
    positions = cointpairs._run_walk(oracle, best).copy()
    closes = fields(oracle)["close_matrix_array"]
    mp.undo()
    return folder, best, positions, closes, fields(oracle)


def closed_in_live_steps(store, times, first_row):
    """(pair, exit row, label, return) of the trades that closed at or after `first_row`."""
    rows = {t: i for i, t in enumerate(times)}
    return [(r["trade_securities"], rows[r["time_of_exit"]], r["trade_label"], r["trade_returns"])
            for r in store.values() if rows[r["time_of_exit"]] >= first_row]


@pytest.mark.parametrize("tolerance, interfere", [(5, False), (10 ** 9, False), (10 ** 9, True)],
                         ids=["rerun-every-bar", "one-bar-steps", "one-bar-steps-after-other-params"])
def test_bar_by_bar_weights_equal_the_full_backtest(crypto_daily, fitted, monkeypatch, tolerance, interfere):
    folder, best, positions, closes, oracle = fitted
    monkeypatch.chdir(folder)
    factor = make(crypto_daily.iloc[:N_FIT])  # a fresh object: its parameters come from the study
    seen = []
    for j in range(N_LIVE + 1):
        if j:
            factor.update(crypto_daily.iloc[[N_FIT + j - 1]])
        if interfere and j == N_LIVE // 2:
            # A run with other parameters leaves the walk state on them: predict must not step on.
            other = dict(best, size_of_rolling_windows=best["size_of_rolling_windows"] + 3)
            getattr(factor, "__run_pairs_trading_serial_cointegration_factor")(None, False, other)
        got = factor.predict(return_arrays=True, number_of_minutes_away_before_needing_to_rerun=tolerance)
        n = N_FIT + j
        # The position to hold from the latest bar n - 1 on is the walk's row n.
        np.testing.assert_array_equal(got, weights_from(positions[n], closes[n - 1]), err_msg=f"bar {j}")
        f = fields(factor)
        assert f["last_run_time"] == f["current_time"] == f["datetime_array"][n - 1]
        if j == 0:
            # Without new bars predict returns the kept weights and changes no state.
            trades = len(f["trade_store"])
            assert factor.predict(return_arrays=True, number_of_minutes_away_before_needing_to_rerun=tolerance) is got
            assert len(fields(factor)["trade_store"]) == trades
        seen.append(got)
    if tolerance > 5 and not interfere:
        # Trades closed by the one-bar steps are the walk's, stamped with the latest bar's time
        # (the walk stamps the bar after it, whose row the step's window ends before).
        live = closed_in_live_steps(fields(factor)["trade_store"], fields(factor)["datetime_array"], N_FIT - 1)
        walked = [(p, i - 1, label, r) for p, i, label, r in
                  closed_in_live_steps(oracle["trade_store"], oracle["datetime_array"], N_FIT)
                  if i <= N_FIT + N_LIVE]
        assert live == walked and live
    moving = [g for g in seen if g.any()]
    assert moving, "no position was held over the live bars: the comparison would be empty"
    for g in moving:
        assert np.isclose(np.abs(g).sum(), 1.0)


def test_a_rerun_cut_short_is_not_stepped_on(crypto_daily, fitted, monkeypatch):
    """A final run that fails mid-walk (an entry classifier error, Ctrl-C) leaves fresh pair
    state behind: the next predict must rerun the backtest, not step on from that state."""
    folder, best, positions, closes, oracle = fitted
    monkeypatch.chdir(folder)
    # A bar inside a held trade, so that state started afresh cannot give its weights.
    j = next(j for j in range(2, N_LIVE + 1) if positions[N_FIT + j - 1].any() and positions[N_FIT + j].any())
    factor = make(crypto_daily.iloc[:N_FIT + j - 1])
    factor.predict()
    cointpairs._request_features(factor, True)  # entries now call the missing feature generator
    with pytest.raises(AttributeError):
        getattr(factor, "__run_pairs_trading_serial_cointegration_factor")(None, False, best)
    cointpairs._request_features(factor, False)
    factor.update(crypto_daily.iloc[[N_FIT + j - 1]])
    got = factor.predict(return_arrays=True, number_of_minutes_away_before_needing_to_rerun=10 ** 9)
    np.testing.assert_array_equal(got, weights_from(positions[N_FIT + j], closes[N_FIT + j - 1]))


def test_new_best_parameters_are_predicted_with_at_once(crypto_daily, fitted, in_tmp_dir):
    """A better trial found elsewhere and loaded by get_full_backtest_results: the next
    predict gives the new parameters' weights even without a new bar, and later bars step
    on from there without skipping one."""
    folder, best, positions, closes, oracle = fitted
    study_file = f"crypto_1440_{OBJECTIVE}_0.9_PairsTradingSerialCointegrationFactor.db"
    shutil.copy(folder / study_file, in_tmp_dir / study_file)
    factor = make(crypto_daily.iloc[:N_FIT])
    factor.predict()

    better = trading_params(60)  # holds positions over the live bars, unlike `best`
    study = optuna.load_study(study_name="PairsTradingSerialCointegrationFactor", storage="sqlite:///" + study_file)
    study.add_trial(optuna.trial.create_trial(params=better, distributions=study.best_trial.distributions,
                                              value=study.best_value + 1.0))
    factor.get_full_backtest_results()
    walk = make(crypto_daily.iloc[:N_FIT])
    walk.update(crypto_daily.iloc[N_FIT:N_FIT + 2])
    walked = cointpairs._run_walk(walk, better)
    assert walked[N_FIT].any() and walked[N_FIT + 1].any()

    np.testing.assert_array_equal(factor.predict(return_arrays=True), weights_from(walked[N_FIT], closes[N_FIT - 1]))
    factor.update(crypto_daily.iloc[[N_FIT]])
    np.testing.assert_array_equal(factor.predict(return_arrays=True, number_of_minutes_away_before_needing_to_rerun=10 ** 9),
                                  weights_from(walked[N_FIT + 1], closes[N_FIT]))


def records(factor):
    return list(fields(factor)["trade_store"].values())


def outcomes(store_records):
    return sorted((r["trade_securities"], r["trade_label"], r["trade_returns"]) for r in store_records)


def test_a_long_live_loop_holds_each_trade_once(crypto_daily, fitted, monkeypatch):
    """At the default tolerance every daily predict reruns the whole backtest: the store must
    still hold each trade of the history once, as stepping alone does, and as many as a
    factor built on the same bars records. A caller's own full backtest records as before."""
    folder, best, positions, closes, oracle = fitted
    monkeypatch.chdir(folder)
    batches = [1, 2, 1, 3] * 15  # 60 predicts over 105 bars
    rerun, step = make(crypto_daily.iloc[:N_FIT]), make(crypto_daily.iloc[:N_FIT])
    n = N_FIT
    for batch in [0] + batches:
        for factor in (rerun, step):
            factor.update(crypto_daily.iloc[n:n + batch]) if batch else None
        n += batch
        got = rerun.predict(return_arrays=True)
        np.testing.assert_array_equal(got, step.predict(return_arrays=True,
                                                        number_of_minutes_away_before_needing_to_rerun=10 ** 9))
    held = records(rerun)
    assert held == records(step)
    fresh = make(crypto_daily.iloc[:n])
    fresh.predict()
    assert len(held) == len(records(fresh)) and outcomes(held) == outcomes(records(fresh))
    walked = make(crypto_daily.iloc[:n])
    walked.get_full_backtest_results()
    rerun.get_full_backtest_results()
    assert len(records(rerun)) == len(held) + len(records(walked))


WRITE_BETTER_TRIAL = """
import json, sys, optuna
study = optuna.load_study(study_name=sys.argv[1], storage=sys.argv[2])
study.add_trial(optuna.trial.create_trial(params=json.loads(sys.argv[3]), value=study.best_value + 1.0,
                                          distributions=study.best_trial.distributions))
"""


def test_a_new_best_trial_written_elsewhere_is_traded_whatever_the_tolerance(crypto_daily, fitted, in_tmp_dir,
                                                                             caplog):
    """Another process writes a better trial into the study mid-loop: live factors at
    tolerance 0 (a rerun at every predict) and 10^9 (never one by the tolerance) both hold the
    new best's book from the next predict on, each saying so once. While the study is gone,
    stepping goes on with the parameters held; back again, it changes nothing."""
    folder, best, positions, closes, oracle = fitted
    shutil.copy(folder / STUDY_FILE, in_tmp_dir / STUDY_FILE)
    better = trading_params(60)
    walk = make(crypto_daily.iloc[:N_FIT])
    walk.update(crypto_daily.iloc[N_FIT:N_FIT + N_LIVE + 1])
    walked = cointpairs._run_walk(walk, better)
    written, gone, back, last = 3, 7, 9, 12
    assert not np.array_equal(walked[N_FIT + written:N_FIT + last + 1], positions[N_FIT + written:N_FIT + last + 1])
    live = {tolerance: make(crypto_daily.iloc[:N_FIT]) for tolerance in (0, 10 ** 9)}
    caplog.set_level(logging.INFO, logger=" ")
    for j in range(last + 1):
        if j == written:
            subprocess.run([sys.executable, "-c", WRITE_BETTER_TRIAL, STUDY_NAME, "sqlite:///" + STUDY_FILE,
                            json.dumps(better)], check=True, cwd=in_tmp_dir)
        if j == gone:
            shutil.move(in_tmp_dir / STUDY_FILE, in_tmp_dir / "elsewhere.db")
        if j == back:
            shutil.move(in_tmp_dir / "elsewhere.db", in_tmp_dir / STUDY_FILE)
        for tolerance, factor in live.items():
            if j:
                factor.update(crypto_daily.iloc[[N_FIT + j - 1]])
            if gone <= j < back and tolerance == 0:
                continue  # a rerun reads the study, which is not there
            got = factor.predict(return_arrays=True, number_of_minutes_away_before_needing_to_rerun=tolerance)
            held = walked if j >= written else positions
            np.testing.assert_array_equal(got, weights_from(held[N_FIT + j], closes[N_FIT + j - 1]),
                                          err_msg=f"bar {j}, tolerance {tolerance}")
    changes = [r.getMessage() for r in caplog.records if r.getMessage().startswith("BEST TRIAL OF THE STUDY")]
    assert changes == ["BEST TRIAL OF THE STUDY CHANGED FROM TRIAL 0 TO TRIAL 1: RERUNNING THE BACKTEST WITH ITS "
                       "PARAMETERS | PAIRS TRADING SERIAL COINTEGRATION FACTOR 1440"] * 2


# Any 64-bit tolerance: as found, pandas refused to make a Timedelta of sys.maxsize minutes
# (and of about 1.5e8 on pandas 2.2), though "never rerun on time alone" is a natural request.
@pytest.mark.parametrize("tolerance, reruns", [(1440, 1), (1441, 0), (sys.maxsize, 0), (-sys.maxsize - 1, 1),
                                               (0, 1)])
def test_staleness_is_measured_in_minutes_and_reached_at_equality(crypto_daily, fitted, monkeypatch, caplog,
                                                                   tolerance, reruns):
    folder, _, walked, closes, _ = fitted
    monkeypatch.chdir(folder)
    factor = make(crypto_daily.iloc[:N_FIT])
    factor.predict()
    factor.update(crypto_daily.iloc[[N_FIT]])  # one daily bar: 1440 minutes behind
    caplog.set_level(logging.INFO, logger=" ")
    caplog.clear()
    weights = factor.predict(return_arrays=True, number_of_minutes_away_before_needing_to_rerun=tolerance)
    runs = [r for r in caplog.records if r.getMessage().startswith("RUNNING AN IN-SAMPLE RUN WITH OPTIMAL PARAMS")]
    assert len(runs) == reruns
    # Rerun or stepped, the weights are the full backtest's.
    np.testing.assert_array_equal(weights, weights_from(walked[N_FIT + 1], closes[N_FIT]))


def test_predict_frame_and_conversions(crypto_daily, fitted, monkeypatch):
    folder, best, positions, closes, oracle = fitted
    monkeypatch.chdir(folder)
    # Find a live bar with a position so the conversions have something to show.
    factor = make(crypto_daily.iloc[:N_FIT])
    weights = factor.predict(return_arrays=True)
    j = 0
    while not weights.any():
        j += 1
        factor.update(crypto_daily.iloc[[N_FIT + j - 1]])
        weights = factor.predict(return_arrays=True)
    f = fields(factor)
    names = f["securities_names_list"]
    latest_close = f["close_matrix_array"][-1]
    now = f["datetime_array"][-1]

    frame = factor.predict()
    assert list(frame.index) == names and list(frame.columns) == [now] and frame.dtypes.iloc[0] == np.float64
    np.testing.assert_array_equal(frame[now].to_numpy(), weights)

    ratio = np.count_nonzero(weights) / len(weights)
    units = factor.predict(return_arrays=True, convert_to_actual_positions=True, current_equity=50000.0)
    np.testing.assert_allclose(units, weights * 50000.0 * ratio / latest_close, rtol=1e-15)
    assert (units[weights == 0] == 0).all() and (units[weights != 0] != 0).all()
    units_frame = factor.predict(convert_to_actual_positions=True, current_equity=50000.0)
    assert list(units_frame.index) == names and list(units_frame.columns) == [now]
    np.testing.assert_array_equal(units_frame[now].to_numpy(), units)

    # Without scaling the conversion is an amount of money per security.
    unscaled = make(crypto_daily.iloc[:N_FIT], scale_equity_to_traded_securities=False)
    for k in range(j):
        unscaled.update(crypto_daily.iloc[[N_FIT + k]])
    money = unscaled.predict(convert_to_actual_positions=True, current_equity=50000.0, return_arrays=True)
    np.testing.assert_array_equal(money, weights * 50000.0)
    money_frame = unscaled.predict(convert_to_actual_positions=True, current_equity=50000.0)
    assert list(money_frame.index) == names
    np.testing.assert_array_equal(money_frame[now].to_numpy(), money)


def test_predict_without_a_study_is_refused(crypto_daily, in_tmp_dir):
    factor = make(crypto_daily.iloc[:N_FIT])
    with pytest.raises(FileNotFoundError, match="run fit first"):
        factor.predict()
    assert fields(factor)["optimal_params"] is None


@pytest.mark.parametrize("first, change, error, message", [
    (N_FIT, lambda new: None, Exception, "New row of data is not a pd.core.frame.DataFrame object"),
    (N_FIT, lambda new: new.to_numpy(), Exception, "New row of data is not a pd.core.frame.DataFrame object"),
    (N_FIT, lambda new: new.iloc[:, :-1], Exception, "does not have the same column length"),
    (N_FIT, lambda new: new.reset_index(drop=True), Exception, "does not have a datetime index"),
    # Checked in that order: the column count before the index, the index before the time.
    (N_FIT - 1, lambda new: new.iloc[:, :-1].reset_index(drop=True), Exception, "same column length"),
    (N_FIT - 1, lambda new: new.reset_index(drop=True), Exception, "does not have a datetime index"),
    (N_FIT - 1, lambda new: new, Exception, "before the latest datetime"),
    # The last stored bar again, on a Tokyo clock: its wall-clock time is later, its instant is not.
    (N_FIT - 1, lambda new: new.tz_convert("Asia/Tokyo"), Exception, "before the latest datetime"),
    (N_FIT, lambda new: new.rename(columns={"BTCUSDT_close": "BTCUSDT_last"}), KeyError, "BTCUSDT_close"),
    (N_FIT, lambda new: new.astype({"ETHUSDT_high": object}).assign(ETHUSDT_high="n/a"), ValueError, "n/a"),
    # A bar without a time, first or later: NaT compares false with every time.
    (N_FIT, lambda new: new.set_axis(pd.DatetimeIndex([pd.NaT, new.index[1]])), Exception, "missing datetime \\(NaT\\)"),
    (N_FIT, lambda new: new.set_axis(pd.DatetimeIndex([new.index[0], pd.NaT])), Exception, "missing datetime \\(NaT\\)"),
    # Every later bar must be later than the one before it: [t, t], [t + 1, t], and [t, t - 3]
    # back among the stored bars.
    (N_FIT, lambda new: new.set_axis(new.index[[0, 0]]), Exception, "not strictly increasing"),
    (N_FIT, lambda new: new.iloc[::-1], Exception, "not strictly increasing"),
    (N_FIT, lambda new: new.set_axis(pd.DatetimeIndex([new.index[0], new.index[0] - pd.Timedelta(days=3)])),
     Exception, "not strictly increasing"),
])
def test_update_refusals_leave_the_factor_unchanged(crypto_daily, first, change, error, message):
    factor = make(crypto_daily.iloc[:N_FIT])
    before = snapshot(factor)
    new = change(crypto_daily.iloc[first:first + 2])
    with pytest.raises(error, match=message):
        factor.update() if new is None else factor.update(new)
    after = snapshot(factor)
    assert after["number_of_rows"] == before["number_of_rows"]
    for key in ("datetime_array", "data_matrix_array", "close_matrix_array"):
        assert after[key] is before[key]


def test_update_appends_in_stored_order_and_reads_zones_in_utc(crypto_daily):
    factor = make(crypto_daily.iloc[:N_FIT])
    f0 = fields(factor)
    columns = list(f0["data_column_names_array"])
    new = crypto_daily.iloc[N_FIT:N_FIT + 3]
    shuffled = new[columns[::-1]]
    shuffled.index = shuffled.index.tz_convert("America/New_York")
    factor.update(shuffled)
    f = fields(factor)
    assert f["number_of_rows"] == N_FIT + 3
    np.testing.assert_array_equal(f["data_matrix_array"][N_FIT:], new[columns].to_numpy())
    np.testing.assert_array_equal(f["data_matrix_array"][:N_FIT], f0["data_matrix_array"])
    closes = new[[name + "_close" for name in f["securities_names_list"]]].to_numpy()
    np.testing.assert_array_equal(f["close_matrix_array"][N_FIT:], closes)
    expected_times = new.index.tz_convert("UTC").tz_localize(None).as_unit("ns").to_numpy()
    np.testing.assert_array_equal(f["datetime_array"][N_FIT:], expected_times)
    assert f["datetime_array"].dtype == np.dtype("datetime64[ns]")
    assert f["data_matrix_array"].flags.c_contiguous and f["close_matrix_array"].flags.c_contiguous
    # The next update compares with the last one.
    with pytest.raises(Exception, match="before the latest datetime"):
        factor.update(crypto_daily.iloc[N_FIT + 2:N_FIT + 3])
    # Order is that of the instants: the New York wall clock repeats 01:30 as summer time ends.
    autumn = pd.DatetimeIndex(["2021-11-07 05:30", "2021-11-07 06:30"], tz="UTC")
    factor.update(crypto_daily.iloc[N_FIT + 3:N_FIT + 5].set_axis(autumn.tz_convert("America/New_York")))
    np.testing.assert_array_equal(fields(factor)["datetime_array"][-2:], autumn.tz_localize(None).as_unit("ns"))


# Bad quotes on live bars: (field, value, bars in a row, security). Over bars N_FIT + 3 ..
# N_FIT + 5 the walk holds LTCUSDT and XRPUSDT and leaves BTCUSDT and ETHUSDT idle.
BAD_QUOTES = [
    ("close", 0.0, 1, "LTCUSDT"),
    ("close", np.nan, 1, "BTCUSDT"),
    ("close", np.inf, 3, "XRPUSDT"),
    ("open", -5.0, 1, "ETHUSDT"),
    ("open", -np.inf, 3, "LTCUSDT"),
    ("high", np.nan, 3, "XRPUSDT"),
    ("high", 0.0, 1, "BTCUSDT"),
    ("low", np.inf, 1, "LTCUSDT"),
    ("low", -1.0, 3, "ETHUSDT"),
]


def live_factor(crypto_daily, new_bars):
    """A factor of the first N_FIT bars, predicted once, then given three good bars and `new_bars`."""
    factor = make(crypto_daily.iloc[:N_FIT])
    factor.predict()
    factor.update(crypto_daily.iloc[N_FIT:N_FIT + 3])
    factor.update(new_bars)
    return factor


@pytest.mark.parametrize("field, value, run, name", BAD_QUOTES,
                         ids=[f"{f}-{v}-x{r}-{n}" for f, v, r, n in BAD_QUOTES])
def test_bad_quotes_are_stored_as_missing_bars(crypto_daily, fitted, monkeypatch, caplog, field, value, run, name):
    monkeypatch.chdir(fitted[0])
    first = N_FIT + 3
    frame = crypto_daily.iloc[:first + run].copy()
    frame.iloc[first:, frame.columns.get_loc(f"{name}_{field}")] = value
    built = fields(make(frame))  # construction's cleaning of the same rows

    caplog.set_level(logging.WARNING, logger=" ")
    caplog.clear()
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # numpy's "invalid value" included
        factor = live_factor(crypto_daily, frame.iloc[first:])
        assert [r.getMessage() for r in caplog.records] == [
            f"{run} bars of {name} have an open, high, low or close that is not a positive finite number: "
            "each is treated as a missing bar and filled from the bar before"]
        stored = fields(factor)
        for key in ("datetime_array", "data_matrix_array", "close_matrix_array"):
            np.testing.assert_array_equal(stored[key], built[key], err_msg=key)
        weights = factor.predict(return_arrays=True).copy()
        units = factor.predict(return_arrays=True, convert_to_actual_positions=True)

    # The same bars as construction stores them give the same weights and positions.
    clean_bars = pd.DataFrame(built["data_matrix_array"][first:], columns=built["data_column_names_array"],
                              index=frame.index[first:])
    clean = live_factor(crypto_daily, clean_bars)
    np.testing.assert_array_equal(weights, clean.predict(return_arrays=True))
    np.testing.assert_array_equal(units, clean.predict(return_arrays=True, convert_to_actual_positions=True))
    held = weights[stored["securities_names_list"].index(name)] != 0
    assert held == (name in ("LTCUSDT", "XRPUSDT"))
    assert np.isfinite(units).all() and np.isclose(np.abs(weights).sum(), 1.0)


# Gaps on live bars: (fields left missing, bars in a row, security). A kline not yet arrived
# (every field NaN) or a missing volume is no bad quote: no warning, but stored as
# construction stores it, prices from the bar before and no volume traded.
GAPS = [
    (("open", "high", "low", "close", "volume"), 1, "LTCUSDT"),
    (("open", "high", "low", "close", "volume"), 3, "BTCUSDT"),
    (("volume",), 1, "XRPUSDT"),
    (("volume",), 3, "ETHUSDT"),
]


@pytest.mark.parametrize("missing, run, name", GAPS, ids=[f"{len(m)}-fields-x{r}-{n}" for m, r, n in GAPS])
def test_gaps_are_stored_as_construction_stores_them(crypto_daily, fitted, monkeypatch, caplog, missing, run, name):
    monkeypatch.chdir(fitted[0])
    first = N_FIT + 3
    frame = crypto_daily.iloc[:first + run].copy()
    for field in missing:
        frame.iloc[first:, frame.columns.get_loc(f"{name}_{field}")] = np.nan
    built = fields(make(frame))

    caplog.set_level(logging.WARNING, logger=" ")
    caplog.clear()
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        factor = live_factor(crypto_daily, frame.iloc[first:])
        weights = factor.predict(return_arrays=True)
    assert not [r for r in caplog.records if "positive finite" in r.getMessage()]
    stored = fields(factor)
    for key in ("datetime_array", "data_matrix_array", "close_matrix_array"):
        np.testing.assert_array_equal(stored[key], built[key], err_msg=key)
    assert np.isfinite(weights).all()


def test_a_close_that_is_not_a_number_of_a_security_not_held_touches_no_weight(crypto_daily, fitted, monkeypatch):
    monkeypatch.chdir(fitted[0])
    factor = live_factor(crypto_daily, crypto_daily.iloc[[N_FIT + 3]])
    closes = fields(factor)["close_matrix_array"]
    idle = fields(factor)["securities_names_list"].index("BTCUSDT")
    closes[-1, idle] = np.nan  # however a stored close came to be so
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        weights = factor.predict(return_arrays=True).copy()
        units = factor.predict(return_arrays=True, convert_to_actual_positions=True)
    assert weights[idle] == 0 and units[idle] == 0
    assert np.isfinite(units).all() and np.isclose(np.abs(weights).sum(), 1.0)


@pytest.mark.parametrize("equity", [np.nan, np.inf, -np.inf, 0.0, -50000.0])
def test_positions_for_an_equity_that_is_not_a_positive_finite_number_are_refused(crypto_daily, fitted,
                                                                                 monkeypatch, equity):
    monkeypatch.chdir(fitted[0])
    factor = make(crypto_daily.iloc[:N_FIT])
    factor.predict()
    factor.update(crypto_daily.iloc[[N_FIT]])
    before = fields(factor)
    with pytest.raises(Exception, match="current_equity must be a positive finite number") as info:
        factor.predict(convert_to_actual_positions=True, current_equity=equity)
    assert type(info.value) is Exception
    after = fields(factor)
    assert after["last_run_time"] == before["last_run_time"]
    assert after["latest_position_weights_array"] is before["latest_position_weights_array"]
    assert after["positions_array"] is before["positions_array"]
