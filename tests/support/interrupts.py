"""A search run in a child process and stopped with a real SIGINT, in the two forms a user
sends one: a terminal's Ctrl-C reaches the whole foreground process group (the calling
process and its workers), a notebook's interrupt only the calling process.

The child starts in a session of its own, so that its process group holds it and every
worker it starts, and nothing else. A background job of a non-interactive shell starts
with SIGINT ignored, which the child would inherit: its script restores the default
handler first.
"""

from __future__ import annotations

import collections
import contextlib
import os
import signal
import sqlite3
import subprocess
import sys
import textwrap
import time

import pytest

# terminal Ctrl-C, notebook interrupt
FORMS = ["process group", "calling process"]

needs_proc = pytest.mark.skipif(not os.path.isdir("/proc"), reason="reads processes from /proc")

_PROLOGUE = "import signal\nsignal.signal(signal.SIGINT, signal.default_int_handler)\n"


@contextlib.contextmanager
def child(script, cwd, log_path):
    """Runs `script` in a fresh interpreter with this process's import path, output to
    `log_path`; whatever of its process group still runs at the end is killed."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    with open(log_path, "w") as log:
        process = subprocess.Popen([sys.executable, "-c", _PROLOGUE + textwrap.dedent(script)], cwd=cwd,
                                   env=env, stdout=log, stderr=subprocess.STDOUT, start_new_session=True)
    try:
        yield process
    finally:
        if live_group_members(process.pid):
            os.killpg(process.pid, signal.SIGKILL)
        process.wait()


def interrupt(process, form):
    if form == "process group":
        os.killpg(process.pid, signal.SIGINT)
    else:
        os.kill(process.pid, signal.SIGINT)


def live_group_members(pgid):
    """The processes of group `pgid` that still run (exited ones not yet reaped do not)."""
    members = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue  # gone meanwhile
        state, group = fields[0], int(fields[2])
        if group == pgid and state not in ("Z", "X"):
            members.append(int(entry))
    return members


def wait_until(condition, what, timeout=120.0):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            pytest.fail(f"gave up waiting for {what} after {timeout:.0f} s")
        time.sleep(0.05)


def assert_stopped_by_the_interrupt(process, log_path, timeout=60.0):
    """The child ends by the KeyboardInterrupt within `timeout` seconds, and no process of
    its group (its workers) outlives it for long."""
    try:
        process.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        pytest.fail(f"the search was still running {timeout:.0f} s after the interrupt")
    with open(log_path) as f:
        log = f.read()
    assert process.returncode == -signal.SIGINT, log[-3000:]
    wait_until(lambda: not live_group_members(process.pid), "the workers to end", timeout=30.0)


def trial_states(study_file):
    """How many trials of the study file are in each state; empty while the file or its
    tables do not exist yet."""
    if not os.path.isfile(study_file):
        return collections.Counter()
    try:
        with contextlib.closing(sqlite3.connect(f"file:{study_file}?mode=ro", uri=True, timeout=30)) as db:
            return collections.Counter(state for (state,) in db.execute("SELECT state FROM trials"))
    except sqlite3.OperationalError:
        return collections.Counter()
