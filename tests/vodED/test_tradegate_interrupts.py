"""What an interrupted parallel search of the entry classifier leaves in its study: no
trial stays RUNNING, and the next search's seeds move past every trial held.

The search runs in a child process on synthetic trades and is stopped with real SIGINTs
(tests/support/interrupts.py)."""

import collections
import pickle

import joblib
import optuna
import pytest

from support.interrupts import (FORMS, assert_stopped_by_the_interrupt, child, interrupt, needs_proc,
                                trial_states, wait_until)
from support.trades import make_trades, stub_objective
from velmora.vodED.tradegate import OptimalEntryClassifier

pytestmark = needs_proc

STUDY_FILE = "S_OptimalEntryClassifier.db"


class Cheap(OptimalEntryClassifier):
    """Every trial draws the cheap pipeline."""


setattr(Cheap, "__single_instance_optimal_entry_classifier_chimera_fit", stub_objective)


def fit(classifier, trades, n_trials, n_jobs):
    classifier.fit(**trades, n_splits=4, n_test_splits=2, factor_name="F", storage_name="S",
                   n_trials_to_estimate_params=n_trials, n_jobs=n_jobs)


@pytest.mark.parametrize("form", FORMS)
def test_an_interrupted_parallel_search_stops_and_leaves_no_trial_running(form, workdir, monkeypatch):
    cwd = workdir / "cwd"
    trades = make_trades()
    with open(cwd / "trades.pkl", "wb") as f:
        pickle.dump(trades, f)
    fit(Cheap(), trades, 1, 1)  # a study that holds a trial: the workers start at once

    # Trials drawn from the whole search space, some of them slow, in two workers.
    log = workdir / "child.log"
    with child("""
import pickle
from velmora.vodED.tradegate import OptimalEntryClassifier
with open("trades.pkl", "rb") as f:
    trades = pickle.load(f)
OptimalEntryClassifier().fit(**trades, n_splits=4, n_test_splits=2, factor_name="F", storage_name="S",
                             n_trials_to_estimate_params=400, n_jobs=2)
""", cwd, log) as process:
        wait_until(lambda: trial_states(str(cwd / STUDY_FILE))["RUNNING"] >= 1, "a trial in a worker")
        interrupt(process, form)
        assert_stopped_by_the_interrupt(process, log)

    left = trial_states(str(cwd / STUDY_FILE))
    assert left["RUNNING"] == 0, left
    # The log ends with one line on the study, after those of the trials marked failed.
    lines = [line for line in log.read_text().splitlines() if "MARKED FAILED" in line or "INTERRUPTED" in line]
    assert lines[-1:] == [f"WARNING: :SEARCH INTERRUPTED: THE TRIALS IT WAS RUNNING ARE MARKED FAILED AND EVERY "
                          f"FINISHED ONE STAYS IN {STUDY_FILE}, SO RUNNING fit AGAIN CONTINUES THE STUDY"
                          " | OPTIMAL ENTRY CLASSIFIER VODED"], lines
    assert sum("INTERRUPTED" in line for line in lines) == 1
    held = sum(left.values())

    # The next search continues the study, its seeds past every trial held, failed ones too.
    seeds = []
    sampler = optuna.samplers.TPESampler

    def recording(**kwargs):
        seeds.append(kwargs["seed"])
        return sampler(**kwargs)

    monkeypatch.setattr(optuna.samplers, "TPESampler", recording)
    with joblib.parallel_config(backend="sequential"):  # the jobs in this process, seen here
        fit(Cheap(), trades, 2, 2)
    assert seeds == [69, 69 + held, 69 + held + 1, 69]
    assert trial_states(str(cwd / STUDY_FILE)) == left + collections.Counter(COMPLETE=2)
