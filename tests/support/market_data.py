"""Loader for the real market data kept beside the repository in ../shared/data.

Each file of one security becomes five columns "<name>_open" ... "<name>_volume" of a
wide OHCLV_dataframe; files are joined on their timestamps (outer join, sorted ascending).
Crypto bars get a UTC index named "datetime", as the crypto feed writes it; equity bars a
zone-less daily index unless `tz` is given.
"""

from __future__ import annotations

import os
from pathlib import Path

import pandas as pd
import pytest

REPO = Path(__file__).resolve().parents[2]


def shared_data_dir() -> Path:
    """The real data folder (VELMORA_SHARED_DATA overrides ../shared/data)."""
    return Path(os.environ.get("VELMORA_SHARED_DATA", REPO.parent / "shared" / "data"))


def require_shared_data() -> Path:
    path = shared_data_dir()
    if not path.is_dir():
        pytest.skip(f"real market data not found at {path}")
    return path


# (column holding the bar time, its parse, the OHLCV column names) per layout.
_LAYOUTS = {
    "binance_spot_1h_2021-2023": ("date", None, ("open", "high", "low", "close", "volume")),
    "binance_spot_12field_2024-2025": ("open_time", None, ("open", "high", "low", "close", "volume")),
    "binance_spot_1d_2017-2026": ("timestamp", None, ("open", "high", "low", "close", "volume")),
    "binance_spot_1d_12field_2017-2023": ("Date", None, ("Open", "High", "Low", "Close", "Volume")),
    "sp500_2010-2016": ("Date", None, ("Open", "High", "Low", "Close", "Volume")),
    "sp500_2000-2024_raw": ("Date", None, ("Open", "High", "Low", "Close", "Volume")),
    "ftse100_2013-2017": ("Date", None, ("Open", "High", "Low", "Close", "Volume")),
}


def _file_for(folder: Path, symbol: str, interval: str | None) -> Path:
    if (folder / f"{symbol}.csv").is_file():
        return folder / f"{symbol}.csv"
    if interval is not None:
        candidates = [folder / f"{symbol}_{interval}.csv", folder / f"{symbol}-{interval}.csv"]
    else:
        candidates = sorted(folder.glob(f"{symbol}_*.csv")) + sorted(folder.glob(f"{symbol}-*.csv"))
    found = [c for c in candidates if c.is_file()]
    if len(found) != 1:
        raise FileNotFoundError(f"no single file for {symbol} (interval {interval}) in {folder}")
    return found[0]


def load_security(dataset: str, symbol: str, interval: str | None = None) -> pd.DataFrame:
    """One security's bars as a frame with columns open, high, low, close, volume (float64),
    indexed by zone-less bar times, sorted ascending, duplicate times keeping the last row,
    all-null rows dropped."""
    base = require_shared_data()
    sub = "crypto_klines" if dataset.startswith("binance") else "equities_daily"
    folder = base / sub / dataset
    time_col, _, fields = _LAYOUTS[dataset]
    raw = pd.read_csv(_file_for(folder, symbol, interval), na_values=["null"])
    times = pd.to_datetime(raw[time_col])
    frame = pd.DataFrame({f.lower(): pd.to_numeric(raw[f], errors="coerce").astype("float64")
                          for f in fields})
    frame.index = pd.DatetimeIndex(times).as_unit("ns")
    frame = frame.dropna(how="all")
    frame = frame[~frame.index.duplicated(keep="last")].sort_index()
    return frame


def load_ohlcv(dataset: str, symbols, interval: str | None = None, start=None, end=None,
               tz: str | None = "auto", index_name: str | None = "auto") -> pd.DataFrame:
    """A wide OHCLV_dataframe of `symbols` from one dataset of ../shared/data.

    Args:
        dataset: folder name, e.g. "binance_spot_1h_2021-2023" or "sp500_2010-2016".
        symbols: security names as the files name them ("BTCUSDT", "JPM", "AAL.L").
        interval: "1h" / "1d" where the folder holds several.
        start, end: optional inclusive bounds on the bar time (zone-less, as in the files).
        tz: zone to localise the index to; "auto" gives UTC for crypto, none for equities.
        index_name: "auto" names crypto indices "datetime" (as the crypto feed does).
    """
    crypto = dataset.startswith("binance")
    parts = []
    for symbol in symbols:
        frame = load_security(dataset, symbol, interval)
        if start is not None:
            frame = frame[frame.index >= pd.Timestamp(start)]
        if end is not None:
            frame = frame[frame.index <= pd.Timestamp(end)]
        frame.columns = [f"{symbol}_{c}" for c in frame.columns]
        parts.append(frame)
    wide = pd.concat(parts, axis=1, join="outer", sort=True)
    if tz == "auto":
        tz = "UTC" if crypto else None
    if tz is not None:
        wide.index = wide.index.tz_localize(tz)
    if index_name == "auto":
        index_name = "datetime" if crypto else wide.index.name
    wide.index.name = index_name
    return wide


CRYPTO_1H = "binance_spot_1h_2021-2023"
CRYPTO_PAIRS = ["BTCUSDT", "ETHUSDT", "BNBUSDT", "SOLUSDT", "XRPUSDT", "ADAUSDT",
                "DOGEUSDT", "LTCUSDT", "LINKUSDT", "DOTUSDT", "AVAXUSDT", "TRXUSDT"]
SP500_CLEAN = "sp500_2010-2016"
FTSE100 = "ftse100_2013-2017"  # the files list the newest bar first
