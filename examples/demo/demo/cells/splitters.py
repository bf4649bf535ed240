"""Splitters: a 1x2 MMI with waveguide arms, and trees of them."""

from polyforge import Component, cell
from polyforge.components import mmi1x2

from demo.cells.waveguides import wg_straight


@cell
def splitter(arm_length: float = 5.0) -> Component:
    """A 1x2 MMI whose two outputs continue as straight arms."""
    c = Component()
    mmi = c.add_ref(mmi1x2())
    c.add_port("o1", mmi.ports["o1"].center, 0.5, 180)
    for out in ("o2", "o3"):
        port = mmi.ports[out]
        arm = c.add_ref(wg_straight(length=arm_length), origin=port.center)
        end = arm.ports["o2"]
        c.add_port(out, end.center, end.width, end.orientation)
    return c


@cell()
def splitter_tree(levels: int = 2, spacing: float = 50.0) -> Component:
    """``levels`` stages of splitters, fanning out to 2**levels outputs."""
    if levels < 1:
        raise ValueError("splitter_tree: levels must be at least 1")
    c = Component()
    s = splitter()
    for level in range(levels):
        count = 2 ** level
        for i in range(count):
            y = (i - (count - 1) / 2) * spacing * 2 ** (levels - level - 1)
            c.add_ref(s, origin=(level * 40.0, y))
    return c
