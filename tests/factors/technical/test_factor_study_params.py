"""The best parameters a factor takes from its study are checked against the search space
its trials draw from, before anything runs on them; a trial queued with values outside it
fails; and the walk's kernels refuse a value that has no integer instead of converting it.

Planted studies hold a best trial whose values optuna would never draw: each parameter is
stored under a one-choice categorical distribution, which holds any value."""

import logging
import math
import os

import numpy as np
import optuna
import pytest

from factors.technical.factor_helpers import Factor, fields, search_distributions, trading_params
from support.market_data import load_ohlcv
from velmora.factors.technical import cointpairs

OBJECTIVE = "latest_cumprod_returns"
STUDY = "PairsTradingSerialCointegrationFactor"
STUDY_FILE = f"crypto_1440_{OBJECTIVE}_0.9_{STUDY}.db"
GOOD = trading_params(40)


@pytest.fixture(scope="module")
def crypto_daily():
    return load_ohlcv("binance_spot_1d_2017-2026", ["BTCUSDT", "ETHUSDT", "LTCUSDT"],
                      start="2020-06-01", end="2021-09-30")


def make(frame):
    return Factor("crypto", frame, 1440, [], False, objective=OBJECTIVE,
                  market_value_pct_commissions=0.0, bid_ask_spread_pct_slippage=0.0)


def plant_best_trial(params, value=1e9, distributions=None):
    study = optuna.create_study(study_name=STUDY, storage="sqlite:///" + STUDY_FILE, direction="maximize",
                                load_if_exists=True)
    if distributions is None:
        distributions = {k: optuna.distributions.CategoricalDistribution([v]) for k, v in params.items()}
    study.add_trial(optuna.trial.create_trial(params=params, distributions=distributions, value=value))


def plant_best_trial_among_drawn_ones(params, value=1e9):
    """The same, in a study whose trials the search drew: under the distributions' own kinds."""
    def distribution(v):
        if isinstance(v, int):
            return optuna.distributions.IntDistribution(min(v, 0), max(v, 1))
        return optuna.distributions.FloatDistribution(min(v, 0.0), max(v, 10.0))
    study = optuna.load_study(study_name=STUDY, storage="sqlite:///" + STUDY_FILE)
    study.add_trial(optuna.trial.create_trial(params=params, distributions={k: distribution(v) for k, v in params.items()},
                                              value=value))


def without(key):
    p = dict(GOOD)
    del p[key]
    return p


PLANTED = [
    # As found: positions that never close, in a results table that looks normal.
    pytest.param({"take_profit_std_multiplier": math.nan}, "'take_profit_std_multiplier' is nan, not a finite number",
                 id="NaN take-profit"),
    pytest.param({"time_stop_halflife_multiplier": math.inf}, "is inf, not a finite number", id="infinite time stop"),
    pytest.param({"stop_loss_std_multiplier": -5.0}, "'stop_loss_std_multiplier' is -5.0, outside its search range "
                 "0.01 to 10.0", id="negative stop-loss"),
    pytest.param({"starting_sd_for_position_entry": -1}, "is -1, outside its search range 1 to 10",
                 id="negative entry threshold"),
    # As found: converted to an integer in the core, undefined behaviour.
    pytest.param({"rolling_volatility_halflife_multiplier": math.nan}, "is nan, not a finite number",
                 id="NaN volatility multiplier"),
    pytest.param({"size_of_rolling_windows": 2}, "'size_of_rolling_windows' is 2, outside its search range 31 to ",
                 id="window below the minimum"),
    pytest.param({"size_of_rolling_windows": 10 ** 30}, "is 1000000000000000000000000000000, outside its search range",
                 id="window beyond 64 bits"),
    pytest.param({"size_of_rolling_windows": 300.9}, "is 300.9 (float), not an integer", id="fractional window"),
    pytest.param({"size_of_rolling_windows": 40.0}, "is 40.0 (float), not an integer", id="float window"),
    pytest.param({"size_of_rolling_windows": "300"}, "is '300' (str), not an integer", id="text window"),
    pytest.param({"starting_sd_for_position_entry": True}, "is True (bool), not an integer", id="bool threshold"),
    pytest.param({"zscore_halflife_multiplier": "2"}, "is '2' (str), not a number", id="text multiplier"),
    pytest.param({"take_profit_std_multiplier": False}, "is False (bool), not a number", id="bool multiplier"),
    pytest.param({"take_profit_std_multiplier": None}, "is None (NoneType), not a number", id="None multiplier"),
]


@pytest.mark.parametrize("change, fault", PLANTED)
def test_a_planted_best_trial_is_refused_before_anything_runs(crypto_daily, in_tmp_dir, caplog, change, fault):
    plant_best_trial(dict(GOOD, **change))
    factor = make(crypto_daily)
    caplog.set_level(logging.INFO, logger=" ")
    for call in (factor.get_full_backtest_results, factor.predict):
        with pytest.raises(ValueError) as refused:
            call()
        message = str(refused.value)
        assert message.startswith(f"The best trial of the study in {STUDY_FILE} cannot be used: its parameter ")
        assert fault in message and "erase it (erase_fit_memory) and run fit again" in message
    assert not any(r.getMessage().startswith("RUNNING AN IN-SAMPLE RUN") for r in caplog.records)
    assert fields(factor)["optimal_params"] is None


def test_a_missing_parameter_and_a_window_beyond_the_data_are_refused(crypto_daily, in_tmp_dir):
    factor = make(crypto_daily)
    rows = fields(factor)["number_of_rows"]
    plant_best_trial(without("time_stop_adjustment_sensitivity"))
    with pytest.raises(ValueError, match="its parameter 'time_stop_adjustment_sensitivity' is missing"):
        factor.get_full_backtest_results()

    # A search on a longer history draws windows beyond half these bars: traded while the
    # bars leave two or more to each part (at the default split, six bars past the window).
    for window in (rows // 2 + 1, rows - 6):
        os.remove(STUDY_FILE)
        plant_best_trial_as_drawn(dict(GOOD, size_of_rolling_windows=window))
        assert factor.get_full_backtest_results() is not None
    # Beyond that the study is sound but untradable here: no advice to erase it.
    os.remove(STUDY_FILE)
    plant_best_trial_as_drawn(dict(GOOD, size_of_rolling_windows=rows - 5))
    with pytest.raises(ValueError, match=f"cannot be traded by this factor: its 'size_of_rolling_windows' is "
                                        f"{rows - 5}, and the {rows} bars it holds walk windows of at most "
                                        f"{rows - 6} bars") as refused:
        factor.get_full_backtest_results()
    assert "erase" not in str(refused.value)


def plant_best_trial_as_drawn(params):
    """A best trial as a search on twice these bars draws it."""
    plant_best_trial(params, distributions=search_distributions(params["size_of_rolling_windows"]))


def test_fit_refuses_a_planted_best_trial_and_fails_a_queued_one_outside_the_space(crypto_daily, in_tmp_dir, caplog):
    caplog.set_level(logging.WARNING, logger=" ")
    factor = make(crypto_daily)
    # Queued values go to the trial as they are (optuna only warns): the run fails that trial.
    study = optuna.create_study(study_name=STUDY, storage="sqlite:///" + STUDY_FILE, direction="maximize")
    study.enqueue_trial(dict(GOOD, size_of_rolling_windows=2))
    with pytest.warns(UserWarning, match="out of range"):
        factor.fit(2)
    states = [t.state.name for t in study.trials]
    assert states == ["FAIL", "COMPLETE"]
    assert [r.getMessage() for r in caplog.records if r.name == " "][0].startswith(
        "FAILED TRIAL NUM 0: QUEUED PARAMETER 'SIZE_OF_ROLLING_WINDOWS' IS 2, OUTSIDE ITS SEARCH RANGE 31 TO ")
    drawn = fields(factor)["optimal_params"]
    assert drawn == study.best_trial.params

    # A best trial changed outside the library is refused before the search adds anything to
    # the study, and kept from the factor.
    plant_best_trial_among_drawn_ones(dict(GOOD, stop_loss_std_multiplier=-5.0))
    with pytest.raises(ValueError, match="'stop_loss_std_multiplier' is -5.0, outside"):
        factor.fit(1)
    assert len(study.trials) == 3
    assert fields(factor)["optimal_params"] == drawn


def test_a_search_drawn_study_always_passes(crypto_daily, in_tmp_dir):
    factor = make(crypto_daily)
    factor.fit(3)
    best = optuna.load_study(study_name=STUDY, storage="sqlite:///" + STUDY_FILE).best_trial.params
    assert make(crypto_daily).get_full_backtest_results() is not None
    assert fields(factor)["optimal_params"] == best


# ---------------------------------------------------------------- the walk's own conversions

def test_a_final_run_on_given_parameters_refuses_values_without_an_integer(crypto_daily):
    factor = make(crypto_daily)
    run = getattr(factor, "__run_pairs_trading_serial_cointegration_factor")
    # As found: "spread too short for a rolling volatility", after a NaN became an integer.
    with pytest.raises(ValueError, match="rolling_volatility_halflife_multiplier x half-life is not a number of bars"):
        run(None, False, trading_params(40, rolling_volatility_halflife_multiplier=math.nan), False)
    for window, message in [(10 ** 30, "beyond any number of bars"), (math.nan, "is not a number of bars"),
                            (math.inf, "is not a number of bars"), ("many", "is not a number of bars")]:
        with pytest.raises(ValueError, match=f"size_of_rolling_windows .*{message}"):
            run(None, False, trading_params(window), False)
    with pytest.raises(TypeError, match="take_profit_std_multiplier must be a number, got 'wide'"):
        run(None, False, trading_params(40, take_profit_std_multiplier="wide"), False)


def test_the_volatility_kernel_refuses_a_nan_run_length():
    spread = np.sin(np.arange(200.0))
    assert np.isfinite(cointpairs._volatility_multiplier(spread, 10, 2.0))
    for multiplier, halflife in [(math.nan, 10), (math.inf, 0)]:
        with pytest.raises(ValueError, match="not a number of bars"):
            cointpairs._volatility_multiplier(spread, halflife, multiplier)
