import logging
import math
import warnings

import numpy as np
import pandas as pd
import pytest

DAILY = "__get_daily_returns_series_and_length"
RATIO_ROWS = {
    "annual_returns": "annual_return",
    "annual_volatility": "annual_volatility",
    "annual_sharpe_ratio": "sharpe_ratio",
    "annnual_sortino_ratio": "sortino_ratio",
    "max_drawdown": "max_drawdown",
    "stability_of_timeseries": "stability_of_timeseries",
    "tail_ratio": "tail_ratio",
    "value_at_risk": "value_at_risk",
}
ROWS = [
    "annual_returns", "annual_volatility", "annual_sharpe_ratio", "annnual_sortino_ratio",
    "annual_alpha", "annual_beta", "daily_returns_series", "daily_volatility", "daily_sharpe",
    "max_drawdown", "stability_of_timeseries", "tail_ratio", "value_at_risk", "ending_equity",
    "gross_pnl", "total_slippage", "total_commission", "net_pnl",
]


def stamps(*texts):
    return np.array(texts, dtype="datetime64[ns]")


@pytest.mark.parametrize(
    "starting_equity, pnl, times, days, returns",
    [
        # a late bar and an early bar of the next day: two calendar days, one return
        (100.0, [5.0, 10.0], stamps("2024-01-01T23:00", "2024-01-02T01:00"), 2, [10.0 / 105.0]),
        # days without bars count as days with no profit and a return of 0
        (100.0, [1.0, 2.0], stamps("2024-01-05T10:00", "2024-01-08T10:00"), 4,
         [0.0, 0.0, 2.0 / 101.0]),
        # equity 0 after day 1: day 2 (0/0) is dropped, day 3 (x/0) gets a return of 0
        (100.0, [-100.0, 0.0, 50.0, 10.0], stamps("2024-01-01", "2024-01-02", "2024-01-03", "2024-01-04"),
         4, [0.0, 10.0 / 50.0]),
    ],
)
def test_daily_series(ref, private, starting_equity, pnl, times, days, returns):
    record = ref.Scorebook(**ref.record_arguments(pnl, times, starting_equity))
    bars, equity, daily_returns, n = private(record, DAILY, starting_equity, np.array(pnl), times)
    assert n == days and len(equity) == days and type(n) is int
    assert bars.name == "total_pnl_after_transaction_costs_series" and len(bars) == len(pnl)
    assert daily_returns.tolist() == pytest.approx(returns, rel=1e-15)
    assert equity.iloc[-1] == starting_equity + sum(pnl)


def test_daily_series_rejects_other_buffers(ref, private):
    record = ref.Scorebook(**ref.hourly_record_arguments(days=2))
    times = stamps("2024-01-01", "2024-01-02")
    with pytest.raises(ValueError, match="dtype mismatch"):
        private(record, DAILY, 1.0, np.array([1, 2]), times)
    with pytest.raises(ValueError, match="wrong number of dimensions"):
        private(record, DAILY, 1.0, np.ones((2, 1)), times)


def test_table_matches_empyrical_and_benchmark(ref, fake_download):
    arguments = ref.hourly_record_arguments(days=40)
    record = ref.Scorebook(**arguments)
    table = record.get_full_results()
    assert record.full_results_df is table
    assert list(table.columns) == ["train_results"] and list(table.index) == ROWS
    column = table["train_results"]

    equity, r, days = ref.daily(10_000.0, arguments["total_pnl_after_transaction_costs_array"],
                                arguments["datetime_array"])
    for row, function in RATIO_ROWS.items():
        assert column[row] == pytest.approx(round(getattr(ref.empyrical, function)(r), 5), abs=1e-12), row
    assert column["daily_returns_series"] == pytest.approx(round(np.mean(r), 5), abs=1e-12)
    assert column["daily_volatility"] == pytest.approx(round(np.std(r), 5), abs=1e-12)
    assert column["daily_sharpe"] == pytest.approx(round(np.mean(r) / np.std(r), 5), abs=1e-12)

    # the benchmark is asked for [first day, last day] and joined on common dates
    assert fake_download.calls == [("VT", equity.index[0], equity.index[days - 1], False)]
    close = ref.benchmark_frame(equity.index[0], equity.index[-1])["Close"]["VT"]
    bench = (close / close.shift() - 1).dropna().resample("1D").first().fillna(0)
    joined = bench.to_frame().merge(r.to_frame(), how="inner", left_index=True, right_index=True)
    alpha, beta = ref.empyrical.alpha_beta(joined.iloc[:, 1], joined.iloc[:, 0])
    assert column["annual_alpha"] == pytest.approx(round(alpha, 5), abs=1e-12)
    assert column["annual_beta"] == pytest.approx(round(beta, 5), abs=1e-12)
    assert not math.isnan(beta)

    totals = {
        "gross_pnl": arguments["securities_pnl_matrix_array"].sum(),
        "total_slippage": arguments["slippage_matrix_array"].sum(),
        "total_commission": arguments["commissions_matrix_array"].sum(),
        "net_pnl": arguments["total_pnl_after_transaction_costs_array"].sum(),
        "ending_equity": equity.iloc[-1],
    }
    for row, total in totals.items():
        assert column[row] == int(total), row

    named = record.get_full_results(name="x")
    assert list(named.columns) == ["x"] and record.full_results_df is named


def test_flat_and_two_level_downloads_agree(ref, monkeypatch):
    arguments = ref.hourly_record_arguments(days=20)
    tables = []
    for mode in ("two_levels", "flat"):
        ref.module._benchmark_cache.clear()
        monkeypatch.setattr("yfinance.download", ref.FakeDownload(mode))
        tables.append(ref.Scorebook(**arguments).get_full_results())
    assert tables[0].equals(tables[1])
    assert not math.isnan(tables[0].loc["annual_beta", "train_results"])


@pytest.mark.parametrize("mode", ["raise", "empty"])
def test_missing_benchmark_gives_nan_alpha_beta_and_one_warning(ref, monkeypatch, caplog, mode):
    fake = ref.FakeDownload(mode)
    monkeypatch.setattr("yfinance.download", fake)
    record = ref.Scorebook(**ref.hourly_record_arguments(days=10))
    with caplog.at_level(logging.WARNING, logger=" "):
        first = record.get_full_results()
        second = record.get_full_results()
    column = first["train_results"]
    assert math.isnan(column["annual_alpha"]) and math.isnan(column["annual_beta"])
    assert not math.isnan(column["annual_sharpe_ratio"])
    assert first.equals(second)
    assert len(fake.calls) == 1
    warnings = [r for r in caplog.records if r.levelno == logging.WARNING]
    assert len(warnings) == 1 and "VT" in warnings[0].getMessage()


@pytest.mark.parametrize("mode", ["raise", "empty", "two_levels"])
def test_the_download_library_is_kept_quiet(ref, monkeypatch, caplog, recwarn, mode):
    """Offline, yfinance logged 21 lines of its own and pandas warnings around our one warning
    for three benchmark downloads."""
    monkeypatch.setattr("yfinance.download", ref.FakeDownload(mode, noisy=True))
    library_logger = logging.getLogger("yfinance")
    monkeypatch.setattr(library_logger, "level", logging.INFO)
    filters = list(warnings.filters)
    caplog.set_level(logging.DEBUG)
    table = ref.Scorebook(**ref.hourly_record_arguments(days=10)).get_full_results()

    records = [(r.name, r.levelname) for r in caplog.records]
    assert records == ([] if mode == "two_levels" else [(" ", "WARNING")])
    assert math.isnan(table.loc["annual_beta", "train_results"]) is (mode != "two_levels")
    assert [str(w.message) for w in recwarn] == []
    # both put back as they were
    assert library_logger.level == logging.INFO
    assert warnings.filters == filters
    library_logger.warning("after the download")
    assert caplog.records[-1].getMessage() == "after the download"


def test_keyboard_interrupt_in_download_is_not_swallowed(ref, monkeypatch):
    def interrupted(*args, **kwargs):
        raise KeyboardInterrupt

    monkeypatch.setattr("yfinance.download", interrupted)
    with pytest.raises(KeyboardInterrupt):
        ref.Scorebook(**ref.hourly_record_arguments(days=3)).get_full_results()


@pytest.mark.parametrize(
    "starting_equity, pnl, cells, expected",
    [
        (100_000.0, [0.99, 0.0, 0.0], {}, {"ending_equity": 100_000}),
        (100_000.0, [0.3, -13.0, 0.0], {}, {"net_pnl": -12, "ending_equity": 99_987}),
        (10.0, [-0.3, -0.4, 0.0], {}, {"net_pnl": 0}),
        (100.0, [1.0, 1.0, 1.0], {"slippage_matrix_array": np.full((3, 2), 0.6)}, {"total_slippage": 3}),
        (100.0, [1.0, 1.0, 1.0], {"commissions_matrix_array": np.array([[0.1, np.nan]] * 3)},
         {"total_commission": None}),
        (100.0, [1.0, 1.0, 1.0], {"securities_pnl_matrix_array": np.array([[np.inf, 1.0]] * 3)},
         {"gross_pnl": None}),
        # the daily sums skip a NaN bar, the bar total does not
        (100.0, [1.0, np.nan, 1.0], {}, {"net_pnl": None, "ending_equity": 102}),
    ],
)
def test_money_totals_truncate_and_show_nan(ref, monkeypatch, starting_equity, pnl, cells, expected):
    monkeypatch.setattr("yfinance.download", ref.FakeDownload("empty"))
    times = stamps("2024-01-01T01:00", "2024-01-02T01:00", "2024-01-03T01:00")
    record = ref.Scorebook(**ref.record_arguments(pnl, times, starting_equity, **cells))
    column = record.get_full_results()["train_results"]
    for row, value in expected.items():
        if value is None:
            assert math.isnan(column[row]), row
        else:
            assert column[row] == value, row


@pytest.mark.parametrize("pnl", [[0.0, 0.0, 0.0], [5.0, 0.0, 0.0]], ids=["flat", "one_gain"])
def test_degenerate_stretch_builds_its_table_without_numpy_warnings(ref, monkeypatch, pnl):
    # zero deviations and empty tails divide by zero inside empyrical: NaN cells, no warnings
    monkeypatch.setattr("yfinance.download", ref.FakeDownload("empty"))
    times = stamps("2024-01-01T01:00", "2024-01-02T01:00", "2024-01-03T01:00")
    record = ref.Scorebook(**ref.record_arguments(pnl, times, 100_000.0))
    with warnings.catch_warnings():
        warnings.simplefilter("error", RuntimeWarning)
        column = record.get_full_results()["train_results"]
    assert math.isnan(column["tail_ratio"]) and column["daily_sharpe"] == 0.0
    assert column["net_pnl"] == int(sum(pnl))


def test_stretch_without_bars_raises_and_stores_nothing(ref, fake_download):
    record = ref.Scorebook(**ref.record_arguments([], np.array([], dtype="datetime64[ns]")))
    with pytest.raises(IndexError):
        record.get_full_results()
    assert record.full_results_df is None
    with pytest.raises(TypeError, match="Argument 'name' has incorrect type"):
        record.get_full_results(name=5)


def split_record(ref, split_hour, days=12):
    """A training and a test record over one hourly stretch cut at `split_hour`."""
    arguments = ref.hourly_record_arguments(days=days, seed=11)
    cut = lambda a: a[:split_hour]  # noqa: E731
    tail = lambda a: a[split_hour:]  # noqa: E731
    pnl, times = arguments["total_pnl_after_transaction_costs_array"], arguments["datetime_array"]
    training = ref.record_arguments(cut(pnl), cut(times), seed=11)
    equity_at_cut = 10_000.0 + cut(pnl).sum()
    test = ref.record_arguments(tail(pnl), tail(times), equity_at_cut, seed=12)
    return ref.Scorebook(**training), ref.Scorebook(**test), training, test


def test_registered_test_set_and_joined_column(ref, fake_download):
    training, test, training_arguments, test_arguments = split_record(ref, 24 * 8)
    assert training.register_test_set_results(test) is None
    for name in ("positions_matrix_df", "slippage_matrix_df", "equity_value_series",
                 "cumprod_returns_after_transaction_costs_series"):
        assert getattr(training, "test_" + name) is getattr(test, name)
    assert list(training.test_full_results_df.columns) == ["test_set_results"]
    assert training.test_full_results_df is test.full_results_df

    training.expose_internal_variables()
    table = training.get_full_results()
    assert list(table.columns) == ["train_results", "test_set_results", "full_in_sample_results"]
    assert list(table.index) == ROWS

    # the joined stretch: training bars followed by the test stretch's daily sums
    train_bars = pd.Series(training_arguments["total_pnl_after_transaction_costs_array"],
                           index=training_arguments["datetime_array"])
    test_bars = pd.Series(test_arguments["total_pnl_after_transaction_costs_array"],
                          index=test_arguments["datetime_array"])
    joined = pd.concat([train_bars, test_bars.resample("1D").sum()])
    equity, r, days = ref.daily(10_000.0, joined.values, joined.index.values)
    full = table["full_in_sample_results"]
    assert full["annual_sharpe_ratio"] == pytest.approx(round(ref.empyrical.sharpe_ratio(r), 5), abs=1e-12)
    assert full["ending_equity"] == int(equity.iloc[-1])
    both = lambda name: np.append(training_arguments[name], test_arguments[name]).sum()  # noqa: E731
    assert full["total_slippage"] == int(both("slippage_matrix_array"))
    assert full["net_pnl"] == int(both("total_pnl_after_transaction_costs_array"))
    assert table["test_set_results"].equals(test.full_results_df["test_set_results"])

    # one download per (ticker, start, end): test, training and joined stretches
    calls = len(fake_download.calls)
    assert calls == 3
    training.get_full_results()
    assert len(fake_download.calls) == calls


def test_registration_calls_through_the_test_object(ref, fake_download):
    class OwnTable(ref.Scorebook):
        def get_full_results(self, name="train_results"):
            self.asked = name
            return pd.DataFrame({name: [1.0]})

    training, _, _, test_arguments = split_record(ref, 24 * 4)
    test = OwnTable(**test_arguments)
    training.register_test_set_results(test)
    assert test.asked == "test_set_results"
    assert list(training.test_full_results_df.columns) == ["test_set_results"]
    assert training.test_equity_value_series is test.equity_value_series
    with pytest.raises(AttributeError):
        training.register_test_set_results()
