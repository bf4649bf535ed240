"""The generic technology: a single waveguide layer, the basic cells and their models."""

from __future__ import annotations

import functools

from polyforge import Pdk, components, containers, models

LAYERS = {"WG": (1, 0), "SLAB": (3, 0), "M1": (41, 0), "PAD": (49, 0), "LABEL": (66, 0)}


@functools.cache
def get_generic_pdk() -> Pdk:
    """Build the generic PDK (a new object on every uncached call)."""
    return Pdk(
        "generic",
        cells={
            "straight": components.straight,
            "bend": components.bend,
            "taper": components.taper,
            "mmi1x2": components.mmi1x2,
            "mmi2x2": components.mmi2x2,
            "pad": components.pad,
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
        },
        layers=dict(LAYERS),
        layer_order=["SLAB", "WG", "M1", "PAD", "LABEL"],
        wavelength=1.55,
    )
