"""What the benchmarks under bench/ share."""

from __future__ import annotations


def rss_mib() -> float:
    """The process's resident memory in MiB (NaN where /proc is missing)."""
    try:
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1]) / 1024
    except OSError:
        pass
    return float("nan")
