"""Data windows as document files (``.kvd``) that kelvaro64-headless opens.

The file: three empty archive strings, the version string, point type (u8), device id (u8),
first address (u16, 65536 kept as 0), count (u16), display format (u16), then 1000 words, all
little-endian. Version "1.04" carries nothing more: no simulated points, the default look.
"""

import dataclasses
import struct

_TYPES = {"coil": 1, "coils": 1, "input": 2, "inputs": 2, "discrete_inputs": 2,
          "holding": 3, "holding_registers": 3, "register": 3, "registers": 3,
          "input_register": 4, "input_registers": 4}
_WORDS = 1000


def point_type(type_):
    """1 coils, 2 inputs, 3 holding registers, 4 input registers (or those names)."""
    if isinstance(type_, str):
        if type_.lower() not in _TYPES:
            raise ValueError("point type: one of %s, not %r" % (", ".join(sorted(_TYPES)), type_))
        return _TYPES[type_.lower()]
    if isinstance(type_, bool) or not isinstance(type_, int) or not 1 <= type_ <= 4:
        raise ValueError("point type: 1 coils, 2 inputs, 3 holding registers, 4 input registers, not %r" % (type_,))
    return type_


@dataclasses.dataclass(frozen=True)
class Block:
    """One data window: ``count`` points of one type of device ``unit`` from address ``first``
    (1 ... 65536, as the documents count), the first of them set to ``values`` (16-bit words;
    0 or 1 for coils and inputs; negative numbers are kept as their low 16 bits)."""

    unit: int
    type: int
    first: int
    count: int
    values: tuple = ()

    def __post_init__(self):
        object.__setattr__(self, "type", point_type(self.type))
        object.__setattr__(self, "values", tuple(self.values))
        for name, low, high in (("unit", 1, 255), ("first", 1, 65536), ("count", 1, _WORDS)):
            value = getattr(self, name)
            if isinstance(value, bool) or not isinstance(value, int) or not low <= value <= high:
                raise ValueError("%s: a whole number from %d to %d, not %r" % (name, low, high, value))
        if self.first + self.count - 1 > 65536:
            raise ValueError("the block runs past address 65536 (first %d, count %d)" % (self.first, self.count))
        if len(self.values) > self.count:
            raise ValueError("%d values for a block of %d points" % (len(self.values), self.count))
        for v in self.values:
            if isinstance(v, bool):
                continue
            if not isinstance(v, int) or not -32768 <= v <= 65535:
                raise ValueError("values: whole numbers from -32768 to 65535, not %r" % (v,))

    def to_bytes(self):
        words = [int(v) & 0xFFFF for v in self.values] + [0] * (_WORDS - len(self.values))
        header = b"\x00\x00\x00" + b"\x04" + b"1.04"
        return header + struct.pack("<BBHHH", self.type, self.unit, self.first & 0xFFFF, self.count, 0) + \
            struct.pack("<%dH" % _WORDS, *words)

    def write(self, path):
        with open(path, "wb") as f:
            f.write(self.to_bytes())
        return path
