"""Live loops of update and predict against the full backtest, whatever calls come between.

Each loop delivers bars after a history, calls predict after every delivery, and compares
with the walk of a factor holding the history and every live bar: its positions row for
the bar after the latest delivered one (decided from the bars up to it, the walk never
looks ahead), weighted by market value at the latest closes. Stepping the missing windows
and rerunning the whole backtest must both land there."""

import hashlib
import logging
from datetime import time
from pathlib import Path

import numpy as np
import optuna
import pandas as pd
import pytest

from factors.technical.factor_helpers import Factor, FakeSignalsmith, fields, set_mangled, trading_params
from support.frames import make_ohlcv_frame
from velmora.factors.technical import cointpairs

SAMPLE = Path(__file__).resolve().parents[3] / "examples" / "data" / "binance_spot_1h_2022-2023.csv.gz"
OBJECTIVE = "latest_cumprod_returns"
STUDY_NAME = "PairsTradingSerialCointegrationFactor"
HISTORY = 6100  # hourly bars: a 24-hour day at 60 minutes needs 6048
PARAMS = trading_params(200)  # entries at 1 sd: positions are held over the live bars
MINUTE_HOURS = [(time(0, 0), time(0, 10))]  # ten one-minute bars a day: 2520 bars suffice
MINUTE_HISTORY = 2560


@pytest.fixture(scope="module")
def hourly():
    """Four pairs of the shipped sample."""
    frame = pd.read_csv(SAMPLE, index_col=0, parse_dates=True)
    names = ("BTCUSDT", "ETHUSDT", "BNBUSDT", "XRPUSDT")
    return frame[[f"{n}_{f}" for n in names for f in ("open", "high", "low", "close", "volume")]]


@pytest.fixture(scope="module")
def minutes():
    """One-minute bars of a ten-minute session a day (00:00 to 00:09 UTC), 263 days."""
    days = pd.date_range("2023-01-02", periods=263, freq="1D").to_numpy()
    index = pd.DatetimeIndex(np.add.outer(days, np.arange(10) * np.timedelta64(1, "m")).ravel()).tz_localize("UTC")
    frame = make_ohlcv_frame(n_bars=len(index), names=["A", "B", "C"], n_cointegrated=2, n_independent=1,
                             freq="1min", seed=1)
    frame.index = index
    return frame


class RetrainedTradegate:
    """An entry classifier whose every fit is a new model: each version vetoes another third
    of the entries, judged on the features alone, so any two walks of one version agree."""

    def __init__(self, version=0):
        self.version = version

    def fit(self, **training):
        assert len(training["X_train_df"]) > 0
        self.version += 1

    def predict(self, X):
        digest = hashlib.sha256(f"model {self.version}: {X['f_last_first_column'].iloc[0]!r}".encode()).digest()
        return int(digest[0] % 3 != 0)


set_mangled(RetrainedTradegate, "__check_and_load_optimal_entry_classifier",
            lambda self, factor_name="": self.version > 0)


def make(frame, resolution=60, hours=(), version=None):
    meta = {} if version is None else dict(vodED_signalsmith=FakeSignalsmith(),
                                           vodED_tradegate=RetrainedTradegate(version))
    # Without costs: weights and positions do not depend on them, and a run that trades at
    # every rebalancing could otherwise go bankrupt, a failed trial.
    return Factor("crypto", frame, resolution, list(hours), False, objective=OBJECTIVE,
                  market_value_pct_commissions=0.0, bid_ask_spread_pct_slippage=0.0, **meta)


def enqueue(resolution, params=PARAMS):
    """The next trial of the factor's study (created when missing) runs `params`."""
    storage = f"sqlite:///crypto_{resolution}_{OBJECTIVE}_0.9_{STUDY_NAME}.db"
    optuna.create_study(study_name=STUDY_NAME, direction="maximize", storage=storage,
                        load_if_exists=True).enqueue_trial(params)


def expected_weights(frame, history, resolution, hours, version=None):
    """Row n of the result: the weights to hold after the first n stored bars."""
    oracle = make(frame.iloc[:history], resolution, hours, version)
    oracle.update(frame.iloc[history:])
    values = cointpairs._run_walk(oracle, PARAMS)[1:] * fields(oracle)["close_matrix_array"][:-1]
    gross = np.abs(values).sum(axis=1, keepdims=True)
    return np.vstack([np.zeros(values.shape[1]), np.divide(values, gross, out=values.copy(), where=gross != 0)])


def fit_with_veto(factor):
    enqueue(60)  # the search's trial runs the same parameters again: the best stay the same
    factor.fit(1, fit_vodED=True)


# Each loop: its data, the bars of each delivery, the tolerance, whether the live factor fits
# before its first delivery (else it loads the parameters of the study another one fitted),
# what is called before the delivery of a given number (after the previous predict), and how
# many of the predicts rerun the whole backtest (None: not counted) rather than step.
LOOPS = {
    # Bars appended before the first predict after fit: that predict steps every one of them.
    "bars-before-the-first-predict-after-fit": dict(
        data="hourly", batches=[9] + [1] * 30, tolerance=10 ** 9, fit=True, calls={}, reruns=0),
    # A full backtest leaves the state one window short of the latest; erasing the study and
    # fitting it again on the same parameters leaves the search's own walk.
    "full-backtest-and-refit-mid-loop": dict(
        data="hourly", batches=[1] * 30, tolerance=90, fit=False,
        calls={5: lambda f: f.get_full_backtest_results(),
               12: lambda f: (f.erase_fit_memory(), enqueue(60), f.fit(1)),
               20: lambda f: f.get_full_backtest_results()},
        reruns=1),  # the first predict, which has no walk state yet
    # Three bars a delivery, three minutes behind: stepped at the default tolerance, and
    # rerun across the gap to the next session.
    "minute-bars-three-at-a-time": dict(
        data="minutes", batches=[3] * 20, tolerance=5, fit=False, calls={}, reruns=None),
    # Retraining the meta-label model, or loading another: a state walked before (or by fit's
    # own run, which never vetoes) holds other positions than the backtest with the new model.
    "retrained-meta-label-model": dict(
        data="hourly", batches=[1] * 30, tolerance=10 ** 9, fit=True, versions={1: 0, 8: 1, 18: 2, 24: 3},
        calls={8: fit_with_veto, 18: fit_with_veto,
               24: lambda f: f.initialize_vodED_data_structures(FakeSignalsmith(), RetrainedTradegate(3))},
        reruns=3),  # one for each new model
}


@pytest.mark.parametrize("loop", list(LOOPS.values()), ids=list(LOOPS))
def test_predict_holds_what_the_full_backtest_holds(loop, hourly, minutes, in_tmp_dir, caplog):
    frame = {"hourly": hourly, "minutes": minutes}[loop["data"]]
    minute = loop["data"] == "minutes"
    resolution, hours, history = (1, MINUTE_HOURS, MINUTE_HISTORY) if minute else (60, [], HISTORY)
    live = sum(loop["batches"])
    frame = frame.iloc[:history + live + 1]  # one bar more: the oracle's row after the last delivery
    # The model version in use from a delivery on (None: no meta-label objects at all).
    model_from = loop.get("versions", {1: None})
    versions = [model_from[max(k for k in model_from if k <= d)] for d in range(1, len(loop["batches"]) + 1)]
    factor = make(frame.iloc[:history], resolution, hours, versions[0])
    enqueue(resolution)
    if loop["fit"]:
        factor.fit(1)
    else:
        make(frame.iloc[:history], resolution, hours).fit(1)
    assert fields(factor)["optimal_params"] in (None, PARAMS)

    oracles = {v: expected_weights(frame, history, resolution, hours, v) for v in set(versions) | {None}}
    rows = history + np.cumsum(loop["batches"])
    for v in set(versions) - {None, 0}:  # version 0 is no model yet: it never vetoes
        # While a model is in use, its positions differ from those of the model before it and
        # from unvetoed ones (fit's own run), so a state walked with either would be caught.
        used = rows[[u == v for u in versions]]
        before = versions[versions.index(v) - 1] if versions.index(v) else None
        for other in {before, None} - {v}:
            assert not np.array_equal(oracles[v][used], oracles[other][used]), (v, other)

    caplog.set_level(logging.INFO, logger=" ")
    n, seen, reruns = history, [], 0
    for k, batch in enumerate(loop["batches"], start=1):
        if k in loop["calls"]:
            loop["calls"][k](factor)
        factor.update(frame.iloc[n:n + batch])
        n += batch
        caplog.clear()
        got = factor.predict(return_arrays=True, number_of_minutes_away_before_needing_to_rerun=loop["tolerance"])
        reruns += any(r.getMessage().startswith("RUNNING AN IN-SAMPLE RUN") for r in caplog.records)
        np.testing.assert_array_equal(got, oracles[versions[k - 1]][n], err_msg=f"delivery {k}, {n} bars")
        f = fields(factor)
        assert f["last_run_time"] == f["current_time"] == f["datetime_array"][n - 1]
        seen.append(got.any())
    assert sum(seen) >= len(seen) // 2, "too few positions held over the live bars to compare"
    assert loop["reruns"] in (None, reruns)
