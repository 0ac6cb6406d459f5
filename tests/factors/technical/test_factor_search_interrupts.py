"""What an interrupted or killed parameter search leaves in the factor's study: no trial
stays RUNNING once the study is searched again, a search running elsewhere on the study
keeps its trials, and the next search's seeds move past every trial held.

The searches run in child processes on the shipped hourly sample and are stopped with
real SIGINTs (tests/support/interrupts.py)."""

import collections
import logging
import sys
from pathlib import Path

import joblib
import optuna
import pandas as pd
import pytest

from factors.technical.factor_helpers import DEFAULT_OBJECTIVE, Factor
from support.interrupts import (FORMS, assert_stopped_by_the_interrupt, child, interrupt, needs_proc,
                                trial_states, wait_until)

pytestmark = needs_proc

SAMPLE = Path(__file__).resolve().parents[3] / "examples" / "data" / "binance_spot_1h_2022-2023.csv.gz"
STUDY_NAME = "PairsTradingSerialCointegrationFactor"
STUDY_FILE = f"crypto_60_{DEFAULT_OBJECTIVE}_0.9_{STUDY_NAME}.db"
# Three pairs of the sample, two years of hourly bars: a trial takes a fraction of a second.
LOAD_SAMPLE = f"""
import pandas as pd
from velmora.factors.technical.cointpairs import PairsTradingSerialCointegrationFactor as Factor
frame = pd.read_csv({str(SAMPLE)!r}, index_col=0, parse_dates=True).iloc[:, :15]
"""


@pytest.fixture(scope="module")
def sample():
    return pd.read_csv(SAMPLE, index_col=0, parse_dates=True).iloc[:, :15]


def make(frame):
    return Factor("crypto", frame, 60, [], False)


def states(directory):
    return trial_states(str(directory / STUDY_FILE))


def record_sampler_seeds(monkeypatch):
    seeds = []
    sampler = optuna.samplers.TPESampler

    def recording(*args, **kwargs):
        if "seed" in kwargs:  # not the default sampler of load_study
            seeds.append(kwargs["seed"])
        return sampler(*args, **kwargs)

    monkeypatch.setattr(optuna.samplers, "TPESampler", recording)
    return seeds


@pytest.mark.parametrize("form", FORMS)
def test_an_interrupted_parallel_search_stops_and_leaves_no_trial_running(form, sample, in_tmp_dir, monkeypatch):
    # As it was found: 400 trials in two workers, interrupted after a few of them.
    log = in_tmp_dir / "child.log"
    with child(LOAD_SAMPLE + """
factor = Factor("crypto", frame, 60, [], False)
factor.fit(n_trials_to_estimate_params=400, n_jobs=2)
""", in_tmp_dir, log) as process:
        wait_until(lambda: (s := states(in_tmp_dir))["COMPLETE"] >= 3 and s["RUNNING"] >= 1,
                   "a few trials done and another one running")
        interrupt(process, form)
        assert_stopped_by_the_interrupt(process, log)

    left = states(in_tmp_dir)
    assert left["RUNNING"] == 0, left
    held = sum(left.values())
    # The log ends with one line on the study, after those of the trials marked failed.
    lines = [line for line in log.read_text().splitlines() if "MARKED FAILED" in line or "INTERRUPTED" in line]
    assert lines[-1:] == [f"WARNING: :SEARCH INTERRUPTED: THE TRIALS IT WAS RUNNING ARE MARKED FAILED AND EVERY "
                          f"FINISHED ONE STAYS IN {STUDY_FILE}, SO RUNNING fit AGAIN CONTINUES THE STUDY"
                          " | PAIRS TRADING SERIAL COINTEGRATION FACTOR 60"], lines
    assert sum("INTERRUPTED" in line for line in lines) == 1

    # The next search continues the study, its seeds past every trial held, failed ones too.
    seeds = record_sampler_seeds(monkeypatch)
    with joblib.parallel_config(backend="sequential"):  # tasks in this process, seen here
        make(sample).fit(2, n_jobs=2)
    assert seeds == [69, 69 + held, 69 + held + 0, 69 + held + 1]
    assert states(in_tmp_dir) == left + collections.Counter(COMPLETE=2)


@pytest.mark.parametrize("other", [
    pytest.param("held.fit(1)", id="search"),
    pytest.param("getattr(held, '__fit_single_instance')(0)", id="task of a parallel search"),
])
def test_trials_of_ended_searches_are_failed_when_no_other_search_runs(other, sample, in_tmp_dir, caplog):
    caplog.set_level(logging.WARNING, logger=" ")
    # A search in another process, held inside its one trial until the file "go" appears.
    log = in_tmp_dir / "child.log"
    with child(LOAD_SAMPLE + """
import os, time
RUN = "__run_pairs_trading_serial_cointegration_factor"

class Held(Factor):
    pass

def held_run(self, trial, *args, **kwargs):
    open("in trial", "w").close()
    deadline = time.monotonic() + 120
    while not os.path.exists("go") and time.monotonic() < deadline:
        time.sleep(0.05)
    return getattr(super(Held, self), RUN)(trial, *args, **kwargs)

setattr(Held, RUN, held_run)
held = Held("crypto", frame, 60, [], False)
""" + other, in_tmp_dir, log) as process:
        wait_until(lambda: (in_tmp_dir / "in trial").exists(), "the other search to be inside its trial")
        # A trial as a killed process leaves it: RUNNING, and nothing will finish it.
        dead = optuna.load_study(study_name=STUDY_NAME, storage=f"sqlite:///{STUDY_FILE}").ask()

        # With the other search running, neither RUNNING trial can be told from its own.
        factor = make(sample)
        factor.fit(1)
        assert states(in_tmp_dir) == {"RUNNING": 2, "COMPLETE": 1}

        (in_tmp_dir / "go").touch()
        process.wait(timeout=120)
        assert process.returncode == 0, log.read_text()[-3000:]
    assert states(in_tmp_dir) == {"RUNNING": 1, "COMPLETE": 2}
    assert not any("LEFT RUNNING" in r.getMessage() for r in caplog.records)

    # Alone on the study, the next search fails the dead process's trial before it starts.
    factor.fit(1)
    trials = optuna.load_study(study_name=STUDY_NAME, storage=f"sqlite:///{STUDY_FILE}").trials
    assert [t.state.name for t in trials] == ["COMPLETE", "FAIL", "COMPLETE", "COMPLETE"]
    assert trials[dead.number].state == optuna.trial.TrialState.FAIL
    # (the sample's single trials may close no trade, which the end of each search tells)
    assert [r.getMessage() for r in caplog.records
            if r.name == " " and "CLOSES NO TRADE IN ITS TRAINING PART" not in r.getMessage()] == [
        f"TRIAL NUM {dead.number} OF STUDY {STUDY_NAME} WAS LEFT RUNNING BY A SEARCH THAT ENDED: MARKED FAILED"]


def test_without_file_locks_a_search_runs_and_leaves_running_trials_alone(sample, in_tmp_dir, monkeypatch):
    # Windows has no fcntl: no search can tell a stale trial from a live one there.
    monkeypatch.setitem(sys.modules, "fcntl", None)
    factor = make(sample)
    factor.fit(1)
    optuna.load_study(study_name=STUDY_NAME, storage=f"sqlite:///{STUDY_FILE}").ask()
    factor.fit(1)
    assert states(in_tmp_dir) == {"RUNNING": 1, "COMPLETE": 2}
