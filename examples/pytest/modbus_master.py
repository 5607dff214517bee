"""A small Modbus/TCP master with retry logic: the code under test of this example suite.

It polls holding registers of one unit, retries a request that got no answer, a busy
exception (06) or a dropped connection, and gives up after ``retries`` more attempts.
"""

import struct

from pymodbus.client import ModbusTcpClient
from pymodbus.exceptions import ConnectionException
from pymodbus.pdu import ExceptionResponse

SLAVE_BUSY = 6


class GaveUp(Exception):
    """Every attempt failed; ``reasons`` says how, one entry per attempt."""

    def __init__(self, reasons):
        super().__init__("no answer after %d attempts: %s" % (len(reasons), "; ".join(reasons)))
        self.reasons = reasons


class Master:
    def __init__(self, host, port, unit=1, timeout=0.5, retries=2):
        self.unit, self.retries = unit, retries
        # Our own retries only: pymodbus' would hide them from the counters below.
        self.client = ModbusTcpClient(host, port=port, retries=0, retry_on_empty=False)
        self.client.params.timeout = timeout   # pymodbus 3.0 rounds the constructor's to seconds
        self.attempts = 0      # requests sent
        self.connects = 0      # connections opened
        self.exceptions = []   # exception codes answered

    def close(self):
        self.client.close()

    def _attempt(self, request):
        reasons = []
        for _ in range(1 + self.retries):
            if self.client.socket is None:
                if not self.client.connect():
                    reasons.append("cannot connect")
                    continue
                self.connects += 1
            self.attempts += 1
            try:
                response = request()
            except ConnectionException as e:
                self.client.close()
                reasons.append("connection lost (%s)" % e)
                continue
            if isinstance(response, ExceptionResponse):
                self.exceptions.append(response.exception_code)
                if response.exception_code != SLAVE_BUSY:
                    raise GaveUp(reasons + ["exception %d" % response.exception_code])
                reasons.append("busy")
                continue
            if response.isError():   # no answer in time: pymodbus has closed the connection
                self.client.close()
                reasons.append("no answer")
                continue
            return response
        raise GaveUp(reasons)

    # Addresses as the device's documentation counts them: holding register 1 is the first.
    def read_registers(self, first, count):
        return self._attempt(lambda: self.client.read_holding_registers(first - 1, count, slave=self.unit)).registers

    def write_register(self, first, value):
        self._attempt(lambda: self.client.write_register(first - 1, value, slave=self.unit))

    def write_float(self, first, value):
        """A 32-bit float, low-order word first."""
        high, low = struct.unpack(">HH", struct.pack(">f", value))
        self._attempt(lambda: self.client.write_registers(first - 1, [low, high], slave=self.unit))
