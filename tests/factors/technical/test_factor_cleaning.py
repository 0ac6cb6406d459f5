"""Cleaning of the factor's input frame into working arrays: resampling, trading hours in
the index's zone, weekdays, the one-year rule and the arrays the walk reads."""

import logging
from datetime import time

import numpy as np
import pandas as pd
import pytest

from factors.technical.factor_helpers import daily_frame, fields, frame_with_names, hourly_frame, make_factor
from support.frames import make_ohlcv_frame
from velmora.factors.technical import cointpairs

clean = cointpairs._clean_dataframe


def tiny(index, **columns):
    return pd.DataFrame(columns, index=pd.DatetimeIndex(index))


@pytest.mark.parametrize("hours, resolution, minutes, bars_per_day, minimum", [
    ([], 60, 1440, 24, 6048),
    ([], 1440, 1440, 1, 252),
    ([(time(9, 30), time(16, 0))], 30, 390, 13, 3276),
    ([(time(9, 30), time(16, 0))], 7, 390, 55, 14040),
    ([(time(9, 30), time(16, 0))], 1440, 390, 1, 68),
    ([(time(22, 0), time(2, 0))], 60, 239, 3, 1003),
    ([(time(8, 0), time(8, 0))], 60, 1439, 23, 6043),
    ([(time(9, 30, 30), time(10, 0))], 1, 29, 29, 7308),        # whole minutes, truncated
    ([(time(9), time(12)), (time(11), time(13))], 60, 300, 5, 1260),  # overlaps count twice
    ([(time(9), time(9, 0, 30))], 60, 0, 1, 0),
])
def test_trading_day_arithmetic(hours, resolution, minutes, bars_per_day, minimum):
    assert cointpairs._trading_day_settings(hours, resolution) == (minutes, bars_per_day, minimum)


def test_minute_bars_resampled_to_hours():
    index = pd.date_range("2024-01-01 09:00", periods=150, freq="1min", tz="UTC")
    index = index.delete(range(60, 120))  # the 10:00 hour has no trades at all
    price = np.arange(len(index), dtype=float) + 1.0
    frame = tiny(index, A_open=price, A_high=price + 1, A_low=price - 0.5, A_close=price * 2, A_volume=np.ones(len(index)))
    out = clean(frame, 60, [], False)
    assert list(out.index) == list(pd.date_range("2024-01-01 09:00", periods=3, freq="1h", tz="UTC"))
    # prices: each bin's last value, carried into the empty bin; volumes: the bin's sum, 0 when empty
    assert out["A_close"].tolist() == [120.0, 120.0, 180.0]
    assert out["A_open"].tolist() == [60.0, 60.0, 90.0]
    assert out["A_volume"].tolist() == [60.0, 0.0, 30.0]
    assert list(out.columns) == list(frame.columns)


def test_rows_before_the_latest_starter_are_dropped():
    index = pd.date_range("2024-01-01", periods=6, freq="1h", tz="UTC")
    late = [np.nan, np.nan, 3.0, 4.0, np.nan, 6.0]
    frame = tiny(index, B_close=late, A_close=np.arange(6.0), B_open=late, A_open=np.arange(6.0),
                 A_volume=np.ones(6), B_volume=[np.nan, np.nan, 1, 1, np.nan, 1])
    out = clean(frame, 60, [], False)
    assert list(out.index) == list(index[2:])
    assert out["B_close"].tolist() == [3.0, 4.0, 4.0, 6.0]  # a gap inside the history is carried forward
    assert list(out.columns) == list(frame.columns)


def test_label_outside_the_five_fields_is_a_key_error():
    index = pd.date_range("2024-01-01", periods=3, freq="1h", tz="UTC")
    with pytest.raises(KeyError):
        clean(tiny(index, A_close=[1.0, 2, 3], A_volume=[1.0, 1, 1], A_vwap=[1.0, 2, 3]), 60, [], False)


def local_hours(out):
    return [t.strftime("%H:%M") for t in out.index]


def test_trading_hours_read_in_the_index_zone():
    # Half-hour bars across the US clock change: the UTC offsets differ, the local hours not.
    index = pd.date_range("2024-03-08 00:00", "2024-03-12 00:00", freq="30min", tz="America/New_York")
    n = len(index)
    frame = tiny(index, A_close=np.arange(n, dtype=float), A_volume=np.ones(n))
    out = clean(frame, 30, [(time(9, 30), time(16, 0))], False)
    per_day = out.groupby(out.index.date).size()
    assert per_day.tolist() == [13, 13, 13, 13]  # 8 to 11 March, the change on the 10th
    assert set(local_hours(out)) == {f"{h:02d}:{m:02d}" for h in range(9, 16) for m in (0, 30)} - {"09:00"}
    assert out.index.tz == index.tz


def test_period_across_midnight():
    index = pd.date_range("2024-01-01", periods=48, freq="1h", tz="Asia/Tokyo")
    frame = tiny(index, A_close=np.arange(1.0, 49.0), A_volume=np.ones(48))
    out = clean(frame, 60, [(time(22, 0), time(2, 0))], False)
    assert local_hours(out) == ["00:00", "01:00", "22:00", "23:00"] * 2


def test_weekdays_are_read_in_the_index_zone():
    # 2024-01-05 is a Friday. In Tokyo the Friday 23:00 UTC bar is already Saturday.
    index = pd.date_range("2024-01-05 20:00", periods=60, freq="1h", tz="UTC").tz_convert("Asia/Tokyo")
    frame = tiny(index, A_close=np.arange(60.0), A_volume=np.ones(60))
    out = clean(frame, 60, [], True)
    assert list(out.index) == list(pd.date_range("2024-01-08 00:00", periods=17, freq="1h", tz="Asia/Tokyo"))
    assert pd.Timestamp("2024-01-06 08:00", tz="Asia/Tokyo") not in out.index  # Sat local, Fri UTC
    assert pd.Timestamp("2024-01-08 02:00", tz="Asia/Tokyo") in out.index      # Mon local, Sun UTC


def test_daily_bars_across_a_clock_change_stay_on_their_days():
    index = pd.date_range("2024-03-01", "2024-03-20", freq="1D", tz="America/New_York")
    frame = tiny(index, A_close=np.arange(1.0, len(index) + 1), A_volume=np.ones(len(index)))
    # Whole-day bars ignore the trading hours: daily bins start at midnight.
    out = clean(frame, 1440, [(time(9, 30), time(16, 0))], False)
    assert list(out.index) == list(index)
    assert out["A_close"].tolist() == list(range(1, len(index) + 1))


def test_working_arrays():
    # Frame order B, A (field-major), list order A, B, and a name that itself contains "_close".
    base = make_ohlcv_frame(n_bars=6100, names=["B", "A_close_fund"], n_cointegrated=2, n_independent=0,
                            freq="1h", field_major=True, tz="Europe/London", seed=11)
    factor = make_factor(base, resolution=60, securities_names_list=["A_close_fund", "B"])
    f = fields(factor)
    assert f["number_of_rows"] == 6100 and f["number_of_data_columns"] == 10 and f["number_of_securities"] == 2
    assert f["maximum_zscore_window"] == 3050
    assert (f["hedge_ratio_reestimation_interval"], f["johansen_sampling_step"],
            f["barrier_readjustment_interval"]) == (24, 24, 24)
    assert f["minutes_in_trading_day"] == 1440
    assert f["securities_index_dict"] == {"A_close_fund": 0, "B": 1}

    utc = base.index.tz_convert("UTC").tz_localize(None).as_unit("ns")
    assert f["datetime_array"].dtype == np.dtype("datetime64[ns]")
    np.testing.assert_array_equal(f["datetime_array"], utc.to_numpy())
    assert f["last_run_time"] == f["datetime_array"][0]
    assert f["data_column_names_array"].tolist() == list(base.columns)
    np.testing.assert_array_equal(f["data_matrix_array"], base.to_numpy())
    np.testing.assert_array_equal(f["close_matrix_array"],
                                  base[["A_close_fund_close", "B_close"]].to_numpy())
    for name in ("data_matrix_array", "close_matrix_array", "positions_matrix_array"):
        array = f[name]
        assert array.dtype == np.float64 and array.flags.c_contiguous and array.flags.writeable
        assert not np.shares_memory(array, base.to_numpy())
    assert f["positions_matrix_array"].shape == (6100, 2) and not f["positions_matrix_array"].any()
    assert f["positions_array"].shape == (2,) and f["latest_position_weights_array"].shape == (2,)

    frame = factor.get_clean_dataframe()
    assert frame.index.tz is None
    assert list(frame.index) == list(utc)
    assert list(frame.columns) == list(base.columns)
    np.testing.assert_array_equal(frame.to_numpy(), base.to_numpy())


def test_rebuilding_the_data_structures_discards_changes():
    factor = make_factor()
    first = fields(factor)["data_matrix_array"].copy()
    fields(factor)["data_matrix_array"][:] = 0.0
    factor.intialize_pairs_trading_data_structures()
    np.testing.assert_array_equal(fields(factor)["data_matrix_array"], first)


@pytest.mark.parametrize("frame, resolution, hours, weekdays", [
    (daily_frame(n_days=300), 1440, [], True),                              # weekdays leave < 252
    (hourly_frame(n_bars=6047), 60, [], False),                              # one bar short of 6048
    (hourly_frame(n_bars=400), 60, [(time(3, 30), time(3, 31))], False),     # nothing left at all
])
def test_too_few_bars(frame, resolution, hours, weekdays):
    with pytest.raises(Exception) as info:
        make_factor(frame, resolution=resolution, trading_hours=hours, weekdays=weekdays)
    assert type(info.value) is Exception
    assert str(info.value) == "Insufficient data encountered, please consider getting more data"


def test_exact_threshold_in_a_zone_with_trading_hours():
    # 09:30-16:00 at whole-day resolution needs int(390 * 252 / 1440) = 68 bars.
    frame = daily_frame(n_days=68, tz="America/New_York")
    f = fields(make_factor(frame, resolution=1440, trading_hours=[(time(9, 30), time(16, 0))]))
    assert f["number_of_rows"] == 68 and f["minutes_in_trading_day"] == 390
    with pytest.raises(Exception, match="Insufficient data"):
        make_factor(frame.iloc[:67], resolution=1440, trading_hours=[(time(9, 30), time(16, 0))])


def test_renamed_securities_follow_the_list_order():
    frame = frame_with_names(daily_frame(), {"A": "Z", "B": "Y", "C": "X"})
    factor = make_factor(frame, securities_names_list=["X", "Z", "Y"])
    np.testing.assert_array_equal(fields(factor)["close_matrix_array"], frame[["X_close", "Z_close", "Y_close"]].to_numpy())


def test_multi_day_bars_across_a_clock_change_stay_on_midnight():
    index = pd.date_range("2024-03-01", "2024-03-31", freq="1D", tz="America/New_York")
    frame = tiny(index, A_close=np.arange(1.0, len(index) + 1), A_volume=np.ones(len(index)))
    out = clean(frame, 2880, [], False)
    assert all(t.hour == 0 for t in out.index)
    assert list(out.index) == list(pd.date_range("2024-03-01", "2024-03-31", freq="2D", tz="America/New_York"))
    assert out["A_volume"].tolist()[:-1] == [2.0] * (len(out) - 1)  # two daily bars per bin, never three


def test_prices_that_are_not_positive_finite_numbers_are_missing_bars(caplog):
    # Minute bars into hours. A's bad bars: a zero close inside the 09:00 hour, a negative low
    # at the end of the 10:00 hour (its earlier bar stands in), the whole 11:00 hour (carried
    # from 10:00), an infinite open and a lone NaN high. B: a zero close on its first bar
    # (dropped like a late start) and an all-missing bar, an ordinary gap that is not counted.
    index = pd.date_range("2024-01-01 09:00", periods=240, freq="1min", tz="UTC")
    n = len(index)
    rng = np.random.default_rng(4)
    columns = {}
    for name in ("A", "B"):
        close = 100 * np.exp(np.cumsum(rng.normal(0, 0.001, n)))
        columns.update({f"{name}_open": close * 0.999, f"{name}_high": close * 1.002, f"{name}_low": close * 0.998,
                        f"{name}_close": close, f"{name}_volume": rng.uniform(1, 5, n)})
    frame = tiny(index, **columns)
    bad = {"A": [(30, "close", 0.0), (119, "low", -1.0), (185, "open", np.inf), (200, "high", np.nan)]
           + [(t, "close", 0.0) for t in range(120, 180)],
           "B": [(0, "close", 0.0)]}
    missing = frame.copy()
    for name, cells in bad.items():
        for t, field, value in cells:
            frame.iloc[t, frame.columns.get_loc(f"{name}_{field}")] = value
            missing.iloc[t, [missing.columns.get_loc(f"{name}_{f}") for f in
                             ("open", "high", "low", "close", "volume")]] = np.nan
    frame.iloc[50, [frame.columns.get_loc(f"B_{f}") for f in ("open", "high", "low", "close", "volume")]] = np.nan
    missing.iloc[50] = frame.iloc[50]

    caplog.set_level(logging.WARNING, logger=" ")
    out = clean(frame, 60, [], False)
    pd.testing.assert_frame_equal(out, clean(missing, 60, [], False))
    assert out[[c for c in out.columns if not c.endswith("_volume")]].gt(0).all().all()
    assert out.loc["2024-01-01 11:00", "A_close"] == frame["A_close"].iloc[118]  # filled from 10:58
    assert [r.getMessage() for r in caplog.records if r.name == " "] == [
        f"{count} bars of {name} have an open, high, low or close that is not a positive finite number: "
        "each is treated as a missing bar and filled from the bar before" for name, count in (("A", 64), ("B", 1))]

    # A factor built on such data never holds a price that is not positive.
    caplog.clear()
    daily = daily_frame()
    daily.iloc[100, daily.columns.get_loc("B_close")] = 0.0
    f = fields(make_factor(daily))
    assert (f["close_matrix_array"] > 0).all() and len(caplog.records) == 1
    assert f["close_matrix_array"][100, 1] == daily["B_close"].iloc[99]


def late_start_warnings(caplog):
    return [r.getMessage() for r in caplog.records if r.name == " " and r.getMessage().startswith("Cleaning drops")]


def starting_late(frame, starts):
    """`frame` with each named security's bars missing before its start."""
    late = frame.copy()
    for name, start in starts.items():
        late.loc[late.index < start, [c for c in late.columns if c.startswith(f"{name}_")]] = np.nan
    return late


# Rows are counted as the factor would have held them: after the trading-hours and weekday filters.
@pytest.mark.parametrize("frame, resolution, hours, weekdays", [
    (hourly_frame(n_bars=2000), 60, [], False),
    (hourly_frame(n_bars=2000), 60, [(time(9, 30), time(16, 0))], True),
    (hourly_frame(n_bars=2000), 240, [], False),
    (daily_frame(n_days=400), 1440, [], True),
], ids=["hourly", "hours and weekdays", "binned", "daily"])
def test_rows_dropped_for_late_starts_are_told_in_one_line(caplog, frame, resolution, hours, weekdays):
    # Starts on bin boundaries (every fourth bar), so that a start is also the time of its bin.
    first, b_start, c_start = (frame.index[n // 4 * 4] for n in (0, len(frame) // 5, len(frame) // 3))
    late = starting_late(frame, {"C": c_start, "B": b_start})
    caplog.set_level(logging.WARNING, logger=" ")
    # The oracle: the complete history, cleaned, from the latest start on; it drops nothing.
    whole = clean(frame, resolution, hours, weekdays)
    assert late_start_warnings(caplog) == []
    dropped = int((whole.index < c_start).sum())
    out = clean(late, resolution, hours, weekdays)
    pd.testing.assert_frame_equal(out, whole[whole.index >= c_start], check_freq=False)
    assert late_start_warnings(caplog) == [
        f"Cleaning drops the first {dropped} of {len(whole)} rows ({round(100 * dropped / len(whole))} % of the "
        f"history), from {first} to before {c_start}: every row needs a price of every security, and B starts "
        f"at {b_start}, C at {c_start}. Leave the late securities out to keep the earlier rows"]


def test_a_late_start_through_the_factor_and_a_security_without_bars(caplog):
    # As it was found: a security listed later cuts everyone's history without a word.
    frame = daily_frame(n_days=400)
    caplog.set_level(logging.WARNING, logger=" ")
    f = fields(make_factor(starting_late(frame, {"C": frame.index[100]})))
    assert f["number_of_rows"] == 300
    assert len(late_start_warnings(caplog)) == 1 and "first 100 of 400 rows (25 % " in late_start_warnings(caplog)[0]

    # A security with no usable bar at all is refused by name, not as a short history.
    for unusable in (np.nan, 0.0):
        frame = daily_frame(n_days=400, names=("A", "B", "C", "D"))
        frame["B_close"] = unusable
        frame["D_open"] = np.nan
        with pytest.raises(Exception, match="^No usable bars for B, D: none of its rows holds an open, high, low "
                                            "and close that are all positive finite numbers"):
            make_factor(frame)


def test_a_security_that_ends_early_is_told_to_be_carried_to_the_end(caplog):
    # Nothing is dropped: its last prices stand in for the rows after its end, as over a gap.
    frame = hourly_frame(n_bars=2000)
    end = frame.index[1500]
    ended = frame.copy()
    ended.loc[ended.index > end, [c for c in ended.columns if c.startswith("B_")]] = np.nan
    caplog.set_level(logging.WARNING, logger=" ")
    hours = [(time(9, 30), time(16, 0))]
    out = clean(ended, 60, hours, True)
    whole = clean(frame, 60, hours, True)
    assert list(out.index) == list(whole.index)
    assert (out.loc[out.index > end, "B_close"] == frame.at[end, "B_close"]).all()
    carried = int((whole.index > end).sum())
    assert [r.getMessage() for r in caplog.records if r.name == " "] == [
        "Cleaning carries the last prices of securities that end before the history does over the rows after their "
        f"end, as over any gap: B ends at {end} (the last {carried} of {len(whole)} rows). Leave them out, or end the "
        "history there, to trade on prices of their own"]
    caplog.clear()
    clean(frame, 60, hours, True)
    assert caplog.records == []
