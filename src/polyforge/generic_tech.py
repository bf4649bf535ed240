"""The generic technology: a single waveguide layer, the basic cells and their models.

``PIN`` is the layer that layout files carry the ports' names on, as text
labels (see :mod:`polyforge.gds`).
"""

from __future__ import annotations

import functools
from typing import Any

from polyforge import Pdk, components, containers, models

LAYERS = {"WG": (1, 0), "SLAB": (3, 0), "M1": (41, 0), "PAD": (49, 0), "LABEL": (66, 0), "PIN": (1, 10)}
LAYER_ORDER = ["SLAB", "WG", "M1", "PAD", "LABEL", "PIN"]

CELLS = {
    "straight": components.straight,
    "bend": components.bend,
    "taper": components.taper,
    "mmi1x2": components.mmi1x2,
    "mmi2x2": components.mmi2x2,
    "pad": components.pad,
}
CONTAINERS = {
    "add_pads": containers.add_pads,
    "add_labels": containers.add_labels,
}
MODELS = {
    "straight": models.straight,
    "bend": models.bend,
    "taper": models.taper,
    "mmi1x2": models.mmi1x2,
    "mmi2x2": models.mmi2x2,
}


def build_pdk(name: str, *, cells: dict[str, Any], containers: dict[str, Any], models: dict[str, Any],
              layers: dict[str, Any], layer_order: list[Any]) -> Pdk:
    """A new PDK of the generic kind; every call makes new registries."""
    return Pdk(
        name,
        cells=dict(cells),
        containers=dict(containers),
        models=dict(models),
        layers=dict(layers),
        layer_order=list(layer_order),
        wavelength=1.55,
    )


@functools.cache
def get_generic_pdk() -> Pdk:
    """Build the generic PDK (a new object on every uncached call)."""
    return build_pdk("generic", cells=CELLS, containers=CONTAINERS, models=MODELS, layers=LAYERS,
                     layer_order=LAYER_ORDER)
