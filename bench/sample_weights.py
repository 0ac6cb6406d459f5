"""Speed of SampleWeights against the pandas label-range formulation it replaces.

    python bench/sample_weights.py

For a few sizes of grid and trade set, times both on the same inputs in one run, checks that
they agree, and prints the milliseconds per call, the speed-up and the trades per second.
"""

from __future__ import annotations

import numpy as np
import pandas as pd
from timing import best_of

from velmora.vodED.signalsmith import SampleWeights


def pandas_fit_transform(grid, starts, ends, impact):
    concurrency = pd.Series(np.zeros(grid.shape[0]), index=grid)
    for s, e in zip(starts, ends):
        concurrency.loc[s:e] += 1
    u = np.zeros(starts.shape[0])
    for i, (s, e) in enumerate(zip(starts, ends)):
        v = concurrency.loc[s:e].values
        u[i] = np.mean(np.ones(v.shape[0]) / v)
    x = np.abs(impact) / u
    return x / np.sum(x) * x.shape[0]


def trades(n_grid, n_trades, max_bars, seed=0):
    rng = np.random.default_rng(seed)
    grid = (np.datetime64("2021-01-01T00:00", "ns") + np.arange(n_grid) * np.timedelta64(5, "m"))
    first = np.sort(rng.integers(0, n_grid - max_bars, n_trades))
    starts = grid[first]
    ends = grid[first + rng.integers(1, max_bars, n_trades)]
    return grid, starts, ends, rng.normal(0, 0.01, n_trades)


def main():
    sw = SampleWeights()
    print(f"{'grid':>8} {'trades':>7} {'pandas ms':>10} {'native ms':>10} {'speed-up':>9} {'trades/s':>12}")
    for n_grid, n_trades, max_bars in [(10_000, 100, 200), (100_000, 500, 2_000), (500_000, 1_000, 5_000)]:
        grid, starts, ends, impact = trades(n_grid, n_trades, max_bars)
        t_pandas, ref = best_of(lambda: pandas_fit_transform(grid, starts, ends, impact), 1)
        t_native, got = best_of(lambda: sw.fit_transform(grid, starts, ends, impact), 5)
        np.testing.assert_allclose(got, ref, rtol=1e-12)
        print(f"{n_grid:>8} {n_trades:>7} {t_pandas * 1e3:>10.1f} {t_native * 1e3:>10.3f} "
              f"{t_pandas / t_native:>8.0f}x {n_trades / t_native:>12.0f}")


if __name__ == "__main__":
    main()
