"""Simulator: what it serves, the ports and folders it takes, and that it leaves none behind."""

import json
import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import time

import pytest
from pymodbus.client import ModbusTcpClient

import kelvaro64 as kv

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
PACKAGE_PATH = os.path.dirname(os.path.dirname(os.path.abspath(kv.__file__)))


def holding(port, first, count):
    client = ModbusTcpClient("127.0.0.1", port=port)
    try:
        assert client.connect()
        return client.read_holding_registers(first - 1, count, slave=1).registers
    finally:
        client.close()


def eventually(condition, seconds=20.0):
    """Waits for what another process does after ours: True once the condition holds."""
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.05)
    return True


def running(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    return True


def port_free(port, kind=socket.SOCK_STREAM):
    with socket.socket(socket.AF_INET, kind) as s:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            s.bind(("0.0.0.0", port))
        except OSError:
            return False
        return True


def assert_nothing_left(pid, folder, ports):
    assert eventually(lambda: not running(pid)), "kelvaro64-headless %d still runs" % pid
    assert eventually(lambda: not os.path.exists(folder)), folder
    assert all(port_free(p) for p in ports), ports


def test_two_simulators_in_one_test_serve_their_own_values(kelvaro64_factory):
    a = kelvaro64_factory(documents=[kv.Simulator.block(1, 3, 1, 10, [111, 112])])
    b = kelvaro64_factory(documents=[{"unit": 1, "type": 3, "first": 1, "count": 10, "values": [221, 222]}])
    assert len({a.tcp_port, b.tcp_port, a.automation_port, b.automation_port}) == 4
    assert a.folder != b.folder
    assert holding(a.tcp_port, 1, 2) == [111, 112]
    assert holding(b.tcp_port, 1, 2) == [221, 222]
    a.client.write_point(1, 40001, 5)
    assert (holding(a.tcp_port, 1, 1), holding(b.tcp_port, 1, 1)) == ([5], [221])


def test_a_setup_with_extras_and_the_other_servers():
    extras = {"faults": [{"name": "busy", "unit": 1, "action": "exception", "code": 6, "times": 1}]}
    with kv.Simulator(setup=os.path.join(ROOT, "examples", "demo.tst"), extras=extras, udp_port=0,
                      rtu_over_tcp_port=0) as sim:
        assert sim.client.read(1, 40001, "float32") == pytest.approx(3.14159)
        assert [f["name"] for f in sim.client.list_faults()] == ["busy"]
        bound = {s["protocol"]: s["bound_port"] for s in sim.client.list_servers()}
        assert bound == {"udp": sim.udp_port, "rtu-over-tcp": sim.rtu_over_tcp_port}
        assert "restored: " in sim.log
        # The set-up's own port is replaced by the one chosen for this run.
        assert "open: Modbus/TCP server (port %d)" % sim.tcp_port in sim.log
        assert os.listdir(os.path.join(sim.folder, "xdg_config_home")) in ([], ["Orvane"])
    assert_nothing_left(sim.pid, sim.folder, [sim.tcp_port, sim.automation_port, sim.rtu_over_tcp_port])
    assert port_free(sim.udp_port, socket.SOCK_DGRAM)
    assert sim.returncode == 0


def test_a_program_that_did_not_end_cleanly_is_reported():
    sim = kv.Simulator()
    os.kill(sim.pid, signal.SIGKILL)
    with pytest.raises(kv.SimulatorError, match="status 137"):
        sim.stop()
    assert_nothing_left(sim.pid, sim.folder, [sim.tcp_port, sim.automation_port])


def test_refusals_at_start_say_why_and_leave_nothing(tmp_path, monkeypatch):
    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path))   # where this test's folders go
    with pytest.raises(kv.SimulatorError, match="Set-up extras refused"):
        kv.Simulator(extras={"faults": [{"action": "exception"}]})
    with pytest.raises(kv.SimulatorError, match="not found"):
        kv.Simulator(headless=tmp_path / "no-such-program")
    with pytest.raises(ValueError, match="count"):
        kv.Simulator(documents=[{"unit": 1, "type": 3, "first": 1, "count": 1001}])
    assert os.listdir(tmp_path) == []


def test_a_given_port_that_is_taken_is_refused_at_once(tmp_path, monkeypatch):
    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path))
    with socket.socket() as taken:
        taken.bind(("0.0.0.0", 0))
        taken.listen()
        with pytest.raises(kv.SimulatorError, match="could not open a port it was given"):
            kv.Simulator(tcp_port=taken.getsockname()[1])
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("which", ["tcp", "automation", "rtu"])
def test_a_chosen_port_taken_meanwhile_is_replaced(monkeypatch, which):
    taken = socket.socket()
    taken.bind(("0.0.0.0", 0))
    taken.listen()
    port = taken.getsockname()[1]
    real = kv.simulator._free_port
    # The order Simulator chooses them in: Modbus/TCP, RTU over TCP, automation.
    order = {"tcp": 0, "rtu": 1, "automation": 2}[which]
    calls = []

    def chooser(kind=socket.SOCK_STREAM):
        calls.append(kind)
        return port if len(calls) == order + 1 else real(kind)

    monkeypatch.setattr(kv.simulator, "_free_port", chooser)
    try:
        with kv.Simulator(rtu_over_tcp_port=0) as sim:
            assert port not in (sim.tcp_port, sim.automation_port, sim.rtu_over_tcp_port)
            assert sim.client.read_point(1, 40001) == 0
    finally:
        taken.close()
    # A second try with three new ports (a further one when a port chosen meanwhile was taken
    # by a test running beside this one).
    assert len(calls) >= 6 and len(calls) % 3 == 0


def test_a_killed_test_process_leaves_nothing_behind():
    script = ("import json, sys, kelvaro64\n"
              "sim = kelvaro64.Simulator(udp_port=0)\n"
              "print(json.dumps([sim.pid, sim.folder, sim.tcp_port, sim.automation_port]), flush=True)\n"
              "sys.stdin.read()\n")
    env = dict(os.environ, PYTHONPATH=PACKAGE_PATH)
    test_process = subprocess.Popen([sys.executable, "-c", script], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                    env=env, text=True)
    pid, folder, tcp, automation = json.loads(test_process.stdout.readline())
    assert os.path.isdir(folder) and running(pid)
    test_process.kill()
    test_process.wait()
    assert_nothing_left(pid, folder, [tcp, automation])


INNER = """
import json, os, signal, pytest

def note(sim, name):
    with open(os.path.join(os.environ["NOTES"], name), "w") as f:
        json.dump([sim.pid, sim.folder, sim.tcp_port, sim.automation_port], f)

def test_fails(kelvaro64):
    note(kelvaro64, "fails")
    assert kelvaro64.client.read(1, 40001, "float32") == 1.0

@pytest.mark.kelvaro64(documents=[{"unit": 7, "type": 4, "first": 5, "count": 3, "values": [9]}])
def test_marker(kelvaro64, kelvaro64_factory):
    note(kelvaro64, "marker")
    other = kelvaro64_factory()
    note(other, "other")
    assert kelvaro64.client.read_point_ex(7, 4, 5) == 9

def test_interrupted(kelvaro64):
    note(kelvaro64, "interrupted")
    os.kill(os.getpid(), signal.SIGINT)
"""


def test_the_plugin_under_a_failing_and_an_interrupted_test(pytester, monkeypatch, tmp_path):
    monkeypatch.setenv("PYTHONPATH", PACKAGE_PATH)
    monkeypatch.setenv("PYTEST_DISABLE_PLUGIN_AUTOLOAD", "1")
    monkeypatch.setenv("NOTES", str(tmp_path))
    headless = kv.find_headless()
    monkeypatch.delenv("KELVARO64_HEADLESS", raising=False)
    monkeypatch.setenv("PATH", "/nonexistent")
    os.symlink(os.path.join(ROOT, "examples"), pytester.path / "setups")
    pytester.makeini("[pytest]\nkelvaro64_setup = setups/demo.tst\n")   # relative to the ini file
    pytester.makepyfile(INNER)
    result = pytester.runpytest_subprocess("-p", "kelvaro64.pytest_plugin", "--kelvaro64-headless=" + headless,
                                           "-p", "no:cacheprovider")
    result.stdout.fnmatch_lines(["*AssertionError: assert 3.14159 == 1.0", "*KeyboardInterrupt*"])
    result.assert_outcomes(failed=1, passed=1)
    notes = sorted(os.listdir(tmp_path))
    assert notes == ["fails", "interrupted", "marker", "other"]
    for name in notes:
        with open(tmp_path / name) as f:
            pid, folder, *ports = json.load(f)
        assert_nothing_left(pid, folder, ports)


def test_the_version_is_the_projects():
    with open(os.path.join(ROOT, "CMakeLists.txt")) as f:
        version = re.search(r"project\(Kelvaro64 VERSION (\S+)", f.read()).group(1)
    assert kv.__version__ == version
