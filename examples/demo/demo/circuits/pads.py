"""Electrical pads: the project's own ``add_pads`` replaces the PDK's container of that name."""

import polyforge as pf

from demo.circuits.mzi import mzi


@pf.cell
def add_pads(component: pf.Component, pitch: float = 150.0, count: int = 2) -> pf.Component:
    """``component`` with ``count`` pads in a row above it."""
    c = pf.Component(f"{component.name}_with_pads")
    c.add_ref(component)
    box = component.bbox() or ((0.0, 0.0), (0.0, 0.0))
    pad = pf.Component("demo_pad")
    pad.add_polygon([(-40, -40), (40, -40), (40, 40), (-40, 40)], layer=(49, 0))
    for i in range(count):
        c.add_ref(pad, origin=(box[0][0] + i * pitch, box[1][1] + 60.0))
    for name, port in component.ports.items():
        c.add_port(name, port.center, port.width, port.orientation, port.layer)
    return c


@pf.cell
def mzi_with_pads(delta_length: float = 10.0) -> pf.Component:
    """The MZI with pads for a heater."""
    return add_pads(mzi(delta_length=delta_length))
