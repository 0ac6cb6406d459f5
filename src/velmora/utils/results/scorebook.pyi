import logging
from typing import ClassVar, Literal

import numpy as np
import pandas as pd
from sklearn.utils import resample as bootstrapping_resample
from tabulate import tabulate as tabulate

# The objective names, as Scorebook.available_objectives lists them (a name of the stubs
# only: the module holds the list, not this alias).
_Objective = Literal[
    "latest_cumprod_returns",
    "annual_sharpe_ratio",
    "activity_weighted_annual_sharpe_ratio",
    "daily_sharpe_ratio",
    "activity_weighted_daily_sharpe_ratio",
    "annual_sortino_ratio",
    "median_boostrapped_cumprod_returns",
    "25_percentile_boostrapped_cumprod_returns",
    "stability_weighted_median_bootstrapped_cumprod_returns",
    "stability_weighted_25_percentile_bootstrapped_cumprod_returns",
    "activity_weighted_annual_sharpe_from_median_bootstrapped_returns",
    "activity_weighted_annual_sharpe_from_25_bootstrapped_returns",
    "stability_activity_weighted_annual_sharpe_from_median_bootstrapped_returns",
    "stability_activity_weighted_annual_sharpe_from_25_bootstrapped_returns",
]

logger: logging.Logger

class Scorebook:
    available_objectives: ClassVar[list[str]]

    positions_matrix_df: pd.DataFrame | None
    positions_market_value_matrix_df: pd.DataFrame | None
    change_in_positions_matrix_df: pd.DataFrame | None
    change_in_positions_market_value_matrix_df: pd.DataFrame | None
    securities_pnl_matrix_df: pd.DataFrame | None
    commissions_matrix_df: pd.DataFrame | None
    slippage_matrix_df: pd.DataFrame | None
    securities_pnl_after_transaction_costs_matrix_df: pd.DataFrame | None
    total_pnl_after_transaction_costs_series: pd.Series | None
    equity_value_series: pd.Series | None
    returns_after_transaction_costs_series: pd.Series | None
    cumprod_returns_after_transaction_costs_series: pd.Series | None
    full_results_df: pd.DataFrame | None
    test_positions_matrix_df: pd.DataFrame | None
    test_positions_market_value_matrix_df: pd.DataFrame | None
    test_change_in_positions_matrix_df: pd.DataFrame | None
    test_change_in_positions_market_value_matrix_df: pd.DataFrame | None
    test_securities_pnl_matrix_df: pd.DataFrame | None
    test_commissions_matrix_df: pd.DataFrame | None
    test_slippage_matrix_df: pd.DataFrame | None
    test_securities_pnl_after_transaction_costs_matrix_df: pd.DataFrame | None
    test_total_pnl_after_transaction_costs_series: pd.Series | None
    test_equity_value_series: pd.Series | None
    test_returns_after_transaction_costs_series: pd.Series | None
    test_cumprod_returns_after_transaction_costs_series: pd.Series | None
    test_full_results_df: pd.DataFrame | None

    def __init__(
        self,
        starting_equity: float,
        securities_names_list: list[str] | None,
        datetime_length: int,
        datetime_array: np.ndarray | None,
        positions_matrix_array: np.ndarray | None,
        positions_market_value_matrix_array: np.ndarray | None,
        change_in_positions_matrix_array: np.ndarray | None,
        change_in_positions_market_value_matrix_array: np.ndarray | None,
        securities_pnl_matrix_array: np.ndarray | None,
        commissions_matrix_array: np.ndarray | None,
        slippage_matrix_array: np.ndarray | None,
        securities_pnl_after_transaction_costs_matrix_array: np.ndarray | None,
        total_pnl_after_transaction_costs_array: np.ndarray | None,
        equity_value_array: np.ndarray | None,
        returns_after_transaction_costs_array: np.ndarray | None,
        cumprod_returns_after_transaction_costs_array: np.ndarray | None,
    ) -> None: ...
    def get_objective_score(
        self, objective: _Objective | None = "stability_weighted_median_bootstrapped_cumprod_returns"
    ) -> float: ...
    def expose_internal_variables(self) -> None: ...
    def register_test_set_results(self, test_set_results: Scorebook | None = None) -> None: ...
    def get_full_results(self, name: str | None = "train_results") -> pd.DataFrame: ...
    def plot_full_results(self, plot_alternate_paths: object = True, plot_extrapolations: object = True) -> None: ...
