"""Writing components as GDSII streams.

:func:`to_gds` turns a component and every component it references into
the bytes of one GDSII library; :func:`write_gds` writes them to a file,
whole or not at all. The library holds:

- one structure per distinct component, children before the components
  that place them. Components that share a name and hold the same polygons,
  ports and references (the same cell built twice) are one structure;
  components that share a name but differ get ``$1``, ``$2``, ... after it,
  in the order they are met from the top, so the top keeps its own name and
  the names are the same for the same hierarchy every time;
- each polygon as a boundary on its ``(layer, datatype)``;
- each reference as a structure reference with its origin, rotation and
  mirroring (mirrored in x before the rotation, as the library places it);
- each port as a text label holding its name, at its centre, on the layer
  the technology names for pins (a ``PIN``, ``PINS``, ``PORT`` or ``PORTS``
  entry of the PDK's ``layers``, any case), or on the port's own layer when
  it names none.

Coordinates are in user units, 1 µm unless the PDK's ``user_unit`` says
otherwise (in metres), and are stored as whole database units, 1 nm unless
its ``database_unit`` does. Every option can also be passed directly.

What the format cannot hold is refused with :class:`GdsError`, one line
naming the cell and the polygon, port or reference: a coordinate outside
the 32-bit range or not a number, a polygon with fewer than 3 distinct
points on the database grid or more than :data:`MAX_POINTS`, a layer or
datatype outside 0 to 32767, and a cell or port name that is empty or not
printable ASCII.
"""

from __future__ import annotations

import datetime as _dt
import math
import os
import secrets
import struct
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import polyforge as pf

__all__ = ["MAX_POINTS", "GdsError", "Structure", "structures", "to_gds", "write_gds"]

# A record is at most 65535 bytes, its header included: a boundary's XY
# record holds 8191 points, the last one repeating the first.
MAX_POINTS = 8190
MAX_RECORD = 65535
MAX_TEXT = 512  # characters of a text label's string
MAX_LAYER = 32767

USER_UNIT = 1e-6  # metres
DATABASE_UNIT = 1e-9
PIN_LAYER_NAMES = ("PIN", "PINS", "PORT", "PORTS")

# Record type and data type of each record written, as one big-endian word.
_HEADER, _BGNLIB, _LIBNAME, _UNITS, _ENDLIB = 0x0002, 0x0102, 0x0206, 0x0305, 0x0400
_BGNSTR, _STRNAME, _ENDSTR = 0x0502, 0x0606, 0x0700
_BOUNDARY, _SREF, _TEXT = 0x0800, 0x0A00, 0x0C00
_LAYER, _DATATYPE, _XY, _ENDEL, _SNAME = 0x0D02, 0x0E02, 0x1003, 0x1100, 0x1206
_TEXTTYPE, _STRING, _STRANS, _ANGLE = 0x1602, 0x1906, 0x1A01, 0x1C05

_STRANS_REFLECT = 0x8000
_VERSION = 600
_INT32 = (-(2**31), 2**31 - 1)

_ENDEL_BYTES = struct.pack(">HH", 4, _ENDEL)
_POINT = struct.Struct(">HHii")  # an XY record of one point


class GdsError(ValueError):
    """A component holds something the GDSII format cannot; the message is
    one line naming the cell and the polygon, port or reference."""


@dataclass(frozen=True, slots=True)
class Structure:
    """One structure of the library: its name and the component it was written from."""

    name: str
    component: pf.Component


# --------------------------------------------------------------------------
# Records
# --------------------------------------------------------------------------


def _record(kind: int, payload: bytes = b"") -> bytes:
    return struct.pack(">HH", 4 + len(payload), kind) + payload


def _ascii(kind: int, text: str) -> bytes:
    data = text.encode("ascii")
    if len(data) % 2:
        data += b"\0"  # strings are padded to a whole number of words
    return _record(kind, data)


def _real8(value: float) -> bytes:
    """``value`` as the format's 8-byte real: a sign bit, a 7-bit exponent of
    16 biased by 64 and a 56-bit fraction, ``fraction / 2**56 * 16**(exp - 64)``."""
    if value == 0:
        return bytes(8)
    if not math.isfinite(value):
        raise GdsError(f"{value!r} cannot be stored as a GDSII real")
    sign = 0x80 if value < 0 else 0
    mantissa, exponent = math.frexp(abs(value))  # mantissa in [0.5, 1)
    # Make the binary exponent a multiple of 4: a power of 16.
    shift = (-exponent) % 4
    mantissa, exponent = mantissa / (1 << shift), exponent + shift
    fraction = round(mantissa * (1 << 56))
    exponent16 = exponent // 4 + 64
    if fraction >= 1 << 56:  # rounded up to 1.0
        fraction >>= 4
        exponent16 += 1
    if not 0 <= exponent16 <= 127:
        raise GdsError(f"{value!r} is out of the range of a GDSII real")
    return bytes([sign | exponent16]) + fraction.to_bytes(7, "big")


def _stamp(when: _dt.datetime) -> bytes:
    fields = (when.year, when.month, when.day, when.hour, when.minute, when.second)
    return struct.pack(">12h", *fields, *fields)  # last modified, last accessed


# --------------------------------------------------------------------------
# Checks
# --------------------------------------------------------------------------


def _name_problem(name: str, limit: int) -> str | None:
    if not name:
        return "is empty"
    if len(name) > limit:
        return f"is {len(name):,} characters long (at most {limit:,})"
    for ch in name:
        if not "!" <= ch <= "~":
            return f"holds {ch!r}: only printable ASCII without spaces is allowed"
    return None


def _cell_label(component: pf.Component) -> str:
    return f"cell {component.name!r}"


def _check_layer(component: pf.Component, what: str, layer: tuple[int, int]) -> None:
    number, datatype = layer
    if not (0 <= number <= MAX_LAYER and 0 <= datatype <= MAX_LAYER):
        raise GdsError(f"{_cell_label(component)}, {what}: layer {number}/{datatype} is outside "
                       f"0 to {MAX_LAYER}, which GDSII cannot hold")


def _snap(component: pf.Component, what: str, x: float, y: float, scale: float) -> tuple[int, int]:
    try:
        ix, iy = round(x * scale), round(y * scale)
    except (ValueError, OverflowError):
        raise GdsError(f"{_cell_label(component)}, {what}: ({x:g}, {y:g}) is not a finite "
                       "coordinate") from None
    if not (_INT32[0] <= ix <= _INT32[1] and _INT32[0] <= iy <= _INT32[1]):
        raise GdsError(f"{_cell_label(component)}, {what}: ({x:g}, {y:g}) is outside the 32-bit "
                       f"range of GDSII coordinates ({_INT32[0] / scale:g} to {_INT32[1] / scale:g} "
                       "user units)")
    return ix, iy


def _polygon_problem(component: pf.Component, index: int, layer: tuple[int, int],
                     points: Sequence[tuple[float, float]], scale: float) -> GdsError:
    """The error for a polygon the fast encoding refused: found the slow way."""
    first = f" starting at ({points[0][0]:g}, {points[0][1]:g})" if points else ""
    what = f"polygon {index} on layer {layer[0]}/{layer[1]}{first}"
    for x, y in points:
        _snap(component, what, x, y, scale)
    snapped = _distinct([(round(x * scale), round(y * scale)) for x, y in points])
    if len(snapped) > MAX_POINTS:
        return GdsError(f"{_cell_label(component)}, {what}: {len(snapped):,} points, more than the "
                        f"{MAX_POINTS:,} a GDSII polygon holds; split it into smaller polygons")
    return GdsError(f"{_cell_label(component)}, {what}: {len(snapped)} distinct points on the "
                    "database grid, a polygon needs at least 3")


def _distinct(points: list[tuple[int, int]]) -> list[tuple[int, int]]:
    """``points`` without a point equal to the one before it (the last one
    included, compared with the first)."""
    out = [p for i, p in enumerate(points) if i == 0 or p != points[i - 1]]
    while len(out) > 1 and out[-1] == out[0]:
        out.pop()
    return out


# --------------------------------------------------------------------------
# Elements
# --------------------------------------------------------------------------


class _Encoder:
    """Encodes the elements of one library: one scale, pin layer and caches
    of the record prefixes and formats it uses."""

    def __init__(self, scale: float, pin_layer: tuple[int, int] | None) -> None:
        self.scale = scale
        self.pin_layer = pin_layer
        self._heads: dict[tuple[int, int], bytes] = {}
        self._xy: dict[int, struct.Struct] = {}

    def _head(self, component: pf.Component, index: int, layer: tuple[int, int]) -> bytes:
        head = self._heads.get(layer)
        if head is None:
            _check_layer(component, f"polygon {index}", layer)
            head = struct.pack(">HH HHh HHh", 4, _BOUNDARY, 6, _LAYER, layer[0], 6, _DATATYPE, layer[1])
            self._heads[layer] = head
        return head

    def _xy_struct(self, count: int) -> struct.Struct:
        packer = self._xy.get(count)
        if packer is None:
            packer = struct.Struct(f">HH{2 * count}i")
            self._xy[count] = packer
        return packer

    def polygons(self, component: pf.Component, out: list[bytes]) -> None:
        scale = self.scale
        endel = _ENDEL_BYTES
        for index, (layer, points) in enumerate(component.polygons):
            head = self._head(component, index, layer)
            try:
                snapped = [(round(x * scale), round(y * scale)) for x, y in points]
            except (ValueError, OverflowError):
                raise _polygon_problem(component, index, layer, points, scale) from None
            # A closed outline (last point repeating the first), a point
            # repeated, or points that met on the grid: left out.
            for i in range(1, len(snapped)):
                if snapped[i] == snapped[i - 1]:
                    snapped = _distinct(snapped)
                    break
            else:
                if len(snapped) > 1 and snapped[-1] == snapped[0]:
                    snapped = _distinct(snapped)
            count = len(snapped)
            if not 3 <= count <= MAX_POINTS:
                raise _polygon_problem(component, index, layer, points, scale)
            coords = [v for p in snapped for v in p]
            coords += snapped[0]
            try:
                xy = self._xy_struct(count + 1).pack(8 * count + 12, _XY, *coords)
            except struct.error:
                raise _polygon_problem(component, index, layer, points, scale) from None
            out.append(head)
            out.append(xy)
            out.append(endel)

    def ports(self, component: pf.Component, out: list[bytes]) -> None:
        for port in component.ports.values():
            what = f"port {port.name!r}"
            problem = _name_problem(port.name, MAX_TEXT) if isinstance(port.name, str) else "is not a string"
            if problem:
                raise GdsError(f"{_cell_label(component)}, {what}: the name {problem}")
            layer = self.pin_layer or port.layer
            _check_layer(component, what, layer)
            x, y = _snap(component, what, port.center[0], port.center[1], self.scale)
            out.append(struct.pack(">HH HHh HHh", 4, _TEXT, 6, _LAYER, layer[0], 6, _TEXTTYPE, layer[1]))
            out.append(_POINT.pack(12, _XY, x, y))
            out.append(_ascii(_STRING, port.name))
            out.append(_ENDEL_BYTES)

    def reference(self, component: pf.Component, index: int, ref: pf.Reference) -> tuple[bytes, bytes]:
        """The transformation records and the XY record of one reference."""
        what = f"reference {index} (to {ref.component.name!r})"
        x, y = _snap(component, what, ref.origin[0], ref.origin[1], self.scale)
        rotation = ref.rotation % 360.0
        if not math.isfinite(rotation):
            raise GdsError(f"{_cell_label(component)}, {what}: rotation {ref.rotation!r} is not a number")
        if rotation == 360.0:  # a tiny negative angle
            rotation = 0.0
        transform = b""
        if ref.mirror or rotation:
            transform = struct.pack(">HHH", 6, _STRANS, _STRANS_REFLECT if ref.mirror else 0)
            if rotation:
                transform += _record(_ANGLE, _real8(rotation))
        return transform, _POINT.pack(12, _XY, x, y)


# --------------------------------------------------------------------------
# The library
# --------------------------------------------------------------------------


def _post_order(top: pf.Component) -> list[pf.Component]:
    """Every component under ``top``, each once, children first; ``GdsError``
    for a component that places itself through its references."""
    order: list[pf.Component] = []
    done: set[int] = set()
    on_path: set[int] = set()
    stack: list[tuple[pf.Component, int]] = [(top, 0)]
    on_path.add(id(top))
    while stack:
        comp, i = stack[-1]
        if i < len(comp.references):
            stack[-1] = (comp, i + 1)
            child = comp.references[i].component
            key = id(child)
            if key in on_path:
                raise GdsError(f"{_cell_label(child)} places itself through its references")
            if key not in done:
                on_path.add(key)
                stack.append((child, 0))
            continue
        stack.pop()
        on_path.discard(id(comp))
        done.add(id(comp))
        order.append(comp)
    return order


@dataclass(slots=True)
class _Planned:
    component: pf.Component
    body: bytes  # polygons and ports
    refs: list[tuple[int, bytes, bytes]]  # child's structure, transformation, XY
    name: str = ""


def _plan(top: pf.Component, encoder: _Encoder) -> list[_Planned]:
    """The structures of ``top``'s library, children first, named."""
    # While this runs every component is held by ``order``: ids stay unique.
    order = _post_order(top)
    index_of: dict[int, int] = {}  # id of a component -> its structure
    keys: dict[tuple[Any, ...], int] = {}
    planned: list[_Planned] = []
    for comp in order:
        chunks: list[bytes] = []
        encoder.polygons(comp, chunks)
        encoder.ports(comp, chunks)
        body = b"".join(chunks)
        refs = [(index_of[id(r.component)], *encoder.reference(comp, i, r))
                for i, r in enumerate(comp.references)]
        key = (comp.name, body, tuple(refs))
        found = keys.get(key)
        if found is None:
            found = keys[key] = len(planned)
            planned.append(_Planned(comp, body, refs))
        index_of[id(comp)] = found

    # Names in the order the structures are met from the top, depth first:
    # the top keeps its own name, and the first one met of a shared name too.
    met: list[int] = []
    seen: set[int] = set()
    todo = [len(planned) - 1]
    while todo:
        index = todo.pop()
        if index in seen:
            continue
        seen.add(index)
        met.append(index)
        todo.extend(child for child, _, _ in reversed(planned[index].refs))
    used: set[str] = set()
    for item in (planned[i] for i in met):
        base = item.component.name
        if base is None:
            base = "unnamed"
        if not isinstance(base, str):
            raise GdsError(f"{_cell_label(item.component)}: the name is not a string")
        problem = _name_problem(base, MAX_RECORD - 8)
        if problem:
            raise GdsError(f"{_cell_label(item.component)}: the name {problem}")
        name, n = base, 0
        while name in used:
            n += 1
            name = f"{base}${n}"
        used.add(name)
        item.name = name
    return planned


def _settings(options: Mapping[str, Any]) -> tuple[float, float, tuple[int, int] | None]:
    """Units and pin layer: the options given, else the active PDK's, else the defaults."""
    try:
        pdk: pf.Pdk | None = pf.get_active_pdk()
    except RuntimeError:
        pdk = None
    user_unit = options.get("user_unit")
    if user_unit is None:
        user_unit = getattr(pdk, "user_unit", None)
        user_unit = USER_UNIT if user_unit is None else user_unit
    database_unit = options.get("database_unit")
    if database_unit is None:
        database_unit = getattr(pdk, "database_unit", None)
        database_unit = DATABASE_UNIT if database_unit is None else database_unit
    for label, value in (("user_unit", user_unit), ("database_unit", database_unit)):
        if not isinstance(value, (int, float)) or not math.isfinite(value) or value <= 0:
            raise GdsError(f"{label} must be a positive length in metres, got {value!r}")
    if "pin_layer" in options:
        pin = options["pin_layer"]
        pin_layer = None if pin is None else pf._layer(pin)
    else:
        layers = getattr(pdk, "layers", None)
        pin_layer = None
        if isinstance(layers, Mapping):
            upper = {str(k).upper(): v for k, v in layers.items()}
            for name in PIN_LAYER_NAMES:
                if name in upper:
                    pin_layer = pf._layer(upper[name])
                    break
    return float(user_unit), float(database_unit), pin_layer


def _encode(component: pf.Component, options: Mapping[str, Any]) -> tuple[list[bytes], list[_Planned]]:
    if not isinstance(component, pf.Component):
        raise TypeError(f"GDSII holds polyforge Components, got {type(component).__name__}")
    unknown = set(options) - {"user_unit", "database_unit", "pin_layer", "library", "timestamp"}
    if unknown:
        raise TypeError(f"unknown option(s): {', '.join(sorted(unknown))}")
    user_unit, database_unit, pin_layer = _settings(options)
    scale = user_unit / database_unit
    if abs(scale - round(scale)) < 1e-9 * scale:
        scale = float(round(scale))  # 1e-6 / 1e-9 is not quite 1000 in binary
    library = options.get("library") or "polyforge"
    problem = _name_problem(library, MAX_RECORD - 8)
    if problem:
        raise GdsError(f"library name {library!r} {problem}")
    when = options.get("timestamp") or _dt.datetime.now()
    stamp = _stamp(when)

    planned = _plan(component, _Encoder(scale, pin_layer))
    out = [
        struct.pack(">HHh", 6, _HEADER, _VERSION),
        _record(_BGNLIB, stamp),
        _ascii(_LIBNAME, library),
        _record(_UNITS, _real8(database_unit / user_unit) + _real8(database_unit)),
    ]
    for item in planned:
        out.append(_record(_BGNSTR, stamp))
        out.append(_ascii(_STRNAME, item.name))
        out.append(item.body)
        for child, transform, xy in item.refs:
            out.append(struct.pack(">HH", 4, _SREF))
            out.append(_ascii(_SNAME, planned[child].name))
            out.append(transform)
            out.append(xy)
            out.append(_ENDEL_BYTES)
        out.append(struct.pack(">HH", 4, _ENDSTR))
    out.append(struct.pack(">HH", 4, _ENDLIB))
    return out, planned


def structures(component: pf.Component, **options: Any) -> list[Structure]:
    """The structures :func:`to_gds` writes for ``component``, in file order
    (the top one last), each with the name it gets there."""
    return [Structure(p.name, p.component) for p in _encode(component, options)[1]]


def to_gds(component: pf.Component, **options: Any) -> bytes:
    """The GDSII library of ``component`` and everything it references.

    Options: ``user_unit`` and ``database_unit`` (metres; default the
    active PDK's, else 1 µm and 1 nm), ``pin_layer`` (the ``(layer,
    datatype)`` of the port labels, ``None`` for each port's own layer;
    default the PDK's pin layer), ``library`` (the library's name) and
    ``timestamp`` (a :class:`datetime.datetime`; default now).
    """
    return b"".join(_encode(component, options)[0])


def write_gds(component: pf.Component, path: str | os.PathLike[str], **options: Any) -> Path:
    """Write the GDSII library of ``component`` (see :func:`to_gds`) to
    ``path``; returns the path written. Nothing is written when the
    component cannot be encoded, and a file already at ``path`` is replaced
    whole or not at all."""
    chunks, _ = _encode(component, options)
    target = Path(path)
    partial = target.with_name(f".{target.name}.{os.getpid()}.{secrets.token_hex(4)}.tmp")
    try:
        fd = os.open(partial, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
        with open(fd, "wb") as stream:
            stream.writelines(chunks)
            stream.flush()
            os.fsync(stream.fileno())
        os.replace(partial, target)
    finally:
        partial.unlink(missing_ok=True)
    return target
