"""Connections that stay on the machine: the guard every test runs under, also for the
scripts that tests start in subprocesses."""

import socket

_real_connect = socket.socket.connect
_real_create_connection = socket.create_connection


def is_loopback(address) -> bool:
    if isinstance(address, tuple) and address:
        host = str(address[0])
    else:
        return True  # AF_UNIX paths and the like never leave the machine
    return host in ("localhost", "::1") or host.startswith("127.")


def guarded_connect(sock, address):
    if sock.family in (socket.AF_INET, socket.AF_INET6) and not is_loopback(address):
        raise ConnectionRefusedError(f"tests may only connect to loopback, not {address!r}")
    return _real_connect(sock, address)


def guarded_create_connection(address, *args, **kwargs):
    if not is_loopback(address):
        raise ConnectionRefusedError(f"tests may only connect to loopback, not {address!r}")
    return _real_create_connection(address, *args, **kwargs)


def install() -> None:
    """Guards this process for good (a subprocess's script; tests use the fixture)."""
    socket.socket.connect = guarded_connect
    socket.create_connection = guarded_create_connection
