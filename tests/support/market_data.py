"""Loader for the real market data the tests use, kept in the repository under tests/data.

tests/data holds slices of the real files (see tests/data/README.md): the same folders and
file names with ".gz" added, each file's header and the rows of the spans listed in
tests/data/slices.json, byte for byte. Hourly crypto bars of 2022-2023 for eight pairs come
from the example sample instead, which holds the same values. A request outside what the
repository holds fails, naming the span to add, rather than quietly giving fewer bars.

Each file of one security becomes five columns "<name>_open" ... "<name>_volume" of a
wide OHCLV_dataframe; files are joined on their timestamps (outer join, sorted ascending).
Crypto bars get a UTC index named "datetime", as the crypto feed writes it; equity bars a
zone-less daily index unless `tz` is given.
"""

from __future__ import annotations

import functools
import gzip
import io
import json
import os
from pathlib import Path

import pandas as pd

REPO = Path(__file__).resolve().parents[2]
TEST_DATA = REPO / "tests" / "data"
SLICES = TEST_DATA / "slices.json"
SAMPLE = REPO / "examples" / "data" / "binance_spot_1h_2022-2023.csv.gz"
SAMPLE_DATASET = "binance_spot_1h_2021-2023"
SAMPLE_SPAN = (pd.Timestamp("2022-01-01 00:00:00"), pd.Timestamp("2023-12-29 23:00:00"))


def shared_data_dir() -> Path:
    """The full real data the slices are cut from (VELMORA_SHARED_DATA overrides
    ../shared/data); only tools/cut_test_data.py reads it."""
    return Path(os.environ.get("VELMORA_SHARED_DATA", REPO.parent / "shared" / "data"))


def require_shared_data() -> Path:
    """The folder of the real data the tests read: tests/data, laid out as the full data is,
    each file gzip'd (open files in it with `open_data`)."""
    return TEST_DATA


def open_data(path: Path | str):
    """A text handle on a data file, whether it is named with or without its ".gz"."""
    path = Path(path)
    if path.suffix != ".gz" and not path.is_file():
        path = path.with_name(path.name + ".gz")
    if path.suffix == ".gz":
        return io.TextIOWrapper(gzip.open(path, "rb"), encoding="utf-8", newline="")
    return open(path, encoding="utf-8", newline="")


def read_data_text(path: Path | str) -> str:
    with open_data(path) as handle:
        return handle.read()


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


def dataset_folder(base: Path, dataset: str) -> Path:
    return base / ("crypto_klines" if dataset.startswith("binance") else "equities_daily") / dataset


def _file_for(folder: Path, symbol: str, interval: str | None) -> Path:
    """The file of `symbol`, named as in the full data with or without ".gz"."""
    def existing(name):
        return [p for p in (folder / name, folder / f"{name}.gz") if p.is_file()]

    found = existing(f"{symbol}.csv")
    if not found:
        if interval is not None:
            found = existing(f"{symbol}_{interval}.csv") + existing(f"{symbol}-{interval}.csv")
        else:
            found = sorted(p for pattern in (f"{symbol}_*.csv", f"{symbol}-*.csv", f"{symbol}_*.csv.gz",
                                             f"{symbol}-*.csv.gz") for p in folder.glob(pattern))
    if len(found) != 1:
        raise FileNotFoundError(f"no single file for {symbol} (interval {interval}) in {folder}")
    return found[0]


@functools.lru_cache(maxsize=None)
def _slices() -> dict:
    return json.loads(SLICES.read_text(encoding="utf-8"))["files"]


def _covers(spans, start, end) -> bool:
    """Whether the kept spans hold every bar of [start, end]; None is the file's own end."""
    if spans == "whole":
        return True
    for low, high in spans:
        low_ok = low is None or (start is not None and pd.Timestamp(start) >= pd.Timestamp(low))
        high_ok = high is None or (end is not None and pd.Timestamp(end) <= pd.Timestamp(high))
        if low_ok and high_ok:
            return True
    return False


def _parse(path: Path, dataset: str) -> pd.DataFrame:
    time_col, _, fields = _LAYOUTS[dataset]
    raw = pd.read_csv(path, na_values=["null"])
    times = pd.to_datetime(raw[time_col])
    frame = pd.DataFrame({f.lower(): pd.to_numeric(raw[f], errors="coerce").astype("float64")
                          for f in fields})
    frame.index = pd.DatetimeIndex(times).as_unit("ns")
    frame = frame.dropna(how="all")
    return frame[~frame.index.duplicated(keep="last")].sort_index()


@functools.lru_cache(maxsize=None)
def _parsed(path: Path, dataset: str) -> pd.DataFrame:
    return _parse(path, dataset)


@functools.lru_cache(maxsize=1)
def _sample() -> pd.DataFrame:
    wide = pd.read_csv(SAMPLE, index_col=0)
    wide.index = pd.DatetimeIndex(pd.to_datetime(wide.index)).tz_convert(None).as_unit("ns")
    return wide.astype("float64")


def _sample_security(symbol: str) -> pd.DataFrame:
    columns = [f"{symbol}_{f}" for f in ("open", "high", "low", "close", "volume")]
    frame = _sample()[columns].copy()
    frame.columns = ["open", "high", "low", "close", "volume"]
    frame.index = frame.index.rename(_LAYOUTS[SAMPLE_DATASET][0])
    return frame


def _in_sample(dataset: str, symbol: str, start, end) -> bool:
    return (dataset == SAMPLE_DATASET and f"{symbol}_close" in _sample().columns
            and start is not None and end is not None
            and pd.Timestamp(start) >= SAMPLE_SPAN[0] and pd.Timestamp(end) <= SAMPLE_SPAN[1])


def _trim(frame: pd.DataFrame, start, end) -> pd.DataFrame:
    if start is not None:
        frame = frame[frame.index >= pd.Timestamp(start)]
    if end is not None:
        frame = frame[frame.index <= pd.Timestamp(end)]
    return frame


def load_security(dataset: str, symbol: str, interval: str | None = None, start=None, end=None,
                  base: Path | None = None) -> pd.DataFrame:
    """One security's bars as a frame with columns open, high, low, close, volume (float64),
    indexed by zone-less bar times, sorted ascending, duplicate times keeping the last row,
    all-null rows dropped; `start` / `end` are optional inclusive bounds on the bar time.

    `base` reads another folder of the same layout (the full data, when cutting slices)."""
    if base is not None:
        path = _file_for(dataset_folder(base, dataset), symbol, interval)
        return _trim(_parse(path, dataset), start, end)
    if os.environ.get("VELMORA_DATA_LOG"):
        # Which bars the tests ask for, to cut the slices to (see tools/cut_test_data.py).
        with open(os.environ["VELMORA_DATA_LOG"], "a", encoding="utf-8") as log:
            log.write(json.dumps([dataset, symbol, interval, None if start is None else str(start),
                                  None if end is None else str(end)]) + "\n")
    folder = dataset_folder(TEST_DATA, dataset)
    try:
        path = _file_for(folder, symbol, interval)
    except FileNotFoundError:
        path = None
    spans = _slices().get(path.relative_to(TEST_DATA).as_posix()) if path is not None else None
    if spans is not None and _covers(spans, start, end):
        frame = _parsed(path, dataset)
    elif _in_sample(dataset, symbol, start, end):
        frame = _sample_security(symbol)
    else:
        held = "nothing" if spans is None else json.dumps(spans)
        raise LookupError(
            f"tests/data holds {held} of {dataset} {symbol} (interval {interval}), not "
            f"{start} .. {end}: add the span to tests/data/slices.json and run "
            f"tools/cut_test_data.py beside the full data")
    return _trim(frame, start, end).copy()


def load_ohlcv(dataset: str, symbols, interval: str | None = None, start=None, end=None,
               tz: str | None = "auto", index_name: str | None = "auto",
               base: Path | None = None) -> pd.DataFrame:
    """A wide OHCLV_dataframe of `symbols` from one dataset of the real data.

    Args:
        dataset: folder name, e.g. "binance_spot_1h_2021-2023" or "sp500_2010-2016".
        symbols: security names as the files name them ("BTCUSDT", "JPM", "AAL.L").
        interval: "1h" / "1d" where the folder holds several.
        start, end: optional inclusive bounds on the bar time (zone-less, as in the files).
        tz: zone to localise the index to; "auto" gives UTC for crypto, none for equities.
        index_name: "auto" names crypto indices "datetime" (as the crypto feed does).
        base: another folder of the same layout to read instead of tests/data.
    """
    crypto = dataset.startswith("binance")
    parts = []
    for symbol in symbols:
        frame = load_security(dataset, symbol, interval, start=start, end=end, base=base)
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
