import gc
import pickle
import random
import weakref

import numpy as np
import pandas as pd
import pytest

from velmora.utils.results.scorebook import Scorebook

TRAINING = [
    "positions_matrix_df",
    "positions_market_value_matrix_df",
    "change_in_positions_matrix_df",
    "change_in_positions_market_value_matrix_df",
    "securities_pnl_matrix_df",
    "commissions_matrix_df",
    "slippage_matrix_df",
    "securities_pnl_after_transaction_costs_matrix_df",
    "total_pnl_after_transaction_costs_series",
    "equity_value_series",
    "returns_after_transaction_costs_series",
    "cumprod_returns_after_transaction_costs_series",
    "full_results_df",
]
PUBLIC = TRAINING + ["test_" + name for name in TRAINING]


@pytest.fixture
def arguments(ref):
    times = pd.date_range("2024-03-01", periods=6, freq="h").values
    return ref.record_arguments([0.0, 1.0, -2.0, 3.0, 0.5, 1.5], times)


OBJECTIVES = [
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


def test_available_objectives_is_one_class_list():
    objectives = Scorebook.available_objectives
    # stored studies and factors name these exact strings, in this order
    assert type(objectives) is list and objectives == OBJECTIVES
    assert objectives[6] == "median_boostrapped_cumprod_returns"
    assert "median_bootstrapped_cumprod_returns" not in objectives
    assert "stability_weighted_median_bootstrapped_cumprod_returns" in objectives
    assert len(set(objectives)) == 14


def test_fresh_record_state(arguments):
    record = Scorebook(**arguments)
    assert Scorebook.available_objectives is record.available_objectives
    assert isinstance(record.test_full_results_df, pd.DataFrame) and record.test_full_results_df.empty
    assert all(getattr(record, name) is None for name in PUBLIC if name != "test_full_results_df")
    # the private fields stay private
    for hidden in ("bootstrap_resample_count", "starting_equity", "datetime_array", "equity_value_array"):
        assert not hasattr(record, hidden)


def test_keywords_in_any_order_equal_positional(arguments):
    positional = Scorebook(*arguments.values())
    items = list(arguments.items())
    random.Random(5).shuffle(items)
    by_keyword = Scorebook(**dict(items))
    for record in (positional, by_keyword):
        record.expose_internal_variables()
    for name in TRAINING[:-1]:
        left, right = getattr(positional, name), getattr(by_keyword, name)
        assert left.equals(right), name
    assert positional.get_objective_score("latest_cumprod_returns") == by_keyword.get_objective_score(
        "latest_cumprod_returns"
    )


class NamesSubclass(list):
    pass


@pytest.mark.parametrize(
    "changes, error, message",
    [
        ({"positions_matrix_array": np.zeros(6)}, ValueError,
         "Buffer has wrong number of dimensions (expected 2, got 1)"),
        ({"total_pnl_after_transaction_costs_array": np.zeros((6, 1))}, ValueError,
         "Buffer has wrong number of dimensions (expected 1, got 2)"),
        ({"equity_value_array": np.arange(6)}, ValueError, "Buffer dtype mismatch, expected 'float64_t'"),
        ({"slippage_matrix_array": np.zeros((6, 2), dtype=np.float32)}, ValueError, "Buffer dtype mismatch"),
        ({"equity_value_array": [1.0] * 6}, TypeError,
         "Argument 'equity_value_array' has incorrect type (expected numpy.ndarray, got list)"),
        ({"datetime_array": list(range(6))}, TypeError,
         "Argument 'datetime_array' has incorrect type (expected numpy.ndarray, got list)"),
        ({"securities_names_list": ("A", "B")}, TypeError,
         "Argument 'securities_names_list' has incorrect type (expected list, got tuple)"),
        ({"securities_names_list": NamesSubclass(["A", "B"])}, TypeError, "expected list, got NamesSubclass"),
        # every object check runs before any buffer check; the first argument in order wins
        ({"positions_matrix_array": np.zeros(6), "cumprod_returns_after_transaction_costs_array": "x"},
         TypeError, "Argument 'cumprod_returns_after_transaction_costs_array'"),
        ({"securities_names_list": "AB", "datetime_array": 1}, TypeError, "Argument 'securities_names_list'"),
        ({"starting_equity": "lots"}, TypeError, "must be real number"),
        ({"datetime_length": 6.0}, TypeError, "integer"),
    ],
)
def test_constructor_rejects(arguments, changes, error, message):
    arguments.update(changes)
    with pytest.raises(error) as raised:
        Scorebook(**arguments)
    assert message in str(raised.value)


def test_constructor_argument_count_and_keywords(arguments):
    values = list(arguments.values())
    for bad in (values[:-1], values + [None]):
        with pytest.raises(TypeError):
            Scorebook(*bad)
    with pytest.raises(TypeError):
        Scorebook(**arguments, extra=1)
    with pytest.raises(TypeError):
        Scorebook(values[0], **arguments)


def test_constructor_accepts_none_views_and_subclasses(arguments):
    class Tagged(np.ndarray):
        pass

    Scorebook(1.0, None, 0, *([None] * 13))
    readonly = arguments["equity_value_array"].copy()
    readonly.flags.writeable = False
    wide = np.zeros((6, 4))
    wide[:, ::2] = arguments["positions_matrix_array"]
    arguments.update(
        starting_equity=np.float32(5),
        datetime_length=np.int64(6),
        equity_value_array=readonly,
        positions_matrix_array=wide[:, ::2],  # strided, not contiguous
        total_pnl_after_transaction_costs_array=arguments["total_pnl_after_transaction_costs_array"].view(Tagged),
    )
    record = Scorebook(**arguments)
    record.expose_internal_variables()
    assert record.positions_matrix_df.values.tolist() == wide[:, ::2].tolist()
    assert record.equity_value_series.tolist() == readonly.tolist()


def test_expose_internal_variables_labels_everything(arguments):
    record = Scorebook(**arguments)
    assert record.expose_internal_variables() is None
    times = pd.DatetimeIndex(arguments["datetime_array"])
    for i, name in enumerate(TRAINING[:8]):
        frame = getattr(record, name)
        assert list(frame.columns) == ["A", "B"] and frame.index.equals(times)
        assert np.array_equal(frame.values, arguments[list(arguments)[4 + i]])
    for name, length in [("total_pnl_after_transaction_costs_series", 6), ("equity_value_series", 6),
                         ("returns_after_transaction_costs_series", 5),
                         ("cumprod_returns_after_transaction_costs_series", 5)]:
        series = getattr(record, name)
        assert series.name == name and len(series) == length
        assert series.index.equals(times[-length:])
    assert record.full_results_df is None
    first = record.equity_value_series
    record.expose_internal_variables()
    assert record.equity_value_series is not first


def test_expose_without_names_uses_default_columns(arguments):
    arguments["securities_names_list"] = None
    record = Scorebook(**arguments)
    record.expose_internal_variables()
    assert list(record.commissions_matrix_df.columns) == [0, 1]


def test_public_attributes_are_untyped_and_delete_to_none(arguments):
    record = Scorebook(**arguments)
    for value in (3, "text", [1], record):
        record.positions_matrix_df = value
        assert record.positions_matrix_df is value
    del record.positions_matrix_df
    assert record.positions_matrix_df is None
    del record.test_full_results_df
    assert record.test_full_results_df is None


def test_record_cannot_be_pickled(arguments):
    with pytest.raises(TypeError, match="no default __reduce__ due to non-trivial __cinit__"):
        pickle.dumps(Scorebook(**arguments))


def test_cycles_through_attributes_are_collected(arguments):
    training, test = Scorebook(**arguments), Scorebook(**arguments)
    training.full_results_df = test
    test.full_results_df = training
    watch = weakref.ref(training)
    del training, test
    gc.collect()
    assert watch() is None
