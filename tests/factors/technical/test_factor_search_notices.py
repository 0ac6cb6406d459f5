"""What a search says about its failed trials: the run's own line, once per trial it fails on
purpose, with optuna's repeats of it left out, in this process and in worker processes;
everything else optuna says still shows, and its logging is as the caller left it."""

import logging
import os
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import optuna
import pytest

import velmora

from factors.technical.factor_helpers import DEFAULT_OBJECTIVE, Factor, trading_params
from support.market_data import load_ohlcv, require_shared_data

RUN = "__run_pairs_trading_serial_cointegration_factor"
TESTS = Path(__file__).resolve().parents[2]
STUDY_NAME = "PairsTradingSerialCointegrationFactor"
FAIL, COMPLETE = optuna.trial.TrialState.FAIL, optuna.trial.TrialState.COMPLETE


def study_in(folder, universe):
    name = f"{universe}_1440_{DEFAULT_OBJECTIVE}_0.9_{STUDY_NAME}.db"
    return optuna.load_study(study_name=STUDY_NAME, storage=f"sqlite:///{folder / name}")


# With three times the equity invested and commissions of twice the traded value most trials
# are ruined in training: always a fresh study's first trial (seed 69), and in a parallel
# search also the first worker task, which draws the seeding trial's parameters again.
SEARCH = textwrap.dedent('''
    import sys
    sys.path.append(sys.argv[1])
    from support.market_data import load_ohlcv
    from velmora.factors.technical.cointpairs import PairsTradingSerialCointegrationFactor as Factor
    frame = load_ohlcv("binance_spot_1d_2017-2026", ["BTCUSDT", "ETHUSDT", "LTCUSDT", "XRPUSDT"],
                       start="2020-06-01", end="2021-09-30")
    Factor("harsh", frame, 1440, [], False, pct_equity_invested=3.0,
           market_value_pct_commissions=2.0).fit(4, n_jobs=int(sys.argv[2]))
''')


@pytest.mark.parametrize("n_jobs", [1, 2])
def test_each_failed_trial_is_reported_once_by_the_run_itself(tmp_path, n_jobs):
    require_shared_data()
    # One stream, as a terminal shows it; worker processes write to it too. The package is
    # the one under test, wherever it was imported from.
    env = dict(os.environ, PYTHONPATH=str(Path(velmora.__file__).resolve().parents[1]))
    run = subprocess.run([sys.executable, "-c", SEARCH, str(TESTS), str(n_jobs)], cwd=tmp_path, env=env,
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=600)
    assert run.returncode == 0, run.stdout
    lines = run.stdout.splitlines()
    trials = study_in(tmp_path, "harsh").trials
    failed = [t.number for t in trials if t.state == FAIL]
    assert len(trials) == 4 and failed and all(t.values is None for t in trials if t.state == FAIL)
    if n_jobs == 2:
        assert max(failed) > 0  # the seeding trial alone is run here: this one ran in a worker

    mentions = [(line, m) for line in lines
                if (m := re.search(r"FAILED TRIAL NUM (\d+)|Trial (\d+) failed", line))]
    assert sorted(int(m.group(1) or m.group(2)) for _, m in mentions) == failed
    assert all(line.startswith("WARNING: :FAILED TRIAL NUM ") and "BANKRUPT" in line for line, _ in mentions)


def optuna_logging_state():
    """Every optuna logger's settings, as the caller's configuration holds them."""
    manager = logging.Logger.manager
    loggers = {name: logger for name, logger in manager.loggerDict.items()
               if name.startswith("optuna") and isinstance(logger, logging.Logger)}
    loggers["optuna"] = logging.getLogger("optuna")
    return {name: (logger.level, logger.propagate, logger.disabled, list(logger.filters), list(logger.handlers))
            for name, logger in loggers.items()}


class Scripted(Factor):
    """Runs the factor's trial, except on the calls its script names: there it answers NaN
    itself (a failure the run did not report) or raises."""
    script = {}
    calls = 0


def _scripted_run(self, trial, is_optimising=True, optimal_params=None, use_vodED_if_ready=True):
    call = type(self).calls
    type(self).calls += 1
    if call in type(self).script:
        return type(self).script[call]()
    return Factor.__dict__[RUN](self, trial, is_optimising, optimal_params, use_vodED_if_ready)


setattr(Scripted, RUN, _scripted_run)


def nan():
    return float("nan")


def raises(error):
    def run():
        raise error
    return run


@pytest.fixture(scope="module")
def crypto_daily():
    return load_ohlcv("binance_spot_1d_2017-2026", ["BTCUSDT", "ETHUSDT", "LTCUSDT", "XRPUSDT"],
                      start="2020-06-01", end="2021-09-30")


@pytest.fixture
def optuna_records():
    """What optuna's loggers pass on to handlers, recorded at its root logger."""
    records = []

    class Recorder(logging.Handler):
        def emit(self, record):
            records.append(record.getMessage())

    recorder = Recorder(level=logging.DEBUG)
    root = logging.getLogger("optuna")
    root.addHandler(recorder)
    yield records
    root.removeHandler(recorder)


@pytest.mark.parametrize("last, error", [
    (None, None),                                          # the search ends normally
    (raises(ValueError("a real error")), ValueError),      # an error ends it
    (raises(KeyboardInterrupt()), KeyboardInterrupt),      # so does Ctrl-C
])
def test_other_optuna_messages_still_show_and_its_logging_is_left_as_it_was(
        crypto_daily, in_tmp_dir, caplog, optuna_records, last, error):
    caplog.set_level(logging.INFO, logger=" ")
    # Trial 0 is ruined in training (1 % commissions on three times the equity), 1 survives,
    # 2 is answered NaN by the override and 3 ends as the case says.
    factor = Scripted("crypto", crypto_daily, 1440, [], False, pct_equity_invested=3.0,
                      market_value_pct_commissions=0.01)
    Scripted.calls, Scripted.script = 0, {2: nan, **({3: last} if last else {})}
    storage = f"sqlite:///crypto_1440_{DEFAULT_OBJECTIVE}_0.9_{STUDY_NAME}.db"
    queue = optuna.create_study(study_name=STUDY_NAME, storage=storage, direction="maximize")
    for w in (40, 240, 240, 240):
        queue.enqueue_trial(trading_params(w))
    emitting = logging.getLogger("optuna.study._optimize")
    callers_own = logging.Filter()
    emitting.addFilter(callers_own)
    try:
        before = optuna_logging_state()
        if error is None:
            factor.fit(4)
        else:
            with pytest.raises(error):
                factor.fit(4)
        assert optuna_logging_state() == before
    finally:
        emitting.removeFilter(callers_own)

    states = [t.state for t in optuna.load_study(study_name=STUDY_NAME, storage=storage).trials]
    assert states[:3] == [FAIL, COMPLETE, FAIL] and states[3] == (COMPLETE if error is None else FAIL)
    own = [r.getMessage() for r in caplog.records if r.name == " " and "FAILED TRIAL" in r.getMessage()]
    assert len(own) == 1 and own[0].startswith("FAILED TRIAL NUM 0: BANKRUPT")
    failures = [m for m in optuna_records if re.match(r"Trial \d+ failed", m)]
    assert [m.split(" failed")[0] for m in failures] == ["Trial 2", "Trial 2"] + (["Trial 3"] * 2 if error else [])
    assert failures[0].endswith("because of the following error: The value nan is not acceptable.")
    if error:
        assert f"because of the following error: {error.__name__}(" in failures[2]
