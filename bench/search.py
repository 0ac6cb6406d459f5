"""Trials per second of the factor's parameter search, sequential and in worker processes.

    python bench/search.py [--trials 16]

On the shipped sample (examples/data: eight hourly crypto pairs over two years, 28 security
pairs), each search runs on a fresh study in a temporary directory: `fit` with n_jobs=1,
then with n_jobs=2 twice (the first call starts the worker processes, the second reuses
them). The script prints trials per second of each and the ratios against the sequential
search. Trials draw their own parameters (the study's seeded start-up points), so their
costs differ; the same seeds give the same draws from run to run.
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

import pandas as pd

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "examples"))

from research_run import load_sample  # noqa: E402
from velmora.factors.technical.cointpairs import PairsTradingSerialCointegrationFactor  # noqa: E402


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
        os.chdir(ROOT)

    print(f"{len(frame)} hourly bars, {len(frame.columns) // 5} securities, {args.trials} trials per search")
    sequential = args.trials / runs[0][1]
    print(f"{'search':<28}{'seconds':>10}{'trials/s':>10}{'ratio':>8}")
    for name, seconds in runs:
        rate = args.trials / seconds
        print(f"{name:<28}{seconds:>10.2f}{rate:>10.2f}{rate / sequential:>8.2f}")


if __name__ == "__main__":
    main()
