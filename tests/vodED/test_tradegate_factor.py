"""The classifier with the pairs-trading factor on real daily crypto bars: the factor's fit
trains and saves the model, and a new factor loads it and vetoes entries."""

import contextlib
import os
import io
import re

import numpy as np
import optuna
import pandas as pd
import pytest
import yfinance

from support.market_data import load_ohlcv
from support.search_lock import search_lock_name
from support.trades import CHEAP
from velmora.factors.technical import cointpairs
from velmora.vodED.signalsmith import Signalsmith
from velmora.vodED.tradegate import OptimalEntryClassifier

Factor = cointpairs.PairsTradingSerialCointegrationFactor
OBJECTIVE = "latest_cumprod_returns"
BASE_NAME = f"crypto_1440_{OBJECTIVE}_0.9_PairsTradingSerialCointegrationFactor"
FACTOR_STUDY = "PairsTradingSerialCointegrationFactor"
CLASSIFIER_STUDY = FACTOR_STUDY + "_OptimalEntryClassifier"

FACTOR_PARAMS = {"size_of_rolling_windows": 40, "zscore_halflife_multiplier": 3.0,
                 "starting_sd_for_position_entry": 1}
FACTOR_PARAMS.update({name: 1.0 for name in [
    "rolling_volatility_halflife_multiplier", "take_profit_std_multiplier",
    "take_profit_current_volatility_multiplier_sensitivity_at_time_of_entry",
    "take_profit_current_volatility_multiplier_sensitivity_at_adjustment", "stop_loss_std_multiplier",
    "stop_loss_current_volatility_multiplier_sensitivity_at_time_of_entry",
    "stop_loss_current_volatility_multiplier_sensitivity_at_adjustment", "time_stop_halflife_multiplier",
    "time_stop_adjustment_sensitivity"]})

CLASSIFIER_PARAMS = CHEAP  # a pipeline that fits in milliseconds

VETO_LINE = re.compile(r"CURRENT TIME: (\S+) \| PAIR: \('(\w+)', '(\w+)'\) \| PREDICTION: (True|False)")


@pytest.fixture(autouse=True)
def _no_benchmark_download(monkeypatch):
    """Final runs tabulate against a benchmark that yfinance would fetch past the loopback
    guard; here it answers with nothing."""
    monkeypatch.setattr(yfinance, "download", lambda *args, **kwargs: pd.DataFrame())


def make_factor(frame, tradegate):
    # Without costs: rebalanced at every bar they would ruin the training run of these
    # parameters, a failed trial; the trades do not depend on them.
    return Factor("crypto", frame, 1440, [], False, vodED_signalsmith=Signalsmith(),
                  vodED_tradegate=tradegate, objective=OBJECTIVE, market_value_pct_commissions=0.0,
                  bid_ask_spread_pct_slippage=0.0)


def entries(factor):
    store = cointpairs._factor_fields(factor)["trade_store"]
    return {(np.datetime64(r["time_of_entry"], "ns"), tuple(r["trade_securities"]))
            for r in store.values()}


def test_factor_trains_saves_and_later_vetoes_with_the_classifier(workdir):
    frame = load_ohlcv("binance_spot_1d_2017-2026", ["BTCUSDT", "ETHUSDT", "LTCUSDT", "XRPUSDT"],
                       start="2020-06-01", end="2021-09-30")
    # Both searches run one known trial: a cheap classifier keeps the 120 folds quick.
    optuna.create_study(study_name=FACTOR_STUDY, storage=f"sqlite:///{BASE_NAME}.db",
                        direction="maximize").enqueue_trial(FACTOR_PARAMS)
    optuna.create_study(study_name=CLASSIFIER_STUDY,
                        storage=f"sqlite:///{BASE_NAME}_OptimalEntryClassifier.db",
                        direction="maximize").enqueue_trial(CLASSIFIER_PARAMS)

    trainer = make_factor(frame, OptimalEntryClassifier())
    assert cointpairs._factor_fields(trainer)["vodED_ready"] is False
    trainer.fit(1, fit_vodED=True)
    model_file = workdir / "vodED" / "saved_models" / f"{CLASSIFIER_STUDY}.pkl"
    assert model_file.is_file()
    trial = optuna.load_study(study_name=CLASSIFIER_STUDY,
                              storage=f"sqlite:///{BASE_NAME}_OptimalEntryClassifier.db").trials[0]
    assert trial.state == optuna.trial.TrialState.COMPLETE and trial.params == CLASSIFIER_PARAMS

    vetoing = make_factor(frame, OptimalEntryClassifier())
    assert cointpairs._factor_fields(vetoing)["vodED_ready"] is True
    printed = io.StringIO()
    with contextlib.redirect_stdout(printed):
        vetoing.get_full_backtest_results()
    decisions = [VETO_LINE.fullmatch(line) for line in printed.getvalue().splitlines()]
    assert decisions and all(decisions)
    vetoed = {(np.datetime64(m[1], "ns"), (m[2], m[3])) for m in decisions if m[4] == "False"}
    accepted = {(np.datetime64(m[1], "ns"), (m[2], m[3])) for m in decisions if m[4] == "True"}
    assert vetoed and accepted

    # Vetoed candidates never become trades. Without the classifier the two runs are the
    # same up to the first veto, which then is a trade.
    taken = entries(vetoing)
    assert not taken & vetoed
    assert taken <= accepted
    unvetoed = make_factor(frame, None)
    with contextlib.redirect_stdout(io.StringIO()) as silent:
        unvetoed.get_full_backtest_results()
    assert silent.getvalue() == ""
    assert min(vetoed) in entries(unvetoed)


# A high entry threshold leaves the best run few trades (its search trial records them too).
@pytest.mark.parametrize("entry_sd, window, n_trades", [(5, 40, 2), (4, 100, 6)])
def test_a_best_run_with_fewer_trades_than_groups_is_refused_before_the_classifier_search(
        workdir, entry_sd, window, n_trades):
    frame = load_ohlcv("binance_spot_1d_2017-2026", ["BTCUSDT", "ETHUSDT", "LTCUSDT", "XRPUSDT"],
                       start="2020-06-01", end="2021-09-30")
    optuna.create_study(study_name=FACTOR_STUDY, storage=f"sqlite:///{BASE_NAME}.db",
                        direction="maximize").enqueue_trial(
        dict(FACTOR_PARAMS, starting_sd_for_position_entry=entry_sd, size_of_rolling_windows=window))
    factor = make_factor(frame, OptimalEntryClassifier())
    with pytest.raises(ValueError, match=f"holds {n_trades} trades?, fewer than the 10 "
                                         "cross-validation groups") as refused:
        factor.fit(1, fit_vodED=True)
    # The classifier's n_splits is no remedy here: the factor sets the groups, and says what
    # gives more trades instead.
    assert ("The factor fixes the classifier's cross-validation at 10 groups (3 of them test groups, one day of "
            "embargo), whatever n_splits the classifier was given: for more training trades give the factor more "
            "history, another resolution or a lower entry threshold (starting_sd_for_position_entry)"
            ) in str(refused.value)
    assert "(n_splits)" not in str(refused.value)
    assert "(n_splits)" in str(refused.value.__cause__)  # the classifier's own refusal, kept as the cause
    assert len(cointpairs._factor_fields(factor)["train_trades_store_df"]) == n_trades
    # The classifier's study was never created, and no model written.
    assert sorted(os.listdir(workdir / "cwd")) == [search_lock_name(FACTOR_STUDY, f"{BASE_NAME}.db"), f"{BASE_NAME}.db"]
    assert not (workdir / "vodED").exists()
