"""Shared pieces of the factor's tests: frames big enough to pass the one-year rule, a
default set of constructor arguments, and small fakes of the meta-label objects."""

from __future__ import annotations

import _thread
import threading
import time

import numpy as np
import pandas as pd
import pytest

from support.frames import make_ohlcv_frame
from velmora.factors.technical import cointpairs

Factor = cointpairs.PairsTradingSerialCointegrationFactor
DEFAULT_OBJECTIVE = "stability_activity_weighted_annual_sharpe_from_median_bootstrapped_returns"


def daily_frame(n_days=260, names=("A", "B", "C"), tz="UTC", seed=3, **kwargs):
    """Daily bars: with whole-day resolution and no trading hours 252 bars suffice."""
    return make_ohlcv_frame(n_bars=n_days, names=list(names), n_cointegrated=2,
                            n_independent=len(names) - 2, freq="1D", tz=tz, seed=seed, **kwargs)


def hourly_frame(n_bars=6100, names=("A", "B", "C"), seed=3, **kwargs):
    """Hourly bars: at 60 minutes a 24-hour day needs 6048 bars."""
    return make_ohlcv_frame(n_bars=n_bars, names=list(names), n_cointegrated=2,
                            n_independent=len(names) - 2, freq="1h", seed=seed, **kwargs)


def make_factor(frame=None, resolution=1440, trading_hours=None, weekdays=False, **kwargs):
    if frame is None:
        frame = daily_frame()
    return Factor("test_universe", frame, resolution, [] if trading_hours is None else trading_hours,
                  weekdays, **kwargs)


def trading_params(w, **overrides):
    """A set of the twelve strategy parameters that trades on the test frames."""
    p = {
        "size_of_rolling_windows": w,
        "zscore_halflife_multiplier": 3.0,
        "starting_sd_for_position_entry": 1,
        "rolling_volatility_halflife_multiplier": 2.0,
        "take_profit_std_multiplier": 1.0,
        "take_profit_current_volatility_multiplier_sensitivity_at_time_of_entry": 1.0,
        "take_profit_current_volatility_multiplier_sensitivity_at_adjustment": 0.8,
        "stop_loss_std_multiplier": 2.0,
        "stop_loss_current_volatility_multiplier_sensitivity_at_time_of_entry": 1.0,
        "stop_loss_current_volatility_multiplier_sensitivity_at_adjustment": 1.2,
        "time_stop_halflife_multiplier": 2.0,
        "time_stop_adjustment_sensitivity": 1.0,
    }
    p.update(overrides)
    return p


def search_distributions(window_high):
    """The distributions the factor's search draws its twelve parameters from, the window's
    upper bound being half the bars of the factor that drew it."""
    import optuna

    drawn = {name: optuna.distributions.FloatDistribution(0.01, 10.0) for name in trading_params(31)}
    drawn["size_of_rolling_windows"] = optuna.distributions.IntDistribution(31, window_high)
    drawn["starting_sd_for_position_entry"] = optuna.distributions.IntDistribution(1, 10)
    return drawn


def assert_interrupted_with_the_gil_released(call):
    """Runs `call` while another thread counts and a timer sends Ctrl-C after 0.3 s: the call
    must end in KeyboardInterrupt within 5 s, and the thread must have kept counting."""
    counter = [0]
    running = threading.Event()

    def count():
        running.set()
        while running.is_set():
            counter[0] += 1

    counting = threading.Thread(target=count)
    counting.start()
    running.wait()
    timer = threading.Timer(0.3, _thread.interrupt_main)
    started = time.monotonic()
    before = counter[0]
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            call()
    finally:
        timer.cancel()
        running.clear()
        counting.join()
    assert time.monotonic() - started < 5.0
    assert counter[0] - before > 1000


def fields(factor):
    return cointpairs._factor_fields(factor)


def set_mangled(cls, name, function):
    """Gives a fake a method whose name starts with two underscores (a class body would
    mangle it)."""
    setattr(cls, name, function)
    return cls


class FakeTradegate:
    """Records load-hook calls; `loaded` is what the hook returns."""

    def __init__(self, loaded=True, error=None):
        self.loaded = loaded
        self.error = error
        self.load_calls = []
        self.predictions = []
        self.predict_inputs = []

    def predict(self, X):
        self.predict_inputs.append(X)
        return self.predictions.pop(0) if self.predictions else 1


def _load(self, factor_name=""):
    self.load_calls.append(factor_name)
    if self.error is not None:
        raise self.error
    return self.loaded


set_mangled(FakeTradegate, "__check_and_load_optimal_entry_classifier", _load)


class FakeSignalsmith:
    """Returns a small feature dict per call and records the keyword arguments."""

    def __init__(self):
        self.calls = []

    def generate_features_for_pair_spreads(self, pair_of_security, pair_hedge_ratios,
                                           data_column_names_array, rolling_window_matrix_array):
        self.calls.append(dict(pair_of_security=pair_of_security, pair_hedge_ratios=pair_hedge_ratios,
                               data_column_names_array=data_column_names_array,
                               rolling_window_matrix_array=np.array(rolling_window_matrix_array)))
        last = np.asarray(rolling_window_matrix_array)[-1]
        return {"f_last_first_column": np.float64(last[0]), "f_rows": np.float64(len(rolling_window_matrix_array))}


def frame_with_names(frame, mapping):
    """Renames the securities of a frame ("S0" -> "X", ...), keeping its column order."""
    def rename(label):
        for old, new in mapping.items():
            if label.startswith(old + "_"):
                return new + label[len(old):]
        return label
    return frame.rename(columns=rename)


__all__ = ["Factor", "DEFAULT_OBJECTIVE", "daily_frame", "hourly_frame", "make_factor", "fields", "trading_params",
           "assert_interrupted_with_the_gil_released",
           "FakeTradegate", "FakeSignalsmith", "frame_with_names", "pd"]
