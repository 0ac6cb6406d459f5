import numpy as np
import pandas as pd
import pytest
from matplotlib import pyplot as plt

EXTRAPOLATIONS = [
    ("upper_bound_2sd_extrapolation_from_train_set", "darkgreen", 0.5),
    ("lower_bound_2sd_extrapolation_from_train_set", "darkred", 0.5),
    ("straight_line_extrapolation_from_train_set", "black", 0.5),
]
TRAIN = [("train_set_cumprod_equity_curve", "blue", 1)]
TEST = [("test_set_cumprod_equity_curve", "purple", 1)]
PATHS = [("worst_outcome_alternate_path", "red", 0.33), ("best_outcome_alternate_path", "green", 0.33)]
STARTING_EQUITY = 10_000.0


@pytest.fixture
def drawn(monkeypatch):
    """Every plt.plot call as (label, colour, alpha, x, y), still drawn into the figure."""
    calls = []
    real_plot = plt.plot

    def recording_plot(x, y, **kwargs):
        calls.append((kwargs["label"], kwargs["color"], kwargs["alpha"], pd.Index(x), np.asarray(y)))
        return real_plot(x, y, **kwargs)

    monkeypatch.setattr(plt, "plot", recording_plot)
    plt.close("all")
    yield calls
    plt.close("all")


def bar_profits(ref, split_hour=None, days=20):
    """The arguments of the whole stretch and its bar profits, split into training and test
    bars at `split_hour` (no test bars without a split)."""
    arguments = ref.hourly_record_arguments(days=days, seed=31)
    bars = pd.Series(arguments["total_pnl_after_transaction_costs_array"],
                     index=pd.DatetimeIndex(arguments["datetime_array"]))
    if split_hour is None:
        return arguments, bars, None
    return arguments, bars.iloc[:split_hour], bars.iloc[split_hour:]


def records(ref, split_hour=None, days=20):
    arguments, training_bars, test_bars = bar_profits(ref, split_hour, days)
    if test_bars is None:
        return ref.Scorebook(**arguments), None
    training = ref.Scorebook(**ref.record_arguments(training_bars.values, training_bars.index.values))
    test = ref.Scorebook(**ref.record_arguments(test_bars.values, test_bars.index.values,
                                                STARTING_EQUITY + training_bars.values.sum()))
    training.register_test_set_results(test)
    return training, test


def reference_curves(ref, split_hour=None, days=20, paths=True):
    """Every curve the report can draw, label -> (dates, values), from the bar profits alone:
    pandas for the daily series, sklearn for the bootstrapped paths, and the extrapolation
    formulas written out."""
    _, training_bars, test_bars = bar_profits(ref, split_hour, days)
    joined = training_bars
    if test_bars is not None:
        joined = pd.concat([training_bars, test_bars.resample("1D").sum()])
    _, returns, _ = ref.daily(STARTING_EQUITY, joined.values, joined.index.values)
    growth = (1 + returns).cumprod()
    day = pd.Timedelta(days=1)

    curves = {}
    training_dates = training_bars.resample("1D").last().index
    if test_bars is not None:
        test_dates = test_bars.resample("1D").last().index
        training_dates = training_dates.append(test_dates[:1])
        curves["test_set_cumprod_equity_curve"] = (test_dates, growth.loc[training_dates[-1]:].values)
    training_curve = growth.loc[training_dates[0] - day:training_dates[-1] + day]
    curves["train_set_cumprod_equity_curve"] = (training_curve.index, training_curve.values)

    # mean and population deviation of the returns from the day before the first training
    # date to the last one; the line and its widening band then span every return
    window = returns.loc[training_dates[0] - day:training_dates[-1]]
    t = np.arange(len(returns))
    line = np.mean(window) * t + 1
    spread = 2 * np.sqrt(t) * np.std(window)
    curves["straight_line_extrapolation_from_train_set"] = (returns.index, line)
    curves["upper_bound_2sd_extrapolation_from_train_set"] = (returns.index, line + spread)
    curves["lower_bound_2sd_extrapolation_from_train_set"] = (returns.index, line - spread)

    if paths:
        worst, best = ref.selection(returns.values, [5, 95])[1]
        curves["worst_outcome_alternate_path"] = (returns.index, worst)
        curves["best_outcome_alternate_path"] = (returns.index, best)
    return curves


@pytest.mark.parametrize(
    "split_hour, flags, expected, columns",
    [
        (None, (), EXTRAPOLATIONS + TRAIN + PATHS, ["results"]),
        (24 * 12, (), EXTRAPOLATIONS + TRAIN + TEST + PATHS,
         ["train_set_results", "test_set_results", "full_in_sample_results"]),
        (24 * 12 + 9, (), EXTRAPOLATIONS + TRAIN + TEST + PATHS,  # the split falls inside a day
         ["train_set_results", "test_set_results", "full_in_sample_results"]),
        (None, (False, False), TRAIN, ["results"]),
        (24 * 12, (0, 1), EXTRAPOLATIONS + TRAIN + TEST,
         ["train_set_results", "test_set_results", "full_in_sample_results"]),
    ],
    ids=["train_only", "with_test", "split_in_a_day", "flags_off", "paths_off"],
)
def test_curves_and_printed_table(ref, fake_download, drawn, capsys, split_hour, flags, expected, columns):
    training, test = records(ref, split_hour)
    assert training.plot_full_results(*flags) is None
    assert [call[:3] for call in drawn] == expected
    table = training.full_results_df
    assert list(table.columns) == columns and len(table) == 18
    printed = capsys.readouterr().out
    assert all(column in printed for column in columns) and "annnual_sortino_ratio" in printed
    assert printed.lstrip().startswith("+-")  # psql layout

    curves = {label: (x, y) for label, _, _, x, y in drawn}
    train_x, train_y = curves["train_set_cumprod_equity_curve"]
    assert len(train_x) == len(train_y) > 0
    last_train_bar = pd.Timestamp(records_last_bar(training)).normalize()
    if test is None:
        assert train_x[-1] == last_train_bar
    else:
        test_x, test_y = curves["test_set_cumprod_equity_curve"]
        first_test_day = pd.Timestamp(test.total_pnl_after_transaction_costs_series.index[0]).normalize()
        assert test_x[0] == first_test_day and len(test_x) == len(test_y)
        # the training curve runs on into the test stretch, so the two curves meet
        assert train_x[-1] >= first_test_day
    reference = reference_curves(ref, split_hour, paths=PATHS[0] in expected)
    for label, _, _, x, y in drawn:
        expected_x, expected_y = reference[label]
        assert len(x) == len(y) and x.equals(pd.DatetimeIndex(expected_x)), label
        np.testing.assert_allclose(y, expected_y, rtol=1e-12, atol=0, err_msg=label)


def records_last_bar(record):
    record.expose_internal_variables()
    return record.total_pnl_after_transaction_costs_series.index[-1]


def test_unmatched_percentile_path_is_skipped(ref, fake_download, drawn, capsys, monkeypatch, caplog):
    def mostly_flat(x, random_state):
        # 9500 flat paths and 500 that double every day: the 95th percentile has no path
        return np.full(len(x), 1.0 if random_state >= 69 + 9500 else 0.0)

    monkeypatch.setattr(ref.module, "bootstrapping_resample", mostly_flat)
    training, _ = records(ref, days=6)
    training.plot_full_results()
    labels = [call[0] for call in drawn]
    assert "worst_outcome_alternate_path" in labels and "best_outcome_alternate_path" not in labels
    header = capsys.readouterr().out.strip().splitlines()[1]
    assert header.split("|")[2].strip() == "results"  # the table is still printed
    assert "95th" in caplog.text


def test_report_renders_to_png(ref, fake_download, tmp_path, capsys):
    training, _ = records(ref, split_hour=24 * 12)
    training.plot_full_results()
    target = tmp_path / "report.png"
    plt.gcf().savefig(target)
    plt.close("all")
    assert target.exists() and target.stat().st_size > 10_000


def test_plot_argument_count(ref, fake_download):
    training, _ = records(ref, days=3)
    with pytest.raises(TypeError):
        training.plot_full_results(True, True, True)
    with pytest.raises(TypeError):
        training.plot_full_results(paths=True)


GROWTH = "growth of 1 after transaction costs"


@pytest.mark.parametrize("split_hour, description, title", [
    (None, None, "Growth of 1 after transaction costs"),
    (24 * 12, ("annual_sharpe_ratio", "crypto"), f"crypto, best parameters for annual_sharpe_ratio: {GROWTH}"),
    (24 * 12 + 9, ("annual_sharpe_ratio", None), f"best parameters for annual_sharpe_ratio: {GROWTH}"),
    (None, (None, "FTSE$100$"), f"FTSE\\$100\\$: {GROWTH}"),  # shown as written, not as a formula
    (None, ("stability_activity_weighted_annual_sharpe_from_median_bootstrapped_returns", "crypto"),
     f"crypto, best parameters for stability_activity_weighted_annual_sharpe_from_median_bootstrapped_returns:\n{GROWTH}"),
], ids=["hand-made", "factor-run", "objective-only", "dollar-in-name", "long-objective"])
def test_plot_is_titled_labelled_and_marks_the_split(ref, fake_download, capsys, split_hour, description, title):
    training, test = records(ref, split_hour)
    if description is not None:
        training._run_description = description
    plt.close("all")
    training.plot_full_results(False, False)
    axes = plt.gca()
    assert axes.get_title() == title
    assert axes.get_xlabel() == "date" and axes.get_ylabel().startswith("growth of 1")
    boundaries = [line for line in axes.get_lines() if line.get_label() == "train_test_boundary"]
    if test is None:
        assert boundaries == []
    else:
        first_test_day = pd.Timestamp(test.total_pnl_after_transaction_costs_series.index[0]).normalize()
        (boundary,) = boundaries
        assert [pd.Timestamp(x) for x in boundary.get_xdata()] == [
            first_test_day, first_test_day]
        assert "train_test_boundary" in [t.get_text() for t in axes.get_legend().get_texts()]
    plt.gcf().canvas.draw()  # the title renders
    plt.close("all")
