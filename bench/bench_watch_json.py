"""What ``watch --json`` adds to a watcher's pass over one saved file.

    scripts/run build/venv/bin/python bench/bench_watch_json.py [--files N] [--cells N] [--saves N]

Generates a project of ``files`` x ``cells`` cells (a tenth of the files
failing to import), runs a full pass, then saves one file ``saves`` times and
runs the watcher's pass over it: once as the text watcher does (the pass and
the lines of its files' error cells), once as ``watch --json`` does (the pass
with the stored rows it can change taken before it and the rows and models
after it, then the JSON object). Prints the median of each and their ratio,
measured in one run. A plain script, not a test.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))
from bench_cli import make_project  # noqa: E402


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--files", type=int, default=200)
    parser.add_argument("--cells", type=int, default=100)
    parser.add_argument("--saves", type=int, default=15)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        root = Path(tmp)
        make_project(root, args.files, args.cells, args.files // 10)
        os.environ["MORVANE_PROJECT_DIR"] = str(root)
        sys.path.insert(0, str(root))
        from morvane import cli, report
        from morvane.core import pdk as core
        from morvane.passes import apply_changes

        current = cli._select_project(str(root))
        apply_changes([], [], core=core)
        target = root / "big" / f"cells_{args.files - 1}.py"
        times: dict[str, list[float]] = {"text": [], "json": []}
        for i in range(args.saves):
            for mode in ("text", "json"):
                target.write_text(target.read_text() + f"\n# save {mode} {i}\n")
                start = time.perf_counter()
                if mode == "text":
                    done = apply_changes([target], [], core=core)
                    report.error_cell_lines(done["factories"].values())
                else:
                    done = apply_changes([target], [], core=core, snapshot=True)
                    json.dumps(report.watch_pass_json({**done, "changed": [target], "deleted": [],
                                                       "duration_s": 0.0}, current, i + 2))
                times[mode].append(time.perf_counter() - start)
        text, js = statistics.median(times["text"]), statistics.median(times["json"])
        print(f"{args.files * args.cells:,} cells, one file of {args.cells} saved {args.saves} times")
        print(f"  text watcher pass  {text * 1000:8.1f} ms")
        print(f"  --json pass        {js * 1000:8.1f} ms   ({js / text:.2f}x)")


if __name__ == "__main__":
    main()
