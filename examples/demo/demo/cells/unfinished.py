"""A ring resonator that is not finished yet.

Importing this module fails on purpose, so that a registration pass shows
what happens to the cells of a broken file: ``ring`` is registered as an
error cell that raises the import error when built.
"""

import polyforge as pf


@pf.cell
def ring(radius: float = 10.0, gap: float = 0.2) -> pf.Component:
    """A ring coupled to a bus waveguide."""
    raise NotImplementedError


raise NotImplementedError("the ring resonator in demo/cells/unfinished.py is not finished yet")
