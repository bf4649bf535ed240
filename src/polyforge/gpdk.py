"""A generic PDK with grating couplers: the generic technology plus fibre I/O."""

from __future__ import annotations

import functools

from polyforge import Pdk, components, generic_tech, models

LAYERS = {**generic_tech.LAYERS, "GRATING": (2, 0)}
LAYER_ORDER = ["SLAB", "WG", "GRATING", "M1", "PAD", "LABEL", "PIN"]


@functools.cache
def get_generic_pdk() -> Pdk:
    """Build the gpdk PDK (a new object on every uncached call)."""
    return generic_tech.build_pdk(
        "gpdk",
        cells={**generic_tech.CELLS, "grating_coupler": components.grating_coupler},
        containers=generic_tech.CONTAINERS,
        models={**generic_tech.MODELS, "grating_coupler": models.grating_coupler},
        layers=LAYERS,
        layer_order=LAYER_ORDER,
    )
