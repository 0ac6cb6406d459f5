"""The classifier's study file: written ahead to a log, and refused, naming the file, when it
is stored with a direction other than maximise or is damaged, before a trial runs or a model
is refitted from it."""

import contextlib
import logging
import os
import sqlite3

import optuna
import pytest
from optuna.distributions import CategoricalDistribution

from support.trades import CHEAP, make_trades, stub_objective
from velmora.vodED.tradegate import OptimalEntryClassifier

STUDY = "F_OptimalEntryClassifier"
STUDY_FILE = "S_OptimalEntryClassifier.db"
URL = "sqlite:///" + STUDY_FILE


class Stub(OptimalEntryClassifier):
    pass


setattr(Stub, "__single_instance_optimal_entry_classifier_chimera_fit", stub_objective)


def fit(n_trials):
    Stub().fit(**make_trades(), n_splits=4, n_test_splits=2, factor_name="F", storage_name="S",
               n_trials_to_estimate_params=n_trials)


def model_written(workdir):
    return (workdir / "vodED" / "saved_models" / (STUDY + ".pkl")).exists()


def test_the_study_is_written_ahead_and_no_log_stays_after_the_fit(workdir):
    fit(2)
    assert not [name for name in os.listdir() if name.endswith(("-wal", "-shm"))]
    with contextlib.closing(sqlite3.connect(STUDY_FILE)) as db:
        assert db.execute("PRAGMA journal_mode").fetchone()[0] == "wal"
    assert len(optuna.load_study(study_name=STUDY, storage=URL).trials) == 2
    assert model_written(workdir)


@pytest.mark.parametrize("n_trials", [1, 0])  # 0: the refit of the best trial alone
def test_a_study_stored_to_minimise_is_refused_before_anything_runs(workdir, caplog, n_trials):
    study = optuna.create_study(study_name=STUDY, storage=URL, direction="minimize")
    study.add_trial(optuna.trial.create_trial(
        params=CHEAP, distributions={k: CategoricalDistribution([v]) for k, v in CHEAP.items()}, value=0.1))
    caplog.set_level(logging.INFO, logger=" ")
    with pytest.raises(ValueError, match=f"^The study {STUDY} in {STUDY_FILE} is stored with direction MINIMIZE, "
                                         "but its searches maximise their objective"):
        fit(n_trials)
    assert len(study.trials) == 1
    assert not model_written(workdir)
    assert not [r for r in caplog.records if "VODED" in r.getMessage()]


def test_a_damaged_study_file_is_refused_naming_it(workdir):
    fit(1)
    with open(STUDY_FILE, "r+b") as f:
        f.write(b"\0" * 100)
    os.remove(workdir / "vodED" / "saved_models" / (STUDY + ".pkl"))
    with pytest.raises(ValueError, match=f"^The study file {STUDY_FILE} is damaged \\(file is not a database\\)"):
        fit(1)
    assert not model_written(workdir)
