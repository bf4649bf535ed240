"""polyforge: a small layout library.

A :class:`Component` holds polygons on layers, named ports and references to
other components. A cell factory is a function decorated with :func:`cell`
that builds and returns a component. A :class:`Pdk` (process design kit)
groups a technology's cell factories (``cells``), container factories
(``containers``: factories that take a component and wrap it, for instance
with pads or labels) and circuit models (``models``); one PDK at a time is the
active one (:meth:`Pdk.activate`, :func:`get_active_pdk`).
"""

from __future__ import annotations

import functools
import math
import re
from collections.abc import Callable, Iterable, Mapping
from typing import Any, ParamSpec, overload

__all__ = [
    "Component",
    "Pdk",
    "Port",
    "Reference",
    "cell",
    "get_active_pdk",
    "is_cell",
]

Layer = tuple[int, int]
Point = tuple[float, float]

DEFAULT_LAYER: Layer = (1, 0)

# Attribute that marks a function made by the cell decorator.
_CELL_MARK = "__polyforge_cell__"


# --------------------------------------------------------------------------
# Geometry
# --------------------------------------------------------------------------


def _rotate(point: Point, degrees: float) -> Point:
    """``point`` rotated by ``degrees`` about the origin.

    Multiples of 90 degrees are exact, so rectilinear layouts stay on grid.
    """
    x, y = point
    quarter, rest = divmod(degrees, 90)
    if rest == 0:
        for _ in range(int(quarter) % 4):
            x, y = -y, x
        return (x, y)
    a = math.radians(degrees)
    c, s = math.cos(a), math.sin(a)
    return (x * c - y * s, x * s + y * c)


def _layer(layer: Iterable[int]) -> Layer:
    """A ``(layer, datatype)`` pair of integers."""
    pair = tuple(layer)
    if len(pair) != 2:
        raise ValueError(f"a layer is a (layer, datatype) pair, got {pair!r}")
    return (int(pair[0]), int(pair[1]))


class Port:
    """A named connection point: centre, width, direction (degrees) and layer."""

    __slots__ = ("name", "center", "width", "orientation", "layer")

    def __init__(
        self,
        name: str,
        center: Point,
        width: float,
        orientation: float,
        layer: Layer = DEFAULT_LAYER,
    ) -> None:
        if width <= 0:
            raise ValueError(f"port {name!r}: width must be positive, got {width!r}")
        self.name = name
        self.center = (float(center[0]), float(center[1]))
        self.width = float(width)
        self.orientation = float(orientation) % 360
        self.layer: Layer = _layer(layer)

    def transformed(self, origin: Point, rotation: float, mirror: bool = False) -> Port:
        """The port placed like a reference: mirrored in the x axis first when
        ``mirror``, then rotated by ``rotation`` degrees and moved to ``origin``."""
        cx, cy = self.center
        orientation = self.orientation
        if mirror:
            cy, orientation = -cy, -orientation
        x, y = _rotate((cx, cy), rotation)
        return Port(self.name, (x + origin[0], y + origin[1]), self.width,
                    orientation + rotation, self.layer)

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Port):
            return NotImplemented
        return (self.name, self.center, self.width, self.orientation, self.layer) == (
            other.name, other.center, other.width, other.orientation, other.layer)

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        return (f"Port({self.name!r}, center={self.center}, width={self.width}, "
                f"orientation={self.orientation}, layer={self.layer})")


class Reference:
    """An instance of a component placed at ``origin`` and rotated by ``rotation`` degrees.

    With ``mirror`` the component is first mirrored in its own x axis
    (``y`` becomes ``-y``), then rotated and moved: the order layout files use.
    """

    __slots__ = ("component", "origin", "rotation", "name", "mirror")

    def __init__(self, component: Component, origin: Point = (0.0, 0.0),
                 rotation: float = 0.0, name: str | None = None, *, mirror: bool = False) -> None:
        if not isinstance(component, Component):
            raise TypeError(f"a reference needs a Component, got {type(component).__name__}")
        self.component = component
        self.origin = (float(origin[0]), float(origin[1]))
        self.rotation = float(rotation)
        self.name = name
        self.mirror = bool(mirror)

    @property
    def ports(self) -> dict[str, Port]:
        """The component's ports, placed like the reference."""
        return {n: p.transformed(self.origin, self.rotation, self.mirror)
                for n, p in self.component.ports.items()}

    def points(self) -> list[Point]:
        """Every polygon vertex of the referenced component, placed like the reference."""
        out = []
        flip = -1.0 if self.mirror else 1.0
        for x, y in self.component._all_points():
            rx, ry = _rotate((x, flip * y), self.rotation)
            out.append((rx + self.origin[0], ry + self.origin[1]))
        return out

    def __repr__(self) -> str:
        return (f"Reference({self.component.name!r}, origin={self.origin}, "
                f"rotation={self.rotation}{', mirror=True' if self.mirror else ''})")


class Component:
    """A layout cell: polygons by layer, ports, and references to other components."""

    def __init__(self, name: str | None = None) -> None:
        self.name = name
        self.polygons: list[tuple[Layer, tuple[Point, ...]]] = []
        self.ports: dict[str, Port] = {}
        self.references: list[Reference] = []
        self.info: dict[str, Any] = {}

    def add_polygon(self, points: Iterable[Point], layer: Layer = DEFAULT_LAYER) -> tuple[Point, ...]:
        pts = tuple((float(x), float(y)) for x, y in points)
        if len(pts) < 3:
            raise ValueError(f"a polygon needs at least 3 points, got {len(pts)}")
        self.polygons.append((_layer(layer), pts))
        return pts

    def add_port(self, name: str, center: Point, width: float, orientation: float,
                 layer: Layer = DEFAULT_LAYER) -> Port:
        if name in self.ports:
            raise ValueError(f"component {self.name!r} already has a port {name!r}")
        port = Port(name, center, width, orientation, layer)
        self.ports[name] = port
        return port

    def add_ref(self, component: Component, *, origin: Point = (0.0, 0.0),
                rotation: float = 0.0, name: str | None = None, mirror: bool = False) -> Reference:
        """Place ``component`` here: mirrored in its x axis first when ``mirror``,
        then rotated by ``rotation`` degrees and moved to ``origin``."""
        if component is self:
            raise ValueError("a component cannot reference itself")
        ref = Reference(component, origin, rotation, name, mirror=mirror)
        self.references.append(ref)
        return ref

    def _all_points(self) -> list[Point]:
        pts = [p for _, poly in self.polygons for p in poly]
        for ref in self.references:
            pts.extend(ref.points())
        return pts

    def bbox(self) -> tuple[Point, Point] | None:
        """``((xmin, ymin), (xmax, ymax))`` over all polygons and references, or ``None`` when empty."""
        pts = self._all_points()
        if not pts:
            return None
        xs = [p[0] for p in pts]
        ys = [p[1] for p in pts]
        return ((min(xs), min(ys)), (max(xs), max(ys)))

    def _repr_svg_(self) -> str:
        """The drawing notebooks show (see :mod:`polyforge.svg`)."""
        from polyforge import svg

        return svg.to_svg(self)

    def write_svg(self, path: Any) -> Any:
        """Write the drawing to ``path`` (see :mod:`polyforge.svg`); returns the path."""
        from polyforge import svg

        return svg.write_svg(self, path)

    def write_gds(self, path: Any, **options: Any) -> Any:
        """Write this component and every component it references to ``path``
        as a GDSII stream (see :mod:`polyforge.gds`); returns the path."""
        from polyforge import gds

        return gds.write_gds(self, path, **options)

    def __repr__(self) -> str:
        return (f"Component({self.name!r}, polygons={len(self.polygons)}, "
                f"ports={list(self.ports)}, references={len(self.references)})")


# --------------------------------------------------------------------------
# Cell factories
# --------------------------------------------------------------------------


def _format_value(value: Any) -> str:
    if isinstance(value, float) and value.is_integer():
        value = int(value)
    text = re.sub(r"[^0-9A-Za-z.\-]+", "_", str(value)).strip("_")
    return text or "x"


def _component_name(base: str, args: tuple[Any, ...], kwargs: Mapping[str, Any]) -> str:
    parts = [base]
    parts.extend(_format_value(a) for a in args)
    parts.extend(f"{k}{_format_value(v)}" for k, v in sorted(kwargs.items()))
    return "_".join(parts)


P = ParamSpec("P")


@overload
def cell(func: Callable[P, Component], /) -> Callable[P, Component]: ...
@overload
def cell(func: None = None, /) -> Callable[[Callable[P, Component]], Callable[P, Component]]: ...


def cell(
    func: Callable[P, Component] | None = None, /
) -> Callable[P, Component] | Callable[[Callable[P, Component]], Callable[P, Component]]:
    """Mark a function as a cell factory; usable as ``@cell`` and as ``@cell()``.

    The wrapper keeps the function's name, module, qualified name and
    docstring (``__wrapped__`` is the function itself) and, for type
    checkers, its parameters. Each call checks that the function returned a
    :class:`Component` and names an unnamed component after the factory and
    its arguments.
    """

    def decorate(f: Callable[P, Component]) -> Callable[P, Component]:
        if not callable(f):
            raise TypeError(f"cell() decorates a function, got {type(f).__name__}")

        @functools.wraps(f)
        def factory(*args: P.args, **kwargs: P.kwargs) -> Component:
            component = f(*args, **kwargs)
            if not isinstance(component, Component):
                raise TypeError(
                    f"cell {getattr(f, '__qualname__', f)!r} returned {type(component).__name__}, "
                    "expected a Component")
            if component.name is None:
                component.name = _component_name(getattr(f, "__name__", "cell"), args, kwargs)
            return component

        setattr(factory, _CELL_MARK, True)
        return factory

    if func is None:
        return decorate
    return decorate(func)


def is_cell(obj: object) -> bool:
    """True when ``obj`` was made by the :func:`cell` decorator."""
    return getattr(obj, _CELL_MARK, False) is True


# --------------------------------------------------------------------------
# PDK
# --------------------------------------------------------------------------

_active_pdk: Pdk | None = None


class Pdk:
    """A process design kit: named cells, containers and models, plus free attributes.

    Every attribute lives in the instance ``__dict__``; the class defines no
    slots and no attribute hooks, so a shallow copy (``copy.copy``) has its own
    dictionary, and a subclass that only adds ``__setattr__``/``__delattr__``
    can take over an existing instance by ``__class__`` assignment. The
    methods only read attributes, so they keep working when the dictionaries
    have been replaced by read-only mappings and the lists by tuples.
    """

    def __init__(
        self,
        name: str,
        *,
        cells: Mapping[str, Callable[..., Component]] | None = None,
        containers: Mapping[str, Callable[..., Component]] | None = None,
        models: Mapping[str, Callable[..., Any]] | None = None,
        **attrs: Any,
    ) -> None:
        if not isinstance(name, str) or not name:
            raise ValueError(f"a PDK needs a non-empty name, got {name!r}")
        self.name = name
        self.cells = dict(cells) if cells is not None else {}
        self.containers = dict(containers) if containers is not None else {}
        self.models = dict(models) if models is not None else {}
        for key, value in attrs.items():
            setattr(self, key, value)

    def activate(self) -> None:
        """Make this PDK the active one."""
        global _active_pdk
        _active_pdk = self

    def get_cell(self, name: str) -> Callable[..., Component]:
        """The cell factory registered as ``name`` (cells first, then containers)."""
        if name in self.cells:
            return self.cells[name]
        if name in self.containers:
            return self.containers[name]
        raise KeyError(f"PDK {self.name!r} has no cell or container named {name!r}")

    def get_component(self, name: str, /, *args: Any, **kwargs: Any) -> Component:
        """Build the cell ``name`` with the given arguments."""
        return self.get_cell(name)(*args, **kwargs)

    def get_model(self, name: str) -> Callable[..., Any]:
        if name in self.models:
            return self.models[name]
        raise KeyError(f"PDK {self.name!r} has no model named {name!r}")

    def __repr__(self) -> str:
        return (f"{type(self).__name__}({self.name!r}, cells={len(self.cells)}, "
                f"containers={len(self.containers)}, models={len(self.models)})")


def get_active_pdk() -> Pdk:
    """The PDK activated last; ``RuntimeError`` when none was activated yet."""
    if _active_pdk is None:
        raise RuntimeError("no PDK is active: call activate() on a polyforge.Pdk first")
    return _active_pdk
