"""Generic container factories: cells that take a component and wrap it."""

from __future__ import annotations

from polyforge import Component, cell
from polyforge.components import pad


@cell
def add_pads(component: Component, pitch: float = 100.0, pad_size: float = 80.0) -> Component:
    """``component`` with one pad per electrical port (a port whose name starts with "e"),
    placed in a row above it; a component without electrical ports gets two pads."""
    c = Component(f"{component.name}_pads")
    c.add_ref(component)
    electrical = [p for p in component.ports.values() if p.name.startswith("e")]
    count = len(electrical) or 2
    box = component.bbox() or ((0.0, 0.0), (0.0, 0.0))
    y = box[1][1] + pad_size
    x0 = (box[0][0] + box[1][0]) / 2 - pitch * (count - 1) / 2
    p = pad(size=pad_size)
    for i in range(count):
        ref = c.add_ref(p, origin=(x0 + i * pitch, y), name=f"pad{i + 1}")
        port = ref.ports["e1"]
        c.add_port(f"e{i + 1}", port.center, port.width, port.orientation, port.layer)
    for name, port in component.ports.items():
        if not name.startswith("e"):
            c.add_port(name, port.center, port.width, port.orientation, port.layer)
    return c


@cell
def add_labels(component: Component, text: str | None = None, layer: tuple[int, int] = (66, 0)) -> Component:
    """``component`` with a small label marker on ``layer`` and the text kept in ``info``."""
    c = Component(f"{component.name}_labelled")
    c.add_ref(component)
    box = component.bbox() or ((0.0, 0.0), (0.0, 0.0))
    x, y = box[0]
    c.add_polygon([(x, y - 2), (x + 1, y - 2), (x + 1, y - 1), (x, y - 1)], layer=layer)
    c.info["label"] = text if text is not None else str(component.name)
    for name, port in component.ports.items():
        c.add_port(name, port.center, port.width, port.orientation, port.layer)
    return c
