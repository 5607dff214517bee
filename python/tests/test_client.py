"""The client against a real program: typed values word by word, refusals, method names."""

import importlib.machinery
import math
import os
import re
import types

import pytest

import kelvaro64 as kv

pytestmark = pytest.mark.kelvaro64(documents=[kv.Simulator.block(1, 3, 1, 20),
                                              kv.Simulator.block(1, "coils", 1, 8, [1, 0, 1])])


# value, swapped, number, the words from the reference on (what a master reads)
VALUES = [
    ("uint16", False, 65535, [0xFFFF]),
    ("int16", False, -2, [0xFFFE]),
    ("uint32", False, 0x12345678, [0x5678, 0x1234]),
    ("uint32", True, 0x12345678, [0x1234, 0x5678]),
    ("int32", False, -2, [0xFFFE, 0xFFFF]),
    ("uint64", False, 0x0102030405060708, [0x0708, 0x0506, 0x0304, 0x0102]),
    ("int64", True, -0x0102030405060708, [0xFEFD, 0xFCFB, 0xFAF9, 0xF8F8]),
    ("float32", False, 2.5, [0x0000, 0x4020]),
    ("float32", True, -2.5, [0xC020, 0x0000]),
    ("float64", False, 2.5, [0, 0, 0, 0x4004]),
    ("float64", True, 0.1, [0x3FB9, 0x9999, 0x9999, 0x999A]),
]


@pytest.mark.parametrize("value, swapped, number, words", VALUES)
def test_typed_values_round_trip_in_the_documented_word_order(kelvaro64, value, swapped, number, words):
    c = kelvaro64.client
    c.write(1, 40005, number, value, swapped)
    assert [c.read_point(1, 40005 + i) for i in range(len(words))] == words
    assert c.read(1, 40005, value, swapped) == number


def test_bits_and_special_floats(kelvaro64):
    c = kelvaro64.client
    assert [c.read(1, r, "bit") for r in (1, 2, 3)] == [1, 0, 1]
    c.write(1, 2, True, "bit")
    assert c.read_point(1, 2) == 1
    c.write(1, 40001, math.inf, "float32")
    assert c.read(1, 40001, "float32") == math.inf
    c.write_float(1, 40001, math.nan)
    assert math.isnan(c.read_float(1, 40001))


@pytest.mark.parametrize("value, number", [("uint16", 65536), ("int16", 32768), ("uint32", -1),
                                           ("int64", 2 ** 63), ("uint16", 1.5), ("word", 1)])
def test_numbers_that_do_not_fit_are_refused_before_writing(kelvaro64, value, number):
    with pytest.raises(ValueError):
        kelvaro64.client.write(1, 40001, number, value)
    assert kelvaro64.client.read_point(1, 40001) == 0


def test_a_value_past_the_blocks_end_writes_nothing(kelvaro64):
    c = kelvaro64.client
    with pytest.raises(kv.Error):
        c.write(1, 40019, 7, "uint64")
    assert [c.read_point(1, r) for r in (40019, 40020)] == [0, 0]


def test_refusals_raise_error_with_code_or_status(kelvaro64):
    c = kelvaro64.client
    with pytest.raises(kv.Error) as refused:
        c.read_point(2, 40001)   # no such device
    assert (refused.value.status, refused.value.code) == (-1, None)
    with pytest.raises(kv.Error) as refused:
        c.add_fault({"action": "exception"})
    assert refused.value.status == -1 and "code" in refused.value.message
    with pytest.raises(kv.Error) as refused:
        c.write_point(1, 40001, "7")
    assert refused.value.code == -32602
    with pytest.raises(kv.Error) as refused:
        c.no_such_method()
    assert refused.value.code == -32601 and "NoSuchMethod" in refused.value.message


def test_methods_return_the_results_fields(kelvaro64, tmp_path):
    c = kelvaro64.client
    rule = c.add_fault({"unit": 9, "action": "no-reply"})
    assert [r["id"] for r in c.list_faults()] == [rule]
    assert c.enable_fault(rule, False) is None
    assert c.list_faults()[0]["enabled"] is False
    assert c.call("ListFaults") == c.list_faults()
    opened = c.open_server("udp", 0)
    assert opened["port"] > 0
    assert [s["bound_port"] for s in c.list_servers() if s["id"] == opened["id"]] == [opened["port"]]
    assert c.close_server(opened["id"]) is None
    c.start_capture(tmp_path / "run.pcapng")
    assert c.stop_capture()["path"] == str(tmp_path / "run.pcapng")


def test_a_client_of_its_own_as_a_context_manager(kelvaro64):
    with kv.Client(kelvaro64.automation_port, timeout=2.0) as c:
        c.write_point(1, 40003, 77)
        assert c.read_point_ex(1, 3, 3) == 77
    assert c._sock is None


def _served_methods():
    """Every method of kelvaro64-ctl's list (checked against the program by the C++ tests)."""
    ctl = os.path.join(os.path.dirname(__file__), "..", "..", "tools", "kelvaro64-ctl")
    loader = importlib.machinery.SourceFileLoader("kelvaro64_ctl", ctl)
    module = types.ModuleType(loader.name)
    loader.exec_module(module)
    return [name for _, methods in module.METHODS for name, _ in methods]


def test_every_method_has_a_snake_case_method_of_its_own():
    names = _served_methods()
    assert "ListBehaviour" in names
    missing = [n for n in names if re.sub(r"(?<!^)([A-Z])", r"_\1", n).lower() not in vars(kv.Client)]
    assert missing == []


def test_generators_added_listed_switched_and_refused_by_name(kelvaro64):
    c = kelvaro64.client
    gen = c.add_generator({"name": "held", "unit": 1, "type": 3, "address": 15, "kind": "steps",
                           "values": [4321], "durations_ms": [3600000], "update_ms": 3600000})
    listed = c.list_behaviour()
    assert set(listed) == {"generators", "reactions", "scripts"}
    assert [(g["id"], g["name"], g["kind"], g["enabled"]) for g in listed["generators"]] == \
        [(gen, "held", "steps", True)]
    assert c.enable_generator(gen, False) is None
    assert c.list_behaviour()["generators"][0]["enabled"] is False
    with pytest.raises(kv.Error) as refused:
        c.add_generator({"name": "bad", "unit": 1, "type": 3, "address": 1, "kind": "sine"})
    assert refused.value.status == -1
    assert '"bad"' in refused.value.message and "period_ms" in refused.value.message
    with pytest.raises(kv.Error) as refused:
        c.remove_generator(gen + 1000)
    assert refused.value.status == -1 and "generator" in refused.value.message
    assert c.remove_generator(gen) is None
    assert c.list_behaviour()["generators"] == []
    assert c.clear_behaviour() is None and c.reload_scripts() is None
def test_access_statistics_and_unserved_requests(kelvaro64):
    import socket
    c = kelvaro64.client
    with socket.create_connection(("127.0.0.1", kelvaro64.tcp_port), timeout=5) as master:
        me = "tcp 127.0.0.1:%d" % master.getsockname()[1]
        for request, size in ((bytes([0, 1, 0, 0, 0, 6, 1, 6, 0, 1, 0, 9]), 12),       # write 40002
                              (bytes([0, 2, 0, 0, 0, 6, 1, 3, 0, 0, 0, 2]), 13),       # read 40001-40002
                              (bytes([0, 3, 0, 0, 0, 6, 1, 3, 0x0B, 0xB8, 0, 1]), 9)):  # 43001: exception 02
            master.sendall(request)
            answer = b""
            while len(answer) < size:
                answer += master.recv(size - len(answer))
    points = c.get_access_stats(1, 3, 1, 2)
    assert [(p["address"], p["reads"], p["writes"]) for p in points] == [(1, 1, 0), (2, 1, 1)]
    assert points[1]["last_writer"] == me and "last_writer" not in points[0]
    assert [(r["unit"], r["address"], r["quantity"], r["count"]) for r in c.list_unserved()] == [(1, 3001, 1, 1)]
    c.reset_access_stats()
    assert c.list_unserved() == [] and c.get_access_stats(1, 3, 2, 2)[0]["writes"] == 0
    c.set_learn(False)
