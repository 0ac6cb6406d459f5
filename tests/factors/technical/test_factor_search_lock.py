"""The lock a search holds on its study, as another user of a shared machine could meet it:
nothing of it in a folder that others can write, nothing followed, created or waited for
that is not the user's own lock file, and a plain message naming the study otherwise."""

import contextlib
import os
import stat
import subprocess
import sys
import tempfile
import time

import optuna
import pytest

from velmora.factors.technical import cointpairs

fcntl = pytest.importorskip("fcntl")

STUDY = "PairsTradingSerialCointegrationFactor"
FILE = "s.db"
URL = "sqlite:///" + FILE
is_root = os.geteuid() == 0


@pytest.fixture
def study_dir(in_tmp_dir):
    os.chmod(in_tmp_dir, 0o700)
    optuna.create_study(study_name=STUDY, storage=URL)
    return in_tmp_dir


@pytest.fixture
def private_tmp(tmp_path_factory, monkeypatch):
    """The temporary folder the private lock folder goes into, instead of the machine's."""
    folder = tmp_path_factory.mktemp("tmp")
    monkeypatch.setattr(tempfile, "tempdir", str(folder))
    return folder


@contextlib.contextmanager
def umask(mask):
    old = os.umask(mask)
    try:
        yield
    finally:
        os.umask(old)


def claim(wait_seconds=1.0):
    return cointpairs._claim_search_lock(STUDY, URL, wait_seconds)


def mode_of(path):
    return stat.S_IMODE(os.lstat(path).st_mode)


def test_the_lock_lies_beside_a_study_in_a_folder_of_the_users_own(study_dir):
    with umask(0):  # as found: a world-writable lock
        path = claim()
    assert os.path.dirname(path) == str(study_dir)
    assert os.path.basename(path).startswith(".velmora-search-")
    assert stat.S_ISREG(os.lstat(path).st_mode) and mode_of(path) == 0o600
    assert claim() == path  # the next search finds the same one


def test_a_study_in_a_folder_others_can_write_keeps_its_lock_in_a_private_folder(study_dir, private_tmp):
    os.chmod(study_dir, 0o777)
    with umask(0):
        path = claim()
    folder = os.path.dirname(path)
    assert folder == str(private_tmp / f"velmora-{os.geteuid()}")
    assert mode_of(folder) == 0o700 and mode_of(path) == 0o600
    assert [p for p in os.listdir(study_dir) if p.endswith(".lock")] == []


def plant_symlink(lock, target):
    os.symlink(target, lock)


def plant_symlink_to_own_file(lock, target):
    target.write_text("export PATH=...\n")
    os.chmod(target, 0o644)
    os.symlink(target, lock)


def plant_chowned_file(lock, target):
    with open(lock, "w"):
        pass
    os.chmod(lock, 0o600)
    os.chown(lock, 4242, 4242)


@pytest.mark.parametrize("plant, why", [
    pytest.param(plant_symlink, "Too many levels of symbolic links", id="symlink to a new file"),
    pytest.param(plant_symlink_to_own_file, "Too many levels of symbolic links", id="symlink to a file of the user's"),
    pytest.param(lambda lock, target: os.mkfifo(lock), "it is not a regular file", id="FIFO"),
    pytest.param(lambda lock, target: os.mkdir(lock), "it is not a regular file", id="directory"),
    pytest.param(lambda lock, target: (open(lock, "w").close(), os.chmod(lock, 0o666)), "its mode is 0o666",
                 id="world-writable file"),
    pytest.param(plant_chowned_file, "it belongs to user id 4242", id="file of another user",
                 marks=pytest.mark.skipif(not is_root, reason="only root can give a file away")),
])
def test_whatever_else_lies_under_the_locks_name_is_refused_at_once(study_dir, tmp_path_factory, plant, why):
    lock = claim()
    os.remove(lock)
    target = tmp_path_factory.mktemp("elsewhere") / "bashrc"
    plant(lock, target)
    before = os.lstat(target) if os.path.lexists(target) else None

    started = time.monotonic()
    with pytest.raises(Exception, match="cannot be used") as refused:
        claim()
    assert time.monotonic() - started < 5
    message = str(refused.value)
    assert lock in message and STUDY in message and why in message and "remove whatever is there" in message
    # Nothing created or changed behind a link.
    if before is None:
        assert not os.path.lexists(target)
    else:
        assert os.lstat(target).st_mode == before.st_mode and target.read_text() == "export PATH=...\n"


@pytest.mark.parametrize("plant, why", [
    pytest.param(lambda folder, elsewhere: os.symlink(elsewhere, folder), "it is not a directory",
                 id="symlink to another folder"),
    pytest.param(lambda folder, elsewhere: open(folder, "w").close(), "it is not a directory", id="file"),
    pytest.param(lambda folder, elsewhere: (os.mkdir(folder), os.chmod(folder, 0o777)), "its mode 0o777 lets others in",
                 id="open to everyone"),
    pytest.param(lambda folder, elsewhere: (os.mkdir(folder, 0o700), os.chown(folder, 4242, 4242)),
                 "it belongs to user id 4242", id="of another user",
                 marks=pytest.mark.skipif(not is_root, reason="only root can give a folder away")),
])
def test_a_private_folder_that_is_not_private_is_refused(study_dir, private_tmp, tmp_path_factory, plant, why):
    os.chmod(study_dir, 0o777)
    elsewhere = tmp_path_factory.mktemp("elsewhere")
    folder = private_tmp / f"velmora-{os.geteuid()}"
    plant(str(folder), str(elsewhere))
    with pytest.raises(Exception, match="is not yours alone, but") as refused:
        claim()
    assert str(folder) in str(refused.value) and why in str(refused.value)
    assert os.listdir(elsewhere) == []


@pytest.fixture
def held_by_another_process(study_dir):
    lock = claim()
    holder = subprocess.Popen(
        [sys.executable, "-c", "import fcntl, os, sys, time\n"
         f"fd = os.open({lock!r}, os.O_RDONLY)\n"
         "fcntl.flock(fd, fcntl.LOCK_EX)\n"
         "print('held', flush=True)\n"
         "time.sleep(120)\n"],
        stdout=subprocess.PIPE, text=True)
    try:
        assert holder.stdout.readline() == "held\n"
        yield lock
    finally:
        holder.kill()
        holder.wait()


def test_a_lock_held_by_another_process_is_waited_for_a_bounded_time(held_by_another_process):
    started = time.monotonic()
    with pytest.raises(Exception, match="for over 0.5 s") as refused:
        claim(wait_seconds=0.5)
    assert 0.5 <= time.monotonic() - started < 5
    message = str(refused.value)
    assert held_by_another_process in message and STUDY in message and FILE in message
    assert "end the process that holds it, or remove the lock file" in message


def test_a_search_refused_its_lock_runs_no_trial(crypto_daily_factor, tmp_path_factory, in_tmp_dir):
    # As found: a symlink planted under the lock's name had the search create its target.
    factor, study_file = crypto_daily_factor
    factor.fit(1)
    lock = cointpairs._claim_search_lock(STUDY, "sqlite:///" + study_file)
    os.remove(lock)
    target = tmp_path_factory.mktemp("elsewhere") / "bashrc"
    os.symlink(target, lock)
    with pytest.raises(Exception, match="cannot be used"):
        factor.fit(1)
    assert not os.path.lexists(target)
    trials = optuna.load_study(study_name=STUDY, storage="sqlite:///" + study_file).trials
    assert len(trials) == 1

    # erase_fit_memory leaves what is not a lock of the library's; a lock of its own goes
    # with the study.
    factor.erase_fit_memory()
    assert os.path.islink(lock)
    os.remove(lock)
    factor.fit(1)
    assert os.path.isfile(lock)
    factor.erase_fit_memory()
    assert os.listdir(in_tmp_dir) == []


@pytest.fixture
def crypto_daily_factor():
    from support.market_data import load_ohlcv
    frame = load_ohlcv("binance_spot_1d_2017-2026", ["BTCUSDT", "ETHUSDT", "LTCUSDT"],
                       start="2020-06-01", end="2021-09-30")
    objective = "latest_cumprod_returns"
    factor = cointpairs.PairsTradingSerialCointegrationFactor("crypto", frame, 1440, [], False, objective=objective)
    return factor, f"crypto_1440_{objective}_0.9_{STUDY}.db"
