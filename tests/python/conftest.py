import os
import shutil
import sys
import tempfile

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
def pty_link():
    # Port paths are limited to 64 bytes, so the links live in a short directory.
    directory = tempfile.mkdtemp(prefix="ty", dir="/tmp")
    link = peers.PtyLink(directory)
    yield link
    link.close()
    shutil.rmtree(directory, ignore_errors=True)
