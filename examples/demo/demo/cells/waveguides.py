"""Waveguide pieces with the project's default width."""

import polyforge as pf
from polyforge import components

WIDTH = 0.45


def _copy_ports(c: pf.Component, ref: pf.Reference) -> None:
    for name, port in ref.ports.items():
        c.add_port(name, port.center, port.width, port.orientation, port.layer)


@pf.cell
def wg_straight(length: float = 20.0, width: float = WIDTH) -> pf.Component:
    """A straight waveguide."""
    c = pf.Component()
    _copy_ports(c, c.add_ref(components.straight(length=length, width=width)))
    return c


@pf.cell()
def wg_bend(radius: float = 10.0, width: float = WIDTH) -> pf.Component:
    """A 90-degree bend."""
    c = pf.Component()
    _copy_ports(c, c.add_ref(components.bend(radius=radius, width=width)))
    return c


@pf.cell
def wg_taper(length: float = 15.0, width_out: float = 2.0) -> pf.Component:
    """A taper from the project width to ``width_out``."""
    c = pf.Component()
    _copy_ports(c, c.add_ref(components.taper(length=length, width1=WIDTH, width2=width_out)))
    return c
