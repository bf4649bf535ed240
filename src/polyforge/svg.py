"""Drawing components as SVG.

:func:`to_svg` flattens a component (its own polygons and those of every
reference, placed by the references' origins, rotations and mirroring,
down to the leaves) and draws it: one colour and fill pattern per layer, taken in the
order of the technology's layer table, a legend of the layers drawn, the
component's ports as arrows with their names, a scale bar and the bounding
box in micrometres. The picture is in pixels (layout ``y`` points up, so it
is mirrored on the way out); polygons keep their geometry, only the scale
changes.

The layer table is the active PDK's ``layers`` (name to ``(layer,
datatype)``) and ``layer_order`` unless one is passed; a layer that the
table does not name is drawn under its numbers after the named ones.
"""

from __future__ import annotations

import math
import os
from collections.abc import Iterator, Mapping, Sequence
from dataclasses import dataclass
from pathlib import Path
from xml.sax.saxutils import escape, quoteattr

import polyforge as pf

__all__ = ["LayerStyle", "layer_styles", "to_svg", "write_svg"]

# Colours and patterns handed out in the layer table's order.
PALETTE = ("#2563eb", "#dc2626", "#059669", "#d97706", "#7c3aed", "#db2777",
           "#0891b2", "#65a30d", "#475569", "#ea580c")
PATTERNS = ("dots", "solid", "hatch", "cross", "backhatch", "horizontal", "vertical")

MAX_WIDTH = 760.0  # pixels available to the drawing itself
MAX_HEIGHT = 520.0
MARGIN = 28.0
LEGEND_WIDTH = 170.0
FONT = "font-family=\"system-ui, -apple-system, 'Segoe UI', sans-serif\""

# x' = a x + b y + dx, y' = c x + d y + dy
_Transform = tuple[float, float, float, float, float, float]  # a, b, c, d, dx, dy
_IDENTITY: _Transform = (1.0, 0.0, 0.0, 1.0, 0.0, 0.0)


@dataclass(frozen=True, slots=True)
class LayerStyle:
    """How one layer is drawn."""

    name: str
    layer: pf.Layer
    color: str
    pattern: str

    @property
    def css_id(self) -> str:
        return f"layer-{self.layer[0]}-{self.layer[1]}"


def layer_styles(layers: Mapping[str, Sequence[int]], order: Sequence[str] = (),
                 extra: Sequence[pf.Layer] = ()) -> list[LayerStyle]:
    """One style per layer, bottom first: the names of ``order``, then the
    table's other names, then the ``extra`` layers the table does not name."""
    names = [n for n in order if n in layers] + [n for n in layers if n not in order]
    table = [(n, (int(layers[n][0]), int(layers[n][1]))) for n in names]
    known = {layer for _, layer in table}
    table += [(f"{l}/{d}", (l, d)) for l, d in sorted(set(extra) - known)]
    styles, seen = [], set()
    for i, (name, layer) in enumerate(table):
        if layer in seen:  # two names for one layer: the first one draws it
            continue
        seen.add(layer)
        styles.append(LayerStyle(name, layer, PALETTE[i % len(PALETTE)], PATTERNS[i % len(PATTERNS)]))
    return styles


def _active_table() -> tuple[Mapping[str, Sequence[int]], Sequence[str]]:
    try:
        pdk = pf.get_active_pdk()
    except RuntimeError:
        return {}, ()
    layers = getattr(pdk, "layers", None)
    if not isinstance(layers, Mapping):
        return {}, ()
    return layers, tuple(getattr(pdk, "layer_order", ()) or ())


# --------------------------------------------------------------------------
# Flattening
# --------------------------------------------------------------------------


def _rotation(degrees: float) -> tuple[float, float]:
    """cos and sin of ``degrees``, exact for quarter turns."""
    quarter, rest = divmod(degrees, 90)
    if rest == 0:
        return ((1.0, 0.0), (0.0, 1.0), (-1.0, 0.0), (0.0, -1.0))[int(quarter) % 4]
    a = math.radians(degrees)
    return (math.cos(a), math.sin(a))


def _compose(outer: _Transform, ref: pf.Reference) -> _Transform:
    """The transformation of ``ref``'s component inside ``outer``'s frame:
    mirrored in x first (when the reference says so), rotated, moved."""
    a, b, c, d, dx, dy = outer
    rc, rs = _rotation(ref.rotation)
    f = -1.0 if ref.mirror else 1.0
    # The reference's own matrix: [[rc, -rs * f], [rs, rc * f]].
    ra, rb, rcc, rd = rc, -rs * f, rs, rc * f
    ox, oy = ref.origin
    return (a * ra + b * rcc, a * rb + b * rd, c * ra + d * rcc, c * rb + d * rd,
            a * ox + b * oy + dx, c * ox + d * oy + dy)


def flatten(component: pf.Component) -> Iterator[tuple[pf.Layer, list[pf.Point]]]:
    """Every polygon of ``component`` and of its references, depth first, in
    the top component's coordinates. A component that references itself
    through other components raises ``ValueError``."""
    stack: list[int] = []

    def walk(comp: pf.Component, t: _Transform) -> Iterator[tuple[pf.Layer, list[pf.Point]]]:
        if id(comp) in stack:
            raise ValueError(f"component {comp.name!r} references itself through its references")
        stack.append(id(comp))
        a, b, c, d, dx, dy = t
        if t == _IDENTITY:
            for layer, pts in comp.polygons:
                yield layer, list(pts)
        else:
            for layer, pts in comp.polygons:
                yield layer, [(a * x + b * y + dx, c * x + d * y + dy) for x, y in pts]
        for ref in comp.references:
            yield from walk(ref.component, _compose(t, ref))
        stack.pop()

    return walk(component, _IDENTITY)


# --------------------------------------------------------------------------
# Drawing
# --------------------------------------------------------------------------


def _num(value: float) -> str:
    text = f"{value:.2f}"
    if "." in text:
        text = text.rstrip("0").rstrip(".")
    return "0" if text == "-0" else text


def _um(value: float) -> str:
    """A length in micrometres as people write it."""
    text = f"{value:.3f}".rstrip("0").rstrip(".")
    return "0" if text in ("-0", "") else text


def _nice_length(span: float) -> float:
    """A round length (1, 2 or 5 times a power of ten) near a fifth of ``span``."""
    if span <= 0:
        return 1.0
    target = span / 5
    power = 10 ** math.floor(math.log10(target))
    for step in (5, 2, 1):
        if step * power <= target:
            return float(step * power)
    return float(power)


def _pattern_def(style: LayerStyle) -> str:
    pid, color = f"pat-{style.css_id}", style.color
    head = f'<pattern id="{pid}" patternUnits="userSpaceOnUse" width="8" height="8"'
    background = f'<rect width="8" height="8" fill="{color}" fill-opacity="0.18"/>'
    line = f'stroke="{color}" stroke-width="1.2"'
    marks = {
        "solid": f'<rect width="8" height="8" fill="{color}" fill-opacity="0.55"/>',
        "hatch": f'<path d="M-2,2 l4,-4 M0,8 l8,-8 M6,10 l4,-4" {line}/>',
        "backhatch": f'<path d="M-2,6 l4,4 M0,0 l8,8 M6,-2 l4,4" {line}/>',
        "cross": f'<path d="M-2,2 l4,-4 M0,8 l8,-8 M6,10 l4,-4 M-2,6 l4,4 M0,0 l8,8 M6,-2 l4,4" {line}/>',
        "dots": f'<circle cx="4" cy="4" r="1.4" fill="{color}"/>',
        "horizontal": f'<path d="M0,4 h8" {line}/>',
        "vertical": f'<path d="M4,0 v8" {line}/>',
    }
    return f"{head}>{background}{marks[style.pattern]}</pattern>"


def _port_marker(port: pf.Port, px: float, py: float, scale: float) -> str:
    """An arrow pointing out of the component along the port's direction, and its name."""
    a = math.radians(port.orientation)
    ux, uy = math.cos(a), -math.sin(a)  # y mirrored
    half = max(port.width * scale / 2, 4.0)
    length = max(half * 2, 12.0)
    nx, ny = -uy, ux
    tip = (px + ux * length, py + uy * length)
    points = " ".join(f"{_num(x)},{_num(y)}" for x, y in (
        (px + nx * half, py + ny * half), tip, (px - nx * half, py - ny * half)))
    tx, ty = px + ux * (length + 10), py + uy * (length + 10)
    anchor = "start" if ux > 0.3 else "end" if ux < -0.3 else "middle"
    baseline = ' dominant-baseline="middle"' if abs(uy) < 0.7 else (
        ' dominant-baseline="hanging"' if uy > 0 else "")
    return (f'<g class="port" data-name={quoteattr(port.name)}>'
            f'<polygon points="{points}"/>'
            f'<text x="{_num(tx)}" y="{_num(ty)}" text-anchor="{anchor}"{baseline}>'
            f"{escape(port.name)}</text></g>")


def to_svg(component: pf.Component, *, layers: Mapping[str, Sequence[int]] | None = None,
           layer_order: Sequence[str] | None = None) -> str:
    """The drawing of ``component`` as the text of an SVG document.

    ``layers``/``layer_order`` give the layer table (default: the active
    PDK's, when there is one).
    """
    if not isinstance(component, pf.Component):
        raise TypeError(f"to_svg() draws a polyforge Component, got {type(component).__name__}")
    if layers is None:
        layers, default_order = _active_table()
        layer_order = default_order if layer_order is None else layer_order
    by_layer: dict[pf.Layer, list[list[pf.Point]]] = {}
    for layer, pts in flatten(component):
        by_layer.setdefault(layer, []).append(pts)
    styles = [s for s in layer_styles(layers, layer_order or (), tuple(by_layer)) if s.layer in by_layer]

    xs = [x for polys in by_layer.values() for pts in polys for x, _ in pts]
    ys = [y for polys in by_layer.values() for pts in polys for _, y in pts]
    ports = list(component.ports.values())
    empty = not xs
    xs += [p.center[0] for p in ports]
    ys += [p.center[1] for p in ports]
    x0, x1 = (min(xs), max(xs)) if xs else (0.0, 1.0)
    y0, y1 = (min(ys), max(ys)) if ys else (0.0, 1.0)
    w, h = x1 - x0, y1 - y0
    if w <= 0 and h <= 0:
        scale = 1.0
    else:
        scale = min(MAX_WIDTH / w if w > 0 else math.inf, MAX_HEIGHT / h if h > 0 else math.inf)
    draw_w, draw_h = max(w * scale, 160.0), max(h * scale, 60.0)
    pad = 40.0  # room for the port arrows and names
    left = MARGIN + pad + (draw_w - w * scale) / 2
    top = MARGIN + 30 + pad + (draw_h - h * scale) / 2
    width = max(MARGIN * 2 + pad * 2 + draw_w + LEGEND_WIDTH, 560.0)
    height = max(MARGIN * 2 + 30 + pad * 2 + draw_h + 44, MARGIN * 2 + 60 + 22 * len(styles))

    def px(x: float) -> float:
        return left + (x - x0) * scale

    def py(y: float) -> float:
        return top + (y1 - y) * scale

    out = [
        f'<svg xmlns="http://www.w3.org/2000/svg" class="polyforge-component" '
        f'width="{_num(width)}" height="{_num(height)}" viewBox="0 0 {_num(width)} {_num(height)}" '
        f'data-component={quoteattr(str(component.name))} {FONT} font-size="12">',
        f"<title>{escape(str(component.name))}</title>",
        "<defs>" + "".join(_pattern_def(s) for s in styles) + "</defs>",
        f'<rect class="background" width="{_num(width)}" height="{_num(height)}" fill="#ffffff"/>',
        f'<text class="title" x="{_num(MARGIN)}" y="{_num(MARGIN + 4)}" font-size="15" '
        f'font-weight="600" fill="#111827">{escape(str(component.name))}</text>',
    ]

    # Bounding box, dashed, with its corners in micrometres.
    bx0, by0, bx1, by1 = px(x0), py(y1), px(x1), py(y0)
    out.append(f'<g class="bbox" fill="none" stroke="#9ca3af" stroke-dasharray="4 3">'
               f'<rect x="{_num(bx0)}" y="{_num(by0)}" width="{_num(bx1 - bx0)}" '
               f'height="{_num(by1 - by0)}"/></g>')
    out.append(f'<text class="bbox-label" x="{_num(MARGIN)}" y="{_num(MARGIN + 22)}" fill="#4b5563">'
               f"bbox ({_um(x0)}, {_um(y0)}) – ({_um(x1)}, {_um(y1)}) µm · "
               f"{_um(w)} × {_um(h)} µm</text>")

    for style in styles:
        out.append(f'<g class="layer" data-layer="{style.layer[0]}/{style.layer[1]}" '
                   f'data-name={quoteattr(style.name)} fill="url(#pat-{style.css_id})" '
                   f'stroke="{style.color}" stroke-width="1" stroke-linejoin="round">')
        out.extend(f'<polygon points="{" ".join(f"{_num(px(x))},{_num(py(y))}" for x, y in pts)}"/>'
                   for pts in by_layer[style.layer])
        out.append("</g>")
    if empty:
        out.append(f'<text class="empty" x="{_num(left + draw_w / 2)}" y="{_num(top + draw_h / 2)}" '
                   f'text-anchor="middle" fill="#6b7280">no polygons</text>')

    if ports:
        out.append('<g class="ports" fill="#111827" stroke="none" font-size="11">')
        out.extend(_port_marker(p, px(p.center[0]), py(p.center[1]), scale) for p in ports)
        out.append("</g>")

    # Scale bar under the drawing.
    length = _nice_length(w if w > 0 else h or 1.0)
    bar = length * scale
    sx, sy = MARGIN + pad, top + h * scale + pad + 18
    out.append(f'<g class="scale-bar" data-length="{_um(length)}">'
               f'<path d="M{_num(sx)},{_num(sy - 4)} v4 h{_num(bar)} v-4" fill="none" '
               f'stroke="#111827" stroke-width="1.5"/>'
               f'<text x="{_num(sx + bar / 2)}" y="{_num(sy + 14)}" text-anchor="middle" '
               f'fill="#111827">{_um(length)} µm</text></g>')

    # Legend to the right.
    lx = width - LEGEND_WIDTH
    out.append(f'<g class="legend" transform="translate({_num(lx)},{_num(MARGIN + 30 + pad)})">')
    out.append('<text font-weight="600" fill="#111827">Layers</text>')
    for i, style in enumerate(styles):
        y = 12 + 22 * i
        count = len(by_layer[style.layer])
        out.append(f'<g class="legend-entry" data-layer="{style.layer[0]}/{style.layer[1]}">'
                   f'<rect y="{y}" width="22" height="14" fill="url(#pat-{style.css_id})" '
                   f'stroke="{style.color}"/>'
                   f'<text x="30" y="{y + 11}" fill="#111827">{escape(style.name)} '
                   f'<tspan fill="#6b7280">{style.layer[0]}/{style.layer[1]} · {count}</tspan></text></g>')
    out.append("</g></svg>")
    return "\n".join(out)


def write_svg(component: pf.Component, path: str | os.PathLike[str], **options: object) -> Path:
    """Write the drawing of ``component`` to ``path``; returns the path written."""
    text = to_svg(component, **options)  # type: ignore[arg-type]
    target = Path(path)
    # Written next to the target and renamed over it: an existing drawing is
    # replaced whole or not at all.
    partial = target.with_name(f".{target.name}.{os.getpid()}.tmp")
    try:
        partial.write_text(text, encoding="utf-8")
        os.replace(partial, target)
    finally:
        partial.unlink(missing_ok=True)
    return target
