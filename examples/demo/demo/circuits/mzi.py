"""A Mach-Zehnder interferometer from two splitters and two arms."""

import polyforge as pf

from demo.cells import splitters as sp
from demo.cells.waveguides import wg_bend, wg_straight


@pf.cell
def mzi(delta_length: float = 10.0, arm_length: float = 40.0) -> pf.Component:
    """Split, run two arms differing by ``delta_length``, combine."""
    c = pf.Component()
    left = c.add_ref(sp.splitter())
    right = c.add_ref(sp.splitter(), origin=(arm_length + 60.0, 0.0), rotation=180)
    c.add_ref(wg_straight(length=arm_length), origin=(20.0, 10.0))
    c.add_ref(wg_straight(length=arm_length + delta_length), origin=(20.0, -10.0))
    c.add_ref(wg_bend(), origin=(15.0, 5.0))
    c.add_port("o1", left.ports["o1"].center, 0.5, 180)
    c.add_port("o2", right.ports["o1"].center, 0.5, 0)
    return c
