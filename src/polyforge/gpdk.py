"""A generic PDK with grating couplers: the generic technology plus fibre I/O."""

from __future__ import annotations

import functools

from polyforge import Pdk, components, containers, models

LAYERS = {"WG": (1, 0), "SLAB": (3, 0), "GRATING": (2, 0), "M1": (41, 0),
          "PAD": (49, 0), "LABEL": (66, 0)}


@functools.cache
def get_generic_pdk() -> Pdk:
    """Build the gpdk PDK (a new object on every uncached call)."""
    return Pdk(
        "gpdk",
        cells={
            "straight": components.straight,
            "bend": components.bend,
            "taper": components.taper,
            "mmi1x2": components.mmi1x2,
            "mmi2x2": components.mmi2x2,
            "pad": components.pad,
            "grating_coupler": components.grating_coupler,
        },
        containers={
            "add_pads": containers.add_pads,
            "add_labels": containers.add_labels,
        },
        models={
            "straight": models.straight,
            "bend": models.bend,
            "taper": models.taper,
            "mmi1x2": models.mmi1x2,
            "mmi2x2": models.mmi2x2,
            "grating_coupler": models.grating_coupler,
        },
        layers=dict(LAYERS),
        layer_order=["SLAB", "WG", "GRATING", "M1", "PAD", "LABEL"],
        wavelength=1.55,
    )
