"""The factor's study file as the library keeps it and as it may be found: written ahead to a
log without a disk sync per commit, shared by processes searching at once, erased with its
log; and refused, naming the file, when it is damaged, of another optuna schema, stored
with a direction other than maximise, or holding trials its search does not draw so."""

import contextlib
import logging
import os
import shutil
import sqlite3
import subprocess
import sys
import textwrap
from pathlib import Path

import optuna
import pytest
import sqlalchemy
import sqlalchemy.event
import velmora
from optuna.distributions import CategoricalDistribution, FloatDistribution, IntDistribution

from factors.technical.factor_helpers import daily_frame, fields, make_factor, search_distributions, trading_params

OBJECTIVE = "latest_cumprod_returns"
STUDY = "PairsTradingSerialCointegrationFactor"
STUDY_FILE = f"test_universe_1440_{OBJECTIVE}_0.9_{STUDY}.db"
URL = "sqlite:///" + STUDY_FILE
GOOD = trading_params(40)
TESTS = Path(__file__).resolve().parents[2]


def make():
    return make_factor(daily_frame(), objective=OBJECTIVE)


def trials():
    return optuna.load_study(study_name=STUDY, storage=URL).get_trials(deepcopy=False)


def ran_anything(caplog):
    return any(r.getMessage().startswith(("RUNNING TRIAL", "RUNNING AN IN-SAMPLE RUN")) for r in caplog.records)


# ---------------------------------------------------------------- the write-ahead log

def test_every_connection_writes_ahead_without_a_full_sync_and_erasing_takes_the_log(in_tmp_dir):
    seen = []

    def record(dbapi_connection, connection_record, proxy):
        pragma = dbapi_connection.execute
        seen.append((pragma("PRAGMA journal_mode").fetchone()[0], pragma("PRAGMA synchronous").fetchone()[0]))

    sqlalchemy.event.listen(sqlalchemy.engine.Engine, "checkout", record)
    try:
        factor = make()
        factor.fit(3)
        factor.get_full_backtest_results()
    finally:
        sqlalchemy.event.remove(sqlalchemy.engine.Engine, "checkout", record)
    assert seen and set(seen) == {("wal", 1)}  # 1: NORMAL
    # The library closes what it opened: no log is left beside the study once a call returns.
    assert not [name for name in os.listdir(in_tmp_dir) if name.endswith(("-wal", "-shm"))]
    assert len(trials()) == 3

    # A reader elsewhere keeps the log and its index open; erasing takes them along, so that
    # a new study of that name starts empty instead of reading the old log into itself.
    reader = sqlite3.connect(STUDY_FILE)
    reader.execute("SELECT count(*) FROM trials").fetchone()
    assert os.path.exists(STUDY_FILE + "-wal") and os.path.exists(STUDY_FILE + "-shm")
    factor.erase_fit_memory()
    reader.close()
    for name in (STUDY_FILE, STUDY_FILE + "-wal", STUDY_FILE + "-shm"):
        assert not os.path.exists(name)
    factor.fit(1)
    assert len(trials()) == 1


SEARCH_IN_ITS_OWN_PROCESS = textwrap.dedent("""
    import os, sys, time
    sys.path[:0] = [sys.argv[1], os.path.join(sys.argv[1], "factors", "technical")]
    from factors.technical.factor_helpers import daily_frame, make_factor
    factor = make_factor(daily_frame(), objective=sys.argv[2])
    open("ready-" + sys.argv[3], "w").close()
    while not all(os.path.exists("ready-" + name) for name in ("a", "b")):
        time.sleep(0.01)
    factor.fit(int(sys.argv[4]))
""")


# Unseeded: both make the study file at once (as found: one failed on "table studies already
# exists"); seeded: it exists, as a parallel search makes it before its workers start.
@pytest.mark.parametrize("seeded", [False, True])
def test_two_processes_searching_one_study_at_once_lose_no_trial(in_tmp_dir, seeded):
    if seeded:
        make().fit(1)
    n = 8
    # The library these tests import, wherever the working directory is.
    package_root = str(Path(velmora.__file__).resolve().parents[1])
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [package_root, os.environ.get("PYTHONPATH")])))
    processes = [subprocess.Popen([sys.executable, "-c", SEARCH_IN_ITS_OWN_PROCESS, str(TESTS), OBJECTIVE, name,
                                   str(n)], cwd=in_tmp_dir, env=env, stderr=subprocess.PIPE, text=True)
                 for name in ("a", "b")]
    errors = [p.communicate(timeout=300)[1] for p in processes]
    assert [p.returncode for p in processes] == [0, 0], errors
    assert not any("locked" in e for e in errors)
    held = trials()
    assert sorted(t.number for t in held) == list(range(2 * n + seeded))
    assert all(t.state.is_finished() for t in held)
    with contextlib.closing(sqlite3.connect(STUDY_FILE)) as db:
        assert db.execute("PRAGMA journal_mode").fetchone()[0] == "wal"


# ---------------------------------------------------------------- files refused

def refused_everywhere(caplog, factor=None):
    """The message of each of fit, get_full_backtest_results and predict, each refusing."""
    factor = factor or make()
    caplog.set_level(logging.INFO, logger=" ")
    caplog.clear()
    messages = []
    for call in (lambda: factor.fit(1), factor.get_full_backtest_results, factor.predict):
        with pytest.raises(ValueError) as refused:
            call()
        messages.append(str(refused.value))
    assert not ran_anything(caplog)
    assert fields(factor)["optimal_params"] is None
    return messages


def plant(params=GOOD, distributions=None, direction="maximize", value=1.0):
    study = optuna.create_study(study_name=STUDY, storage=URL, directions=direction.split(","), load_if_exists=True)
    distributions = distributions or search_distributions(100)
    values = [value] * len(study.directions)
    study.add_trial(optuna.trial.create_trial(params=params, distributions=distributions, values=values))


@pytest.mark.parametrize("direction", ["minimize", "maximize,maximize"])
def test_a_study_not_stored_to_maximise_is_refused_before_anything_runs(in_tmp_dir, caplog, direction):
    plant(direction=direction)
    stored = ", ".join(d.upper() for d in direction.split(","))
    for message in refused_everywhere(caplog):
        assert message.startswith(f"The study {STUDY} in {STUDY_FILE} is stored with direction {stored}, but its "
                                  "searches maximise their objective")
    assert len(trials()) == 1


def damage_header(path):
    with open(path, "r+b") as f:
        f.write(b"not a database at all" * 5)


def damage_pages(path):
    """A b-tree page past the schema overwritten: the file opens, its trials cannot be read."""
    with open(path, "r+b") as f:
        f.seek(4096 * 10)
        f.write(b"\xff" * 64)


@pytest.mark.parametrize("damage, said", [(damage_header, "file is not a database"),
                                          (damage_pages, "database disk image is malformed")])
def test_a_damaged_study_file_is_refused_naming_it(in_tmp_dir, caplog, damage, said):
    make().fit(3)
    damage(STUDY_FILE)
    before = Path(STUDY_FILE).read_bytes()
    for message in refused_everywhere(caplog):
        assert message.startswith(f"The study file {STUDY_FILE} is damaged ({said}): restore it from a copy")
    assert Path(STUDY_FILE).read_bytes() == before


def test_a_study_file_of_another_optuna_schema_is_refused_naming_it(in_tmp_dir, caplog):
    make().fit(2)
    with sqlite3.connect(STUDY_FILE) as db:
        db.execute("UPDATE alembic_version SET version_num = 'v3.0.0.d'")
    for message in refused_everywhere(caplog):
        assert message.startswith(f"The study file {STUDY_FILE} holds tables of another optuna release's schema")
        assert "no longer compatible with the table schema" in message  # optuna's own words follow
        assert f"optuna storage upgrade --storage {URL}" in message


# ---------------------------------------------------------------- distributions

OTHER_DISTRIBUTIONS = [
    # As found: fit failed inside optuna ("Cannot set different distribution kind to the same
    # parameter name.") and appended a failed trial; the backtest ran on the trial.
    pytest.param("starting_sd_for_position_entry", CategoricalDistribution([1, 2, 3]), id="kind"),
    pytest.param("zscore_halflife_multiplier", FloatDistribution(0.01, 10.0, log=True), id="log"),
    pytest.param("starting_sd_for_position_entry", IntDistribution(1, 10, log=True), id="integer log"),
    pytest.param("take_profit_std_multiplier", FloatDistribution(0.01, 20.0), id="upper bound"),
    pytest.param("take_profit_std_multiplier", FloatDistribution(0.001, 10.0), id="lower bound"),
    pytest.param("stop_loss_std_multiplier", FloatDistribution(0.01, 10.0, step=0.01), id="step"),
    pytest.param("size_of_rolling_windows", IntDistribution(20, 100), id="window lower bound"),
    pytest.param("size_of_rolling_windows", IntDistribution(31, 100, step=3), id="window step"),
]


@pytest.mark.parametrize("name, distribution", OTHER_DISTRIBUTIONS)
def test_a_best_trial_drawn_from_other_distributions_is_refused_by_fit_and_backtest(
        in_tmp_dir, caplog, name, distribution):
    plant(distributions=dict(search_distributions(100), **{name: distribution}))
    factor = make()
    caplog.set_level(logging.INFO, logger=" ")
    for call in (lambda: factor.fit(1), factor.get_full_backtest_results):
        with pytest.raises(ValueError) as refused:
            call()
        message = str(refused.value)
        assert message.startswith(f"The best trial of the study in {STUDY_FILE} cannot be used: its parameter "
                                  f"'{name}' was drawn from {distribution!r}, where the search draws it from ")
        assert "erase it (erase_fit_memory) and run fit again" in message
    assert not ran_anything(caplog)
    assert [t.state.name for t in trials()] == ["COMPLETE"]


def test_a_window_bound_any_rows_allow_is_the_searchs_and_a_foreign_trial_elsewhere_is_refused(in_tmp_dir, caplog):
    factor = make()
    rows = fields(factor)["number_of_rows"]
    # Trials drawn when the factor held fewer or more rows: the window's bound followed them.
    for high, value in [(31, 0.5), (rows // 2 - 7, 2.0), (10 * rows, 1.0)]:
        plant(params=dict(GOOD, size_of_rolling_windows=31), distributions=search_distributions(high), value=value)
    assert factor.get_full_backtest_results() is not None
    factor.fit(1)
    assert len(trials()) == 4

    # A foreign trial that is not the best still keeps the search from going on in the study.
    plant(distributions=dict(search_distributions(100), time_stop_adjustment_sensitivity=FloatDistribution(0.0, 10.0)),
          value=-1.0)
    with pytest.raises(ValueError, match=f"^Trial 4 of the study in {STUDY_FILE} is no trial of its search: its "
                                         "parameter 'time_stop_adjustment_sensitivity' was drawn from "
                                         r"FloatDistribution\(high=10.0, log=False, low=0.0, step=None\)"):
        factor.fit(1)
    assert len(trials()) == 5
    assert factor.get_full_backtest_results() is not None  # the best trial is the search's
