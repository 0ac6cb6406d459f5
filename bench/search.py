"""Trials per second of the factor's parameter search, sequential and in worker processes.

    python bench/search.py [--trials 16]

On the shipped sample (examples/data: eight hourly crypto pairs over two years, 28 security
pairs), each search runs on a fresh study in a temporary directory: `fit` with n_jobs=1,
then with n_jobs=2 twice (the first call starts the worker processes, the second reuses
them). The script prints trials per second of each and the ratios against the sequential
search. Trials draw their own parameters (the study's seeded start-up points), so their
costs differ; the same seeds give the same draws from run to run.

Then forced trials: one queued trial each, on a fresh study, of the same parameters but the
window (200 bars, a quarter and a half of the rows, the largest the search draws), timed as
a one-trial `fit`, study storage included, and printed next to the sequential search's
trials per second.
"""

from __future__ import annotations

import argparse
import contextlib
import logging
import os
import sys
import tempfile
import time
from pathlib import Path

import optuna
import pandas as pd

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "examples"))

from research_run import load_sample  # noqa: E402
from velmora.factors.technical import cointpairs  # noqa: E402
from velmora.factors.technical.cointpairs import PairsTradingSerialCointegrationFactor  # noqa: E402

# A forced trial's parameters, the window apart: a mid-range draw of the search.
FORCED = {
    "zscore_halflife_multiplier": 2.0,
    "starting_sd_for_position_entry": 2,
    "rolling_volatility_halflife_multiplier": 2.0,
    "take_profit_std_multiplier": 2.0,
    "take_profit_current_volatility_multiplier_sensitivity_at_time_of_entry": 1.0,
    "take_profit_current_volatility_multiplier_sensitivity_at_adjustment": 1.0,
    "stop_loss_std_multiplier": 3.0,
    "stop_loss_current_volatility_multiplier_sensitivity_at_time_of_entry": 1.0,
    "stop_loss_current_volatility_multiplier_sensitivity_at_adjustment": 1.0,
    "time_stop_halflife_multiplier": 2.0,
    "time_stop_adjustment_sensitivity": 1.0,
}


@contextlib.contextmanager
def quiet_stderr():
    """Worker processes log every trial at INFO on the stderr they inherit, whatever this
    process's logger level: point that descriptor at /dev/null while the searches run."""
    sys.stderr.flush()
    saved = os.dup(2)
    with open(os.devnull, "w") as null:
        os.dup2(null.fileno(), 2)
    try:
        yield
    finally:
        sys.stderr.flush()
        os.dup2(saved, 2)
        os.close(saved)


def timed_fit(factor, trials, n_jobs):
    factor.erase_fit_memory()
    start = time.perf_counter()
    factor.fit(n_trials_to_estimate_params=trials, n_jobs=n_jobs)
    return time.perf_counter() - start


def timed_forced_trial(factor, window):
    """One queued trial at `window` bars on a fresh study, as a one-trial search runs it."""
    factor.erase_fit_memory()
    fields = cointpairs._factor_fields(factor)
    file_name = f"crypto_60_{fields['objective']}_0.9_PairsTradingSerialCointegrationFactor.db"
    study = optuna.create_study(study_name="PairsTradingSerialCointegrationFactor", direction="maximize",
                                storage="sqlite:///" + file_name)
    study.enqueue_trial(dict(FORCED, size_of_rolling_windows=window))
    del study
    start = time.perf_counter()
    try:
        factor.fit(n_trials_to_estimate_params=1, n_jobs=1)
        state = "complete"
    except Exception:  # a trial that fails (bankrupt, say) costs its walk all the same
        state = "failed"
    return time.perf_counter() - start, state


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--trials", type=int, default=16, help="trials per search (default 16)")
    args = parser.parse_args()

    logging.getLogger(" ").setLevel(logging.WARNING)  # one line per trial would drown the table
    frame = load_sample()
    with tempfile.TemporaryDirectory() as folder:
        os.chdir(folder)
        factor = PairsTradingSerialCointegrationFactor("crypto", frame, 60, [], False)
        with quiet_stderr():
            runs = [("sequential, n_jobs=1", timed_fit(factor, args.trials, 1)),
                    ("n_jobs=2, starting workers", timed_fit(factor, args.trials, 2)),
                    ("n_jobs=2, workers reused", timed_fit(factor, args.trials, 2))]
            rows = cointpairs._factor_fields(factor)["number_of_rows"]
            forced = [(window, *timed_forced_trial(factor, window)) for window in (200, rows // 4, rows // 2)]
        os.chdir(ROOT)

    print(f"{len(frame)} hourly bars, {len(frame.columns) // 5} securities, {args.trials} trials per search")
    sequential = args.trials / runs[0][1]
    print(f"{'search':<28}{'seconds':>10}{'trials/s':>10}{'ratio':>8}")
    for name, seconds in runs:
        rate = args.trials / seconds
        print(f"{name:<28}{seconds:>10.2f}{rate:>10.2f}{rate / sequential:>8.2f}")
    print(f"{'forced trial, window':<28}{'seconds':>10}{'trials/s':>10}{'ratio':>8}  trial")
    for window, seconds, state in forced:
        rate = 1.0 / seconds
        print(f"{window:<28}{seconds:>10.2f}{rate:>10.2f}{rate / sequential:>8.2f}  {state}")


if __name__ == "__main__":
    main()
