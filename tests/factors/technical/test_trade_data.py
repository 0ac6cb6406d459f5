"""The factor's trade store as the classifier's training data."""

import numpy as np
import pandas as pd
import pytest

from velmora.factors.technical import cointpairs

T0 = np.datetime64("2022-01-03T10:00:00.000000000")
HOUR = np.timedelta64(1, "h")


def record(entry_h, exit_h, label, ret, features=None, pair=("A", "B")):
    return {
        "time_of_entry": T0 + entry_h * HOUR,
        "time_of_exit": T0 + exit_h * HOUR,
        "trade_label": label,
        "trade_returns": ret,
        "trade_securities": pair,
        "features": features,
    }


def features(x):
    return {"float64_rsi_spread_14": np.float64(x), "float64_adx_all_others_14": np.float64(-x)}


def test_split_keeps_training_labels_inside_the_training_period():
    split = T0 + 10 * HOUR
    store = {
        0: record(2, 5, 1, 0.02, features(1)),     # closed before the split: train
        1: record(8, 14, 0, -0.01, features(2)),   # open across the split: neither
        2: record(10, 10, 1, 0.01, features(3)),   # entered and exited at the split: train
        3: record(11, 12, 0, -0.03, features(4)),  # after the split: test
        4: record(10, 12, 1, 0.04, features(5)),   # entered at the split, exits after: neither
    }
    train, test = cointpairs._split_trades_at(split, store)
    assert list(train.columns[:5]) == ["time_of_entry", "time_of_exit", "trade_label", "trade_returns",
                                       "trade_securities"]
    assert list(train.columns[5:]) == ["float64_rsi_spread_14", "float64_adx_all_others_14"]
    assert list(train["trade_returns"]) == [0.02, 0.01]
    assert list(test["trade_returns"]) == [-0.03]
    assert list(train.index) == [0, 1] and list(test.index) == [0]
    assert train["float64_rsi_spread_14"].dtype == np.float64


def test_empty_store_and_same_entry_times():
    assert cointpairs._split_trades_at(T0, {}) == (None, None)
    store = {0: record(3, 4, 1, 0.1, pair=("A", "B")), 1: record(1, 2, 0, 0.2),
             2: record(3, 5, 0, 0.3, pair=("A", "C"))}
    train, _ = cointpairs._split_trades_at(T0 + 9 * HOUR, store)
    assert list(train["trade_returns"]) == [0.2, 0.1, 0.3]  # time order, ties in store order


def test_trades_without_features_give_no_feature_columns():
    store = {0: record(1, 2, 1, 0.02), 1: record(2, 3, 0, -0.01)}
    train, test = cointpairs._split_trades_at(T0 + 5 * HOUR, store)
    X, y, entry, exit_, impact = cointpairs._preprocess_train_trades(train)
    assert X.shape == (2, 0)
    assert list(y) == [1, 0]
    assert test.empty


def test_preprocessing_pieces_and_impacts():
    store = {0: record(1, 2, 1, 0.02, features(1)), 1: record(2, 4, 0, -0.01, features(2)),
             2: record(3, 5, 1, 0.01, features(3))}
    train, _ = cointpairs._split_trades_at(T0 + 6 * HOUR, store)
    X, y, entry, exit_, impact = cointpairs._preprocess_train_trades(train, "trade_returns")
    assert list(X.columns) == ["float64_rsi_spread_14", "float64_adx_all_others_14"]
    np.testing.assert_allclose(impact, [0.5, 0.25, 0.25])
    assert list(entry) == list(pd.to_datetime([T0 + HOUR, T0 + 2 * HOUR, T0 + 3 * HOUR]))
    assert list(exit_) == list(pd.to_datetime([T0 + 2 * HOUR, T0 + 4 * HOUR, T0 + 5 * HOUR]))
    assert list(y) == [1, 0, 1]
    zero = cointpairs._preprocess_train_trades(train.assign(trade_returns=0.0))[4]
    assert zero.isna().all()
    with pytest.raises(AttributeError):
        cointpairs._preprocess_train_trades(None)
