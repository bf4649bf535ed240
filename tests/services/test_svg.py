"""Drawing components as SVG: what the drawing holds, read back as XML."""

from __future__ import annotations

import math
import re
import xml.etree.ElementTree as ET

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import polyforge as pf
from polyforge import svg
from polyforge.components import mmi1x2, pad, straight

NS = {"s": "http://www.w3.org/2000/svg"}
LAYERS = {"WG": (1, 0), "SLAB": (3, 0), "PAD": (49, 0)}
ORDER = ["SLAB", "WG", "PAD"]


def parse(text: str) -> ET.Element:
    return ET.fromstring(text)


def polygons(root: ET.Element) -> dict[str, list[list[tuple[float, float]]]]:
    out: dict[str, list[list[tuple[float, float]]]] = {}
    for group in root.iterfind("s:g[@class='layer']", NS):
        out[group.get("data-layer")] = [
            [tuple(map(float, p.split(","))) for p in poly.get("points").split()]
            for poly in group.iterfind("s:polygon", NS)]
    return out


def test_a_drawing_holds_every_flattened_polygon_its_ports_legend_scale_and_bbox():
    top = pf.Component("chip <&> \"top\"")
    top.add_polygon([(0, -5), (40, -5), (40, 5), (0, 5)], layer=(3, 0))
    arm = top.add_ref(straight(length=20), origin=(40, 0))
    top.add_ref(mmi1x2(), origin=(60, 0), rotation=90)
    top.add_ref(pad(size=10), origin=(0, 30))
    top.add_polygon([(0, 0), (1, 0), (1, 1)], layer=(7, 3))  # not in the table
    top.add_port("in", (0, 0), 0.5, 180)
    top.add_port("out", arm.ports["o2"].center, 0.5, 0)

    root = parse(svg.to_svg(top, layers=LAYERS, layer_order=ORDER))
    assert root.get("data-component") == top.name
    assert root.find("s:title", NS).text == top.name

    drawn = polygons(root)
    assert list(drawn) == ["3/0", "1/0", "49/0", "7/3"]  # table order, unnamed layers last
    assert {k: len(v) for k, v in drawn.items()} == {"3/0": 1, "1/0": 2, "49/0": 1, "7/3": 1}
    names = [(e.get("data-layer"), e.find("s:text", NS).text.strip())
             for e in root.iterfind("s:g[@class='legend']/s:g", NS)]
    assert names == [("3/0", "SLAB"), ("1/0", "WG"), ("49/0", "PAD"), ("7/3", "7/3")]
    patterns = {p.get("id") for p in root.iterfind("s:defs/s:pattern", NS)}
    fills = {g.get("fill") for g in root.iterfind("s:g[@class='layer']", NS)}
    assert fills == {f"url(#{p})" for p in patterns} and len(patterns) == 4

    # Mirrored in y and scaled alike on both axes: the drawn box has the layout's proportions.
    xs = [x for polys in drawn.values() for pts in polys for x, _ in pts]
    ys = [y for polys in drawn.values() for pts in polys for _, y in pts]
    (x0, y0), (x1, y1) = top.bbox()
    scale = (max(xs) - min(xs)) / (x1 - x0)
    assert (max(ys) - min(ys)) == pytest.approx((y1 - y0) * scale, rel=1e-3)
    slab = drawn["3/0"][0]
    assert slab[0][1] > slab[2][1]  # y = -5 is drawn below y = 5

    assert [g.get("data-name") for g in root.iterfind(".//s:g[@class='port']", NS)] == ["in", "out"]
    assert root.find(".//s:g[@class='port']/s:text", NS).text == "in"
    label = root.find("s:text[@class='bbox-label']", NS).text
    assert label == f"bbox ({x0:g}, {y0:g}) – ({x1:g}, {y1:g}) µm · {x1 - x0:g} × {y1 - y0:g} µm"
    bar = root.find("s:g[@class='scale-bar']", NS)
    assert bar.find("s:text", NS).text == f"{bar.get('data-length')} µm"
    assert float(bar.get("data-length")) in (5, 10, 20)


point = st.tuples(st.integers(-50, 50), st.integers(-50, 50))
rotation = st.sampled_from([0, 90, 180, 270, -90, 450, 30, 45.5])


@st.composite
def hierarchies(draw, depth=3):
    c = pf.Component()
    for _ in range(draw(st.integers(0, 2))):
        x, y = draw(point)
        c.add_polygon([(x, y), (x + 3, y), (x, y + 2)], layer=draw(st.sampled_from([(1, 0), (3, 0)])))
    if depth:
        for child in draw(st.lists(hierarchies(depth=depth - 1), max_size=2)):
            c.add_ref(child, origin=draw(point), rotation=draw(rotation))
    return c


@settings(max_examples=60, deadline=None)
@given(hierarchies())
def test_flattening_places_polygons_as_the_library_places_references(component):
    flat = [p for _, pts in svg.flatten(component) for p in pts]
    expected = component._all_points()
    assert len(flat) == len(expected)
    for (x, y), (ex, ey) in zip(flat, expected):
        assert x == pytest.approx(ex, abs=1e-9) and y == pytest.approx(ey, abs=1e-9)
    parse(svg.to_svg(component))  # any hierarchy draws as well-formed XML


def test_component_methods_write_the_same_drawing_and_odd_components_still_draw(tmp_path, monkeypatch):
    monkeypatch.setattr(pf, "_active_pdk", pf.Pdk("t", layers=LAYERS, layer_order=ORDER))
    c = straight(length=7)
    target = c.write_svg(tmp_path / "wg.svg")
    assert target.read_text(encoding="utf-8") == c._repr_svg_() == svg.to_svg(c, layers=LAYERS, layer_order=ORDER)
    assert [p.name for p in tmp_path.iterdir()] == ["wg.svg"]

    empty = parse(svg.to_svg(pf.Component("nothing")))
    assert empty.find("s:text[@class='empty']", NS).text == "no polygons"
    with pytest.raises(TypeError, match="draws a polyforge Component"):
        svg.to_svg("wg")

    a, b = pf.Component("a"), pf.Component("b")
    a.add_ref(b)
    b.add_ref(a)
    with pytest.raises(ValueError, match="references itself"):
        svg.to_svg(a)


def test_arbitrary_rotations_keep_port_arrows_pointing_out():
    c = pf.Component("c")
    c.add_polygon([(0, 0), (10, 0), (10, 10), (0, 10)])
    for i, angle in enumerate((0, 90, 180, 270, 45)):
        c.add_port(f"p{i}", (5 + 5 * math.cos(math.radians(angle)), 5 + 5 * math.sin(math.radians(angle))),
                   1, angle)
    root = parse(svg.to_svg(c))
    box = polygons(root)["1/0"][0]
    cx = sum(x for x, _ in box) / 4
    cy = sum(y for _, y in box) / 4
    for port in root.iterfind(".//s:g[@class='port']", NS):
        base1, tip, base2 = [tuple(map(float, p.split(","))) for p in
                             port.find("s:polygon", NS).get("points").split()]
        middle = ((base1[0] + base2[0]) / 2, (base1[1] + base2[1]) / 2)
        assert math.dist(tip, (cx, cy)) > math.dist(middle, (cx, cy)), port.get("data-name")
    assert re.fullmatch(r"[\d.]+", root.get("width"))
