"""A research run on the sample data that ships with the repository.

Loads two years of hourly Binance spot klines for eight USDT pairs (examples/data) into an
OHCLV_dataframe and lists the securities it holds.
"""

from pathlib import Path

import pandas as pd

from velmora.utils.inference.inference import Inference

DATA = Path(__file__).resolve().parent / "data" / "binance_spot_1h_2022-2023.csv.gz"


def load_sample() -> pd.DataFrame:
    frame = pd.read_csv(DATA, index_col=0, parse_dates=True)
    frame.index.name = "datetime"
    return frame


def main() -> None:
    frame = load_sample()
    securities = Inference().infer_securities_from_OHCLV_df(frame)
    print(f"{len(frame)} bars from {frame.index[0]} to {frame.index[-1]}")
    print(f"{len(securities)} securities: {', '.join(securities)}")


if __name__ == "__main__":
    main()
