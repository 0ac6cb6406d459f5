#!/usr/bin/env python3
"""The Scorebook's native bootstrap beside sklearn.utils.resample on the same inputs.

    python bench/bootstrap.py [--lengths 252 756 2520] [--repeat 3]

For each length of daily returns it runs the record's bootstrap (10000 seeded paths, the
50th percentile picked) and the same bootstrap written with sklearn, checks that both pick
the same path bit for bit, and prints both times, the speed-up and the native draw rate.
"""

from __future__ import annotations

import argparse
import os

os.environ.setdefault("MPLBACKEND", "Agg")

import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402
from sklearn.utils import resample  # noqa: E402
from timing import best_of  # noqa: E402

from velmora.utils.results.scorebook import Scorebook  # noqa: E402

PATHS = 10_000
FIRST_SEED = 69


def sklearn_bootstrap(x: np.ndarray, percentiles: list[float]):
    """The bootstrap as a plain sklearn/numpy loop: every path kept, first match per percentile."""
    samples = np.zeros((PATHS, len(x)))
    paths = np.zeros((PATHS, len(x)))
    for k in range(PATHS):
        samples[k] = resample(x, random_state=FIRST_SEED + k)
        paths[k] = np.cumprod(1 + samples[k])
    finals = paths[:, -1]
    rows, chosen = [], []
    for p in percentiles:
        close = np.isclose(finals, np.percentile(finals, p), rtol=0.001, atol=0.001)
        if close.any():
            i = int(np.argmax(close))
            rows.append(samples[i])
            chosen.append(paths[i])
    return rows, chosen


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--lengths", type=int, nargs="+", default=[252, 756, 2520])
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()

    days = max(args.lengths) + 1
    times = pd.date_range("2000-01-03", periods=days, freq="D").values
    record = Scorebook(1.0, None, days, times, *([None] * 12))
    native = getattr(record, "__get_bootstrapped_cumprod_daily_returns")
    percentiles = [5, 50, 95]

    print(f"{'length':>7} {'native s':>9} {'sklearn s':>10} {'speed-up':>9} {'draws/s':>12}  identical")
    for length in args.lengths:
        r = pd.Series(np.random.default_rng(length).normal(0.0005, 0.012, length),
                      index=pd.date_range("2000-01-04", periods=length, freq="D"))
        t_native, (rows, paths) = best_of(lambda: native(length, r, percentiles), args.repeat)
        t_sklearn, (ref_rows, ref_paths) = best_of(lambda: sklearn_bootstrap(r.values, percentiles), 1)
        identical = len(paths) == len(ref_paths) and all(
            np.array_equal(a, b) for a, b in zip(rows + paths, ref_rows + ref_paths))
        print(f"{length:>7} {t_native:>9.4f} {t_sklearn:>10.3f} {t_sklearn / t_native:>8.1f}x "
              f"{PATHS * length / t_native:>12.3e}  {identical}")
        if not identical:
            print("  the native paths differ from sklearn's")
            return 1
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
