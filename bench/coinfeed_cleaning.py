"""Speed of the crypto feed's kline cleaning on minute histories.

    python bench/coinfeed_cleaning.py

A feed whose client hands out canned minute klines (decimal text, as the exchange sends
them) downloads two symbols in this process (n_jobs=1), so the run measures the cleaning
and joining alone, not the network. Beside it, in the same run, the final numeric
conversion is timed both ways on the same joined frame: column by column (what the feed
does, on each symbol's klines) and row by row with pd.to_numeric (the slow formulation it
avoids), both from the decimal text.
"""

from __future__ import annotations

import numpy as np
import pandas as pd

from velmora.connections.binance.coinfeed import Coinfeed
from timing import best_of

MINUTE_MS = 60_000


def minute_klines(n_bars, seed, start_ms=1_704_067_200_000):
    rng = np.random.default_rng(seed)
    close = 100.0 * np.exp(np.cumsum(rng.normal(0.0, 1e-3, n_bars)))
    rows = []
    for i, c in enumerate(close):
        t = start_ms + i * MINUTE_MS
        o, h, lo, v = c * 0.9995, c * 1.001, c * 0.999, rng.uniform(1, 1000)
        rows.append([t, f"{o:.8f}", f"{h:.8f}", f"{lo:.8f}", f"{c:.8f}", f"{v:.8f}",
                     t + MINUTE_MS - 1, "0", 10, "0", "0", "0"])
    # a few minutes without trades, as real histories have
    return [r for i, r in enumerate(rows) if i % 997 != 500]


class CannedClient:
    def __init__(self, klines_by_symbol):
        self.klines_by_symbol = klines_by_symbol

    def get_historical_klines(self, symbol, interval, start_str, end_str):
        return self.klines_by_symbol[symbol]


class OfflineFeed(Coinfeed):
    def initialize_binance_client(self):
        self.binance_client = None


def main():
    import logging

    logging.getLogger(" ").setLevel(logging.WARNING)
    print(f"{'minutes':>8} {'download s':>11} {'bars/s':>10} {'col-wise ms':>12} {'row-wise ms':>12} {'ratio':>7}")
    for days in (3, 14):
        n = days * 1440
        feed = OfflineFeed("k", "s")
        feed.binance_client = CannedClient({"AAAUSDT": minute_klines(n, 1), "BBBUSDT": minute_klines(n, 2)})
        download = lambda: feed.get_minute_historical_data_for_cryptocurrencies(
            ["AAAUSDT", "BBBUSDT"], n_jobs=1)
        seconds, frame = best_of(download, 3)
        text = frame.map(lambda x: f"{x:.8f}")  # the joined values as the exchange sent them
        col_s, col = best_of(lambda: text.astype("float64"), 3)
        row_s, row = best_of(lambda: text.apply(pd.to_numeric, axis=1), 1)
        assert np.array_equal(col.to_numpy(), row.to_numpy())
        print(f"{n:>8} {seconds:>11.3f} {2 * len(frame) / seconds:>10.0f} {col_s * 1e3:>12.2f} "
              f"{row_s * 1e3:>12.1f} {row_s / col_s:>7.0f}")


if __name__ == "__main__":
    main()
