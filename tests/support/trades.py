"""Training sets and a cheap pipeline for the entry classifier's tests."""

import numpy as np
import pandas as pd

# A configuration that fits in milliseconds.
CHEAP = dict(
    score_func_to_use="f_classif", select_top_k_features_percentile=100,
    classifier_model_to_use="AdaBoostClassifierGaussianNB", AdaBoostClassifier_n_estimators=2,
    AdaBoostClassifier_learning_rate=1.0, lr_penalty="l2", lr_c=100.0, lr_class_weight="None",
    lr_max_iter=1000, lr_l1_ratio=0.3, cnb_alpha=0.01, gnb_var_smoothing=1e-9,
    BaggingClassifier_n_estimators=3, BaggingClassifier_max_samples=1.0,
    BaggingClassifier_max_features=1.0, imputer_to_use="SimpleImputer", KNNImputer_n_neighbors=2,
    KNNImputer_weights="uniform", SimpleImputer_weights="mean")


def make_trades(n=40, seed=0):
    """Overlapping hourly trades whose label is the sign of one feature.

    Columns: the signal, an exact linear copy of it (the correlation filter's prey), a
    near-constant column (the variance filter's), and noise carrying a NaN, an infinity and
    a 2e15 blow-up.
    """
    rng = np.random.default_rng(seed)
    grid = pd.date_range("2021-01-01", periods=3 * n + 20, freq="h", tz="UTC")
    entry_positions = np.sort(rng.choice(np.arange(3 * n), n, replace=False))
    exit_positions = entry_positions + rng.integers(1, 6, n)
    signal = rng.normal(size=n)
    X = pd.DataFrame({
        "float64_signal_spread": signal,
        "float64_copy_spread": 2.0 * signal + 1.0,
        "float64_flat_spread": np.r_[np.zeros(n - 1), 1e-3],
        "float64_noise_all_others": rng.normal(size=n),
    })
    X.loc[3, "float64_noise_all_others"] = np.nan
    X.loc[5, "float64_noise_all_others"] = np.inf
    X.loc[7, "float64_noise_all_others"] = 2e15
    returns = rng.normal(size=n) * 0.01
    return dict(
        X_train_df=X,
        y_train_series=pd.Series((signal > 0).astype(np.int64)),
        complete_datetime_index_series=pd.Series(grid),
        train_time_of_entry_series=pd.Series(grid[entry_positions]),
        train_time_of_exit_series=pd.Series(grid[exit_positions]),
        impact_series=pd.Series(np.abs(returns) / np.abs(returns).sum()),
    )


def stub_objective(self, X, y, folds, complete, entry, exit_, impact, trial):
    """A trial objective that draws the cheap pipeline and scores it 0.5 without fitting."""
    for key, value in CHEAP.items():
        trial.suggest_categorical(key, [value])
    return 0.5
