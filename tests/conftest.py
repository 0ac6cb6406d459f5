import socket

import pytest

from support.frames import make_ohlcv_frame


_real_connect = socket.socket.connect
_real_create_connection = socket.create_connection


def _is_loopback(address) -> bool:
    if isinstance(address, tuple) and address:
        host = str(address[0])
    else:
        return True  # AF_UNIX paths and the like never leave the machine
    return host in ("localhost", "::1") or host.startswith("127.")


def _guarded_connect(sock, address):
    if sock.family in (socket.AF_INET, socket.AF_INET6) and not _is_loopback(address):
        raise ConnectionRefusedError(f"tests may only connect to loopback, not {address!r}")
    return _real_connect(sock, address)


def _guarded_create_connection(address, *args, **kwargs):
    if not _is_loopback(address):
        raise ConnectionRefusedError(f"tests may only connect to loopback, not {address!r}")
    return _real_create_connection(address, *args, **kwargs)


@pytest.fixture(autouse=True)
def _loopback_only(monkeypatch):
    """No test reaches beyond 127.0.0.1: any other connection fails at once."""
    monkeypatch.setattr(socket.socket, "connect", _guarded_connect)
    monkeypatch.setattr(socket, "create_connection", _guarded_create_connection)


@pytest.fixture
def ohlcv_frame():
    """A small hourly frame: two cointegrated and two independent securities, UTC."""
    return make_ohlcv_frame(n_bars=300, seed=7)


@pytest.fixture
def in_tmp_dir(tmp_path, monkeypatch):
    """Run the test inside a fresh temporary working directory (study files land there)."""
    monkeypatch.chdir(tmp_path)
    return tmp_path
