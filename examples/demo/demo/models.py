"""Circuit models of the project's cells, named like the cells they describe.

The S-parameter types are only named in annotations; the simulator is never
imported at run time.
"""

from __future__ import annotations

from typing import TYPE_CHECKING

from polyforge import models as generic

if TYPE_CHECKING:
    import sax
    from sax import SDict


def wg_straight(*, wl: float = 1.55, length: float = 20.0, loss: float = 0.002) -> sax.SDict:
    return generic.straight(wl=wl, length=length, loss=loss)


def wg_bend(*, wl: float = 1.55, radius: float = 10.0) -> SDict:
    return generic.bend(wl=wl, radius=radius)


def splitter(*, wl: float = 1.55, arm_length: float = 5.0, loss_db: float = 0.2) -> "sax.SDict":
    arm = generic.straight(wl=wl, length=arm_length)[("o1", "o2")]
    split = generic.mmi1x2(wl=wl, loss_db=loss_db)
    return {k: v * arm for k, v in split.items()}


def get_models() -> dict[str, object]:
    """All models of the project by name (not a model itself)."""
    return {"wg_straight": wg_straight, "wg_bend": wg_bend, "splitter": splitter}
