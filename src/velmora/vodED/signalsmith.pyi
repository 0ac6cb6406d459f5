import logging

import numpy as np

logger: logging.Logger

class SampleWeights:
    def __init__(self, *args: object, **kwargs: object) -> None: ...
    def get_sample_uniqueness_weights(
        self,
        complete_datetime_indices_array: np.ndarray,
        training_samples_start_datetime_array: np.ndarray,
        training_samples_end_datetime_array: np.ndarray,
    ) -> np.ndarray: ...
    def fit_transform(
        self,
        complete_datetime_indices_array: np.ndarray,
        training_samples_start_datetime_array: np.ndarray,
        training_samples_end_datetime_array: np.ndarray,
        training_samples_impact_array: np.ndarray = ...,
    ) -> np.ndarray: ...

class Signalsmith:
    def __init__(self, *args: object, **kwargs: object) -> None: ...
    def generate_features_for_pair_spreads(
        self,
        pair_of_security: tuple[str, str],
        pair_hedge_ratios: tuple[float, float],
        data_column_names_array: np.ndarray,
        rolling_window_matrix_array: np.ndarray,
    ) -> dict[str, float]: ...
