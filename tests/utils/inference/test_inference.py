import pickle

import numpy as np
import pandas as pd
import pytest

from velmora.utils.inference.inference import Inference
from support.frames import make_ohlcv_frame
from support.market_data import load_ohlcv, SP500_CLEAN

MISMATCH = "Unable to properly infer securities from OHCLV df"


def frame_with(labels):
    return pd.DataFrame([[1.0] * len(labels)], columns=labels)


@pytest.mark.parametrize(
    "labels, expected",
    [
        ([f"BTC_USDT_{f}" for f in ("open", "high", "low", "close", "volume")], ["BTC_USDT"]),
        # field-major: names follow the close columns, whatever the volume order
        (["B_open", "A_open", "B_close", "A_close", "A_volume", "B_volume"], ["B", "A"]),
        (["A_close", "B_close", "B_volume", "A_volume"], ["A", "B"]),
        (["A_close", "A_close", "A_volume", "A_volume"], ["A", "A"]),
        # a name may carry field words; only the suffix at the end of a label counts
        (["X_lowcap_low", "X_lowcap_close", "X_lowcap_volume"], ["X_lowcap"]),
        (["X_close_close", "X_close_volume"], ["X_close"]),
        (["A_close_fund_close", "A_close_fund_volume", "B_volume_x_close", "B_volume_x_volume"],
         ["A_close_fund", "B_volume_x"]),
        # labels that merely contain a field word are no field columns
        (["A_closed", "A_volumes", "A_close", "A_volume"], ["A"]),
        ([], []),
    ],
)
def test_pairs_close_and_volume_names(labels, expected):
    assert Inference().infer_securities_from_OHCLV_df(frame_with(labels)) == expected


@pytest.mark.parametrize(
    "labels",
    [
        ["A_close", "A_volume", "B_close"],
        ["A_close", "A_close", "A_volume"],
        ["A_close", "B_volume"],
        ["A_volume"],
    ],
)
def test_unpaired_names_raise_plain_exception(labels):
    with pytest.raises(Exception) as info:
        Inference().infer_securities_from_OHCLV_df(frame_with(labels))
    assert type(info.value) is Exception
    assert str(info.value) == MISMATCH


@pytest.mark.parametrize("label", [3, ("A", "close")])
def test_non_string_label_is_a_type_error(label):
    frame = pd.DataFrame([[1.0, 2.0]], columns=pd.Index(["A_close", label], dtype=object))
    with pytest.raises(TypeError):
        Inference().infer_securities_from_OHCLV_df(frame)


NOT_FRAMES = [np.ones((3, 10)), None, {"A_close": [1.0], "A_volume": [2.0]},
              pd.Series([1.0], index=["A_close"]), ["A_close", "A_volume"]]


@pytest.mark.parametrize("value", NOT_FRAMES, ids=lambda v: type(v).__name__)
def test_anything_but_a_dataframe_is_a_plain_type_error(value):
    with pytest.raises(TypeError, match=r"^Argument 'clean_OHCLV_dataframe' must be a pandas "
                       r"DataFrame of OHCLV columns, got " + type(value).__name__ + "$"):
        Inference().infer_securities_from_OHCLV_df(value)


def test_argument_rules():
    inference = Inference("ignored", 1, also="ignored")
    with pytest.raises(TypeError):  # positional only
        inference.infer_securities_from_OHCLV_df(clean_OHCLV_dataframe=frame_with([]))
    with pytest.raises(TypeError):
        pickle.dumps(inference)


def test_result_is_a_new_list():
    frame = make_ohlcv_frame(n_bars=5, names=["A", "B"])
    first = Inference().infer_securities_from_OHCLV_df(frame)
    first.append("C")
    assert Inference().infer_securities_from_OHCLV_df(frame) == ["A", "B"]


def test_subclass_override_is_seen_through_attribute_lookup():
    class Fixed(Inference):
        def infer_securities_from_OHCLV_df(self, df):
            return ["fixed"]

    assert getattr(Fixed(), "infer_securities_from_OHCLV_df")(frame_with([])) == ["fixed"]


def test_real_equity_frame_in_field_major_order():
    frame = load_ohlcv(SP500_CLEAN, ["KO", "PEP", "JPM"])
    assert Inference().infer_securities_from_OHCLV_df(frame) == ["KO", "PEP", "JPM"]
    field_major = frame[[f"{s}_{f}" for f in ("open", "high", "low", "close", "volume")
                         for s in ("JPM", "KO", "PEP")]]
    assert Inference().infer_securities_from_OHCLV_df(field_major) == ["JPM", "KO", "PEP"]
