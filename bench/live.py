"""Catching up a live factor: stepping the missing windows against one whole rerun.

    python bench/live.py

On the shipped sample (examples/data: eight hourly crypto pairs, 28 security pairs), a
factor holding the first 8000 bars predicts once, is then given 100 more bars, and its next
predict catches up either by stepping the 100 windows it has not seen (a large tolerance)
or by rerunning the whole backtest (tolerance 0). Both give the same weights, which the
script checks. It prints the time of each and their ratio, beside a predict one bar behind
and one 1000 bars behind, which show the fixed cost of a predict and the cost of a stepped
window. The benchmark downloads of the rerun's results tables are answered offline with
nothing, so a rerun in live use costs more than shown here.
"""

from __future__ import annotations

import logging
import os
import sys
import tempfile
from pathlib import Path

import numpy as np
import optuna
import pandas as pd
import yfinance

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "examples"))
sys.path.insert(0, str(ROOT / "tests"))

from factors.technical.factor_helpers import trading_params  # noqa: E402
from research_run import load_sample  # noqa: E402
from timing import best_of  # noqa: E402
from velmora.factors.technical.cointpairs import PairsTradingSerialCointegrationFactor  # noqa: E402

HISTORY = 8000
CATCH_UP = 100
LONG_CATCH_UP = 1000  # shows the cost of a window beside the fixed cost of a predict
PARAMS = trading_params(200)
STEP, RERUN = 10 ** 9, 0  # tolerances in minutes


def main() -> None:
    logging.getLogger(" ").setLevel(logging.ERROR)
    optuna.logging.set_verbosity(optuna.logging.ERROR)
    yfinance.download = lambda *args, **kwargs: pd.DataFrame()
    frame = load_sample()
    pairs = len(frame.columns) // 5 * (len(frame.columns) // 5 - 1) // 2

    def make(rows):
        # Without costs: these parameters' rebalancing would otherwise ruin the training run.
        return PairsTradingSerialCointegrationFactor("bench", frame.iloc[:rows], 60, [], False,
                                                     market_value_pct_commissions=0.0,
                                                     bid_ask_spread_pct_slippage=0.0)

    def behind(bars):
        """A factor whose walk state is `bars` bars behind its latest bar."""
        factor = make(HISTORY)
        factor.predict()
        factor.update(frame.iloc[HISTORY:HISTORY + bars])
        return factor

    def timed(bars, tolerance, repeats):
        factors = [behind(bars) for _ in range(repeats)]
        return best_of(lambda: factors.pop().predict(return_arrays=True,
                                                      number_of_minutes_away_before_needing_to_rerun=tolerance),
                       repeats)

    with tempfile.TemporaryDirectory() as folder:
        os.chdir(folder)
        storage = ("sqlite:///bench_60_stability_activity_weighted_annual_sharpe_from_median_bootstrapped_returns"
                   "_0.9_PairsTradingSerialCointegrationFactor.db")
        study = optuna.create_study(study_name="PairsTradingSerialCointegrationFactor", direction="maximize",
                                    storage=storage)
        study.enqueue_trial(PARAMS)
        make(HISTORY).fit(1)

        t_one, _ = timed(1, STEP, 5)
        t_step, stepped = timed(CATCH_UP, STEP, 5)
        t_rerun, rerun = timed(CATCH_UP, RERUN, 3)
        np.testing.assert_array_equal(stepped, rerun)
        t_long, _ = timed(LONG_CATCH_UP, STEP, 3)
        os.chdir(ROOT)

    per_window = (t_long - t_one) / (LONG_CATCH_UP - 1)
    print(f"{len(frame.columns) // 5} crypto pairs, {pairs} security pairs, {HISTORY} hourly bars, "
          f"window {PARAMS['size_of_rolling_windows']}\n")
    print(f"{'predict behind by':<20} {'catch-up':<24} {'ms':>9}")
    print(f"{'1 bar':<20} {'step 1 window':<24} {t_one * 1e3:>9.2f}")
    print(f"{f'{CATCH_UP} bars':<20} {f'step {CATCH_UP} windows':<24} {t_step * 1e3:>9.2f}")
    print(f"{f'{CATCH_UP} bars':<20} {'rerun, step 1 window':<24} {t_rerun * 1e3:>9.2f}")
    print(f"{f'{LONG_CATCH_UP} bars':<20} {f'step {LONG_CATCH_UP} windows':<24} {t_long * 1e3:>9.2f}")
    print(f"\na {CATCH_UP}-bar catch-up: stepping is {t_rerun / t_step:.0f}x faster than the rerun, which walks "
          f"{HISTORY + CATCH_UP - PARAMS['size_of_rolling_windows']} windows and books and scores both parts; "
          f"a stepped window costs {per_window * 1e6:.0f} us beyond a predict's fixed {t_one * 1e3:.1f} ms")

if __name__ == "__main__":
    main()
