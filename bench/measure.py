"""Timing and memory measurement for the benchmark.

Wall time is what a user waits; process CPU time is reported beside it
because the machine may be shared, and CPU time of a single-threaded call is
far less disturbed by a neighbour than its wall time.

Peak extra memory is measured two ways around one call:
- tracemalloc: the peak of traced allocations (Python objects and NumPy
  buffers) above the level before the call;
- RSS: the kernel's high-water mark of resident memory (VmHWM) after the
  call minus the resident size before it. The high-water mark is reset
  through /proc/self/clear_refs first, so only the call is seen. Native
  allocations (C++ containers) appear here and not in tracemalloc.
"""

from __future__ import annotations

import gc
import os
import statistics
import time
import tracemalloc


def _status_kib(key):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key):
                return int(line.split()[1])
    return None


def _reset_hwm():
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def rss_supported():
    return _status_kib("VmHWM:") is not None and _reset_hwm()


class RssPeak:
    """Context manager: extra resident bytes at the peak of the block."""

    def __enter__(self):
        gc.collect()
        self.ok = _reset_hwm()
        self.before = _status_kib("VmRSS:")
        return self

    def __exit__(self, *exc):
        hwm = _status_kib("VmHWM:")
        self.extra = (hwm - self.before) * 1024 if self.ok and hwm is not None else None
        return False


def timed(fn, repeats, *, min_repeats=3, budget=None, rss=False):
    """Call fn() `repeats` times (fewer if `budget` seconds run out, never
    fewer than `min_repeats`) and return the timings and the last result."""
    walls, cpus, rss_extra = [], [], []
    out = None
    started = time.perf_counter()
    for i in range(repeats):
        gc.collect()
        if rss:
            peak = RssPeak().__enter__()
        c0 = time.process_time()
        t0 = time.perf_counter()
        out = fn()
        t1 = time.perf_counter()
        c1 = time.process_time()
        if rss:
            peak.__exit__(None, None, None)
            if peak.extra is not None:
                rss_extra.append(peak.extra)
        walls.append(t1 - t0)
        cpus.append(c1 - c0)
        if budget is not None and i + 1 >= min_repeats and time.perf_counter() - started > budget:
            break
    res = {
        "runs": len(walls),
        "wall_median_s": statistics.median(walls),
        "wall_min_s": min(walls),
        "cpu_median_s": statistics.median(cpus),
        "cpu_min_s": min(cpus),
    }
    if rss_extra:
        res["rss_peak_extra_bytes"] = max(rss_extra)
    return res, out


def memory(fn):
    """Peak extra memory of one call of fn(): tracemalloc and RSS."""
    gc.collect()
    tracemalloc.start()
    try:
        base, _ = tracemalloc.get_traced_memory()
        tracemalloc.reset_peak()
        with RssPeak() as peak:
            out = fn()
        _, top = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    del out
    return {"tracemalloc_peak_extra_bytes": top - base, "rss_peak_extra_bytes": peak.extra}


def machine_info():
    import platform

    info = {"python": platform.python_version(), "platform": platform.platform(), "cpus": os.cpu_count()}
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    info["cpu"] = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    try:
        info["load_average"] = os.getloadavg()
    except OSError:
        pass
    mem = None
    try:
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemTotal:"):
                    mem = int(line.split()[1]) * 1024
                    break
    except OSError:
        pass
    info["memory_bytes"] = mem
    return info


def interleaved(first, second, pairs, *, clock="wall_median_s"):
    """Median times (wall, or ``clock="cpu_median_s"``) of two calls measured
    in alternation, so that a drift of the machine's speed during the
    measurement touches both alike."""
    a, b = [], []
    for _ in range(pairs):
        for fn, times in ((first, a), (second, b)):
            t, _ = timed(fn, 1, min_repeats=1)
            times.append(t[clock])
    return statistics.median(a), statistics.median(b)
