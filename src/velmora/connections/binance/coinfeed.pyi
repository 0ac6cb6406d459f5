import datetime
import logging
from typing import Any

import pandas as pd
from binance.client import Client as Client

logger: logging.Logger
BINANCE_API_URL: str
COINGECKO_URL: str
USER_AGENT: str
PAGE_TIMEOUT: float
PAGE_MAX_BYTES: int

class Coinfeed:
    binance_client: Any

    def __init__(self, binance_api_key: str, binance_api_secret: str) -> None: ...
    def scrape_top_x_coins_from_coingecko(self, x_limit: int = 30) -> list[str]: ...
    def get_daily_historical_data_for_cryptocurrencies(
        self,
        cryptocurrencies: list[str] = ...,
        start: datetime.datetime = ...,
        end: datetime.datetime = ...,
        n_jobs: int = -1,
    ) -> pd.DataFrame: ...
    def get_minute_historical_data_for_cryptocurrencies(
        self,
        cryptocurrencies: list[str] = ...,
        start: datetime.datetime = ...,
        end: datetime.datetime = ...,
        n_jobs: int = -1,
    ) -> pd.DataFrame: ...
    def initialize_binance_client(self) -> None: ...
