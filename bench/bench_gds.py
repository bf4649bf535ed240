"""Benchmark of writing components as GDSII files.

    scripts/run build/venv/bin/python bench/bench_gds.py [--quick]

Writes a three-level hierarchy holding 100,000 polygons (100 distinct leaf
cells of 1,000 polygons, placed by 10 blocks with rotated and mirrored
references, the blocks placed by one top cell) with
:meth:`polyforge.Component.write_gds`, and flat cells of 10,000 and 100,000
polygons for comparison. It prints the best time of a few writes, the time
per thousand polygons, the file's size and the time relative to the 10,000
polygon cell per polygon (near 1 when the cost grows linearly). The target:
the 100,000-polygon hierarchy written in at most 1 s.
"""

from __future__ import annotations

import argparse
import statistics
import tempfile
import time
from pathlib import Path

import polyforge as pf
from polyforge import generic_tech

TARGET_S = 1.0


def leaf(index: int, polygons: int) -> pf.Component:
    c = pf.Component(f"leaf_{index}")
    for i in range(polygons):
        x, y = (i % 40) * 2.5, (i // 40) * 2.5
        h = 1.0 + (index % 13) * 0.01 + (i % 5) * 0.1
        c.add_polygon([(x, y), (x + 1.5, y), (x + 1.5, y + h), (x + 0.75, y + h + 0.5), (x, y + h)],
                      layer=(1, 0) if i % 4 else (3, 0))
    c.add_port("o1", (0, 0), 0.5, 180)
    return c


def hierarchy(polygons: int) -> pf.Component:
    leaves = [leaf(i, polygons // 100) for i in range(100)]
    top = pf.Component(f"hierarchy_{polygons}")
    for b in range(10):
        block = pf.Component(f"block_{b}")
        for j in range(10):
            block.add_ref(leaves[b * 10 + j], origin=(j * 120.0, 0.0), rotation=90 * (j % 4),
                          mirror=j % 3 == 0)
        top.add_ref(block, origin=(0.0, b * 200.0), rotation=180 * (b % 2), mirror=b % 5 == 0)
    return top


def flat(polygons: int) -> pf.Component:
    c = leaf(0, polygons)
    c.name = f"flat_{polygons}"
    return c


def measure(c: pf.Component, folder: Path, runs: int) -> tuple[float, float, int]:
    times = []
    target = folder / f"{c.name}.gds"
    for _ in range(runs):
        start = time.perf_counter()
        c.write_gds(target)
        times.append(time.perf_counter() - start)
    return min(times), statistics.median(times), target.stat().st_size


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="one write of each, 10,000 polygons only")
    args = parser.parse_args()
    generic_tech.get_generic_pdk().activate()
    sizes = [10_000] if args.quick else [10_000, 100_000]
    runs = 1 if args.quick else 5
    rows = []
    for n in sizes:
        rows.append((f"flat, {n:,} polygons", n, flat(n)))
        rows.append((f"hierarchy, {n:,} polygons", n, hierarchy(n)))
    print(f"{'what':<28} {'best s':>8} {'median s':>9} {'ms/1k':>7} {'MB':>6} {'ratio':>6}")
    base = None
    verdict = None
    with tempfile.TemporaryDirectory() as folder:
        for label, n, c in rows:
            best, median, size = measure(c, Path(folder), runs)
            per = best / n
            base = base or per
            print(f"{label:<28} {best:>8.3f} {median:>9.3f} {per * 1e6:>7.2f} {size / 1e6:>6.2f} {per / base:>6.2f}")
            if c.name == "hierarchy_100000":
                verdict = best
    if verdict is not None:
        met = "met" if verdict <= TARGET_S else "NOT met"
        print(f"target: the 100,000-polygon hierarchy in at most {TARGET_S:g} s: {met} ({verdict:.3f} s)")


if __name__ == "__main__":
    main()
