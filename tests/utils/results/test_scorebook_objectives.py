import math

import numpy as np
import pandas as pd
import pytest
import scipy.stats

from velmora.utils.results.scorebook import Scorebook

CONTEXT = "velmora.utils.results.scorebook.Scorebook.get_objective_score"
NOT_AVAILABLE = "Objective specified is not available"


def weekday_hours(weeks, start="2024-01-01"):
    times = pd.date_range(start, periods=24 * 7 * weeks, freq="h")
    return times[times.day_of_week < 5].values


def activity(values):
    values = np.asarray(values)
    return np.sum(values != 0) / len(values)


@pytest.fixture(scope="module")
def scored(ref):
    """One weekday-only record (weekends give zero returns) and every objective's value,
    each computed independently from pandas, empyrical and sklearn's resampling."""
    times = weekday_hours(6)
    pnl = np.random.default_rng(21).normal(3.0, 40.0, len(times))
    arguments = ref.record_arguments(pnl, times)
    _, r, _ = ref.daily(10_000.0, pnl, times)
    rows, paths = ref.selection(r.values, [50])
    final = paths[0][-1]
    b = pd.Series(rows[0], index=r.index)
    em = ref.empyrical
    sharpe_b = em.sharpe_ratio(b) * activity(b.values)
    expected = {
        "latest_cumprod_returns": arguments["cumprod_returns_after_transaction_costs_array"][-1],
        "annual_sharpe_ratio": em.sharpe_ratio(r),
        "activity_weighted_annual_sharpe_ratio": em.sharpe_ratio(r) * activity(r),
        "daily_sharpe_ratio": np.mean(r) / np.std(r),
        "activity_weighted_daily_sharpe_ratio": activity(r) * (np.mean(r) / np.std(r)),
        "annual_sortino_ratio": em.sortino_ratio(r),
        "median_boostrapped_cumprod_returns": final - 1,
        "25_percentile_boostrapped_cumprod_returns": final - 1,
        "stability_weighted_median_bootstrapped_cumprod_returns": (final - 1) * em.stability_of_timeseries(r),
        "stability_weighted_25_percentile_bootstrapped_cumprod_returns": (final - 1) * em.stability_of_timeseries(r),
        "activity_weighted_annual_sharpe_from_median_bootstrapped_returns": sharpe_b,
        "activity_weighted_annual_sharpe_from_25_bootstrapped_returns": sharpe_b,
        "stability_activity_weighted_annual_sharpe_from_median_bootstrapped_returns":
            sharpe_b * em.stability_of_timeseries(b),
        "stability_activity_weighted_annual_sharpe_from_25_bootstrapped_returns":
            sharpe_b * em.stability_of_timeseries(b),
    }
    assert 0.5 < activity(r) < 0.9 and 0.5 < activity(b.values) < 0.95
    return Scorebook(**arguments), expected


@pytest.mark.parametrize("objective", Scorebook.available_objectives)
def test_objective_on_fixture_record(scored, objective):
    record, expected = scored
    score = record.get_objective_score(objective)
    assert type(score) is float
    assert score == pytest.approx(float(expected[objective]), rel=1e-12, abs=1e-15)
    assert score != 0.0


def test_default_objective_and_repeatability(scored):
    record, expected = scored
    default = record.get_objective_score()
    assert default == pytest.approx(expected["stability_weighted_median_bootstrapped_cumprod_returns"], rel=1e-12)
    assert record.get_objective_score(objective="stability_weighted_median_bootstrapped_cumprod_returns") == default


def daily_record(ref, daily_returns, starting_equity=10_000.0):
    """A record with one bar per day whose daily returns are (to rounding) `daily_returns`."""
    equity = starting_equity * np.cumprod(np.concatenate([[1.0], 1 + np.asarray(daily_returns)]))
    pnl = np.concatenate([[0.0], np.diff(equity)])
    times = pd.date_range("2024-01-01 12:00", periods=len(pnl), freq="D").values
    return Scorebook(**ref.record_arguments(pnl, times, starting_equity))


@pytest.mark.parametrize(
    "returns, expected",
    [
        # flat: a deviation of exactly 0, NaN Sharpe and stability
        ([0.0] * 12, {
            "daily_sharpe_ratio": 0.0, "activity_weighted_daily_sharpe_ratio": 0.0,
            "annual_sharpe_ratio": 0.0, "activity_weighted_annual_sharpe_ratio": 0.0,
            "annual_sortino_ratio": 0.0, "median_boostrapped_cumprod_returns": 0.0,
            "stability_weighted_median_bootstrapped_cumprod_returns": -1.0,
            "stability_weighted_25_percentile_bootstrapped_cumprod_returns": -1.0,
            "activity_weighted_annual_sharpe_from_median_bootstrapped_returns": 0.0,
            "stability_activity_weighted_annual_sharpe_from_25_bootstrapped_returns": 0.0,
        }),
        # a deviation of about 1e-12: "close to 0" for one daily objective, not the other
        (0.01 + 1e-12 * np.tile([1.0, -1.0], 6), {
            "daily_sharpe_ratio": 0.0, "activity_weighted_daily_sharpe_ratio": "computed",
        }),
        # no losing day: Sortino is infinite and stays so
        (np.linspace(0.001, 0.02, 12), {"annual_sortino_ratio": math.inf}),
    ],
    ids=["flat", "tiny_deviation", "only_gains"],
)
def test_degenerate_returns(ref, unraisable, returns, expected):
    record = daily_record(ref, returns)
    for objective, value in expected.items():
        score = record.get_objective_score(objective)
        if value == "computed":
            _, r, _ = ref.daily(10_000.0, record_pnl(record), record_times(record))
            assert np.std(r) != 0.0
            value = activity(r) * (np.mean(r) / np.std(r))
            assert abs(value) > 1e6
            assert score == pytest.approx(value, rel=1e-12)
        else:
            assert score == value, objective
    assert unraisable == []


def record_pnl(record):
    record.expose_internal_variables()
    return record.total_pnl_after_transaction_costs_series.values


def record_times(record):
    return record.total_pnl_after_transaction_costs_series.index.values


def test_dropped_zero_over_zero_day_still_scores(ref, unraisable):
    # equity reaches exactly 0 on day 2; day 3 earns nothing (0/0, dropped), day 4 earns 50
    # (x/0, a return of 0): fewer daily returns than days - 1
    pnl = [0.0, -100.0, 0.0, 50.0, 5.0, -3.0, 8.0, 2.0, -1.0, 4.0]
    times = pd.date_range("2024-01-01 09:00", periods=len(pnl), freq="D").values
    record = Scorebook(**ref.record_arguments(pnl, times, 100.0))
    _, r, days = ref.daily(100.0, pnl, times)
    assert len(r) == days - 2
    rows, paths = ref.selection(r.values, [50])
    assert record.get_objective_score("median_boostrapped_cumprod_returns") == pytest.approx(paths[0][-1] - 1, rel=1e-12)
    b = pd.Series(rows[0], index=r.index)
    expected = ref.empyrical.sharpe_ratio(b) * activity(b.values)
    assert record.get_objective_score(
        "activity_weighted_annual_sharpe_from_median_bootstrapped_returns") == pytest.approx(expected, rel=1e-12)
    assert unraisable == []


class TupleObjectives(Scorebook):
    available_objectives = tuple(Scorebook.available_objectives)


class ExtraObjective(Scorebook):
    available_objectives = Scorebook.available_objectives + ["extra"]


def split_medians(x, random_state):
    """Half the paths gain nothing and half gain 100 % a day: no path sits at the median."""
    return np.full(len(x), 1.0 if random_state >= 69 + 5000 else 0.0)


@pytest.mark.parametrize(
    "cls, length_change, objective, patch, message",
    [
        (Scorebook, 0, "no_such_objective", None, NOT_AVAILABLE),
        (Scorebook, 0, None, None, NOT_AVAILABLE),
        (Scorebook, 0, "median_bootstrapped_cumprod_returns", None, NOT_AVAILABLE),
        (TupleObjectives, 0, "annual_sharpe_ratio", None, "Expected list, got tuple"),
        # datetime_length - 2 must point inside the array: never wrap to the end
        (Scorebook, -9, "latest_cumprod_returns", None, "IndexError"),
        (Scorebook, 1, "latest_cumprod_returns", None, "IndexError"),
        (Scorebook, 0, "median_boostrapped_cumprod_returns", split_medians, "IndexError"),
    ],
    ids=["unknown", "none", "misspelt", "tuple_list", "length_1", "length_past_end", "no_median_path"],
)
def test_failures_score_zero_and_are_reported(ref, capsys, unraisable, monkeypatch, cls, length_change,
                                              objective, patch, message):
    times = pd.date_range("2024-01-01", periods=10, freq="D").values
    arguments = ref.record_arguments(np.linspace(-5, 5, 10), times)
    arguments["datetime_length"] += length_change
    if patch is not None:
        monkeypatch.setattr(ref.module, "bootstrapping_resample", patch)
    record = cls(**arguments)
    score = record.get_objective_score(objective)
    assert score == 0.0 and type(score) is float
    err = capsys.readouterr().err
    assert message in err and "Traceback" in err
    assert len(unraisable) == 1 and unraisable[0][2] == CONTEXT
    # The factor's trials ask through the raising twin, so the same error fails the trial.
    with pytest.raises(Exception) as raised:
        getattr(record, "__get_objective_score_or_raise")(objective)
    assert message in f"{type(raised.value).__name__}: {raised.value}"
    assert len(unraisable) == 1 and capsys.readouterr().err == ""


def test_name_without_branch_scores_zero_quietly(ref, capsys, unraisable):
    times = pd.date_range("2024-01-01", periods=5, freq="D").values
    assert ExtraObjective(**ref.record_arguments(np.ones(5), times)).get_objective_score("extra") == 0.0
    assert unraisable == [] and capsys.readouterr().err == ""


class Label(str):
    pass


@pytest.mark.parametrize("args, kwargs", [((5,), {}), ((Label("annual_sharpe_ratio"),), {}),
                                          (("a", "b"), {}), ((), {"goal": "annual_sharpe_ratio"})])
def test_bad_arguments_raise(scored, args, kwargs):
    record, _ = scored
    with pytest.raises(TypeError) as raised:
        record.get_objective_score(*args, **kwargs)
    if args == (5,):
        assert "Argument 'objective' has incorrect type (expected str, got int)" in str(raised.value)


def test_ctrl_c_is_never_scored(scored, monkeypatch, ref):
    class Interrupting:
        def __getattr__(self, name):
            raise KeyboardInterrupt

    monkeypatch.setattr(ref.module, "empyrical", Interrupting())
    with pytest.raises(KeyboardInterrupt):
        scored[0].get_objective_score("annual_sharpe_ratio")


def test_latest_cumprod_return_reads_arrays_of_any_stride(ref, unraisable):
    times = pd.date_range("2024-01-01", periods=6, freq="D").values
    arguments = ref.record_arguments(np.linspace(-5, 5, 6), times)
    cumprod = arguments["cumprod_returns_after_transaction_costs_array"]
    # a field of a structured array: its stride (12 bytes) is no whole number of float64s
    records = np.zeros(len(cumprod), dtype=[("value", "f8"), ("flag", "i4")])
    records["value"] = cumprod
    arguments["cumprod_returns_after_transaction_costs_array"] = records["value"]
    score = Scorebook(**arguments).get_objective_score("latest_cumprod_returns")
    assert score == cumprod[-1] and unraisable == []


def linregress_before_scipy_1_16(x, y):
    """scipy's linregress as releases before 1.16 answer it: a flat y gives rvalue 0.0, not NaN."""
    slope, intercept, rvalue, pvalue, stderr = tuple(INSTALLED_LINREGRESS(x, y))[:5]
    return slope, intercept, 0.0 if math.isnan(rvalue) else rvalue, pvalue, stderr


INSTALLED_LINREGRESS = scipy.stats.linregress


@pytest.mark.parametrize("linregress", [None, linregress_before_scipy_1_16], ids=["installed", "before_1_16"])
@pytest.mark.parametrize("returns", [[0.0] * 12, [0.02] + [0.0] * 11], ids=["flat", "one_gain_then_flat"])
def test_flat_stretch_has_no_stability_under_any_scipy(ref, monkeypatch, linregress, returns):
    # A stretch without trades: its score must not depend on the scipy release installed.
    if linregress is not None:
        monkeypatch.setattr("scipy.stats.linregress", linregress)
    monkeypatch.setattr("yfinance.download", ref.FakeDownload("empty"))
    record = daily_record(ref, returns)
    assert record.get_objective_score("stability_weighted_median_bootstrapped_cumprod_returns") == -1.0
    assert record.get_objective_score("stability_weighted_25_percentile_bootstrapped_cumprod_returns") == -1.0
    assert math.isnan(record.get_full_results()["train_results"]["stability_of_timeseries"])


def test_a_trending_stretch_keeps_its_stability_under_older_scipy(ref, monkeypatch):
    returns = np.linspace(0.001, 0.02, 12)
    monkeypatch.setattr("yfinance.download", ref.FakeDownload("empty"))
    expected = daily_record(ref, returns).get_full_results()["train_results"]["stability_of_timeseries"]
    monkeypatch.setattr("scipy.stats.linregress", linregress_before_scipy_1_16)
    column = daily_record(ref, returns).get_full_results()["train_results"]
    assert 0.5 < column["stability_of_timeseries"] == expected
