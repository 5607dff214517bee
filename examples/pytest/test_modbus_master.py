"""How the master of modbus_master.py copes with a device that misbehaves on purpose.

Each test gets its own simulator (the ``kelvaro64`` fixture of the kelvaro64 pytest plugin):
device 1 with holding registers 1-100, the first three 11, 22, 33. Fault rules make chosen
requests go wrong; their counters say what the device did.
"""

import pytest

from modbus_master import GaveUp, Master

pytestmark = pytest.mark.kelvaro64(documents=[{"unit": 1, "type": 3, "first": 1, "count": 100,
                                               "values": [11, 22, 33]}])


@pytest.fixture
def master(kelvaro64):
    m = Master("127.0.0.1", kelvaro64.tcp_port, unit=1, timeout=0.5, retries=2)
    yield m
    m.close()


def fault(kelvaro64, **rule):
    """Adds a fault rule for device 1; returns a function giving its counters."""
    rule_id = kelvaro64.client.add_fault(dict(unit=1, **rule))
    return lambda: next(r for r in kelvaro64.client.list_faults() if r["id"] == rule_id)


def test_busy_every_third_request_is_retried(kelvaro64, master):
    # Requests 3, 6, 9, 12 get "slave device busy"; each retry is a request too.
    counters = fault(kelvaro64, functions=[3], action="exception", code=6, every=3)
    for _ in range(9):
        assert master.read_registers(1, 3) == [11, 22, 33]
    assert counters()["fired"] == 4
    assert master.exceptions == [6] * 4
    assert master.attempts == 13


def test_silent_device_gets_the_retry_count(kelvaro64, master):
    counters = fault(kelvaro64, action="no-reply")
    with pytest.raises(GaveUp) as gave_up:
        master.read_registers(1, 3)
    assert gave_up.value.reasons == ["no answer"] * 3
    assert counters()["fired"] == 3
    assert master.attempts == 3


def test_connection_closed_and_reopened(kelvaro64, master):
    assert master.read_registers(1, 1) == [11]
    counters = fault(kelvaro64, link="tcp", action="close", times=1)
    assert master.read_registers(2, 2) == [22, 33]
    assert counters()["fired"] == 1
    assert master.connects == 2


@pytest.mark.parametrize("delay_ms, times, attempts, answered", [
    (50, 0, 1, True),      # late, but within the master's timeout
    (1000, 1, 2, True),    # past the timeout once: the retry gets the answer
    (1000, 0, 3, False),   # always past it: the master gives up
])
def test_delayed_answer_against_the_masters_timeout(kelvaro64, master, delay_ms, times, attempts, answered):
    fault(kelvaro64, action="delay", delay_ms=delay_ms, times=times)
    if answered:
        assert master.read_registers(1, 3) == [11, 22, 33]
    else:
        with pytest.raises(GaveUp):
            master.read_registers(1, 3)
    assert master.attempts == attempts


def test_the_device_holds_what_the_master_wrote(kelvaro64, master):
    master.write_register(10, 1234)
    master.write_float(20, -2.5)
    assert kelvaro64.client.read(1, 40010) == 1234
    assert kelvaro64.client.read(1, 40020, "float32") == -2.5
    assert master.read_registers(20, 2) == [0, 0xC020]
