"""Live use with a meta-label model and refits made elsewhere: the model file as it is now,
best trials of any window the bars allow, the no-trade warning, and verdicts reused by reruns.

The oracle of every book is the rolling walk of a factor holding the history and every live
bar at once, with the model version then in use (as in test_factor_live.py)."""

import hashlib
import json
import logging
import os
import pickle
import subprocess
import sys
from itertools import combinations

import numpy as np
import optuna
import pytest

from factors.technical.factor_helpers import Factor, fields, search_distributions, set_mangled, trading_params
from support.market_data import load_ohlcv
from velmora.factors.technical import cointpairs

OBJECTIVE = "latest_cumprod_returns"
STUDY_NAME = "PairsTradingSerialCointegrationFactor"
STUDY_FILE = f"crypto_1440_{OBJECTIVE}_0.9_{STUDY_NAME}.db"
MODEL_FILE = f"../vodED/saved_models/{STUDY_NAME}_OptimalEntryClassifier.pkl"
NAMES = ["BTCUSDT", "ETHUSDT", "LTCUSDT", "XRPUSDT"]
PAIRS = list(combinations(NAMES, 2))
N_FIT = 400
PARAMS = trading_params(40)


@pytest.fixture(scope="module")
def crypto_daily():
    return load_ohlcv("binance_spot_1d_2017-2026", NAMES, start="2020-06-01", end="2021-12-31")


@pytest.fixture
def workdir(tmp_path, monkeypatch):
    """A working directory whose ../vodED belongs to this test alone."""
    work = tmp_path / "work"
    (tmp_path / "vodED" / "saved_models").mkdir(parents=True)
    work.mkdir()
    monkeypatch.chdir(work)
    return work


class KeyedSignalsmith:
    """Features that name the entry they were computed for: its pair and its window's last row."""

    def generate_features_for_pair_spreads(self, pair_of_security, pair_hedge_ratios, data_column_names_array,
                                           rolling_window_matrix_array):
        last = np.asarray(rolling_window_matrix_array)[-1]
        return {"f_pair": np.float64(PAIRS.index(tuple(pair_of_security))), "f_last_first_column": np.float64(last[0])}


class VersionedTradegate:
    """A classifier whose model is a version number: each version vetoes another third of the
    entries, judged on their features alone. Every entry it judges is recorded."""

    def __init__(self, version=1):
        self.version = version
        self.judged = []

    def predict(self, X):
        key = (int(X["f_pair"].iloc[0]), float(X["f_last_first_column"].iloc[0]))
        self.judged.append(key)
        digest = hashlib.sha256(f"model {self.version}: {key!r}".encode()).digest()
        return int(digest[0] % 3 != 0)


set_mangled(VersionedTradegate, "__check_and_load_optimal_entry_classifier", lambda self, factor_name="": True)


class FileTradegate(VersionedTradegate):
    """The same, loading its version from the model file; a file it cannot read is refused
    as the library's classifier refuses one, keeping the model it holds."""


def load_from_file(self, factor_name=""):
    if not os.path.isfile(MODEL_FILE):
        return False
    with open(MODEL_FILE) as file:
        try:
            self.version = json.load(file)["version"]
        except ValueError as error:
            raise pickle.UnpicklingError(f"{MODEL_FILE} is no model file: {error}") from None
    return True


set_mangled(FileTradegate, "__check_and_load_optimal_entry_classifier", load_from_file)

WRITE = "import sys; open(sys.argv[1], 'w').write(sys.argv[2])"


def rewrite_elsewhere(text):
    subprocess.run([sys.executable, "-c", WRITE, MODEL_FILE, text], check=True)


def make(frame, tradegate=None, **kwargs):
    meta = {} if tradegate is None else dict(vodED_signalsmith=KeyedSignalsmith(), vodED_tradegate=tradegate)
    return Factor("crypto", frame, 1440, [], False, objective=OBJECTIVE, market_value_pct_commissions=0.0,
                  bid_ask_spread_pct_slippage=0.0, **meta, **kwargs)


def plant(params, value):
    """A trial as a search on a longer history writes it (its window may pass half these bars)."""
    study = optuna.create_study(study_name=STUDY_NAME, storage="sqlite:///" + STUDY_FILE, direction="maximize",
                                load_if_exists=True)
    distributions = search_distributions(params["size_of_rolling_windows"])
    study.add_trial(optuna.trial.create_trial(params=params, distributions=distributions, value=value))


def oracle_weights(frame, n_live, params, version=None):
    """Row j: the weights to hold after the first N_FIT + j bars, with model `version` (None: no model)."""
    oracle = make(frame.iloc[:N_FIT], None if version is None else VersionedTradegate(version))
    oracle.update(frame.iloc[N_FIT:N_FIT + n_live + 1])
    positions = cointpairs._run_walk(oracle, params)
    values = positions[N_FIT:N_FIT + n_live + 1] * fields(oracle)["close_matrix_array"][N_FIT - 1:N_FIT + n_live]
    gross = np.abs(values).sum(axis=1, keepdims=True)
    return np.divide(values, gross, out=values.copy(), where=gross != 0), oracle


def messages(caplog, head):
    return [r.getMessage() for r in caplog.records if r.getMessage().startswith(head)]


def test_a_model_file_rewritten_elsewhere_is_traded_whatever_the_tolerance(crypto_daily, workdir, caplog):
    """Live factors at tolerances 0 (a rerun at every predict) and 10^9 (stepping) hold the
    same book, that of the model file as it is now: a rewrite is loaded once, with one line
    naming the file; a file the classifier refuses, or one gone away, keeps the model held,
    with one line saying which."""
    plant(PARAMS, 1.0)
    rewrite_elsewhere(json.dumps({"version": 1}))
    n_live = 14
    # Versions whose vetoes hold positions over the live bars, each another book than the last.
    events = {3: json.dumps({"version": 3}), 6: "not a model", 9: None, 11: json.dumps({"version": 8})}
    in_use = [1] * 3 + [3] * 8 + [8] * 4  # the version each bar j trades
    oracles = {v: oracle_weights(crypto_daily, n_live, PARAMS, v)[0] for v in set(in_use)}
    for before, v in ((1, 3), (3, 8)):
        used = [j for j in range(n_live + 1) if in_use[j] == v]
        assert not np.array_equal(oracles[v][used], oracles[before][used]), "the versions must hold other books"

    live = {tolerance: make(crypto_daily.iloc[:N_FIT], FileTradegate(0)) for tolerance in (0, 10 ** 9)}
    caplog.set_level(logging.INFO, logger=" ")
    for j in range(n_live + 1):
        if j in events:
            if events[j] is None:
                os.remove(MODEL_FILE)
            else:
                rewrite_elsewhere(events[j])
        for tolerance, factor in live.items():
            if j:
                factor.update(crypto_daily.iloc[[N_FIT + j - 1]])
            got = factor.predict(return_arrays=True, number_of_minutes_away_before_needing_to_rerun=tolerance)
            np.testing.assert_array_equal(got, oracles[in_use[j]][j], err_msg=f"bar {j}, tolerance {tolerance}")
    suffix = " | PAIRS TRADING SERIAL COINTEGRATION FACTOR 1440"
    assert messages(caplog, "MODEL FILE") == (
        [f"MODEL FILE {MODEL_FILE} LOADED: RERUNNING THE BACKTEST WITH ITS MODEL{suffix}"] * 2
        + [f"MODEL FILE {MODEL_FILE} CANNOT BE LOADED (UnpicklingError: {MODEL_FILE} is no model file: Expecting "
           f"value: line 1 column 1 (char 0)): TRADING ON WITH THE MODEL HELD{suffix}"] * 2
        + [f"MODEL FILE {MODEL_FILE} HAS GONE AWAY: TRADING ON WITH THE MODEL HELD{suffix}"] * 2
        + [f"MODEL FILE {MODEL_FILE} LOADED: RERUNNING THE BACKTEST WITH ITS MODEL{suffix}"] * 2)


def test_a_rerun_asks_the_classifier_only_about_new_entries(crypto_daily, workdir, capsys):
    """At tolerance 0 every predict reruns the whole backtest: each entry is judged once in
    the whole loop, and the book and the trades stay those of the full backtest."""
    plant(PARAMS, 1.0)
    n_live = 12
    expected, oracle = oracle_weights(crypto_daily, n_live, PARAMS, version=1)
    tradegate = VersionedTradegate(1)
    factor = make(crypto_daily.iloc[:N_FIT], tradegate)
    capsys.readouterr()
    for j in range(n_live + 1):
        if j:
            factor.update(crypto_daily.iloc[[N_FIT + j - 1]])
        got = factor.predict(return_arrays=True, number_of_minutes_away_before_needing_to_rerun=0)
        np.testing.assert_array_equal(got, expected[j], err_msg=f"bar {j}")
    assert len(tradegate.judged) == len(set(tradegate.judged)), "an entry was judged twice"
    # The oracle's one walk judged the same entries (its last window is the live factor's
    # last step); a reused verdict prints no prediction line.
    walked = fields(oracle)["vodED_tradegate"].judged
    assert sorted(tradegate.judged) == sorted(walked) and len(walked) > 2 * n_live
    assert capsys.readouterr().out.count("| PREDICTION: ") == len(tradegate.judged)

    # A new model judges every entry again: nothing of the old one's verdicts is reused.
    before = len(tradegate.judged)
    tradegate.version = 2
    factor.initialize_vodED_data_structures(KeyedSignalsmith(), tradegate)
    factor.update(crypto_daily.iloc[[N_FIT + n_live]])
    factor.predict(number_of_minutes_away_before_needing_to_rerun=0)
    assert len(tradegate.judged) - before >= len(walked)


def test_a_refit_on_a_longer_history_is_traded_or_held_with_its_line(crypto_daily, workdir, caplog):
    """A best trial whose window passes half the bars the live factor holds is traded while
    the bars can walk it; one they cannot is held against with one line, the parameters
    held going on, at every predict and tolerance, and no exception."""
    plant(PARAMS, 1.0)
    n_live = 8
    live = {tolerance: make(crypto_daily.iloc[:N_FIT]) for tolerance in (5, 10 ** 9)}
    longer = trading_params(N_FIT // 2 + 30)  # as a search on 460 bars or more may draw it
    beyond = trading_params(N_FIT + 5)  # leaves too few bars to score: this factor cannot trade it
    traded = {"held": oracle_weights(crypto_daily, n_live, PARAMS)[0],
              "longer": oracle_weights(crypto_daily, n_live, longer)[0]}
    assert not np.array_equal(traded["held"][3:], traded["longer"][3:])
    caplog.set_level(logging.INFO, logger=" ")
    for j in range(n_live + 1):
        if j == 3:
            plant(longer, 2.0)
        if j == 6:
            plant(beyond, 3.0)
        for tolerance, factor in live.items():
            if j:
                factor.update(crypto_daily.iloc[[N_FIT + j - 1]])
            got = factor.predict(return_arrays=True, number_of_minutes_away_before_needing_to_rerun=tolerance)
            np.testing.assert_array_equal(got, traded["held" if j < 3 else "longer"][j], err_msg=f"bar {j}")
    held = messages(caplog, "BEST TRIAL 2 OF THE STUDY CANNOT BE TRADED BY THIS FACTOR")
    assert len(held) == 2 and "erase" not in held[0]
    assert f"its 'size_of_rolling_windows' is {N_FIT + 5}, and the 406 bars it holds walk windows of at most 400" \
        in held[0]
    assert held[0].endswith("TRADING ON WITH THE PARAMETERS HELD | PAIRS TRADING SERIAL COINTEGRATION FACTOR 1440")


NO_TRADE = "THE BEST RUN CLOSES NO TRADE IN ITS TRAINING PART"


@pytest.mark.parametrize("params, warned", [(PARAMS, False), (trading_params(40, starting_sd_for_position_entry=10),
                                                                True)], ids=["trading", "never-entering"])
def test_the_no_trade_warning_reads_the_trades_the_run_made(crypto_daily, workdir, caplog, params, warned):
    """Reruns store only the trades not held already: the warning must read what the run
    closed, so that it never fires on a trading loop, and fires at every rerun of a best run
    that truly closes none."""
    plant(params, 1.0)
    factor = make(crypto_daily.iloc[:N_FIT])
    caplog.set_level(logging.INFO, logger=" ")
    for j in range(6):
        if j:
            factor.update(crypto_daily.iloc[[N_FIT + j - 1]])
        caplog.clear()
        factor.predict(number_of_minutes_away_before_needing_to_rerun=5)
        assert messages(caplog, "RUNNING AN IN-SAMPLE RUN"), "every predict reruns here"
        assert bool(messages(caplog, NO_TRADE)) == warned, f"predict {j}"
    assert bool(fields(factor)["trade_store"]) != warned


def test_a_model_file_the_library_refuses_leaves_the_factor_trading(crypto_daily, workdir, caplog):
    """The library's own classifier, through its own checks: a model file written elsewhere
    that it refuses is said once, and predict goes on with what it held (here no model)."""
    from velmora.vodED.tradegate import OptimalEntryClassifier

    plant(PARAMS, 1.0)
    expected = oracle_weights(crypto_daily, 3, PARAMS)[0]
    factor = make(crypto_daily.iloc[:N_FIT], OptimalEntryClassifier())
    caplog.set_level(logging.INFO, logger=" ")
    for j in range(4):
        if j == 1:
            subprocess.run([sys.executable, "-c", "import sys; open(sys.argv[1], 'wb').write(b'garbage')", MODEL_FILE],
                           check=True)
        if j:
            factor.update(crypto_daily.iloc[[N_FIT + j - 1]])
        got = factor.predict(return_arrays=True, number_of_minutes_away_before_needing_to_rerun=0)
        np.testing.assert_array_equal(got, expected[j], err_msg=f"bar {j}")
    refused = messages(caplog, "MODEL FILE")
    assert len(refused) == 1 and refused[0].startswith(f"MODEL FILE {MODEL_FILE} CANNOT BE LOADED (UnpicklingError: ")
    assert refused[0].endswith("TRADING ON WITH THE MODEL HELD | PAIRS TRADING SERIAL COINTEGRATION FACTOR 1440")
    assert not fields(factor)["vodED_ready"]
