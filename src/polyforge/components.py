"""Generic cell factories: waveguide pieces built from simple polygons."""

from __future__ import annotations

import math

from polyforge import DEFAULT_LAYER, Component, Layer, cell


def _band(x0: float, x1: float, width0: float, width1: float) -> list[tuple[float, float]]:
    """The quadrilateral from x0 to x1, centred on y = 0, ``width0`` wide at x0
    and ``width1`` at x1."""
    return [(x0, -width0 / 2), (x1, -width1 / 2), (x1, width1 / 2), (x0, width0 / 2)]


@cell
def straight(length: float = 10.0, width: float = 0.5, layer: Layer = DEFAULT_LAYER) -> Component:
    """A straight waveguide from port o1 at the origin to o2 at ``(length, 0)``."""
    if length <= 0:
        raise ValueError(f"straight: length must be positive, got {length!r}")
    c = Component()
    c.add_polygon(_band(0, length, width, width), layer=layer)
    c.add_port("o1", (0, 0), width, 180, layer)
    c.add_port("o2", (length, 0), width, 0, layer)
    c.info["length"] = length
    return c


@cell
def bend(radius: float = 10.0, width: float = 0.5, angle: float = 90.0,
         layer: Layer = DEFAULT_LAYER, points: int = 32) -> Component:
    """A circular bend turning left by ``angle`` degrees, radius ``radius``."""
    if radius <= width / 2:
        raise ValueError(f"bend: radius {radius!r} too small for width {width!r}")
    if points < 2:
        raise ValueError("bend: points must be at least 2")
    c = Component()
    a = math.radians(angle)
    near: list[tuple[float, float]] = []
    far: list[tuple[float, float]] = []
    for i in range(points + 1):
        t = a * i / points
        # Arc centred at (0, radius), starting at the origin heading east.
        for r, side in ((radius - width / 2, near), (radius + width / 2, far)):
            side.append((r * math.sin(t), radius - r * math.cos(t)))
    c.add_polygon(near + far[::-1], layer=layer)
    end = (radius * math.sin(a), radius - radius * math.cos(a))
    c.add_port("o1", (0, 0), width, 180, layer)
    c.add_port("o2", end, width, angle, layer)
    c.info["length"] = radius * a
    return c


@cell
def taper(length: float = 10.0, width1: float = 0.5, width2: float = 1.0,
          layer: Layer = DEFAULT_LAYER) -> Component:
    """A linear taper from ``width1`` at o1 to ``width2`` at o2."""
    c = Component()
    c.add_polygon(_band(0, length, width1, width2), layer=layer)
    c.add_port("o1", (0, 0), width1, 180, layer)
    c.add_port("o2", (length, 0), width2, 0, layer)
    return c


@cell
def mmi1x2(length: float = 5.5, width: float = 2.5, width_wg: float = 0.5,
           gap: float = 0.25, layer: Layer = DEFAULT_LAYER) -> Component:
    """A 1x2 multimode-interference splitter: input o1, outputs o2 (upper) and o3 (lower)."""
    c = Component()
    c.add_polygon(_band(0, length, width, width), layer=layer)
    y = (gap + width_wg) / 2
    c.add_port("o1", (0, 0), width_wg, 180, layer)
    c.add_port("o2", (length, y), width_wg, 0, layer)
    c.add_port("o3", (length, -y), width_wg, 0, layer)
    return c


@cell
def mmi2x2(length: float = 15.5, width: float = 2.5, width_wg: float = 0.5,
           gap: float = 0.25, layer: Layer = DEFAULT_LAYER) -> Component:
    """A 2x2 multimode-interference coupler: inputs o1/o2, outputs o3/o4."""
    c = Component()
    c.add_polygon(_band(0, length, width, width), layer=layer)
    y = (gap + width_wg) / 2
    c.add_port("o1", (0, -y), width_wg, 180, layer)
    c.add_port("o2", (0, y), width_wg, 180, layer)
    c.add_port("o3", (length, y), width_wg, 0, layer)
    c.add_port("o4", (length, -y), width_wg, 0, layer)
    return c


@cell
def pad(size: float = 80.0, layer: Layer = (49, 0)) -> Component:
    """A square metal pad centred on the origin with one electrical port e1."""
    c = Component()
    s = size / 2
    c.add_polygon([(-s, -s), (s, -s), (s, s), (-s, s)], layer=layer)
    c.add_port("e1", (0, s), size, 90, layer)
    return c


@cell
def grating_coupler(period: float = 0.63, teeth: int = 20, width: float = 10.0,
                    layer: Layer = DEFAULT_LAYER) -> Component:
    """A grating coupler of ``teeth`` rectangular teeth, fed through port o1."""
    if teeth < 1:
        raise ValueError("grating_coupler: at least one tooth")
    c = Component()
    for i in range(teeth):
        x = i * period
        c.add_polygon(_band(x, x + period / 2, width, width), layer=layer)
    c.add_port("o1", (0, 0), 0.5, 180, layer)
    return c
