"""Synthetic OHCLV_dataframe frames.

`make_ohlcv_frame` builds a wide frame (five columns per security, labelled
"<name>_open" ... "<name>_volume") from log-price paths. Cointegrated groups share one
random-walk driver plus stationary AR(1) noise, so the Johansen test finds them; the other
securities are independent random walks. Everything is seeded.
"""

from __future__ import annotations

import numpy as np
import pandas as pd

FIELDS = ("open", "high", "low", "close", "volume")


def log_price_paths(n_bars, n_cointegrated=2, n_independent=2, seed=0, noise=0.01,
                    ar=0.9, drift_vol=0.01, hedge=None):
    """Log closes of shape (n_bars, n_cointegrated + n_independent).

    The first `n_cointegrated` columns are hedge_j * driver + AR(1) noise (cointegrated);
    the rest are independent random walks.
    """
    rng = np.random.default_rng(seed)
    driver = np.cumsum(rng.normal(0.0, drift_vol, n_bars)) + np.log(100.0)
    cols = []
    if hedge is None:
        hedge = np.linspace(1.0, 1.5, max(n_cointegrated, 1))
    for j in range(n_cointegrated):
        eps = np.zeros(n_bars)
        shocks = rng.normal(0.0, noise, n_bars)
        for t in range(1, n_bars):
            eps[t] = ar * eps[t - 1] + shocks[t]
        cols.append(hedge[j] * driver + eps + 0.1 * j)
    for _ in range(n_independent):
        cols.append(np.cumsum(rng.normal(0.0, drift_vol, n_bars)) + np.log(rng.uniform(5, 500)))
    return np.column_stack(cols) if cols else np.empty((n_bars, 0))


def make_ohlcv_frame(n_bars=500, names=None, n_cointegrated=2, n_independent=2, freq="1h",
                     start="2022-01-03", tz="UTC", seed=0, field_major=False, log_closes=None,
                     index_name=None):
    """A wide OHCLV_dataframe with a zone-aware DatetimeIndex.

    Args:
        n_bars: number of rows.
        names: security names (default S0, S1, ...).
        n_cointegrated, n_independent: how the log closes are generated (ignored when
            `log_closes` is given).
        freq: bar spacing, any pandas frequency ("1min", "1h", "1D", ...).
        start: first bar time, read in zone `tz` (None gives a zone-less index).
        seed: random seed.
        field_major: columns grouped by field (all opens, then highs, ...) as the equity
            feed writes them; otherwise security by security as the crypto feed does.
        log_closes: optional (n_bars, k) array of log closes to use as they are.
    """
    rng = np.random.default_rng(seed + 1)
    if log_closes is None:
        log_closes = log_price_paths(n_bars, n_cointegrated, n_independent, seed=seed)
    log_closes = np.asarray(log_closes, dtype=np.float64)
    n_bars, k = log_closes.shape
    if names is None:
        names = [f"S{j}" for j in range(k)]
    index = pd.date_range(start=start, periods=n_bars, freq=freq, tz=tz, name=index_name)
    data = {}
    for j, name in enumerate(names):
        close = np.exp(log_closes[:, j])
        prev = np.concatenate([[close[0]], close[:-1]])
        spread = np.abs(rng.normal(0.0, 0.002, n_bars)) * close
        high = np.maximum(prev, close) + spread
        low = np.minimum(prev, close) - spread
        volume = rng.lognormal(mean=8.0, sigma=0.5, size=n_bars)
        data[name] = {"open": prev, "high": high, "low": low, "close": close, "volume": volume}
    if field_major:
        columns = {f"{n}_{f}": data[n][f] for f in FIELDS for n in names}
    else:
        columns = {f"{n}_{f}": data[n][f] for n in names for f in FIELDS}
    return pd.DataFrame(columns, index=index)
