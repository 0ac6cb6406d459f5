import datetime
import logging
from typing import Any, Literal, overload

import numpy as np
import pandas as pd

from velmora.utils.inference.inference import Inference as Inference
from velmora.utils.results.scorebook import Scorebook as Scorebook
from velmora.utils.results.scorebook import _Objective
from velmora.vodED.signalsmith import Signalsmith
from velmora.vodED.tradegate import OptimalEntryClassifier

logger: logging.Logger

class PairsTradingSerialCointegrationFactor:
    current_time: Any
    object_store_dict: Any

    def __init__(
        self,
        universe_name: str,
        raw_OHCLV_dataframe: pd.DataFrame,
        resolution_in_mins: int,
        trading_hours: list[tuple[datetime.time, datetime.time]],
        trades_only_on_weekdays: bool,
        vodED_signalsmith: Signalsmith | None = None,
        vodED_tradegate: OptimalEntryClassifier | None = None,
        securities_names_list: list[str] = ...,
        objective: _Objective = "stability_activity_weighted_annual_sharpe_from_median_bootstrapped_returns",
        train_split_ratio: float = 0.8,
        starting_equity: float = 100000.0,
        pct_equity_invested: float = 0.9,
        market_value_pct_commissions: float = 0.001,
        bid_ask_spread_pct_slippage: float = 0.5,
        scale_equity_to_traded_securities: bool = True,
    ) -> None: ...
    def intialize_pairs_trading_data_structures(self) -> None: ...
    def initialize_vodED_data_structures(
        self, vodED_signalsmith: Signalsmith | None, vodED_tradegate: OptimalEntryClassifier | None
    ) -> None: ...
    def get_clean_dataframe(self) -> pd.DataFrame: ...
    def update(self, new_dataframe_of_data: pd.DataFrame | None = None) -> None: ...
    # A frame of target weights by default, the bare array with return_arrays=True.
    @overload
    def predict(
        self,
        return_arrays: Literal[False] = False,
        convert_to_actual_positions: bool = False,
        current_equity: float = 100000.0,
        number_of_minutes_away_before_needing_to_rerun: int = 5,
    ) -> pd.DataFrame: ...
    @overload
    def predict(
        self,
        return_arrays: Literal[True],
        convert_to_actual_positions: bool = False,
        current_equity: float = 100000.0,
        number_of_minutes_away_before_needing_to_rerun: int = 5,
    ) -> np.ndarray: ...
    @overload
    def predict(
        self,
        return_arrays: bool,
        convert_to_actual_positions: bool = False,
        current_equity: float = 100000.0,
        number_of_minutes_away_before_needing_to_rerun: int = 5,
    ) -> pd.DataFrame | np.ndarray: ...
    def fit(
        self,
        n_trials_to_estimate_params: int = 1,
        n_jobs: int = 1,
        fit_vodED: bool = False,
        n_trials_to_estimate_params_for_vodED: int = 1,
        n_jobs_for_vodED: int = 1,
    ) -> None: ...
    def get_full_backtest_results(self) -> Scorebook: ...
    def erase_fit_memory(self) -> None: ...
