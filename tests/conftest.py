import socket

import pytest

from support.frames import make_ohlcv_frame
from support.loopback import guarded_connect, guarded_create_connection


@pytest.fixture(autouse=True)
def _loopback_only(monkeypatch):
    """No test reaches beyond 127.0.0.1: any other connection fails at once."""
    monkeypatch.setattr(socket.socket, "connect", guarded_connect)
    monkeypatch.setattr(socket, "create_connection", guarded_create_connection)


@pytest.fixture
def ohlcv_frame():
    """A small hourly frame: two cointegrated and two independent securities, UTC."""
    return make_ohlcv_frame(n_bars=300, seed=7)


@pytest.fixture
def in_tmp_dir(tmp_path, monkeypatch):
    """Run the test inside a fresh temporary working directory (study files land there)."""
    monkeypatch.chdir(tmp_path)
    return tmp_path
