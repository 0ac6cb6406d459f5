"""The factor's trial run, parameter search and study file, on real daily crypto bars.

Oracles: the optuna study itself (trials, best value and parameters), the module's
accounting binding for what reaches the Scorebook, and a final run for the best value."""

import logging
import os

import joblib
import numpy as np
import optuna
import pandas as pd
import pytest

from factors.technical.factor_helpers import (DEFAULT_OBJECTIVE, Factor, FakeSignalsmith, FakeTradegate, fields,
                                             search_distributions)
from support.market_data import load_ohlcv
from support.search_lock import search_lock_name
from velmora.factors.technical import cointpairs

OBJECTIVE = "latest_cumprod_returns"
STUDY_NAME = "PairsTradingSerialCointegrationFactor"
STUDY_FILE = f"crypto_1440_{OBJECTIVE}_0.9_{STUDY_NAME}.db"
FLOATS = ["zscore_halflife_multiplier", "rolling_volatility_halflife_multiplier", "take_profit_std_multiplier",
          "take_profit_current_volatility_multiplier_sensitivity_at_time_of_entry",
          "take_profit_current_volatility_multiplier_sensitivity_at_adjustment", "stop_loss_std_multiplier",
          "stop_loss_current_volatility_multiplier_sensitivity_at_time_of_entry",
          "stop_loss_current_volatility_multiplier_sensitivity_at_adjustment", "time_stop_halflife_multiplier",
          "time_stop_adjustment_sensitivity"]
NO_TRADE = (" CLOSES NO TRADE IN ITS TRAINING PART: ITS SCORE SHOWS NO TRADING, NOT A LACK OF EDGE. MORE TRIALS, "
            "ANOTHER RESOLUTION OR ANOTHER UNIVERSE USUALLY HELP | PAIRS TRADING SERIAL COINTEGRATION FACTOR 1440")
PARAM_ORDER = ["size_of_rolling_windows", "zscore_halflife_multiplier", "starting_sd_for_position_entry"] + FLOATS[1:]


@pytest.fixture(scope="module")
def crypto_daily():
    # 4 coins, about 16 months of daily bars: at whole days 252 bars pass the data rule.
    return load_ohlcv("binance_spot_1d_2017-2026", ["BTCUSDT", "ETHUSDT", "LTCUSDT", "XRPUSDT"],
                      start="2020-06-01", end="2021-09-30")


def make(frame, **kwargs):
    kwargs.setdefault("objective", OBJECTIVE)
    return Factor("crypto", frame, 1440, [], False, **kwargs)


def study():
    return optuna.load_study(study_name="PairsTradingSerialCointegrationFactor", storage="sqlite:///" + STUDY_FILE)


def messages(caplog):
    return [r.getMessage() for r in caplog.records if r.name == " "]


def params(w=40, **overrides):
    p = {"size_of_rolling_windows": w, "zscore_halflife_multiplier": 3.0, "starting_sd_for_position_entry": 1}
    p.update({name: 1.0 for name in FLOATS[1:]})
    p.update(overrides)
    return p


class FakeTrial:
    """Answers every draw with a fixed value and records the calls. Entries at 3 sd: at 1 or
    2 sd the training run bleeds to bankruptcy in rebalancing costs, a failed trial."""

    number = 7

    def __init__(self):
        self.calls = []

    def suggest_int(self, **kwargs):
        self.calls.append(("int", kwargs))
        return 40 if kwargs["name"] == "size_of_rolling_windows" else 3

    def suggest_float(self, **kwargs):
        self.calls.append(("float", kwargs))
        return 1.5


def test_sequential_fit_logs_keeps_best_and_final_run_reproduces_it(crypto_daily, in_tmp_dir, caplog):
    caplog.set_level(logging.INFO, logger=" ")
    factor = make(crypto_daily)
    factor.fit(4)

    # The study file, and the lock its searches keep beside it.
    assert sorted(os.listdir(in_tmp_dir)) == [search_lock_name(STUDY_NAME, STUDY_FILE), STUDY_FILE]
    s = study()
    assert [t.state for t in s.trials] == [optuna.trial.TrialState.COMPLETE] * 4
    assert fields(factor)["optimal_params"] == s.best_params
    assert set(s.best_params) == set(PARAM_ORDER)

    log = messages(caplog)
    suffix = " | PAIRS TRADING SERIAL COINTEGRATION FACTOR 1440"
    starts = [m for m in log if m.startswith("RUNNING TRIAL NUM ")]
    assert starts == [f"RUNNING TRIAL NUM {i} TO OPTIMISE PARAMETERS IN-SAMPLE{suffix}" for i in range(4)]
    finishes = [m for m in log if m.startswith("FINISHED TRIAL NUM ")]
    assert finishes == [f"FINISHED TRIAL NUM {t.number} WITH OBJECTIVE SCORE: {round(t.value, 3)}{suffix}\n"
                        for t in s.trials]
    # a best trial whose run closed no trade in its training part is told so
    flat = not s.best_trial.user_attrs["closed_a_training_trade"]
    ending = ["-" * 29 + "IN-SAMPLE FACTOR OPTIMISATION COMPLETE" + "-" * 29,
              f"BEST TRIAL SO FAR: {s.best_trial.number} WITH SCORE: {round(s.best_value, 3)}{suffix}\n"]
    if flat:
        ending.append(f"BEST TRIAL {s.best_trial.number}{NO_TRADE}")
    assert log[-len(ending):] == ending

    caplog.clear()
    results = factor.get_full_backtest_results()
    assert results.get_objective_score(objective=OBJECTIVE) == s.best_value
    assert results.test_equity_value_series is not None
    # the records know which search chose their parameters: the plot's title names it
    assert results._run_description == (OBJECTIVE, "crypto")
    log = messages(caplog)
    assert log[0] == "RUNNING AN IN-SAMPLE RUN WITH OPTIMAL PARAMS" + suffix
    assert log[1].startswith("FINISHED IN-SAMPLE TRAIN RUN WITH OBJECTIVE SCORE: ") and log[1].endswith(suffix)
    assert log[2].startswith("FINISHED IN-SAMPLE TEST RUN WITH OBJECTIVE SCORE: ") and log[2].endswith(suffix + "\n")
    assert flat_warnings(caplog) == (["THE BEST RUN" + NO_TRADE] if flat else [])

    # A continued study goes on from where it stood, with start-up points of its own.
    factor.fit(2)
    trials = study().trials
    assert len(trials) == 6
    first = [t.params for t in trials[:4]]
    assert all(t.params not in first for t in trials[4:])


def test_parallel_fit_seeds_an_empty_study_then_fills_it_from_workers(crypto_daily, in_tmp_dir, caplog, monkeypatch):
    caplog.set_level(logging.INFO, logger=" ")
    factor = make(crypto_daily)
    factor.fit(3, n_jobs=2)
    log = messages(caplog)
    dashes = "-" * 29
    assert [m for m in log if m.startswith(dashes)] == [
        dashes + "STUDY DB IS EMPTY, INITIALIZING DB WITH SINGLE FIT" + dashes,
        dashes + "FITTING SINGLE FIT BEFORE MULTIPROCESSING" + dashes,
        dashes + "BEGINNING MULTIPROCESSED IN-SAMPLE FACTOR OPTIMISATION" + dashes,
        dashes + "IN-SAMPLE FACTOR OPTIMISATION COMPLETE" + dashes]
    # Only the seeding trial ran in this process; the other two came from workers.
    assert sum(m.startswith("RUNNING TRIAL NUM ") for m in log) == 1
    s = study()
    assert [t.state for t in s.trials] == [optuna.trial.TrialState.COMPLETE] * 3
    assert fields(factor)["optimal_params"] == s.best_params
    assert factor.get_full_backtest_results().get_objective_score(objective=OBJECTIVE) == s.best_value

    # On a study that holds trials there is no seeding trial.
    caplog.clear()
    factor.fit(2, n_jobs=2)
    assert not any("STUDY DB IS EMPTY" in m for m in messages(caplog))
    assert len(study().trials) == 5

    # Workers kept from the last call still write to the study of the new working directory.
    other = in_tmp_dir / "other"
    other.mkdir()
    monkeypatch.chdir(other)
    factor.fit(2, n_jobs=2)
    assert len(study().trials) == 2
    monkeypatch.chdir(in_tmp_dir)
    assert len(study().trials) == 5


def first_draw(factor, seed):
    """The parameters a search sampler seeded `seed` draws first: in the start-up phase its
    draws do not depend on the trials a study already holds."""
    sampler = optuna.samplers.TPESampler(n_startup_trials=30, multivariate=True, group=True, constant_liar=True,
                                         seed=seed)
    memory = optuna.create_study(direction="maximize", sampler=sampler)
    memory.optimize(getattr(factor, "__run_pairs_trading_serial_cointegration_factor"), n_trials=1)
    return memory.trials[0].params


def test_parallel_tasks_draw_from_seeds_by_task_index_offset_by_the_trials_held(crypto_daily, in_tmp_dir):
    factor = make(crypto_daily)
    # Tasks in this process (the seeds are what is checked here; workers are tested above).
    with joblib.parallel_config(backend="sequential"):
        factor.fit(3, n_jobs=2)  # fresh study: seeding trial 69, then tasks 69 + 0 and 69 + 1
        factor.fit(2, n_jobs=2)  # three trials held: tasks 69 + 3 + 0 and 69 + 3 + 1
        # Six held, one of them queued: it runs first as task 6, the two others as 7 and 8.
        default_study(STUDY_FILE).enqueue_trial(params(50))
        factor.fit(3, n_jobs=2)
    drawn = [t.params for t in study().trials]
    assert drawn == [first_draw(factor, seed) for seed in (69, 69, 70, 72, 73)] + [
        params(50), first_draw(factor, 76), first_draw(factor, 77)]


def recorded_scorebooks(monkeypatch):
    """The keywords and the record of every Scorebook the runs build from now on (keywords
    only: a positional argument fails)."""
    built = []
    real = cointpairs.Scorebook

    def recording_scorebook(**kwargs):
        built.append((kwargs, real(**kwargs)))
        return built[-1][1]

    monkeypatch.setattr(cointpairs, "Scorebook", recording_scorebook)
    return built


def test_trial_draws_the_twelve_parameters_and_scores_the_booked_training_part(crypto_daily, in_tmp_dir,
                                                                              monkeypatch):
    factor = make(crypto_daily)
    built = recorded_scorebooks(monkeypatch)
    trial = FakeTrial()
    run = getattr(factor, "__run_pairs_trading_serial_cointegration_factor")
    score = run(trial)
    f = fields(factor)

    rows = f["number_of_rows"]
    high = {"size_of_rolling_windows": int(rows * 0.5), "starting_sd_for_position_entry": 10}
    low = {"size_of_rolling_windows": 31, "starting_sd_for_position_entry": 1}
    assert [kw["name"] for _, kw in trial.calls] == PARAM_ORDER
    for kind, kw in trial.calls:
        name = kw["name"]
        expected = (dict(name=name, low=low[name], high=high[name], log=False) if kind == "int"
                    else dict(name=name, low=0.01, high=10.0, log=False))
        assert kw == expected and list(kw) == ["name", "low", "high", "log"]
        assert (kind == "int") == (name in low)

    # One Scorebook, from the training rows [w, split), with exactly the sixteen keywords.
    (kwargs, book), = built
    w = 40
    split = w + int((rows - w) * 0.8)
    assert list(kwargs)[:4] == ["starting_equity", "securities_names_list", "datetime_length", "datetime_array"]
    assert kwargs["securities_names_list"] is f["securities_names_list"]
    assert kwargs["starting_equity"] == 100000.0 and kwargs["datetime_length"] == split - w
    assert np.shares_memory(kwargs["datetime_array"], f["datetime_array"])
    np.testing.assert_array_equal(kwargs["datetime_array"], f["datetime_array"][w:split])
    expected = cointpairs._book_positions(
        np.ascontiguousarray(f["positions_matrix_array"][w:split]), np.ascontiguousarray(f["close_matrix_array"][w:split]),
        f["proportional_spread_array"], split - w, 100000.0, 0.9, 0.001, 0.5, True)
    assert list(kwargs)[4:] == list(expected)
    for key, value in expected.items():
        np.testing.assert_array_equal(kwargs[key], value, err_msg=key)
    assert f["positions_matrix_array"][w:].any()
    assert score == book.get_objective_score(objective=OBJECTIVE) and type(score) is float

    # A trial leaves the trade tables alone (the split is never read there), and the veto off.
    assert len(f["trade_store"]) > 0
    assert f["train_trades_store_df"] is None and f["test_trades_store_df"] is None
    assert f["vodED_ready"] is False


def test_money_settings_reach_the_accounting_and_the_scorebooks(crypto_daily, monkeypatch):
    money = dict(starting_equity=25000.0, pct_equity_invested=0.4, market_value_pct_commissions=0.003,
                 bid_ask_spread_pct_slippage=0.8, scale_equity_to_traded_securities=False)
    factor = make(crypto_daily, **money)
    built = recorded_scorebooks(monkeypatch)
    run = getattr(factor, "__run_pairs_trading_serial_cointegration_factor")
    f = fields(factor)
    rows, w = f["number_of_rows"], 40
    split = w + int((rows - w) * 0.8)

    def booked_directly(lo, hi):
        f = fields(factor)  # each run stores its own positions matrix
        positions = np.ascontiguousarray(f["positions_matrix_array"][lo:hi])
        assert positions.any()
        return cointpairs._book_positions(positions, np.ascontiguousarray(f["close_matrix_array"][lo:hi]),
                                          f["proportional_spread_array"], hi - lo, *money.values())

    def assert_booked_with_the_settings(kwargs, book, expected):
        assert kwargs["starting_equity"] == 25000.0
        for key, value in expected.items():
            np.testing.assert_array_equal(kwargs[key], value, err_msg=key)
        assert book.get_objective_score(objective=OBJECTIVE) == expected[
            "cumprod_returns_after_transaction_costs_array"][-1]

    score = run(FakeTrial())
    (kwargs, book), = built
    assert_booked_with_the_settings(kwargs, book, booked_directly(w, split))
    assert score == book.get_objective_score(objective=OBJECTIVE)

    results = run(None, is_optimising=False, optimal_params=params(starting_sd_for_position_entry=3))
    (train_kwargs, train), (test_kwargs, test) = built[1:]
    assert results is train
    for kwargs, book, (lo, hi) in [(train_kwargs, train, (w, split)), (test_kwargs, test, (split, rows))]:
        assert_booked_with_the_settings(kwargs, book, booked_directly(lo, hi))
    np.testing.assert_array_equal(results.equity_value_series.values, train_kwargs["equity_value_array"])
    np.testing.assert_array_equal(results.test_equity_value_series.values, test_kwargs["equity_value_array"])


def default_study(name=None):
    name = name or f"crypto_1440_{DEFAULT_OBJECTIVE}_0.9_PairsTradingSerialCointegrationFactor.db"
    return optuna.create_study(study_name="PairsTradingSerialCointegrationFactor", direction="maximize",
                               storage="sqlite:///" + name, load_if_exists=True)


def test_bankrupt_trials_fail_and_are_never_the_best(crypto_daily, in_tmp_dir, caplog):
    # As found: with three times the equity invested and 1 % commissions, a trial ruined in
    # training outscored on the default objective one that survived with a loss.
    caplog.set_level(logging.INFO, logger=" ")
    factor = Factor("crypto", crypto_daily, 1440, [], False, pct_equity_invested=3.0,
                    market_value_pct_commissions=0.01)
    ruined, survivor = params(40), params(240)
    default_study().enqueue_trial(ruined)
    default_study().enqueue_trial(survivor)
    factor.fit(2)

    s = default_study()
    FAIL, COMPLETE = optuna.trial.TrialState.FAIL, optuna.trial.TrialState.COMPLETE
    assert [t.state for t in s.trials] == [FAIL, COMPLETE] and s.trials[0].value is None
    assert s.best_trial.number == 1 and s.best_value < 0
    assert fields(factor)["optimal_params"] == survivor
    # The log names the bar at which the training equity reached 0.
    equity = getattr(factor, "__run_pairs_trading_serial_cointegration_factor")(
        None, is_optimising=False, optimal_params=ruined).equity_value_series
    ruin = equity.index[np.flatnonzero(equity.values <= 0)[0]]
    suffix = " | PAIRS TRADING SERIAL COINTEGRATION FACTOR 1440\n"
    log = messages(caplog)
    assert [m for m in log if m.startswith("FAILED TRIAL")] == [
        f"FAILED TRIAL NUM 0: BANKRUPT, TRAINING EQUITY REACHED 0 AT {pd.Timestamp(ruin)}{suffix}"]
    assert f"BEST TRIAL SO FAR: 1 WITH SCORE: {round(s.best_value, 3)}{suffix}" in log

    # Worker processes go on past failed trials as well. Enqueued trials cannot show it: a
    # parallel search runs them in the calling process. On a fresh study the
    # first worker task draws the seeding trial's parameters again (both are seeded 69), and
    # with commissions of twice the traded value they ruin it in the worker too.
    harsh = Factor("harsh", crypto_daily, 1440, [], False, pct_equity_invested=3.0,
                   market_value_pct_commissions=2.0)
    harsh.fit(4, n_jobs=2)
    s = default_study(f"harsh_1440_{DEFAULT_OBJECTIVE}_0.9_PairsTradingSerialCointegrationFactor.db")
    seeding = s.trials[0]
    assert seeding.state == FAIL and len(s.trials) == 4
    in_workers = [t for t in s.trials[1:] if t.params == seeding.params]
    assert in_workers and all(t.state == FAIL for t in in_workers)
    assert {t.state for t in s.trials} == {FAIL, COMPLETE} and s.best_trial.state == COMPLETE


class ObjectivesNotAList(cointpairs.Scorebook):
    available_objectives = tuple(cointpairs.Scorebook.available_objectives)


class NaNScore(cointpairs.Scorebook):
    def get_objective_score(self, objective=None):
        return float("nan")


NO_COMPLETED_TRIAL = (
    f"No trial of the study in {STUDY_FILE} has completed (a trial whose training run goes bankrupt or cannot be "
    "scored fails), so there are no best parameters yet: please run fit")


@pytest.mark.parametrize("scorebook, reason", [
    (ObjectivesNotAList, "OBJECTIVE SCORE COULD NOT BE COMPUTED (TypeError: Expected list, got tuple)"),
    (NaNScore, "OBJECTIVE SCORE IS NOT A NUMBER"),  # an override of get_objective_score is what scores
])
def test_unscorable_trials_fail_and_a_study_without_a_completed_trial_has_no_best(
        crypto_daily, in_tmp_dir, caplog, monkeypatch, scorebook, reason):
    caplog.set_level(logging.INFO, logger=" ")
    factor = make(crypto_daily)
    monkeypatch.setattr(cointpairs, "Scorebook", scorebook)
    default_study(STUDY_FILE).enqueue_trial(params(starting_sd_for_position_entry=3))
    with pytest.raises(Exception) as info:
        factor.fit(1)
    assert type(info.value) is Exception and str(info.value) == NO_COMPLETED_TRIAL
    assert [t.state for t in study().trials] == [optuna.trial.TrialState.FAIL]
    failed = [r for r in caplog.records if r.name == " " and r.getMessage().startswith("FAILED TRIAL")]
    assert [r.getMessage() for r in failed] == [
        f"FAILED TRIAL NUM 0: {reason} | PAIRS TRADING SERIAL COINTEGRATION FACTOR 1440\n"]
    assert (failed[0].exc_info is not None) == (scorebook is ObjectivesNotAList)  # with its traceback
    assert messages(caplog)[-1] == "-" * 29 + "IN-SAMPLE FACTOR OPTIMISATION COMPLETE" + "-" * 29

    for call in (factor.get_full_backtest_results, factor.predict):
        with pytest.raises(Exception) as info:
            call()
        assert type(info.value) is Exception and str(info.value) == NO_COMPLETED_TRIAL


def test_a_close_that_is_not_a_price_fails_the_trial_and_is_reported_by_a_final_run(crypto_daily, caplog):
    # Bars appended by update are not cleaned: a zero close under a held leg reaches the
    # accounting, whose equity is NaN from that bar on.
    caplog.set_level(logging.INFO, logger=" ")
    factor = make(crypto_daily)
    run = getattr(factor, "__run_pairs_trading_serial_cointegration_factor")
    run(FakeTrial())
    f = fields(factor)
    rows, w = f["number_of_rows"], 40
    split = w + int((rows - w) * 0.8)
    bar, leg = np.argwhere(f["positions_matrix_array"][w:split] != 0)[5]
    f["close_matrix_array"][w + bar, leg] = 0.0
    time = pd.Timestamp(f["datetime_array"][w + bar])
    suffix = " | PAIRS TRADING SERIAL COINTEGRATION FACTOR 1440"

    caplog.clear()
    assert np.isnan(run(FakeTrial()))
    assert messages(caplog)[-1] == f"FAILED TRIAL NUM 7: TRAINING EQUITY IS NOT A NUMBER FROM {time}{suffix}\n"
    caplog.clear()
    run(None, is_optimising=False, optimal_params=params(starting_sd_for_position_entry=3,
                                                         **{name: 1.5 for name in FLOATS}))
    assert f"IN-SAMPLE TRAIN RUN EQUITY IS NOT A NUMBER FROM {time}{suffix}" in messages(caplog)


@pytest.mark.parametrize("optimal_params, error, message", [
    (None, TypeError, "'NoneType' object is not subscriptable"),
    ([1, 2], TypeError, "Expected dict, got list"),
    ({"zscore_halflife_multiplier": 1.0}, KeyError, "size_of_rolling_windows"),
])
def test_final_run_refuses_missing_or_wrong_parameters(crypto_daily, optimal_params, error, message):
    factor = make(crypto_daily)
    run = getattr(factor, "__run_pairs_trading_serial_cointegration_factor")
    with pytest.raises(error, match=message):
        run(None, is_optimising=False, optimal_params=optimal_params)


def test_empty_training_part_is_refused_and_whole_history_training_has_no_test(crypto_daily):
    run = getattr(make(crypto_daily, train_split_ratio=0.001), "__run_pairs_trading_serial_cointegration_factor")
    with pytest.raises(Exception, match="The training part of the backtest is empty"):
        run(None, False, params())

    factor = make(crypto_daily, train_split_ratio=1.0)
    results = getattr(factor, "__run_pairs_trading_serial_cointegration_factor")(None, False, params())
    f = fields(factor)
    assert isinstance(results, cointpairs.Scorebook)
    assert results.test_equity_value_series is None and results.equity_value_series is not None
    assert len(results.equity_value_series) == f["number_of_rows"] - 40
    assert f["test_trades_store_df"] is None or len(f["test_trades_store_df"]) == 0


def test_final_run_splits_trades_and_uses_the_classifier_only_when_asked(crypto_daily):
    gate = FakeTradegate(loaded=True)
    gate.predictions = [1] * 1000
    factor = make(crypto_daily, vodED_signalsmith=FakeSignalsmith(), vodED_tradegate=gate)
    run = getattr(factor, "__run_pairs_trading_serial_cointegration_factor")

    run(None, is_optimising=False, optimal_params=params(), use_vodED_if_ready=False)
    f = fields(factor)
    assert f["vodED_ready"] is False and gate.predict_inputs == []
    train, test = f["train_trades_store_df"], f["test_trades_store_df"]
    split_time = f["datetime_array"][40 + int((f["number_of_rows"] - 40) * 0.8) - 1]
    assert len(train) and len(test)
    assert (train["time_of_exit"] <= split_time).all() and (test["time_of_entry"] > split_time).all()

    run(None, is_optimising=False, optimal_params=params())
    assert fields(factor)["vodED_ready"] is True and gate.predict_inputs
    run(FakeTrial())
    assert fields(factor)["vodED_ready"] is False


class FittingTradegate(FakeTradegate):
    def __init__(self):
        super().__init__(loaded=False)
        self.fit_calls = []

    def fit(self, *args, **kwargs):
        self.fit_calls.append((args, kwargs))


def test_fit_vodED_trains_the_classifier_on_the_training_trades(crypto_daily, in_tmp_dir):
    gate = FittingTradegate()
    factor = make(crypto_daily, vodED_signalsmith=FakeSignalsmith(), vodED_tradegate=gate)
    factor.fit(2, fit_vodED=True, n_trials_to_estimate_params_for_vodED=5, n_jobs_for_vodED=3)
    (args, kw), = gate.fit_calls
    f = fields(factor)
    assert args == ()
    assert list(kw) == ["X_train_df", "y_train_series", "n_splits", "n_test_splits", "embargo_td",
                        "complete_datetime_index_series", "train_time_of_entry_series", "train_time_of_exit_series",
                        "impact_series", "factor_name", "storage_name", "n_trials_to_estimate_params", "n_jobs"]
    assert (kw["n_splits"], kw["n_test_splits"], kw["embargo_td"]) == (10, 3, pd.Timedelta(days=1))
    assert (kw["n_trials_to_estimate_params"], kw["n_jobs"]) == (5, 3)
    assert kw["factor_name"] == "PairsTradingSerialCointegrationFactor"
    assert kw["storage_name"] == STUDY_FILE[:-3]
    pd.testing.assert_series_equal(kw["complete_datetime_index_series"], pd.Series(f["datetime_array"]))
    train = f["train_trades_store_df"]
    assert list(kw["X_train_df"].columns) == ["f_last_first_column", "f_rows"]
    assert len(kw["X_train_df"]) == len(train) > 0
    pd.testing.assert_series_equal(kw["y_train_series"], train["trade_label"])
    np.testing.assert_allclose(kw["impact_series"].sum(), 1.0)
    assert f["vodED_features_requested"] is True

    # A later fit without the classifier clears the request again.
    factor.fit(1)
    assert fields(factor)["vodED_features_requested"] is False and len(gate.fit_calls) == 1


def test_fit_vodED_without_training_trades_is_refused_before_the_classifier(crypto_daily, in_tmp_dir):
    # A best run that never enters (no z-score passes 10) leaves the classifier nothing to learn.
    optuna.create_study(study_name="PairsTradingSerialCointegrationFactor", direction="maximize",
                        storage="sqlite:///" + STUDY_FILE).enqueue_trial(params(starting_sd_for_position_entry=10))
    gate = FittingTradegate()
    factor = make(crypto_daily, vodED_signalsmith=FakeSignalsmith(), vodED_tradegate=gate)
    with pytest.raises(Exception, match="No trade closed in the training part"):
        factor.fit(1, fit_vodED=True)
    assert gate.fit_calls == [] and fields(factor)["trade_store"] == {}


FLAT = params(starting_sd_for_position_entry=10)  # no z-score passes 10: no entry at all
TRADING = params(starting_sd_for_position_entry=3)


def flat_warnings(caplog):
    return [r.getMessage() for r in caplog.records
            if r.name == " " and r.levelno == logging.WARNING and "CLOSES NO TRADE" in r.getMessage()]


def add_flat_best_trial():
    """A finished trial of the flat parameters scoring above anything a run scores."""
    # As the search draws them: a best trial of other distributions is refused.
    study().add_trial(optuna.trial.create_trial(params=FLAT, distributions=search_distributions(100), value=1e9))


@pytest.mark.parametrize("n_jobs", [1, 2])  # 2: the one queued trial runs in a worker process
def test_a_best_run_without_a_training_trade_is_told_after_the_search_and_the_backtest(
        crypto_daily, in_tmp_dir, caplog, n_jobs):
    optuna.create_study(study_name="PairsTradingSerialCointegrationFactor", direction="maximize",
                        storage="sqlite:///" + STUDY_FILE).enqueue_trial(FLAT)
    factor = make(crypto_daily)
    factor.fit(1, n_jobs=n_jobs)
    assert flat_warnings(caplog) == ["BEST TRIAL 0" + NO_TRADE]
    caplog.clear()
    factor.get_full_backtest_results()
    assert flat_warnings(caplog) == ["THE BEST RUN" + NO_TRADE]


def test_a_best_run_that_trades_is_not_told_and_earlier_runs_trades_do_not_hide_a_flat_one(
        crypto_daily, in_tmp_dir, caplog):
    optuna.create_study(study_name="PairsTradingSerialCointegrationFactor", direction="maximize",
                        storage="sqlite:///" + STUDY_FILE).enqueue_trial(TRADING)
    factor = make(crypto_daily)
    factor.fit(1)
    factor.get_full_backtest_results()
    assert len(fields(factor)["train_trades_store_df"]) > 0
    assert flat_warnings(caplog) == []

    # The same object now holds the trading runs' trades; a flat best run adds none of its own.
    add_flat_best_trial()
    factor.get_full_backtest_results()
    assert len(fields(factor)["train_trades_store_df"]) > 0
    assert flat_warnings(caplog) == ["THE BEST RUN" + NO_TRADE]


def test_study_file_errors_and_erase(crypto_daily, in_tmp_dir, caplog):
    caplog.set_level(logging.INFO, logger=" ")
    factor = make(crypto_daily)
    with pytest.raises(Exception, match="n_trials_to_estimate_params cannot be less than 0"):
        factor.fit(0)
    with pytest.raises(FileNotFoundError, match="run fit first"):
        factor.get_full_backtest_results()
    assert os.listdir(in_tmp_dir) == []

    factor.fit(1)
    factor.erase_fit_memory()
    factor.erase_fit_memory()
    assert os.listdir(in_tmp_dir) == []
    assert messages(caplog)[-2:] == [
        f"FIT FILE: {STUDY_FILE} SUCCESSFULLY REMOVED FROM MEMORY",
        f"FIT FILE: {STUDY_FILE} DOES NOT EXIT IN MEMORY, FILE MISPECIFIED OR PREVIOUSLY REMOVED"]

    # The default objective and any equity share give the documented name.
    default = Factor("crypto", crypto_daily, 60 * 24, [], False, pct_equity_invested=0.5)
    default.erase_fit_memory()
    assert messages(caplog)[-1].startswith(
        "FIT FILE: crypto_1440_stability_activity_weighted_annual_sharpe_from_median_bootstrapped_returns_0.9_"
        "PairsTradingSerialCointegrationFactor.db DOES NOT EXIT")


@pytest.mark.parametrize("universe", ["a?b", "a#b", "up/down", "back\\slash", "nul\0byte", "..", "a..b"])
def test_universe_names_that_break_the_study_file_are_refused(crypto_daily, in_tmp_dir, universe):
    factor = Factor(universe, crypto_daily, 1440, [], False, objective=OBJECTIVE)
    for call in (lambda: factor.fit(1), factor.get_full_backtest_results, factor.erase_fit_memory):
        with pytest.raises(Exception, match="cannot name a study file"):
            call()
    assert os.listdir(in_tmp_dir) == []


@pytest.mark.parametrize("universe", ["top10%", "a%2Fb", "%2E%2E%2Fup"])
def test_percent_signs_stay_literal_in_the_study_file(crypto_daily, in_tmp_dir, universe):
    # The storage URL decodes %XX escapes: unescaped, "%2E%2E%2Fup" would put the study in
    # the parent folder and "a%2Fb" into a folder "a", where the file checks never look.
    name = f"{universe}_1440_{OBJECTIVE}_0.9_PairsTradingSerialCointegrationFactor.db"
    factor = Factor(universe, crypto_daily, 1440, [], False, objective=OBJECTIVE)
    factor.fit(1)
    assert sorted(os.listdir(in_tmp_dir)) == sorted([search_lock_name(STUDY_NAME, name), name])
    assert factor.get_full_backtest_results() is not None
    factor.erase_fit_memory()
    assert os.listdir(in_tmp_dir) == []


class InterruptedFactor(Factor):
    calls = 0


def _interrupting_run(self, trial, is_optimising=True, optimal_params=None, use_vodED_if_ready=True):
    type(self).calls += 1
    if type(self).calls == 2:
        raise KeyboardInterrupt
    return Factor.__dict__["__run_pairs_trading_serial_cointegration_factor"](
        self, trial, is_optimising, optimal_params, use_vodED_if_ready)


setattr(InterruptedFactor, "__run_pairs_trading_serial_cointegration_factor", _interrupting_run)


def test_fit_runs_an_overriding_trial_and_stops_on_ctrl_c(crypto_daily, in_tmp_dir):
    factor = InterruptedFactor("crypto", crypto_daily, 1440, [], False, objective=OBJECTIVE)
    with pytest.raises(KeyboardInterrupt):
        factor.fit(5)
    states = [t.state for t in study().trials]
    assert states == [optuna.trial.TrialState.COMPLETE, optuna.trial.TrialState.FAIL]


@pytest.mark.parametrize("n_trials, n_jobs, banners", [
    # One trial asked of a parallel search on an empty study: the seeding trial is all of it.
    (1, 4, ["STUDY DB IS EMPTY, INITIALIZING DB WITH SINGLE FIT", "FITTING SINGLE FIT BEFORE MULTIPROCESSING",
            "BEGINNING MULTIPROCESSED IN-SAMPLE FACTOR OPTIMISATION"]),
    (2, -2, []),  # negative counts other than -1 run in this process
    (2, 0, []),
])
def test_worker_counts_that_start_no_workers(crypto_daily, in_tmp_dir, caplog, n_trials, n_jobs, banners):
    caplog.set_level(logging.INFO, logger=" ")
    make(crypto_daily).fit(n_trials, n_jobs=n_jobs)
    dashes = "-" * 29
    assert [m for m in messages(caplog) if m.startswith(dashes)] == (
        [dashes + b + dashes for b in banners] + [dashes + "IN-SAMPLE FACTOR OPTIMISATION COMPLETE" + dashes])
    assert sum(m.startswith("RUNNING TRIAL NUM ") for m in messages(caplog)) == n_trials
    assert len(study().trials) == n_trials


def test_queued_trials_run_once_each_in_a_parallel_search(crypto_daily, in_tmp_dir, monkeypatch):
    # Two workers that start together on a study holding queued trials both reach for the
    # first of them: repeated so that the meeting happens, on fresh studies each time.
    queued = [params(40, starting_sd_for_position_entry=3), params(120, starting_sd_for_position_entry=3)]
    for attempt in range(10):
        folder = in_tmp_dir / f"attempt{attempt}"
        folder.mkdir()
        monkeypatch.chdir(folder)
        for p in queued:
            default_study(STUDY_FILE).enqueue_trial(p)
        make(crypto_daily).fit(4, n_jobs=2)
        trials = study().trials
        assert len(trials) == 4
        assert all(t.state != optuna.trial.TrialState.WAITING for t in trials)
        for p in queued:
            assert [t.state for t in trials if t.params == p] == [optuna.trial.TrialState.COMPLETE]
