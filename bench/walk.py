"""Speed of the native rolling walk against the plain-Python reference walk.

    python bench/walk.py

On real hourly bars of ten crypto pairs (45 security pairs), for a few window sizes: the
native walk and the reference walk (numpy + statsmodels + scikit-learn, the oracle of the
tests) run on the same bars in one run, are checked to agree, and the script prints their
pair-bars per second and the speed-up. The native walk is then timed alone over a whole year,
and through the factor class. Last, the windows a search draws (up to half the rows) on the
shipped sample of eight hourly pairs over two years: the walk's cost per bar must not grow with
the window. Everything runs on one core.
"""

from __future__ import annotations

import sys
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests"))
sys.path.insert(0, str(ROOT / "examples"))

from factors.technical.factor_helpers import trading_params as params  # noqa: E402
from factors.technical.reference_walk import ReferenceWalk  # noqa: E402
from support.market_data import CRYPTO_1H, CRYPTO_PAIRS, load_ohlcv  # noqa: E402
from velmora.factors.technical import cointpairs as cp  # noqa: E402
from research_run import load_sample  # noqa: E402
from timing import best_of  # noqa: E402

BARS_PER_DAY = 24
SYMBOLS = CRYPTO_PAIRS[:10]


def settings(rows):
    return dict(hedge_ratio_reestimation_interval=BARS_PER_DAY, johansen_sampling_step=BARS_PER_DAY,
                barrier_readjustment_interval=BARS_PER_DAY, maximum_zscore_window=int(rows * 0.5))


def native_walk(closes, p, maximum_rows):
    # The log closes are part of every walk's cost: the factor takes them once per walk.
    with np.errstate(divide="ignore", invalid="ignore"):
        logs = np.log(closes)
    return cp._walk(closes, logs, p, **settings(maximum_rows))


def main():
    frame = load_ohlcv(CRYPTO_1H, SYMBOLS, start="2022-01-01", end="2022-12-31").ffill().dropna()
    names = [c[: -len("_close")] for c in frame.columns if c.endswith("_close")]
    data = np.ascontiguousarray(frame.to_numpy(dtype=np.float64))
    closes = np.ascontiguousarray(frame[[n + "_close" for n in names]].to_numpy(dtype=np.float64))
    n_pairs = len(names) * (len(names) - 1) // 2
    rows = closes.shape[0]
    print(f"{len(names)} crypto pairs, {n_pairs} security pairs, {rows} hourly bars of 2022\n")

    print("side by side on the same bars (reference with statsmodels / scikit-learn):")
    print(f"{'window':>6} {'bars':>6} {'trades':>7} {'reference s':>12} {'native ms':>10} "
          f"{'speed-up':>9} {'ref pair-bars/s':>16} {'native pair-bars/s':>19}")
    for w, bars in ((200, 1200), (500, 1500)):
        sub_data, sub_closes = data[:bars], closes[:bars]
        p = params(w)
        t_native, ours = best_of(lambda: native_walk(sub_closes, p, rows), 5)
        walk = ReferenceWalk(sub_data, list(frame.columns), names, p, **settings(rows))
        t_ref, ref = best_of(walk.run, 1)
        scale = np.abs(ref["positions"]).max() or 1.0
        np.testing.assert_allclose(ours["positions"], ref["positions"], rtol=1e-8, atol=1e-10 * scale)
        assert len(ours["trades"]) == len(ref["trades"])
        pair_bars = (bars - w) * n_pairs
        print(f"{w:>6} {bars:>6} {len(ours['trades']):>7} {t_ref:>12.2f} {t_native * 1e3:>10.2f} "
              f"{t_ref / t_native:>8.0f}x {pair_bars / t_ref:>16.0f} {pair_bars / t_native:>19.0f}")

    print("\nnative walk over the whole year:")
    print(f"{'window':>6} {'trades':>7} {'ms':>8} {'pair-bars/s':>14}")
    for w in (200, 500, 1000):
        t_native, ours = best_of(lambda: native_walk(closes, params(w), rows), 5)
        pair_bars = (rows - w) * n_pairs
        print(f"{w:>6} {len(ours['trades']):>7} {t_native * 1e3:>8.1f} {pair_bars / t_native:>14.0f}")

    run_walk = getattr(cp, "_run_walk", None)
    if run_walk is not None:
        factor = cp.PairsTradingSerialCointegrationFactor("bench", frame, 60, [], False)
        factor_rows = cp._factor_fields(factor)["number_of_rows"]
        print("\nthrough the factor (per-pair dicts and trade records included):")
        print(f"{'window':>6} {'ms':>8} {'pair-bars/s':>14}")
        for w in (200, 500):
            t_factor, _ = best_of(lambda: run_walk(factor, params(w)), 3)
            pair_bars = (factor_rows - w) * n_pairs
            print(f"{w:>6} {t_factor * 1e3:>8.1f} {pair_bars / t_factor:>14.0f}")

    search_windows()


def search_windows():
    frame = load_sample()
    names = [c[: -len("_close")] for c in frame.columns if c.endswith("_close")]
    closes = np.ascontiguousarray(frame[[n + "_close" for n in names]].to_numpy(dtype=np.float64))
    rows = closes.shape[0]
    n_pairs = len(names) * (len(names) - 1) // 2
    print(f"\nwindows of a search, {len(names)} hourly pairs ({n_pairs} security pairs), {rows} bars:")
    print(f"{'window':>6} {'trades':>7} {'ms':>8} {'pair-bars/s':>14} {'vs 200':>7}")
    base = None
    for w in (200, 1000, 2000, rows // 4, 8000, rows // 2):
        t_native, ours = best_of(lambda: native_walk(closes, params(w), rows), 3)
        rate = (rows - w) * n_pairs / t_native
        base = base or rate
        print(f"{w:>6} {len(ours['trades']):>7} {t_native * 1e3:>8.1f} {rate:>14.0f} {rate / base:>6.2f}x")


if __name__ == "__main__":
    main()
