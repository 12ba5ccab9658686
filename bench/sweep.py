"""Throughput of vostra.sweep: runs per second on one and two worker
processes and on a local Ray with two CPUs, for many medium runs.

    PYTHONPATH=src python bench/sweep.py [--runs 384] [--stocks 200] [--years 8] [--repeat 3]

Each timing covers a whole sweep call, pool start-up included (Ray itself
is started before the timings). The best of ``--repeat`` sweeps counts;
all are printed, with the CPU time the rest of the machine used meanwhile
(not for Ray, whose workers are not this process's children), since other
work on the machine shows up as spread between them. The scaling ratio is
the two-process throughput over the one-process throughput. The script also checks that
every backend returns the same statistics as the in-process sweep.
"""

from __future__ import annotations

import argparse
import os
import sys
import time

import numpy as np

import vostra
from vostra.research.sweep import STAT_COLUMNS


def workload(n_stocks: int, years: float, runs: int):
    market = vostra.synthetic_market(n_stocks=n_stocks, years=years, seed=11)
    filled = market.close.ffill()
    score = (filled.shift(21) / filled.shift(126) - 1).where(market.close.notna())
    rank = score.rank(axis=1, ascending=False)
    weights = {"top10": rank <= 10, "top30": rank <= 30}
    # 2 weight frames x 4 schedules x 4 fees x (runs / 32) stop levels.
    stops = max(1, runs // 32)
    grid = {
        "rebalance": ["M", "W", "Q", "2020-01-01 2021-01-01 2022-01-01".split()],
        "fee": [0.0, 0.0005, 0.001, 0.001425],
        "stop_loss": [None] + [0.02 + 0.02 * k for k in range(stops - 1)],
    }
    return market, weights, grid


def busy_seconds() -> float | None:
    """CPU seconds spent by the whole machine so far (None off Linux)."""
    try:
        with open("/proc/stat") as f:
            fields = [int(x) for x in f.readline().split()[1:9]]
    except OSError:
        return None
    user, nice, system, _idle, _iowait, irq, softirq, steal = fields
    return (user + nice + system + irq + softirq + steal) / os.sysconf("SC_CLK_TCK")


def own_seconds() -> float:
    """CPU seconds of this process and of its children that have ended."""
    t = os.times()
    return t.user + t.system + t.children_user + t.children_system


def timed(label: str, repeat: int, call, own_workers: bool = True) -> tuple[float, object]:
    """Best throughput of ``repeat`` calls. With ``own_workers`` (the
    workers are this process's children), the CPU time the rest of the
    machine used meanwhile is shown: a large figure marks a disturbed run."""
    rates, frame = [], None
    for _ in range(repeat):
        busy, own = busy_seconds(), own_seconds()
        start = time.perf_counter()
        frame = call()
        seconds = time.perf_counter() - start
        rates.append(len(frame) / seconds)
        other = ""
        if busy is not None and own_workers:
            others = (busy_seconds() - busy) - (own_seconds() - own)
            other = f"   other work meanwhile: {max(others, 0.0):5.2f} cpu-s"
        failed = int(frame["error"].notna().sum())
        note = f"   FAILED RUNS: {failed} (first: {frame['error'].dropna().iloc[0]})" if failed else ""
        print(f"  {label:<14} {len(frame)} runs in {seconds:6.2f} s = {rates[-1]:7.1f} runs/s"
              f"{other}{note}", flush=True)
    return max(rates), frame


def same_statistics(a, b) -> bool:
    return np.array_equal(a[list(STAT_COLUMNS)].to_numpy(), b[list(STAT_COLUMNS)].to_numpy(),
                          equal_nan=True)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=384)
    parser.add_argument("--stocks", type=int, default=200)
    parser.add_argument("--years", type=float, default=8.0)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--no-ray", action="store_true", help="skip the Ray backend")
    args = parser.parse_args()

    market, weights, grid = workload(args.stocks, args.years, args.runs)
    print(f"market: {args.stocks} stocks x {len(market.close)} bars; cpus: {os.cpu_count()}")

    def run(**kw):
        return vostra.sweep(weights, market, grid=grid, trade_at="open", progress=False, **kw)

    reference = run(backend="serial")
    print(f"{len(reference)} runs per sweep, {reference['error'].notna().sum()} failed")
    best = {}
    best["serial"], _ = timed("in-process", args.repeat, lambda: run(backend="serial"))
    best["1 process"], one = timed("1 process", args.repeat, lambda: run(workers=1))
    best["2 processes"], two = timed("2 processes", args.repeat, lambda: run(workers=2))
    checks = {"1 process": one, "2 processes": two}

    if not args.no_ray:
        try:
            import ray
        except ImportError:
            print("ray: not installed (pip install 'vostra[cluster]'), skipped")
        else:
            ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False)
            try:
                run(backend="ray")  # workers start and import the engine
                best["ray (2 cpus)"], checks["ray (2 cpus)"] = timed(
                    "ray (2 cpus)", args.repeat, lambda: run(backend="ray"), own_workers=False)
            finally:
                ray.shutdown()

    print()
    print("best throughput:")
    for label, rate in best.items():
        print(f"  {label:<14} {rate:7.1f} runs/s")
    print(f"scaling ratio, 2 processes / 1 process: {best['2 processes'] / best['1 process']:.2f}x")
    if "ray (2 cpus)" in best:
        print(f"ray (2 cpus) / 1 process: {best['ray (2 cpus)'] / best['1 process']:.2f}x")
    mismatched = [label for label, frame in checks.items() if not same_statistics(frame, reference)]
    if mismatched:
        print(f"statistics differ from the in-process sweep: {', '.join(mismatched)}")
        return 1
    print("statistics identical to the in-process sweep for every backend")
    return 0


if __name__ == "__main__":
    sys.exit(main())
