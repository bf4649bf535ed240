"""Benchmark of drawing components as SVG.

    scripts/run build/venv/bin/python bench/bench_svg.py [--quick]

Draws components of 1,000, 10,000 and 100,000 polygons (grating couplers
placed by rotated references, so every point goes through a transformation)
and prints the time per drawing, per thousand polygons and the size of the
text; the last column is the time relative to the smallest drawing per
polygon, which stays near 1 when the cost grows linearly.
"""

from __future__ import annotations

import argparse
import statistics
import time

import polyforge as pf
from polyforge import generic_tech, svg
from polyforge.components import grating_coupler


def component(polygons: int) -> pf.Component:
    teeth = 100
    g = grating_coupler(teeth=teeth)
    top = pf.Component(f"gratings_{polygons}")
    for i in range(polygons // teeth):
        top.add_ref(g, origin=((i % 10) * 80.0, (i // 10) * 20.0), rotation=90 * (i % 4))
    return top


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="only 1,000 and 10,000 polygons")
    args = parser.parse_args()
    generic_tech.get_generic_pdk().activate()
    sizes = [1_000, 10_000] if args.quick else [1_000, 10_000, 100_000]
    print(f"{'polygons':>10} {'seconds':>9} {'ms/1k':>8} {'MB':>7} {'ratio':>6}")
    base = None
    for n in sizes:
        c = component(n)
        runs = []
        for _ in range(3 if n < 100_000 else 1):
            start = time.perf_counter()
            text = svg.to_svg(c)
            runs.append(time.perf_counter() - start)
        best = min(runs)
        per = best / n
        base = base or per
        print(f"{n:>10,} {best:>9.3f} {per * 1e6:>8.2f} {len(text) / 1e6:>7.2f} {per / base:>6.2f}"
              + ("" if len(runs) == 1 else f"   (median {statistics.median(runs):.3f} s)"))


if __name__ == "__main__":
    main()
