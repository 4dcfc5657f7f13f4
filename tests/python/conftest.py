import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(__file__))

import peers  # noqa: E402


@pytest.fixture
def pymodbus_tcp():
    thread, port, device = peers.start_tcp_server()
    yield port, device
    thread.stop()


@pytest.fixture
def stream_server():
    server = peers.StreamServer()
    yield server
    server.close()


@pytest.fixture
def silent_server():
    server = peers.SilentServer()
    yield server
    server.close()


@pytest.fixture
def pty_link(tmp_path):
    link = peers.PtyLink(str(tmp_path))
    yield link
    link.close()
