"""Construction of the pairs-trading factor: argument checks in order, the host-visible
attributes, the set-up methods honoured on subclasses, the classifier load hook, pickling
and cyclic garbage collection."""

import gc
import math
import pickle
import weakref
from collections import OrderedDict
from datetime import time

import numpy as np
import pandas as pd
import pytest

from factors.technical.factor_helpers import (DEFAULT_OBJECTIVE, Factor, FakeTradegate, daily_frame, fields,
                                              make_factor)
from velmora.factors.technical import cointpairs
from velmora.utils.inference.inference import Inference

FRAME = daily_frame(n_days=400)


def args(**changes):
    """Positional-or-keyword constructor arguments of a valid factor, with changes."""
    base = dict(universe_name="u", raw_OHCLV_dataframe=FRAME, resolution_in_mins=1440, trading_hours=[],
                trades_only_on_weekdays=False)
    base.update(changes)
    return base


DF_MSG = ("pd.DataFrame is not passed, pass a pd.DataFrame object containing the OHCLV of all the securities "
          "in this universe and indexed by datetime")
INDEX_MSG = ("pd.DataFrame is not indexed by datetime, please pass a pd.DataFrame object containing the OHCLV "
             "of all the securities in this universe and indexed by datetime")
AWARE_MSG = ("pd.DataFrame is not datetime aware, please pass a pd.DataFrame object that is datetime aware, "
             "and to pass the trading hours in the same timezone")
COLUMNS_MSG = ("Number of columns passed in the pd.DataFrame does not match with the number of securities in "
               "the securities_name_list")
RESOLUTION_MSG = "resolution_in_mins cannot be less than 1"
HOURS_MSG = ("trading_hours should be a List[Tuple[time(start), time(end)]] object. Please ensure the data "
             "structures match")
OBJECTIVE_MSG = "Objective specified is not available"
SPLIT_MSG = "train_split_ratio is mispecified, please ensure 0 < train_split_ratio <= 1.0"
EQUITY_MSG = "pct_equity_invested is less than 0, please ensure pct_equity_invested > 0"
INSUFFICIENT_MSG = "Insufficient data encountered, please consider getting more data"
PAIR_MSG = "At least two securities are needed to form a pair, got {}"
START_MSG = "starting_equity must be a positive finite number, got {}"


def type_msg(name, expected, got):
    return f"Argument '{name}' has incorrect type (expected {expected}, got {got})"


with_extra_columns = FRAME.assign(A_vwap=1.0, B_vwap=1.0)
one_security = FRAME[[c for c in FRAME.columns if c.startswith("A_")]]

# (changes, exception type, exact message or None). Cases that break two rules show which
# check comes first.
CASES = [
    # conversions come before the type tests, which come before every check
    (dict(resolution_in_mins="60", universe_name=5), TypeError, None),
    (dict(train_split_ratio="x", raw_OHCLV_dataframe=None), TypeError, None),
    (dict(universe_name=5, raw_OHCLV_dataframe=None), TypeError, type_msg("universe_name", "str", "int")),
    (dict(trading_hours=(), objective=1), TypeError, type_msg("trading_hours", "list", "tuple")),
    (dict(securities_names_list=("A", "B", "C")), TypeError, type_msg("securities_names_list", "list", "tuple")),
    (dict(objective=b"x", raw_OHCLV_dataframe=None), TypeError, type_msg("objective", "str", "bytes")),
    (dict(universe_name=type("S", (str,), {})("u")), TypeError, type_msg("universe_name", "str", "S")),
    # the checks, in order
    (dict(raw_OHCLV_dataframe={"A_close": [1.0]}, resolution_in_mins=0), Exception, DF_MSG),
    (dict(raw_OHCLV_dataframe=FRAME.reset_index(drop=True), resolution_in_mins=0), Exception, INDEX_MSG),
    (dict(raw_OHCLV_dataframe=FRAME.tz_localize(None), resolution_in_mins=0), Exception, AWARE_MSG),
    (dict(raw_OHCLV_dataframe=with_extra_columns, resolution_in_mins=0), Exception, COLUMNS_MSG),
    (dict(securities_names_list=["A", "B"], resolution_in_mins=0), Exception, COLUMNS_MSG),
    # one security has no pair, whether named or inferred
    (dict(raw_OHCLV_dataframe=one_security, resolution_in_mins=0), Exception, PAIR_MSG.format(1)),
    (dict(raw_OHCLV_dataframe=one_security, securities_names_list=["A"]), Exception, PAIR_MSG.format(1)),
    (dict(raw_OHCLV_dataframe=FRAME.iloc[:, :0]), Exception, PAIR_MSG.format(0)),
    (dict(resolution_in_mins=0, trading_hours=[("09:30", "16:00")]), Exception, RESOLUTION_MSG),
    (dict(resolution_in_mins=-5), Exception, RESOLUTION_MSG),
    (dict(trading_hours=[("09:30", "16:00")], objective=None), Exception, HOURS_MSG),
    (dict(objective=None, train_split_ratio=0.0), Exception, OBJECTIVE_MSG),
    (dict(objective="median_bootstrapped_cumprod_returns"), Exception, OBJECTIVE_MSG),
    (dict(train_split_ratio=0.0, pct_equity_invested=0.0), Exception, SPLIT_MSG),
    (dict(train_split_ratio=1.0000001), Exception, SPLIT_MSG),
    (dict(train_split_ratio=math.nan), Exception, SPLIT_MSG),
    (dict(pct_equity_invested=0.0), Exception, EQUITY_MSG),
    (dict(pct_equity_invested=math.nan), Exception, EQUITY_MSG),
    (dict(pct_equity_invested=-0.5), Exception, EQUITY_MSG),
    (dict(pct_equity_invested=0.0, starting_equity=0.0), Exception, EQUITY_MSG),
    (dict(starting_equity=0.0), Exception, START_MSG.format("0.0")),
    (dict(starting_equity=-1), Exception, START_MSG.format("-1.0")),
    (dict(starting_equity=math.nan), Exception, START_MSG.format("nan")),
    (dict(starting_equity=math.inf), Exception, START_MSG.format("inf")),
    (dict(starting_equity=-math.inf), Exception, START_MSG.format("-inf")),
    # past the checks: the set-up method's own failures
    (dict(resolution_in_mins=1, raw_OHCLV_dataframe=FRAME.iloc[:3]), Exception, INSUFFICIENT_MSG),
    (dict(raw_OHCLV_dataframe=FRAME.iloc[:251]), Exception, INSUFFICIENT_MSG),
]


@pytest.mark.parametrize("changes, error, message", CASES)
def test_constructor_refuses_in_order(changes, error, message):
    with pytest.raises(error) as info:
        Factor(**args(**changes))
    if message is not None:
        assert str(info.value) == message
    if error is Exception:
        assert type(info.value) is Exception


@pytest.mark.parametrize("changes", [
    dict(train_split_ratio=1.0),
    dict(pct_equity_invested=5.0),
    dict(raw_OHCLV_dataframe=daily_frame(tz="America/New_York")),
    dict(raw_OHCLV_dataframe=FRAME.iloc[:252]),                # exactly the one-year threshold
    dict(securities_names_list=None),
    dict(market_value_pct_commissions=-1.0, bid_ask_spread_pct_slippage=7.0, starting_equity=0.01),
    dict(resolution_in_mins=np.int64(1440), trades_only_on_weekdays=np.bool_(False)),
])
def test_constructor_accepts(changes):
    factor = Factor(**args(**changes))
    assert fields(factor)["securities_names_list"] == ["A", "B", "C"]


def test_hours_check_reads_only_the_first_element():
    # A later period holding strings passes the constructor's check and fails in cleaning.
    with pytest.raises(TypeError):
        Factor(**args(resolution_in_mins=60, trading_hours=[(time(9), time(10)), ("11:00", "12:00")]))
    with pytest.raises(TypeError):
        Factor(**args(trading_hours=None))


def test_inference_error_leaves_the_constructor():
    bad = FRAME.rename(columns={"C_volume": "D_volume"})
    with pytest.raises(Exception) as expected:
        Inference().infer_securities_from_OHCLV_df(bad)
    for names in ([], None):
        with pytest.raises(type(expected.value)) as info:
            Factor(**args(raw_OHCLV_dataframe=bad, securities_names_list=names))
        assert str(info.value) == str(expected.value)


def test_settings_and_defaults():
    factor = Factor("u", FRAME, 1440, [], 1)
    f = fields(factor)
    assert f["objective"] == DEFAULT_OBJECTIVE
    assert f["factor_name"] == "PairsTradingSerialCointegrationFactor"
    assert (f["train_split_ratio"], f["starting_equity"], f["pct_equity_invested"]) == (0.8, 100000.0, 0.9)
    assert (f["market_value_pct_commissions"], f["bid_ask_spread_pct_slippage"]) == (0.001, 0.5)
    assert f["scale_equity_to_traded_securities"] is True and f["trades_only_on_weekdays"] is True
    assert (f["minimum_resolution_in_mins"], f["minimum_zscore_window"]) == (1, 30)
    assert f["raw_OHCLV_dataframe"] is FRAME
    assert f["current_time"] is None and f["optimal_params"] is None and f["pairs_list"] is None
    assert f["trade_store"] == {} and f["trade_counter"] == 0 and f["vodED_ready"] is False
    assert list(f["trade_record_template"]) == ["time_of_entry", "time_of_exit", "trade_label", "trade_returns",
                                                "trade_securities", "features"]
    assert set(f["trade_record_template"].values()) == {None}


def test_host_visible_attributes():
    factor = make_factor()
    store = factor.object_store_dict
    assert store == {}
    with pytest.raises(TypeError, match="^Expected dict, got OrderedDict$"):
        factor.object_store_dict = OrderedDict()
    with pytest.raises(TypeError, match="^Expected dict, got list$"):
        factor.object_store_dict = []
    assert factor.object_store_dict is store
    factor.object_store_dict = None
    assert factor.object_store_dict is None
    factor.object_store_dict = {"k": 1}
    del factor.object_store_dict
    assert factor.object_store_dict is None

    assert factor.current_time is None
    factor.current_time = "anything"
    assert factor.current_time == "anything"
    del factor.current_time
    assert factor.current_time is None
    with pytest.raises(AttributeError):
        factor.some_other_field = 1


def test_subclass_set_up_methods_are_honoured():
    calls = []

    class Sub(Factor):
        def intialize_pairs_trading_data_structures(self):
            calls.append(("data", self.object_store_dict))
            super().intialize_pairs_trading_data_structures()

        def initialize_vodED_data_structures(self, *a, **kw):
            calls.append(("vodED", a, kw))
            super().initialize_vodED_data_structures(*a, **kw)

    smith, gate = object(), FakeTradegate(loaded=False)
    sub = Sub("u", FRAME, 1440, [], False, smith, gate)
    # object_store_dict exists before the first set-up method runs; both get positional calls
    assert calls == [("data", {}), ("vodED", (smith, gate), {})]
    assert fields(sub)["vodED_signalsmith"] is smith and fields(sub)["number_of_rows"] == len(FRAME)

    class Skipping(Factor):
        def intialize_pairs_trading_data_structures(self):
            pass

    skipped = Skipping("u", FRAME, 1440, [], False)
    assert fields(skipped)["data_matrix_array"] is None


def test_classifier_load_hook():
    marker = object()  # the hook's result is kept as it is, not turned into a bool
    gate = FakeTradegate(loaded=marker)
    factor = make_factor(vodED_tradegate=gate)
    assert gate.load_calls == ["PairsTradingSerialCointegrationFactor"]
    assert fields(factor)["vodED_ready"] is marker

    with pytest.raises(OSError, match="unreadable"):
        make_factor(vodED_tradegate=FakeTradegate(error=OSError("unreadable")))

    # Calling the set-up again forgets the trades and asks the new classifier.
    f = fields(factor)
    f["trade_store"][0] = {"x": 1}
    other = FakeTradegate(loaded=False)
    factor.initialize_vodED_data_structures(vodED_signalsmith=None, vodED_tradegate=other)
    f = fields(factor)
    assert f["trade_store"] == {} and f["trade_counter"] == 0 and f["vodED_ready"] is False
    assert f["vodED_tradegate"] is other and other.load_calls == ["PairsTradingSerialCointegrationFactor"]
    with pytest.raises(TypeError):
        factor.initialize_vodED_data_structures(None)


class RefusesPickling:
    def __reduce__(self):
        raise TypeError("no default __reduce__ due to non-trivial __cinit__")


def test_pickling_rebuilds_from_constructor_values():
    gate = FakeTradegate(loaded=False)
    factor = Factor("u", FRAME, np.int64(1440), [], 1, None, gate, [], "annual_sharpe_ratio", 0.75, 5e4, 0.5,
                    0.002, 0.25, 0)
    factor.object_store_dict["kept"] = 1
    fields(factor)["trade_store"][0] = {"trade": 1}
    factor.current_time = np.datetime64("2022-01-01")

    rebuild, values = factor.__reduce__()
    assert rebuild.__module__ == "velmora.utils.pickling.rebuilds"
    assert rebuild.__name__ == "rebuild_pairs_trading_serial_cointegration_factor"
    assert len(values) == 15
    assert values[1] is FRAME and values[7] == ["A", "B", "C"]  # the inferred list travels
    assert [type(v) for v in (values[2], values[4], values[14])] == [int, bool, bool]
    assert all(type(v) is float for v in values[9:14])

    copy = pickle.loads(pickle.dumps(factor))
    assert type(copy) is Factor
    copy_values = copy.__reduce__()[1]
    pd.testing.assert_frame_equal(copy_values[1], FRAME)
    assert copy_values[0] == values[0] and copy_values[2:6] == values[2:6] and copy_values[7:] == values[7:]
    pd.testing.assert_frame_equal(copy.get_clean_dataframe(), factor.get_clean_dataframe())
    f = fields(copy)
    assert f["trade_store"] == {} and f["optimal_params"] is None and f["current_time"] is None
    assert copy.object_store_dict == {}
    # The classifier travels with the factor, and the rebuilt factor asks it to load again.
    assert f["vodED_tradegate"] is not gate and len(f["vodED_tradegate"].load_calls) == 2

    with pytest.raises(TypeError, match="non-trivial __cinit__"):
        pickle.dumps(make_factor(vodED_signalsmith=RefusesPickling()))


def test_factor_in_a_reference_cycle_is_collected():
    factor = make_factor()
    factor.object_store_dict = {"self": factor, "frame": FRAME}
    ref = weakref.ref(factor)
    del factor
    gc.collect()
    assert ref() is None

    # A cycle through a held meta-label object is collected too.
    gate = FakeTradegate(loaded=False)
    factor = make_factor(vodED_tradegate=gate)
    gate.factor = factor
    ref = weakref.ref(factor)
    del factor, gate
    gc.collect()
    assert ref() is None


def test_objectives_are_read_from_the_results_class_at_each_construction(monkeypatch):
    class Other:
        available_objectives = ["custom"]

    monkeypatch.setattr(cointpairs, "Scorebook", Other)
    assert fields(make_factor(objective="custom"))["objective"] == "custom"
    with pytest.raises(Exception, match=f"^{OBJECTIVE_MSG}$"):
        make_factor()


def test_factor_travels_to_a_worker_process():
    import multiprocessing
    from operator import methodcaller

    factor = make_factor()
    with multiprocessing.get_context("spawn").Pool(1) as pool:
        frame = pool.apply(methodcaller("get_clean_dataframe"), (factor,))
    pd.testing.assert_frame_equal(frame, factor.get_clean_dataframe())
