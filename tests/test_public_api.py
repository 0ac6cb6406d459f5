"""What a caller sees of the eight modules: module-level names, logging set-up at import,
documentation strings, and which argument forms each public method accepts."""

import datetime
import json
import logging
import os
import re
import subprocess
import sys
import textwrap

import numpy as np
import pandas as pd
import pytest

INFERENCE = "velmora.utils.inference.inference"
TICKERSIEVE = "velmora.utils.filters.tickersieve"
SCOREBOOK = "velmora.utils.results.scorebook"
COINTPAIRS = "velmora.factors.technical.cointpairs"
SIGNALSMITH = "velmora.vodED.signalsmith"
TRADEGATE = "velmora.vodED.tradegate"
COINFEED = "velmora.connections.binance.coinfeed"
INDEXFEED = "velmora.connections.yahoo_finance.indexfeed"
LOGGING_MODULES = [SCOREBOOK, COINTPAIRS, SIGNALSMITH, TRADEGATE, COINFEED, INDEXFEED]


def _in_fresh_interpreter(script):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(script)], env=env,
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.strip().splitlines()[-1])


def test_import_time_logging_and_warning_set_up():
    seen = _in_fresh_interpreter(f"""
        import importlib, json, logging, warnings
        import optuna
        optuna.logging.set_verbosity(optuna.logging.INFO)
        root, shared = logging.getLogger(), logging.getLogger(" ")
        out = {{}}
        for name in ({INFERENCE!r}, {TICKERSIEVE!r}):
            importlib.import_module(name)
        out["quiet"] = [len(root.handlers), shared.level, hasattr(importlib.import_module({INFERENCE!r}), "logger")]
        before = list(warnings.filters)
        importlib.import_module({COINTPAIRS!r})
        out["root_handlers"] = len(root.handlers)
        out["optuna"] = optuna.logging.get_verbosity()
        out["factor_filters"] = [f[2].__name__ for f in warnings.filters if f not in before and f[0] == "ignore"]
        before = list(warnings.filters)
        importlib.import_module({TRADEGATE!r})
        out["classifier_filters"] = [f[2].__name__ for f in warnings.filters if f not in before and f[0] == "ignore" and f[1] is None]
        out["loggers"] = {{m: importlib.import_module(m).logger is shared for m in {LOGGING_MODULES!r}}}
        out["levels"] = [shared.level, logging.getLogger("blib2to3.pgen2.driver").level]
        print(json.dumps(out))
    """)
    # the two subsystem-1 modules do no logging set-up at all
    assert seen["quiet"] == [0, logging.NOTSET, False]
    assert seen["root_handlers"] == 1  # basicConfig ran
    assert seen["optuna"] == logging.WARNING
    assert "ExperimentalWarning" in seen["factor_filters"]
    assert {"UserWarning", "FutureWarning", "ConvergenceWarning"} <= set(seen["classifier_filters"])
    assert seen["loggers"] == {m: True for m in LOGGING_MODULES}
    assert seen["levels"] == [logging.INFO, logging.WARNING]


@pytest.mark.parametrize("module, names", [
    (SCOREBOOK, ["Scorebook", "bootstrapping_resample", "np", "pd", "empyrical", "yf", "sns", "plt", "tabulate"]),
    (COINTPAIRS, ["PairsTradingSerialCointegrationFactor", "Scorebook", "Inference"]),
    (SIGNALSMITH, ["Signalsmith", "SampleWeights", "BOP", "ADX", "APO", "ULTOSC", "HT_DCPHASE"]),
    (TRADEGATE, ["OptimalEntryClassifier", "SampleWeights"]),
    (COINFEED, ["Coinfeed", "Client", "requests", "bs"]),
    (INDEXFEED, ["Indexfeed", "requests", "bs", "yf", "datetime"]),
])
def test_module_level_names(module, names):
    mod = pytest.importorskip(module)
    assert [n for n in names if not hasattr(mod, n)] == []


def test_module_level_names_are_the_libraries():
    import sklearn.utils
    import talib.abstract
    from velmora.factors.technical import cointpairs
    from velmora.utils.inference.inference import Inference
    from velmora.utils.results import scorebook
    from velmora.vodED import signalsmith, tradegate

    assert scorebook.bootstrapping_resample is sklearn.utils.resample
    assert cointpairs.Scorebook is scorebook.Scorebook and cointpairs.Inference is Inference
    assert signalsmith.HT_DCPHASE is talib.abstract.HT_DCPHASE
    assert tradegate.SampleWeights is signalsmith.SampleWeights


def assert_house_form(doc, arguments, name):
    """A summary line, then "Args:" with one "name (type): meaning" entry per argument, in
    order, then "Returns:" with what comes back."""
    assert doc and "DOC HERE" not in doc, name
    lines = doc.splitlines()
    assert lines[0].strip() and not lines[0].startswith(" "), name
    returns = lines.index("Returns:")
    assert lines[returns + 1].startswith("    ") and lines[returns + 1].strip(), name
    if not arguments:
        assert "Args:" not in lines, name
        return
    args = lines.index("Args:")
    assert 0 < args < returns, name
    entries = [line.strip() for line in lines[args + 1:returns] if line.startswith("    ") and line.strip()]
    assert [entry.split(" (", 1)[0] for entry in entries] == arguments, name
    assert all(re.match(r"^\w+ \([^)]+\): \S", entry) for entry in entries), name


def test_documentation_strings():
    from velmora.factors.technical.cointpairs import PairsTradingSerialCointegrationFactor as Factor
    from velmora.vodED.signalsmith import SampleWeights, Signalsmith
    from velmora.vodED.tradegate import OptimalEntryClassifier

    constructor = ["study_name", "storage_name", "n_splits", "n_test_splits", "embargo_td",
                   "X_train_df", "y_train_series", "complete_datetime_index_series",
                   "train_time_of_entry_series", "train_time_of_exit_series", "impact_series"]
    training = constructor[5:]
    for name, arguments in [
        ("__init__", constructor),
        ("restore_mp_variables", constructor),
        ("fit", training + ["n_splits", "n_test_splits", "embargo_td", "factor_name", "storage_name",
                            "n_trials_to_estimate_params", "n_jobs"]),
        ("__fit_single_instance", ["i"]),
        ("__single_instance_optimal_entry_classifier_chimera_fit",
         training[:2] + ["cv_indices_generator"] + training[2:] + ["trial"]),
        ("__check_and_load_optimal_entry_classifier", ["factor_name"]),
        ("predict", ["X"]),
        ("__reduce__", []),
    ]:
        assert_house_form(getattr(OptimalEntryClassifier, name).__doc__, arguments, name)
    assert_house_form(Signalsmith.generate_features_for_pair_spreads.__doc__,
                      ["pair_of_security", "pair_hedge_ratios", "data_column_names_array",
                       "rolling_window_matrix_array"], "generate_features_for_pair_spreads")
    assert Signalsmith.__doc__ is None
    # help() is where a researcher learns the constructor's arguments
    import pydoc
    shown = pydoc.render_doc(OptimalEntryClassifier, renderer=pydoc.plaintext)
    assert all(f"{name} (" in shown for name in constructor)
    assert SampleWeights.__doc__ == "Contains functionality to create, modify and enrich features"
    for method, summary in [
        (SampleWeights.get_sample_uniqueness_weights,
         "Calculates the uniqueness of each sample based on the amount of overlapping domain of the label function"),
        (SampleWeights.fit_transform,
         "Calculates the sample weights of each sample based on the uniqueness and impact of each sample"),
    ]:
        doc = method.__doc__
        assert doc.splitlines()[0] == summary and doc.index("Args:") < doc.index("Returns:")
    for method, summary in [
        (Factor.update, "Updates this factor with the latest available data"),
        (Factor.predict, "Produces the position weights(default) or positions from the latest available data"),
    ]:
        assert summary in method.__doc__.splitlines()


def _scorebook_arguments():
    names = ["starting_equity", "securities_names_list", "datetime_length", "datetime_array",
             "positions_matrix_array", "positions_market_value_matrix_array",
             "change_in_positions_matrix_array", "change_in_positions_market_value_matrix_array",
             "securities_pnl_matrix_array", "commissions_matrix_array", "slippage_matrix_array",
             "securities_pnl_after_transaction_costs_matrix_array",
             "total_pnl_after_transaction_costs_array", "equity_value_array",
             "returns_after_transaction_costs_array", "cumprod_returns_after_transaction_costs_array"]
    arguments = dict.fromkeys(names)
    arguments.update(starting_equity=1.0, datetime_length=0)
    return arguments


def _small_record():
    from velmora.utils.results.scorebook import Scorebook

    arguments = _scorebook_arguments()
    matrices = [n for n in arguments if n.endswith("_matrix_array")]
    arguments.update({n: np.zeros((3, 1)) for n in matrices})
    arguments.update(total_pnl_after_transaction_costs_array=np.zeros(3), equity_value_array=np.ones(3),
                     returns_after_transaction_costs_array=np.zeros(2),
                     cumprod_returns_after_transaction_costs_array=np.ones(2))
    arguments.update(securities_names_list=["A"], datetime_length=3,
                     datetime_array=np.arange(3).astype("datetime64[D]").astype("datetime64[ns]"))
    return Scorebook(**arguments)


class _OfflineCoinfeed:
    """A Coinfeed whose client is a stand-in, so construction needs no exchange."""

    def __new__(cls, *args, **kwargs):
        from velmora.connections.binance.coinfeed import Coinfeed

        class Offline(Coinfeed):
            def initialize_binance_client(self):
                self.binance_client = None

        return Offline(*args, **kwargs)


def _frame():
    return pd.DataFrame(np.ones((4, 4)), columns=["A_close", "A_volume", "B_close", "B_volume"])


def _factor(tmp_path):
    from support.frames import make_ohlcv_frame
    from velmora.factors.technical.cointpairs import PairsTradingSerialCointegrationFactor

    frame = make_ohlcv_frame(n_bars=400, names=["A", "B"], n_cointegrated=2, n_independent=0,
                             freq="1D", start="2021-01-01", tz="UTC", seed=5)
    return PairsTradingSerialCointegrationFactor(
        universe_name="api", raw_OHCLV_dataframe=frame, resolution_in_mins=1440, trading_hours=[],
        trades_only_on_weekdays=False, vodED_signalsmith=None, vodED_tradegate=None,
        securities_names_list=None, objective="latest_cumprod_returns", train_split_ratio=0.8,
        starting_equity=100000.0, pct_equity_invested=0.9, market_value_pct_commissions=0.001,
        bid_ask_spread_pct_slippage=0.5, scale_equity_to_traded_securities=True)


# (label, call) -> None when the call must be accepted, else (exception type, message part).
# Every accepted call uses keywords wherever the method allows them, so a renamed
# parameter fails here; every refused one is a form the method must not take.
def _calls(tmp_path):
    from velmora.connections.yahoo_finance.indexfeed import Indexfeed
    from velmora.utils.filters.tickersieve import Tickersieve
    from velmora.utils.inference.inference import Inference
    from velmora.utils.results.scorebook import Scorebook
    from velmora.vodED.signalsmith import SampleWeights, Signalsmith
    from velmora.vodED.tradegate import OptimalEntryClassifier

    frame, sieve, record = _frame(), Tickersieve(), Scorebook(**_scorebook_arguments())
    factor, classifier, feed = _factor(tmp_path), OptimalEntryClassifier(), _OfflineCoinfeed("k", "s")
    grid = np.arange(6).astype("datetime64[D]")
    names = np.array([f"{s}_{f}" for s in "ABC" for f in ("open", "high", "low", "close", "volume")])
    window = np.exp(np.random.default_rng(0).normal(3.0, 0.01, size=(40, 15)))
    run = getattr(factor, "__run_pairs_trading_serial_cointegration_factor")
    return [
        ("inference by position", lambda: Inference(1, x=2).infer_securities_from_OHCLV_df(frame), None),
        ("inference by keyword", lambda: Inference().infer_securities_from_OHCLV_df(clean_OHCLV_dataframe=frame),
         (TypeError, "")),
        ("sieve keywords", lambda: sieve.filter_without_lookahead(
            clean_OHCLV_dataframe=frame, securities=["A"], pct_of_filtration=0.5,
            number_of_securities_to_keep=1), None),
        ("sieve five positional", lambda: sieve.filter_without_lookahead(frame, ["A"], 0.5, 1, 1), (TypeError, "")),
        ("sieve sort keywords", lambda: getattr(sieve, "__sort_dictionary")(dict_to_sort={"a": 1}, reverse=False), None),
        ("scorebook sixteen keywords", lambda: Scorebook(**_scorebook_arguments()), None),
        ("scorebook fifteen", lambda: Scorebook(*list(_scorebook_arguments().values())[:15]), (TypeError, "")),
        ("score keyword", lambda: record.get_objective_score(objective=5), (TypeError, "Argument 'objective'")),
        ("results keyword", lambda: record.get_full_results(name=5), (TypeError, "Argument 'name'")),
        ("results two positional", lambda: record.get_full_results("a", "b"), (TypeError, "")),
        ("register keyword", lambda: record.register_test_set_results(test_set_results=_small_record()), None),
        ("plot three positional", lambda: record.plot_full_results(True, True, True), (TypeError, "")),
        ("factor four positional", lambda: type(factor)("u", frame, 1440, []), (TypeError, "")),
        ("factor set-up keywords", lambda: factor.initialize_vodED_data_structures(
            vodED_signalsmith=None, vodED_tradegate=None), None),
        ("factor fit keywords", lambda: factor.fit(
            n_trials_to_estimate_params=0, n_jobs=1, fit_vodED=False,
            n_trials_to_estimate_params_for_vodED=1, n_jobs_for_vodED=1),
         (Exception, "n_trials_to_estimate_params cannot be less than 0")),
        ("factor run keywords", lambda: run(trial=None, is_optimising=False, optimal_params=[1],
                                            use_vodED_if_ready=False), (TypeError, "Expected dict, got list")),
        ("factor run five positional", lambda: run(None, False, None, True, 1), (TypeError, "")),
        ("factor update keyword", lambda: factor.update(new_dataframe_of_data=None),
         (Exception, "New row of data is not a pd.core.frame.DataFrame object")),
        ("factor predict five positional", lambda: factor.predict(False, False, 1.0, 5, 1), (TypeError, "")),
        ("features keywords", lambda: Signalsmith().generate_features_for_pair_spreads(
            pair_of_security=("A", "B"), pair_hedge_ratios=(1.0, -1.0),
            data_column_names_array=names, rolling_window_matrix_array=window), None),
        ("features three positional", lambda: Signalsmith().generate_features_for_pair_spreads(
            ("A", "B"), (1.0, -1.0), names), (TypeError, "")),
        ("weights keywords", lambda: SampleWeights().fit_transform(
            complete_datetime_indices_array=grid, training_samples_start_datetime_array=grid[:2],
            training_samples_end_datetime_array=grid[2:4], training_samples_impact_array=np.ones(2)), None),
        ("uniqueness keywords", lambda: SampleWeights().get_sample_uniqueness_weights(
            complete_datetime_indices_array=grid, training_samples_start_datetime_array=grid[:2],
            training_samples_end_datetime_array=grid[2:4]), None),
        ("classifier eleven keywords", lambda: OptimalEntryClassifier(
            study_name=None, storage_name=None, n_splits=10, n_test_splits=3, embargo_td=None,
            X_train_df=None, y_train_series=None, complete_datetime_index_series=None,
            train_time_of_entry_series=None, train_time_of_exit_series=None, impact_series=None), None),
        ("classifier twelve positional", lambda: OptimalEntryClassifier(*range(12)), (TypeError, "")),
        ("classifier restore keywords", lambda: classifier.restore_mp_variables(
            study_name=None, storage_name=None, n_splits=None, n_test_splits=None, embargo_td=None,
            X_train_df=None, y_train_series=None, complete_datetime_index_series=None,
            train_time_of_entry_series=None, train_time_of_exit_series=None, impact_series=None), None),
        ("classifier restore ten", lambda: classifier.restore_mp_variables(*range(10)), (TypeError, "")),
        ("classifier load keyword", lambda: getattr(classifier, "__check_and_load_optimal_entry_classifier")(
            factor_name="NoSuchFactor"), None),
        ("classifier predict keyword", lambda: classifier.predict(X=frame), (TypeError, "")),
        ("classifier single instance keyword", lambda: getattr(classifier, "__fit_single_instance")(i=0),
         (TypeError, "")),
        ("classifier fit five positional", lambda: classifier.fit(*range(5)), (TypeError, "")),
        ("coinfeed keywords", lambda: _OfflineCoinfeed(binance_api_key="k", binance_api_secret="s"), None),
        ("coinfeed one argument", lambda: _OfflineCoinfeed("k"), (TypeError, "")),
        ("coinfeed job keywords", lambda: getattr(feed, "__single_job__get_historical_data_for_single_currency")(
            cryptocurrencies_dict={}, cryptocurrencies=["X"], index=0, binance_interval="1d",
            start_str="1 Jan, 2020", end_str="2 Jan, 2020"), None),
        ("coinfeed download five positional", lambda: feed.get_daily_historical_data_for_cryptocurrencies(
            [], None, None, 1, 1), (TypeError, "")),
        ("coinfeed top coins two positional", lambda: feed.scrape_top_x_coins_from_coingecko(1, 2), (TypeError, "")),
        ("indexfeed three positional", lambda: Indexfeed(1, k=2).get_daily_historical_data_for_uk_FTSE100(
            datetime.datetime(2020, 1, 1), datetime.datetime(2020, 2, 1), 1), (TypeError, "")),
    ]


def test_argument_forms(tmp_path, monkeypatch):
    import yfinance

    monkeypatch.chdir(tmp_path)
    # registering a test record builds its results table against the benchmark; offline here
    monkeypatch.setattr(yfinance, "download", lambda *args, **kwargs: pd.DataFrame())
    failures = []
    for label, call, expected in _calls(tmp_path):
        try:
            call()
        except Exception as error:  # noqa: BLE001 - every outcome is compared below
            if expected is None or not isinstance(error, expected[0]) or expected[1] not in str(error):
                failures.append(f"{label}: {type(error).__name__}: {error}")
        else:
            if expected is not None:
                failures.append(f"{label}: accepted, expected {expected[0].__name__}")
    assert failures == []
