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


def records(ref, split_hour=None, days=20):
    arguments = ref.hourly_record_arguments(days=days, seed=31)
    if split_hour is None:
        return ref.Scorebook(**arguments), None
    pnl, times = arguments["total_pnl_after_transaction_costs_array"], arguments["datetime_array"]
    training = ref.Scorebook(**ref.record_arguments(pnl[:split_hour], times[:split_hour]))
    test = ref.Scorebook(**ref.record_arguments(pnl[split_hour:], times[split_hour:],
                                                10_000.0 + pnl[:split_hour].sum()))
    training.register_test_set_results(test)
    return training, test


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
    for label, _, _, x, y in drawn:
        assert len(x) == len(y), label


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
