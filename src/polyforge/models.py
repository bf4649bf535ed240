"""Circuit models of the generic cells.

Each model returns S-parameters as a mapping from a pair of port names to a
complex transmission coefficient, the layout the circuit simulator calls an
``SDict``. The simulator itself is only named in annotations and is never
imported here.
"""

from __future__ import annotations

import cmath
import math
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    import sax


def _reciprocal(pairs: dict[tuple[str, str], complex]) -> dict[tuple[str, str], complex]:
    out = dict(pairs)
    for (a, b), v in pairs.items():
        out.setdefault((b, a), v)
    return out


def _propagate(length: float, wl: float, neff: float, loss_db_per_um: float) -> complex:
    amplitude = 10 ** (-loss_db_per_um * length / 20)
    return amplitude * cmath.exp(2j * math.pi * neff * length / wl)


def straight(*, wl: float = 1.55, length: float = 10.0, neff: float = 2.34,
             loss: float = 0.0) -> sax.SDict:
    """A lossy waveguide section; ``loss`` in dB per micrometre."""
    return _reciprocal({("o1", "o2"): _propagate(length, wl, neff, loss)})


def bend(*, wl: float = 1.55, radius: float = 10.0, angle: float = 90.0, neff: float = 2.34,
         loss: float = 0.001) -> sax.SDict:
    """A circular bend, modelled as a waveguide of the arc's length."""
    length = radius * math.radians(angle)
    return _reciprocal({("o1", "o2"): _propagate(length, wl, neff, loss)})


def taper(*, wl: float = 1.55, length: float = 10.0, neff: float = 2.34,
          loss: float = 0.0) -> sax.SDict:
    return _reciprocal({("o1", "o2"): _propagate(length, wl, neff, loss)})


def mmi1x2(*, wl: float = 1.55, loss_db: float = 0.3) -> sax.SDict:
    """An ideal 1x2 splitter with ``loss_db`` excess loss."""
    t = 10 ** (-loss_db / 20) / math.sqrt(2)
    return _reciprocal({("o1", "o2"): t, ("o1", "o3"): t})


def mmi2x2(*, wl: float = 1.55, loss_db: float = 0.3, coupling: float = 0.5) -> sax.SDict:
    """A 2x2 coupler; ``coupling`` is the power fraction crossing over."""
    if not 0.0 <= coupling <= 1.0:
        raise ValueError(f"mmi2x2: coupling must lie in [0, 1], got {coupling!r}")
    a = 10 ** (-loss_db / 20)
    through = a * math.sqrt(1 - coupling)
    cross = 1j * a * math.sqrt(coupling)
    return _reciprocal({("o1", "o4"): through, ("o2", "o3"): through,
                        ("o1", "o3"): cross, ("o2", "o4"): cross})


def grating_coupler(*, wl: float = 1.55, wl0: float = 1.55, bandwidth: float = 0.035,
                    peak_loss_db: float = 3.0) -> sax.SDict:
    """A Gaussian pass band around ``wl0`` between fibre port o2 and waveguide port o1."""
    peak = 10 ** (-peak_loss_db / 20)
    t = peak * math.exp(-(((wl - wl0) / bandwidth) ** 2))
    return _reciprocal({("o1", "o2"): t})
