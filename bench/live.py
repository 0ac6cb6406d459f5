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

Then a long live loop: a factor of four of the pairs holding 6100 hourly bars is given 2000 more
one at a time, with a predict at the default tolerance after each (every one reruns the whole
backtest, an hour being past the 5-minute tolerance). It prints the trade store's size, the time
of a predict at the start and at the end of the loop beside that of a factor built on the same
bars, and how much the process grew.

Last, reruns with a meta-label model: two factors of those four pairs, one with the library's
Signalsmith and an entry classifier, one without, each given 30 more hourly bars one at a time
with a predict at the default tolerance after each (every one a rerun). A rerun asks the
classifier only about entries it has not judged under the same model and parameters; the
first predict, which judges every entry of the history, shows what every rerun cost when all
were judged again. The classifier is a stand-in that loads no model file: a fitted scikit-learn
pipeline (imputer, scaler, logistic regression) over the 126 features, vetoing about half.
"""

from __future__ import annotations

import contextlib
import logging
import os
import resource
import statistics
import sys
import tempfile
import time
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
from velmora.factors.technical import cointpairs  # noqa: E402
from velmora.factors.technical.cointpairs import PairsTradingSerialCointegrationFactor  # noqa: E402
from velmora.vodED.signalsmith import Signalsmith  # noqa: E402

HISTORY = 8000
CATCH_UP = 100
LONG_CATCH_UP = 1000  # shows the cost of a window beside the fixed cost of a predict
PARAMS = trading_params(200)
STEP, RERUN = 10 ** 9, 0  # tolerances in minutes
LOOP_SECURITIES = ("BTCUSDT", "ETHUSDT", "BNBUSDT", "XRPUSDT")
LOOP_HISTORY, LOOP_PREDICTS = 6100, 2000
EDGE = 50  # predicts whose median time stands for the start and the end of the loop


def rss_mb():
    """The process's resident memory now (its peak where /proc is missing)."""
    try:
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1]) / 1024
    except OSError:
        pass
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    return peak / (1024 * 1024 if sys.platform == "darwin" else 1024)


def store_size(factor):
    return len(cointpairs._factor_fields(factor)["trade_store"])


def fit_on_params(universe, factor):
    """Fits `factor` (of `universe`, hourly) on a fresh study holding only PARAMS, and waits until
    the study file is old enough not to be read again at every predict."""
    storage = (f"sqlite:///{universe}_60_stability_activity_weighted_annual_sharpe_from_median_bootstrapped_returns"
               "_0.9_PairsTradingSerialCointegrationFactor.db")
    optuna.create_study(study_name="PairsTradingSerialCointegrationFactor", direction="maximize",
                        storage=storage).enqueue_trial(PARAMS)
    factor.fit(1)
    time.sleep(2)  # a study file written just now is read at every predict until it is older


def long_loop(frame):
    """(store sizes, predict times, fresh factor's store and predict time, memory before and after)."""
    frame = frame[[f"{name}_{field}" for name in LOOP_SECURITIES
                   for field in ("open", "high", "low", "close", "volume")]]

    def make(rows):
        return PairsTradingSerialCointegrationFactor("loop", frame.iloc[:rows], 60, [], False,
                                                     market_value_pct_commissions=0.0,
                                                     bid_ask_spread_pct_slippage=0.0)

    fit_on_params("loop", make(LOOP_HISTORY))

    factor = make(LOOP_HISTORY)
    factor.predict()
    stores, times = [store_size(factor)], []
    memory = rss_mb()
    for j in range(LOOP_PREDICTS):
        factor.update(frame.iloc[[LOOP_HISTORY + j]])
        start = time.perf_counter()
        factor.predict()
        times.append(time.perf_counter() - start)
    stores.append(store_size(factor))
    memory = (memory, rss_mb())

    # A factor built on the bars the loop ended with, less the last EDGE // 5, which it is
    # then given one at a time as the loop was.
    end, tail = LOOP_HISTORY + LOOP_PREDICTS, EDGE // 5
    fresh = make(end - tail)
    fresh.predict()
    fresh_times = []
    for row in range(end - tail, end):
        fresh.update(frame.iloc[[row]])
        start = time.perf_counter()
        fresh.predict()
        fresh_times.append(time.perf_counter() - start)
    return stores, times, (store_size(fresh), statistics.median(fresh_times)), memory


class StandInClassifier:
    """Judges an entry with a fitted scikit-learn pipeline, as the classifier does with its model."""

    def __init__(self):
        from sklearn.impute import SimpleImputer
        from sklearn.linear_model import LogisticRegression
        from sklearn.pipeline import make_pipeline
        from sklearn.preprocessing import StandardScaler
        rng = np.random.default_rng(7)
        x = rng.normal(size=(400, 126))
        self.model = make_pipeline(SimpleImputer(), StandardScaler(), LogisticRegression(max_iter=200))
        self.model.fit(x, (x[:, 0] > 0).astype(int))
        self.calls = 0

    def predict(self, X):
        self.calls += 1
        values = np.array(X.to_numpy(dtype=np.float64))
        values[~np.isfinite(values)] = np.nan
        return int(self.model.predict(values)[0])


setattr(StandInClassifier, "__check_and_load_optimal_entry_classifier", lambda self, factor_name="": True)

META_PREDICTS = 30


def meta_label_reruns(frame):
    """Per factor (without, with the classifier): the first predict's time, the median rerun's,
    and the classifier's calls in the first predict and in all the reruns."""
    frame = frame[[f"{name}_{field}" for name in LOOP_SECURITIES
                   for field in ("open", "high", "low", "close", "volume")]]
    results = {}
    for name, classifier in (("without", None), ("with", StandInClassifier())):
        meta = {} if classifier is None else dict(vodED_signalsmith=Signalsmith(), vodED_tradegate=classifier)
        factor = PairsTradingSerialCointegrationFactor("loop", frame.iloc[:LOOP_HISTORY], 60, [], False,
                                                       market_value_pct_commissions=0.0,
                                                       bid_ask_spread_pct_slippage=0.0, **meta)
        start = time.perf_counter()
        factor.predict()
        first = time.perf_counter() - start
        first_calls = classifier.calls if classifier else 0
        times = []
        for j in range(META_PREDICTS):
            factor.update(frame.iloc[[LOOP_HISTORY + j]])
            start = time.perf_counter()
            factor.predict()
            times.append(time.perf_counter() - start)
        results[name] = (first, statistics.median(times), first_calls,
                         (classifier.calls - first_calls) if classifier else 0)
    return results


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
        fit_on_params("bench", make(HISTORY))

        t_one, _ = timed(1, STEP, 5)
        t_step, stepped = timed(CATCH_UP, STEP, 5)
        t_rerun, rerun = timed(CATCH_UP, RERUN, 3)
        np.testing.assert_array_equal(stepped, rerun)
        t_long, _ = timed(LONG_CATCH_UP, STEP, 3)
        stores, times, (fresh_store, fresh_time), memory = long_loop(frame)
        with open(os.devnull, "w") as quiet, contextlib.redirect_stdout(quiet):  # the prediction lines
            meta = meta_label_reruns(frame)
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
    start, end = statistics.median(times[:EDGE]), statistics.median(times[-EDGE:])
    print(f"\n{LOOP_PREDICTS} predicts at the default tolerance, one new hourly bar before each "
          f"({len(LOOP_SECURITIES)} crypto pairs, {LOOP_HISTORY} bars at the start):")
    print(f"  trade store {stores[0]} records after the first predict, {stores[1]} after the last; "
          f"a factor built on the same bars holds {fresh_store}")
    print(f"  predict {start * 1e3:.0f} ms at the start, {end * 1e3:.0f} ms at the end (median of {EDGE}); "
          f"a factor built on the same bars {fresh_time * 1e3:.0f} ms (median of {EDGE // 5})")
    print(f"  memory {memory[0]:.0f} MB before the loop, {memory[1]:.0f} MB after ({memory[1] - memory[0]:+.0f} MB)")
    (first_without, rerun_without, _, _), (first_with, rerun_with, judged_first, judged_reruns) = \
        meta["without"], meta["with"]
    print(f"\n{META_PREDICTS} predicts at the default tolerance with and without a meta-label model "
          f"({len(LOOP_SECURITIES)} crypto pairs, {LOOP_HISTORY} hourly bars at the start):")
    print(f"  first predict (judges every entry): {first_with * 1e3:.0f} ms with, {first_without * 1e3:.0f} ms "
          f"without; {judged_first} entries judged")
    print(f"  rerunning predict (median): {rerun_with * 1e3:.0f} ms with, {rerun_without * 1e3:.0f} ms without "
          f"({rerun_with / rerun_without:.2f}x); {judged_reruns} entries judged in all {META_PREDICTS} reruns")

if __name__ == "__main__":
    main()
