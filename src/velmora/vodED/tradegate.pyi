import logging
from collections.abc import Iterable
from typing import Any

import optuna
import pandas as pd

from velmora.vodED.signalsmith import SampleWeights as SampleWeights

logger: logging.Logger

class OptimalEntryClassifier:
    def __init__(
        self,
        study_name: str | None = None,
        storage_name: str | None = None,
        n_splits: int | None = 10,
        n_test_splits: int | None = 3,
        embargo_td: pd.Timedelta | None = ...,
        X_train_df: pd.DataFrame | None = None,
        y_train_series: pd.Series | None = None,
        complete_datetime_index_series: pd.Series | None = None,
        train_time_of_entry_series: pd.Series | None = None,
        train_time_of_exit_series: pd.Series | None = None,
        impact_series: pd.Series | None = None,
    ) -> None: ...
    def restore_mp_variables(
        self,
        study_name: str | None,
        storage_name: str | None,
        n_splits: int | None,
        n_test_splits: int | None,
        embargo_td: pd.Timedelta | None,
        X_train_df: pd.DataFrame | None,
        y_train_series: pd.Series | None,
        complete_datetime_index_series: pd.Series | None,
        train_time_of_entry_series: pd.Series | None,
        train_time_of_exit_series: pd.Series | None,
        impact_series: pd.Series | None,
    ) -> None: ...
    def fit(
        self,
        X_train_df: pd.DataFrame,
        y_train_series: pd.Series,
        complete_datetime_index_series: pd.Series,
        train_time_of_entry_series: pd.Series,
        train_time_of_exit_series: pd.Series,
        impact_series: pd.Series,
        n_splits: int = 10,
        n_test_splits: int = 3,
        embargo_td: pd.Timedelta = ...,
        factor_name: str = "",
        storage_name: str = "",
        n_trials_to_estimate_params: int = 1,
        n_jobs: int = 1,
    ) -> None: ...
    def predict(self, X: pd.DataFrame, /) -> Any: ...
