"""A client of the automation port: JSON-RPC 2.0, one JSON object per line, on 127.0.0.1."""

import json
import math
import os
import re
import socket
import struct
import threading

# Value names as the set-up extras take them: (words, struct format of the whole value).
VALUE_NAMES = {
    "bit": (1, None),
    "int16": (1, "h"), "uint16": (1, "H"),
    "int32": (2, "i"), "uint32": (2, "I"),
    "int64": (4, "q"), "uint64": (4, "Q"),
    "float32": (2, "f"), "float64": (4, "d"),
}

# The program's closing words before it drops a connection: the request was never read.
_CLOSING_CODES = (-32000, -32002)


class Error(Exception):
    """A refused call: an error answer (``code`` is its JSON-RPC code, ``status`` None) or a
    result with a status other than 0 (``status``, ``code`` None). ``message`` says why."""

    def __init__(self, method, message, code=None, status=None, params=()):
        self.method, self.message, self.code, self.status = method, message, code, status
        what = "error %s" % code if code is not None else "status %s" % status
        call = "%s(%s)" % (method, ", ".join(json.dumps(p) for p in params))
        super().__init__("%s failed: %s (%s)" % (call, message, what))


def _special(number):
    # JSON has no NaN or infinities: the program takes and gives these words.
    if isinstance(number, float) and not math.isfinite(number):
        return "NaN" if math.isnan(number) else ("Infinity" if number > 0 else "-Infinity")
    return number


def _from_special(value):
    return {"NaN": math.nan, "Infinity": math.inf, "-Infinity": -math.inf}.get(value, value) \
        if isinstance(value, str) else value


def _camel(name):
    return "".join(part[:1].upper() + part[1:] for part in name.split("_"))


class Client:
    """``Client(port=8502, host="127.0.0.1", timeout=5.0)``: one connection, opened at the first
    call and kept. Each method returns the result's fields: its ``value`` when that is all it
    carries (a number, a list, a dict), None when it carries only the status. A refused call
    raises :class:`Error`; no answer within ``timeout`` raises ``TimeoutError``."""

    def __init__(self, port=8502, host="127.0.0.1", timeout=5.0):
        self.port, self.host, self.timeout = port, host, timeout
        self._sock = None
        self._buffer = b""
        self._id = 0
        self._lock = threading.Lock()

    # -- connection --------------------------------------------------------------------------

    def close(self):
        with self._lock:
            self._drop()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def _drop(self):
        if self._sock is not None:
            try:
                self._sock.close()
            finally:
                self._sock, self._buffer = None, b""

    def _line(self):
        while b"\n" not in self._buffer:
            chunk = self._sock.recv(65536)
            if not chunk:
                raise ConnectionResetError("the program closed the automation connection")
            self._buffer += chunk
        line, self._buffer = self._buffer.split(b"\n", 1)
        return line

    def _exchange(self, requests):
        """Sends the requests at once and returns their replies, in order."""
        data = b"".join(json.dumps(r).encode("utf-8") + b"\n" for r in requests)
        for attempt in (0, 1):
            fresh, replies = self._sock is None, []
            if fresh:
                self._sock = socket.create_connection((self.host, self.port), timeout=self.timeout)
            try:
                self._sock.sendall(data)
                replies = []
                while len(replies) < len(requests):
                    reply = json.loads(self._line())
                    if reply.get("id") is None and reply.get("error", {}).get("code") in _CLOSING_CODES:
                        raise ConnectionResetError(reply["error"].get("message", "connection closed"))
                    replies.append(reply)
                return replies
            except (ConnectionError, BrokenPipeError) as e:
                self._drop()
                # A kept connection the program closed while idle: it read nothing, ask again.
                if fresh or attempt or replies:
                    raise ConnectionError("automation port %s:%s: %s" % (self.host, self.port, e)) from e
            except BaseException:
                self._drop()   # a late answer would be taken for the next call's
                raise
        raise AssertionError("unreachable")

    def _request(self, method, params):
        self._id += 1
        return {"jsonrpc": "2.0", "id": self._id, "method": method, "params": [_special(p) for p in params]}

    @staticmethod
    def _result(method, reply, params=()):
        if "error" in reply:
            error = reply["error"]
            raise Error(method, error.get("message", ""), code=error.get("code"), params=params)
        result = reply.get("result")
        if not isinstance(result, dict):
            return result
        status = result.get("status", 0)
        if status != 0:
            raise Error(method, result.get("message") or "no such point", status=status, params=params)
        fields = {k: v for k, v in result.items() if k != "status"}
        if not fields:
            return None
        if set(fields) == {"value"}:
            return _from_special(fields["value"])
        return fields

    def call(self, method, *params):
        """Any automation method by its own name: ``call("ReadPointEx", 1, 3, 1)``."""
        with self._lock:
            request = self._request(method, params)
            return self._result(method, self._exchange([request])[0], request["params"])

    def _calls(self, calls):
        """Several calls sent at once, answered in order (a refused one raises)."""
        with self._lock:
            requests = [self._request(m, p) for m, p in calls]
            replies = self._exchange(requests)
        return [self._result(m, r, q["params"]) for (m, _), r, q in zip(calls, replies, requests)]

    def __getattr__(self, name):
        # Methods added to the program later: snake_case to their own name.
        if not re.fullmatch(r"[a-z][a-z0-9]*(_[a-z0-9]+)*", name):
            raise AttributeError(name)
        method = _camel(name)
        return lambda *params: self.call(method, *params)

    # -- the points --------------------------------------------------------------------------

    def read_point(self, unit, ref):
        return self.call("ReadPoint", unit, ref)

    def write_point(self, unit, ref, value):
        return self.call("WritePoint", unit, ref, value)

    def enable_slave(self, unit, enable=True):
        return self.call("EnableSlave", unit, bool(enable))

    def read_float(self, unit, ref, swapped=False):
        return self.call("ReadFloat", unit, ref, bool(swapped))

    def write_float(self, unit, ref, value, swapped=False):
        return self.call("WriteFloat", unit, ref, value, bool(swapped))

    def read_point_ex(self, unit, point_type, address):
        return self.call("ReadPointEx", unit, point_type, address)

    def write_point_ex(self, unit, point_type, address, value):
        return self.call("WritePointEx", unit, point_type, address, value)

    def read_float_ex(self, unit, point_type, address, swapped=False):
        return self.call("ReadFloatEx", unit, point_type, address, bool(swapped))

    def write_float_ex(self, unit, point_type, address, value, swapped=False):
        return self.call("WriteFloatEx", unit, point_type, address, value, bool(swapped))

    def create_document(self):
        return self.call("CreateDocument")

    # -- fault injection ---------------------------------------------------------------------

    def load_scenario(self, path):
        return self.call("LoadScenario", os.path.abspath(path))   # the program's folder is not ours

    def add_fault(self, rule):
        return self.call("AddFault", dict(rule))

    def remove_fault(self, rule_id):
        return self.call("RemoveFault", rule_id)

    def enable_fault(self, rule_id, enable=True):
        return self.call("EnableFault", rule_id, bool(enable))

    def list_faults(self):
        return self.call("ListFaults")

    def clear_faults(self):
        return self.call("ClearFaults")

    # -- behaviour: generators, reactions, scripts -------------------------------------------

    def list_behaviour(self):
        """``{"generators": [...], "reactions": [...], "scripts": [...]}`` with ids and counters."""
        return self.call("ListBehaviour")

    def add_generator(self, generator):
        generator = dict(generator)
        if generator.get("kind") == "csv" and isinstance(generator.get("file"), (str, os.PathLike)):
            generator["file"] = os.path.abspath(generator["file"])   # the program's folder is not ours
        return self.call("AddGenerator", generator)["id"]

    def remove_generator(self, generator_id):
        return self.call("RemoveGenerator", generator_id)

    def enable_generator(self, generator_id, enable=True):
        return self.call("EnableGenerator", generator_id, bool(enable))

    def add_reaction(self, reaction):
        return self.call("AddReaction", dict(reaction))["id"]

    def remove_reaction(self, reaction_id):
        return self.call("RemoveReaction", reaction_id)

    def reload_scripts(self):
        return self.call("ReloadScripts")

    def clear_behaviour(self):
        return self.call("ClearBehaviour")

    # -- network servers ---------------------------------------------------------------------

    def open_server(self, protocol, port=0, options=None):
        options = dict(options or {})
        for key in ("cert", "key", "ca"):
            if options.get(key):
                options[key] = os.path.abspath(options[key])
        return self.call("OpenServer", protocol, port, options)

    def open_endpoint(self, endpoint):
        return self.call("OpenEndpoint", dict(endpoint))

    def close_server(self, server_id):
        return self.call("CloseServer", server_id)

    def list_servers(self):
        return self.call("ListServers")

    # -- captures and traffic logs -----------------------------------------------------------

    def start_capture(self, path):
        return self.call("StartCapture", os.path.abspath(path))

    def stop_capture(self):
        return self.call("StopCapture")

    def start_traffic_log(self, path):
        return self.call("StartTrafficLog", os.path.abspath(path))

    def stop_traffic_log(self):
        return self.call("StopTrafficLog")

    # -- access statistics and learn mode ----------------------------------------------------

    def get_access_stats(self, unit=-1, point_type=0, first=1, last=65536):
        """The served points' reads, writes, exceptions, last read/write (ISO 8601 UTC) and last writer."""
        return self.call("GetAccessStats", unit, point_type, first, last)["points"]

    def reset_access_stats(self):
        return self.call("ResetAccessStats")

    def list_unserved(self):
        """The requests nothing served: link, unit, function, address, quantity, count, first, last."""
        return self.call("ListUnserved")["requests"]

    def set_learn(self, on=True):
        return self.call("SetLearn", bool(on))

    # -- typed values ------------------------------------------------------------------------

    @staticmethod
    def _shape(value):
        if value not in VALUE_NAMES:
            raise ValueError("value: one of %s, not %r" % (", ".join(VALUE_NAMES), value))
        return VALUE_NAMES[value]

    def read(self, unit, ref, value="uint16", swapped=False):
        """The point at ``ref`` (as ``read_point`` takes it) as a ``value`` of 1, 2 or 4 words;
        ``swapped`` False: the low-order word at ``ref``, True: the high-order word."""
        words, fmt = self._shape(value)
        if value == "float32":
            return self.read_float(unit, ref, swapped)
        found = self._calls([("ReadPoint", (unit, ref + i)) for i in range(words)])
        if value == "bit":
            return 1 if found[0] else 0
        if not swapped:
            found.reverse()   # high-order word first for packing
        return struct.unpack(">" + fmt, struct.pack(">%dH" % words, *found))[0]

    def write(self, unit, ref, number, value="uint16", swapped=False):
        """Writes ``number`` as a ``value`` over 1, 2 or 4 words from ``ref``. Nothing is
        written when any of the words is missing (as ``WriteFloat`` does)."""
        words, fmt = self._shape(value)
        if value == "float32":
            return self.write_float(unit, ref, number, swapped)
        if value == "bit":
            parts = [1 if number else 0]
        else:
            if fmt in "fd":
                number = float(number)
            elif isinstance(number, bool) or not isinstance(number, int):
                raise ValueError("%s: a whole number, not %r" % (value, number))
            try:
                packed = struct.pack(">" + fmt, number)
            except struct.error as e:
                raise ValueError("%r does not fit %s: %s" % (number, value, e)) from None
            parts = list(struct.unpack(">%dH" % words, packed))
            if not swapped:
                parts.reverse()
        if words > 1:
            self._calls([("ReadPoint", (unit, ref + i)) for i in range(words)])
        self._calls([("WritePoint", (unit, ref + i, w)) for i, w in enumerate(parts)])
        return None
