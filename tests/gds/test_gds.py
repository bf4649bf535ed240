"""GDSII output: the stream's records read back here, and the files read back by a layout viewer."""

from __future__ import annotations

import datetime
import json
import math
import os
import shutil
import subprocess
import textwrap
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import polyforge as pf
from polyforge import gds, generic_tech, svg
from polyforge.components import bend, mmi1x2, pad, straight

from . import stream

WHEN = datetime.datetime(2024, 5, 17, 9, 30, 5)


@pytest.fixture
def no_pdk(monkeypatch):
    monkeypatch.setattr(pf, "_active_pdk", None)


def area(pts) -> float:
    return abs(sum(x0 * y1 - x1 * y0 for (x0, y0), (x1, y1) in zip(pts, pts[1:] + pts[:1]))) / 2


def perimeter(pts) -> float:
    return sum(math.dist(a, b) for a, b in zip(pts, pts[1:] + pts[:1]))


def tree(top: pf.Component) -> list[pf.Component]:
    """Every distinct component under ``top``, top first."""
    seen, out, todo = set(), [], [top]
    while todo:
        c = todo.pop()
        if id(c) not in seen:
            seen.add(id(c))
            out.append(c)
            todo.extend(r.component for r in c.references)
    return out


# -- the stream, read back here ---------------------------------------------------


point = st.tuples(st.integers(-40, 40), st.integers(-40, 40))
rotation = st.sampled_from([0, 90, 180, 270, -90, 450, 30, 45.5, 359.999])


@st.composite
def hierarchies(draw, depth=3):
    # A few names for many components: some share a name and differ, some are equal.
    c = pf.Component(draw(st.sampled_from(["a", "b", "top", None])))
    for _ in range(draw(st.integers(0, 2))):
        x, y = draw(point)
        w, h = draw(st.integers(1, 5)), draw(st.integers(1, 5))
        c.add_polygon([(x, y), (x + w, y), (x, y + h)], layer=draw(st.sampled_from([(1, 0), (3, 0), (1, 10)])))
    if depth:
        children = draw(st.lists(hierarchies(depth=depth - 1), max_size=2))
        for child in children + children[:draw(st.integers(0, len(children)))]:  # some placed twice
            c.add_ref(child, origin=draw(point), rotation=draw(rotation), mirror=draw(st.booleans()))
    return c


@settings(max_examples=80, deadline=None)
@given(hierarchies())
def test_the_stream_places_every_polygon_where_the_library_does(component):
    options = {"user_unit": 1e-6, "database_unit": 1e-9, "pin_layer": None, "timestamp": WHEN}
    data = gds.to_gds(component, **options)
    lib = stream.library(data)

    names = [s.name for s in gds.structures(component, **options)]
    assert lib.order == names and len(set(names)) == len(names)
    assert names[-1] == (component.name or "unnamed")  # the top keeps its name and comes last
    assert len(names) <= len(tree(component))

    flat = stream.flatten(lib, names[-1])
    expected = list(svg.flatten(component))
    assert [layer for layer, _ in flat] == [layer for layer, _ in expected]
    for (_, got), (_, want) in zip(flat, expected):
        assert len(got) == len(want)
        for (x, y), (ex, ey) in zip(got, want):
            # Every level rounds its origin to the grid: a few database units at most.
            assert abs(x - ex * 1000) <= 3 and abs(y - ey * 1000) <= 3
    # The library's own bounding box agrees too.
    if expected:
        xs = [x for _, pts in flat for x, _ in pts]
        ys = [y for _, pts in flat for _, y in pts]
        (x0, y0), (x1, y1) = component.bbox()
        assert abs(min(xs) - x0 * 1000) <= 3 and abs(max(ys) - y1 * 1000) <= 3
    # Written twice, the same bytes.
    assert gds.to_gds(component, **options) == data


def test_header_units_and_end_records(tmp_path, monkeypatch):
    c = pf.Component("unit_cell")
    c.add_polygon([(0, 0), (1.5, 0), (1.5, 0.25), (0, 0.25)])
    c.add_port("o1", (0, 0.125), 0.25, 180)

    monkeypatch.setattr(pf, "_active_pdk", generic_tech.get_generic_pdk.__wrapped__())
    raw = c.write_gds(tmp_path / "unit.gds", timestamp=WHEN).read_bytes()
    recs = stream.records(raw)
    assert recs[0] == ("HEADER", [600])
    assert recs[1] == ("BGNLIB", [2024, 5, 17, 9, 30, 5] * 2)
    assert recs[2] == ("LIBNAME", "polyforge")
    assert recs[3] == ("UNITS", [pytest.approx(1e-3, rel=1e-15), pytest.approx(1e-9, rel=1e-15)])
    assert recs[-2:] == [("ENDSTR", None), ("ENDLIB", None)]
    lib = stream.library(raw)
    assert lib.structures["unit_cell"].boundaries == [((1, 0), [(0, 0), (1500, 0), (1500, 250), (0, 250)])]
    assert lib.structures["unit_cell"].texts == [((1, 10), "o1", (0, 125))]  # on the PDK's PIN layer

    # A PDK that says otherwise: 5 nm database units, ports on its PORTS layer.
    monkeypatch.setattr(pf, "_active_pdk", pf.Pdk("coarse", database_unit=5e-9, layers={"ports": (99, 1)}))
    lib = stream.library(gds.to_gds(c))
    assert lib.units == (pytest.approx(5e-3, rel=1e-15), pytest.approx(5e-9, rel=1e-15))
    assert lib.structures["unit_cell"].boundaries == [((1, 0), [(0, 0), (300, 0), (300, 50), (0, 50)])]
    assert lib.structures["unit_cell"].texts == [((99, 1), "o1", (0, 25))]
    # And the options win over the PDK.
    lib = stream.library(gds.to_gds(c, user_unit=1e-3, database_unit=1e-6, pin_layer=None, library="chip"))
    assert lib.name == "chip" and lib.units == (pytest.approx(1e-3), pytest.approx(1e-6))
    assert lib.structures["unit_cell"].boundaries[0][1][1] == (1500, 0)
    assert lib.structures["unit_cell"].texts == [((1, 0), "o1", (0, 125))]


def test_names_are_unique_and_the_same_cell_built_twice_is_one_structure(no_pdk):
    top = pf.Component("wg")  # the top shares its name with a different child
    for _ in range(3):
        top.add_ref(straight())  # three equal components, one structure
    other = pf.Component("straight")
    other.add_polygon([(0, 0), (1, 0), (1, 1)])
    top.add_ref(other, origin=(0, 10))
    child = pf.Component("wg")
    child.add_polygon([(0, 0), (2, 0), (2, 2)])
    top.add_ref(child, mirror=True)
    top.add_ref(pf.Component(), origin=(5, 5))

    lib = stream.library(gds.to_gds(top))
    assert lib.order == ["straight", "straight$1", "wg$1", "unnamed", "wg"]
    assert lib.structures["straight$1"].boundaries == [((1, 0), [(0, 0), (1000, 0), (1000, 1000)])]
    assert [s[0] for s in lib.structures["wg"].srefs] == ["straight"] * 3 + ["straight$1", "wg$1", "unnamed"]
    assert lib.structures["wg"].srefs[4][1] == 0x8000


def test_bad_input_is_refused_in_one_line_and_leaves_the_file_alone(tmp_path, no_pdk):
    target = tmp_path / "out.gds"
    target.write_bytes(b"the previous file")

    def cell(name="bad"):
        c = pf.Component(name)
        c.add_polygon([(0, 0), (1, 0), (1, 1)])
        return c

    far, nan, tiny, huge, at_limit, closed = (cell() for _ in range(6))
    far.add_polygon([(0, 0), (3e6, 0), (0, 1)], layer=(3, 0))
    nan.add_polygon([(0, 0), (math.nan, 0), (0, 1)])
    tiny.add_polygon([(0, 0), (0.0001, 0), (0.0001, 0.0001), (0, 0.0001)])  # one point on a 1 nm grid
    huge.add_polygon([(1000 * math.cos(t / 8191 * 6.283), 1000 * math.sin(t / 8191 * 6.283)) for t in range(8191)])
    ring = [(1000 * math.cos(t / 8190 * 6.283), 1000 * math.sin(t / 8190 * 6.283)) for t in range(8190)]
    at_limit.add_polygon(ring)
    closed.add_polygon([(0, 0), (1, 0), (1, 1), (0, 0)])  # closed by hand: fine
    badport = cell()
    badport.add_port("naïve", (0, 0), 1, 0)
    spaced = cell("my cell")
    layered = cell()
    layered.add_polygon([(0, 0), (1, 0), (1, 1)], layer=(40000, 0))
    parent = pf.Component("parent")
    parent.add_ref(cell("child"), origin=(1e9, 0))
    loop_a, loop_b = pf.Component("loop_a"), pf.Component("loop_b")
    loop_a.add_ref(loop_b)
    loop_b.add_ref(loop_a)

    cases = [
        (far, r"cell 'bad', polygon 1 on layer 3/0 starting at \(0, 0\): \(3e\+06, 0\) is outside the 32-bit"),
        (nan, r"cell 'bad', polygon 1 .*: \(nan, 0\) is not a finite coordinate"),
        (tiny, r"cell 'bad', polygon 1 .*: 1 distinct points on the database grid, a polygon needs at least 3"),
        (huge, r"cell 'bad', polygon 1 .*: 8,191 points, more than the 8,190 a GDSII polygon holds"),
        (badport, r"cell 'bad', port 'naïve': the name holds 'ï'"),
        (spaced, r"cell 'my cell': the name holds ' '"),
        (layered, r"cell 'bad', polygon 1: layer 40000/0 is outside 0 to 32767"),
        (parent, r"cell 'parent', reference 0 \(to 'child'\): \(1e\+09, 0\) is outside the 32-bit"),
        (loop_a, r"cell 'loop_a' places itself"),
    ]
    for component, message in cases:
        with pytest.raises(gds.GdsError, match=message) as caught:
            gds.write_gds(component, target)
        assert "\n" not in str(caught.value)
        assert target.read_bytes() == b"the previous file"
        assert [p.name for p in tmp_path.iterdir()] == ["out.gds"]  # no partial file left behind

    for component in (at_limit, closed):
        gds.write_gds(component, target)
        written = stream.library(target.read_bytes()).structures["bad"].boundaries
        assert len(written[-1][1]) == (8190 if component is at_limit else 3)
    assert [p.name for p in tmp_path.iterdir()] == ["out.gds"]


# -- the files, read back by a layout viewer ----------------------------------------

KLAYOUT_SCRIPT = """
import json
import pya

out = {}
for name in files.split(","):
    layout = pya.Layout()
    layout.read(name)
    top = layout.top_cells()
    info = {"dbu": layout.dbu, "top": [c.name for c in top], "cells": {}, "layers": {}, "texts": []}
    for cell in layout.each_cell():
        insts = []
        for inst in cell.each_inst():
            t = inst.dcplx_trans
            insts.append([layout.cell(inst.cell_index).name, t.disp.x, t.disp.y, t.angle, t.is_mirror()])
        info["cells"][cell.name] = insts
    for li in layout.layer_indexes():
        lp = layout.get_info(li)
        count, area, box = 0, 0, pya.Box()
        it = top[0].begin_shapes_rec(li)
        while not it.at_end():
            shape = it.shape()
            if shape.is_text():
                text = shape.text.transformed(it.trans())
                info["texts"].append([lp.layer, lp.datatype, text.string, text.x, text.y])
            elif shape.is_polygon() or shape.is_box() or shape.is_simple_polygon():
                polygon = shape.polygon.transformed(it.trans())
                count += 1
                area += polygon.area()
                box += polygon.bbox()  # a cell's own box is loose under odd angles
            it.next()
        if count:
            info["layers"]["%d/%d" % (lp.layer, lp.datatype)] = {
                "count": count, "area": area, "bbox": [box.left, box.bottom, box.right, box.top]}
    out[name] = info
with open(result, "w") as f:
    json.dump(out, f)
"""


def read_with_klayout(tmp_path: Path, files: list[Path]) -> dict[str, dict]:
    script = tmp_path / "read_gds.py"
    script.write_text(textwrap.dedent(KLAYOUT_SCRIPT))
    result = tmp_path / "read_gds.json"
    # Batch mode opens no window; the platform setting keeps Qt away from any display.
    env = {**os.environ, "QT_QPA_PLATFORM": "offscreen"}
    done = subprocess.run(["klayout", "-b", "-r", str(script), "-rd", f"files={','.join(map(str, files))}",
                           "-rd", f"result={result}"], capture_output=True, text=True, timeout=300, env=env)
    assert done.returncode == 0, done.stdout + done.stderr
    return json.loads(result.read_text())


def flat_cell() -> pf.Component:
    c = pf.Component("flat")
    c.add_polygon([(0, 0), (20, 0), (20, 4), (0, 4)], layer=(3, 0))
    c.add_polygon([(0, 10), (5, 10), (2.5, 14.333)], layer=(1, 0))
    c.add_polygon([(30, 0), (40, 0), (40, 10), (30, 0)], layer=(41, 0))  # closed by hand
    c.add_polygon([(60 + 5 * math.cos(t * math.tau / 8190), 5 * math.sin(t * math.tau / 8190))
                   for t in range(8190)], layer=(49, 0))  # as many points as a polygon holds
    return c


def three_levels() -> pf.Component:
    leaf = mmi1x2()
    arm = pf.Component("arm")
    arm.add_ref(leaf, origin=(0, 0))
    arm.add_ref(leaf, origin=(20, 5), rotation=90, mirror=True)
    arm.add_ref(bend(), origin=(-3, 2), rotation=30)
    arm.add_polygon([(0, -8), (10, -8), (10, -6), (0, -6)], layer=(3, 0))
    top = pf.Component("three_levels")
    top.add_ref(arm)
    top.add_ref(arm, origin=(100, 0), rotation=180)
    top.add_ref(arm, origin=(0, 100), mirror=True)
    top.add_ref(arm, origin=(100, 100), rotation=270, mirror=True)
    top.add_ref(pad(), origin=(-100, 0), rotation=45)
    return top


def with_ports() -> pf.Component:
    c = pf.Component("ported")
    c.add_polygon([(0, -1), (10, -1), (10, 1), (0, 1)])
    c.add_port("in", (0, 0), 2, 180)
    c.add_port("out", (10, 0), 2, 0)
    top = pf.Component("ports_top")
    top.add_ref(c, origin=(5, 5), rotation=90, mirror=True)
    top.add_port("top_in", (5, 5), 2, 270)
    return top


def many_polygons() -> pf.Component:
    c = pf.Component("ten_thousand")
    for i in range(10_000):
        x, y = (i % 100) * 3.0, (i // 100) * 3.0
        c.add_polygon([(x, y), (x + 2, y), (x + 2, y + 1 + (i % 7) * 0.25), (x, y + 1)],
                      layer=(1, 0) if i % 3 else (3, 0))
    return c


@pytest.mark.skipif(shutil.which("klayout") is None,
                    reason="KLayout (Debian's klayout package) is not installed: no layout viewer reads the files")
def test_a_layout_viewer_reads_back_what_the_library_holds(tmp_path, monkeypatch):
    monkeypatch.setattr(pf, "_active_pdk", generic_tech.get_generic_pdk.__wrapped__())
    cells = [flat_cell(), three_levels(), with_ports(), many_polygons()]
    files = [c.write_gds(tmp_path / f"{c.name}.gds") for c in cells]
    seen = read_with_klayout(tmp_path, files)

    for component, path in zip(cells, files):
        info = seen[str(path)]
        assert info["dbu"] == pytest.approx(0.001)
        assert info["top"] == [component.name]

        # Per layer: polygon count, area and bounding box of the flattened cell.
        by_layer: dict[str, list] = {}
        for (layer, datatype), pts in svg.flatten(component):
            by_layer.setdefault(f"{layer}/{datatype}", []).append(pts)
        assert sorted(info["layers"]) == sorted(by_layer)
        for key, polygons in by_layer.items():
            got = info["layers"][key]
            assert got["count"] == len(polygons), key
            want_area = sum(area(p) for p in polygons) * 1e6  # µm² in nm²
            # Every vertex is rounded to the 1 nm grid, once by the writer and
            # once more where the viewer places a cell at an odd angle.
            slack = sum(perimeter(p) for p in polygons) * 1e3 * 1.0
            assert got["area"] == pytest.approx(want_area, abs=slack), key
            xs = [x for p in polygons for x, _ in p]
            ys = [y for p in polygons for _, y in p]
            assert [v / 1000 for v in got["bbox"]] == pytest.approx([min(xs), min(ys), max(xs), max(ys)],
                                                                    abs=0.002), key

        # The hierarchy: one cell per component, each with its references.
        components = {c.name: c for c in tree(component)}
        assert sorted(info["cells"]) == sorted(components)
        for name, insts in info["cells"].items():
            refs = components[name].references
            assert len(insts) == len(refs), name
            for (child, x, y, angle, mirrored), ref in zip(insts, refs):
                assert child == ref.component.name
                assert (x, y) == pytest.approx(ref.origin, abs=0.001)
                assert math.cos(math.radians(angle - ref.rotation)) == pytest.approx(1, abs=1e-12)
                assert mirrored == ref.mirror

    # Ports: labels on the PIN layer where the library puts the ports, through the references too.
    texts = seen[str(files[2])]["texts"]
    top = cells[2]
    placed = top.references[0].ports
    want = sorted([("top_in", *top.ports["top_in"].center)] +
                  [(n, *p.center) for n, p in placed.items()])
    assert all((layer, datatype) == (1, 10) for layer, datatype, *_ in texts)
    got = sorted((s, x / 1000, y / 1000) for _, _, s, x, y in texts)
    assert [g[0] for g in got] == [w[0] for w in want]
    for g, w in zip(got, want):
        assert g[1:] == pytest.approx(w[1:], abs=0.001)
