"""A small GDSII reader for the tests: records, then the library they make.

Written from the format's record layout and independent of the writer: it
decodes what the writer encodes (the 8-byte reals included) and checks the
grammar of the stream as it goes.
"""

from __future__ import annotations

import math
import struct
from dataclasses import dataclass, field

NAMES = {
    0x00: "HEADER", 0x01: "BGNLIB", 0x02: "LIBNAME", 0x03: "UNITS", 0x04: "ENDLIB", 0x05: "BGNSTR",
    0x06: "STRNAME", 0x07: "ENDSTR", 0x08: "BOUNDARY", 0x0A: "SREF", 0x0B: "AREF", 0x0C: "TEXT",
    0x0D: "LAYER", 0x0E: "DATATYPE", 0x10: "XY", 0x11: "ENDEL", 0x12: "SNAME", 0x16: "TEXTTYPE",
    0x17: "PRESENTATION", 0x19: "STRING", 0x1A: "STRANS", 0x1B: "MAG", 0x1C: "ANGLE",
}
# The data type each record must carry: none, bits, int16, int32, real8, ASCII.
KINDS = {"HEADER": 2, "BGNLIB": 2, "LIBNAME": 6, "UNITS": 5, "ENDLIB": 0, "BGNSTR": 2, "STRNAME": 6,
         "ENDSTR": 0, "BOUNDARY": 0, "SREF": 0, "TEXT": 0, "LAYER": 2, "DATATYPE": 2, "XY": 3,
         "ENDEL": 0, "SNAME": 6, "TEXTTYPE": 2, "STRING": 6, "STRANS": 1, "ANGLE": 5}


def real8(data: bytes) -> float:
    sign = -1.0 if data[0] & 0x80 else 1.0
    exponent = (data[0] & 0x7F) - 64
    return sign * int.from_bytes(data[1:8], "big") / 2.0**56 * 16.0**exponent


def records(data: bytes) -> list[tuple[str, object]]:
    """Every record as ``(name, value)``: ints, a float list, a string or ``None``."""
    out: list[tuple[str, object]] = []
    pos = 0
    while pos < len(data):
        length, rtype, dtype = struct.unpack_from(">HBB", data, pos)
        assert length >= 4 and length % 2 == 0, f"bad record length {length} at byte {pos}"
        name = NAMES.get(rtype, f"0x{rtype:02x}")
        assert KINDS.get(name) == dtype, f"{name} with data type {dtype} at byte {pos}"
        body = data[pos + 4:pos + length]
        if dtype == 0:
            assert not body
            value: object = None
        elif dtype in (1, 2):
            value = list(struct.unpack(f">{len(body) // 2}{'H' if dtype == 1 else 'h'}", body))
        elif dtype == 3:
            value = list(struct.unpack(f">{len(body) // 4}i", body))
        elif dtype == 5:
            value = [real8(body[i:i + 8]) for i in range(0, len(body), 8)]
        else:
            assert body.count(b"\0") <= 1 and (not body.count(b"\0") or body.endswith(b"\0"))
            value = body.rstrip(b"\0").decode("ascii")
        out.append((name, value))
        pos += length
    assert pos == len(data), "the stream ends inside a record"
    return out


@dataclass
class Struct:
    name: str
    boundaries: list[tuple[tuple[int, int], list[tuple[int, int]]]] = field(default_factory=list)
    srefs: list[tuple[str, int, float, tuple[int, int]]] = field(default_factory=list)  # name, strans, angle, xy
    texts: list[tuple[tuple[int, int], str, tuple[int, int]]] = field(default_factory=list)


@dataclass
class Library:
    version: int
    name: str
    units: tuple[float, float]
    structures: dict[str, Struct]
    order: list[str]


def library(data: bytes) -> Library:
    """The library of a stream, its grammar checked on the way."""
    recs = records(data)
    it = iter(recs)

    def take(expected: str) -> object:
        name, value = next(it)
        assert name == expected, f"{expected} expected, got {name}"
        return value

    version = take("HEADER")
    stamp = take("BGNLIB")
    assert isinstance(stamp, list) and len(stamp) == 12
    libname = take("LIBNAME")
    units = take("UNITS")
    assert isinstance(units, list) and len(units) == 2
    structures: dict[str, Struct] = {}
    order: list[str] = []
    while True:
        name, value = next(it)
        if name == "ENDLIB":
            break
        assert name == "BGNSTR" and isinstance(value, list) and len(value) == 12
        s = Struct(str(take("STRNAME")))
        assert s.name not in structures, f"two structures named {s.name}"
        while True:
            name, value = next(it)
            if name == "ENDSTR":
                break
            if name == "BOUNDARY":
                layer = (take("LAYER")[0], take("DATATYPE")[0])  # type: ignore[index]
                xy = take("XY")
                pts = list(zip(xy[0::2], xy[1::2]))  # type: ignore[index]
                assert pts[0] == pts[-1] and len(pts) >= 4, "a boundary is closed and has 3 points"
                s.boundaries.append((layer, pts[:-1]))
            elif name == "SREF":
                sname = str(take("SNAME"))
                assert sname in structures, f"{sname} is placed before it is defined"
                strans, angle = 0, 0.0
                name, value = next(it)
                if name == "STRANS":
                    strans = value[0]  # type: ignore[index]
                    name, value = next(it)
                    if name == "ANGLE":
                        angle = value[0]  # type: ignore[index]
                        name, value = next(it)
                assert name == "XY" and len(value) == 2  # type: ignore[arg-type]
                s.srefs.append((sname, strans, angle, (value[0], value[1])))  # type: ignore[index]
            elif name == "TEXT":
                layer = (take("LAYER")[0], take("TEXTTYPE")[0])  # type: ignore[index]
                xy = take("XY")
                text = str(take("STRING"))
                s.texts.append((layer, text, (xy[0], xy[1])))  # type: ignore[index]
            else:
                raise AssertionError(f"unexpected {name} in structure {s.name}")
            take("ENDEL")
        structures[s.name] = s
        order.append(s.name)
    assert next(it, None) is None, "records after ENDLIB"
    return Library(version, str(libname), (units[0], units[1]), structures, order)  # type: ignore[arg-type]


def flatten(lib: Library, top: str) -> list[tuple[tuple[int, int], list[tuple[float, float]]]]:
    """Every boundary under ``top`` in its coordinates (database units), depth first."""
    out: list[tuple[tuple[int, int], list[tuple[float, float]]]] = []

    def walk(name: str, t: tuple[float, ...]) -> None:
        a, b, c, d, dx, dy = t
        s = lib.structures[name]
        for layer, pts in s.boundaries:
            out.append((layer, [(a * x + b * y + dx, c * x + d * y + dy) for x, y in pts]))
        for sname, strans, angle, (ox, oy) in s.srefs:
            f = -1.0 if strans & 0x8000 else 1.0
            r = math.radians(angle)
            cos, sin = math.cos(r), math.sin(r)
            m = (cos, -sin * f, sin, cos * f)  # mirrored in x, then rotated
            walk(sname, (a * m[0] + b * m[2], a * m[1] + b * m[3], c * m[0] + d * m[2], c * m[1] + d * m[3],
                         a * ox + b * oy + dx, c * ox + d * oy + dy))

    walk(top, (1.0, 0.0, 0.0, 1.0, 0.0, 0.0))
    return out
