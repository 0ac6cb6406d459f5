"""Timing shared by the benchmark scripts (they import it as a sibling module)."""

from __future__ import annotations

import time


def best_of(fn, repeats):
    """(fastest of `repeats` wall-clock runs of fn() in seconds, the last run's result)."""
    best, result = float("inf"), None
    for _ in range(repeats):
        start = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - start)
    return best, result
