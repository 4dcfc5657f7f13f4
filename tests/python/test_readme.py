"""The README's examples run as written against a pymodbus device at the address they use."""

import pathlib
import re

import pytest

import peers

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"


def examples():
    return re.findall(r"```python\n(.*?)```", README.read_text(), flags=re.S)


@pytest.fixture
def device_on_5020():
    from pymodbus.server import ModbusTcpServer

    context, _ = peers.make_context()
    thread = peers.ServerThread(lambda: ModbusTcpServer(context, address=("127.0.0.1", 5020)))
    peers.wait_listening(5020)
    yield
    thread.stop()


@pytest.mark.parametrize("index", range(len(examples())))
def test_readme_example(index, device_on_5020, capsys):
    source = examples()[index]
    if "print(" not in source:
        exec(compile(source, f"README example {index}", "exec"), {})
        return
    exec(compile(source, f"README example {index}", "exec"), {"__name__": "__main__"})
    out = capsys.readouterr().out
    # Every "# comment" after a print in the example is what that line prints.
    expected = [line.split("# ", 1)[1].split(":")[0].strip()
                for line in source.splitlines() if "print(" in line and "# " in line]
    printed = out.strip().splitlines()
    assert len(printed) == len(expected)
    for got, want in zip(printed, expected):
        assert got.startswith(want.split(" ")[0]), (got, want)
