"""How long the answers to "how sure is the result" take, in one process.

    PYTHONPATH=src python bench/research.py            # all three rows
    PYTHONPATH=src python bench/research.py --only confidence,reality,overfitting

Rows (goals from issue 42):

- ``confidence``: ``Result.confidence()`` with its defaults (every figure of
  the bar returns, 10,000 stationary-bootstrap samples, the block length
  estimated, percentile and BCa intervals) on a backtest of 4,000 bars
  (300 stocks, top 20 monthly); also the Sharpe ratio alone. Goal: <= 1 s.
- ``reality``: ``SweepTable.reality_check()`` with its defaults (cash
  benchmark, 1,000 samples, the block estimated) on a 256-run sweep of 10
  years (200 stocks). Goal: <= 2 s.
- ``overfitting``: a 64-run sweep (200 stocks, 8 years, the grid of
  bench/sweep.py) with its overfitting figures (the default: the returns
  kept, the figures computed when first read) against the same sweep with
  ``overfitting=False``, timed in alternation; and the same with the
  figures read right after the sweep (``vostra.overfitting(table)``: PBO
  over 12,870 splits, effective trials). Goal: <= 1.1x.

Wall and process CPU time are both printed (CPU time is the steadier one
while the machine is shared), with the load average before and after.
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(1, os.path.join(os.path.dirname(HERE), "src"))

from measure import interleaved, timed  # noqa: E402
from sweep import workload  # noqa: E402

import vostra  # noqa: E402


def _load() -> str:
    return "load average " + " ".join(f"{x:.2f}" for x in os.getloadavg())


def _row(label: str, result: dict, goal: float) -> None:
    wall, cpu = result["wall_median_s"], result["cpu_median_s"]
    verdict = "met" if min(wall, cpu) <= goal else "not met"
    print(f"{label:<52} wall {wall:6.3f} s  cpu {cpu:6.3f} s  (median of {result['runs']}; "
          f"goal <= {goal:g} s: {verdict})", flush=True)


def confidence_row(repeats: int) -> None:
    m = vostra.synthetic_market(n_stocks=300, years=4000 / 252, seed=3)
    close = m.close
    momentum = (close.ffill().shift(21) / close.ffill().shift(126) - 1).where(close.notna())
    result = vostra.backtest(momentum.rank(axis=1, ascending=False) <= 20, m, rebalance="M")
    result.confidence(samples=100, seed=0)       # imports arch and scipy outside the timing
    print(f"confidence: {len(result.returns)} bar returns, block "
          f"{result.confidence(['sharpe'], samples=10, seed=0).attrs['block']:.2f}")
    t, _ = timed(lambda: result.confidence(seed=1), repeats)
    _row("Result.confidence() 10,000 samples, all figures", t, 1.0)
    t, _ = timed(lambda: result.confidence(["sharpe"], seed=1), repeats)
    _row("Result.confidence(['sharpe']) 10,000 samples", t, 1.0)


def reality_row(repeats: int) -> None:
    market, weights, grid = workload(200, 10, 256)
    table = vostra.sweep(weights, market, grid=grid, progress=False)
    returns = table._run_returns.returns
    print(f"reality check: {returns.shape[1]} runs x {returns.shape[0]} bars")
    table.reality_check(samples=20, seed=0)
    t, _ = timed(lambda: table.reality_check(seed=1), repeats)
    _row("SweepTable.reality_check() 256 runs, 1,000 samples", t, 2.0)


def overfitting_row(pairs: int) -> None:
    market, weights, grid = workload(200, 8, 64)
    kw = dict(grid=grid, progress=False)
    vostra.sweep(weights, market, **kw)   # warm-up
    plain = lambda: vostra.sweep(weights, market, overfitting=False, **kw)  # noqa: E731
    rows = (("with its figures (computed when read)", lambda: vostra.sweep(weights, market, **kw)),
            ("with its figures read at once", lambda: vostra.overfitting(vostra.sweep(weights, market, **kw))))
    for what, call in rows:
        for clock in ("wall_median_s", "cpu_median_s"):
            without, with_figures = interleaved(plain, call, pairs, clock=clock)
            ratio = with_figures / without
            print(f"{clock[:-9]:>4}: 64-run sweep {what} {with_figures:6.3f} s, without "
                  f"{without:6.3f} s: {ratio:.3f}x (goal <= 1.1: {'met' if ratio <= 1.1 else 'not met'})",
                  flush=True)


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--only", default="confidence,reality,overfitting")
    ap.add_argument("--repeats", type=int, default=7)
    ap.add_argument("--pairs", type=int, default=11)
    a = ap.parse_args()
    rows = a.only.split(",")
    print(_load(), flush=True)
    started = time.perf_counter()
    if "confidence" in rows:
        confidence_row(a.repeats)
    if "reality" in rows:
        reality_row(a.repeats)
    if "overfitting" in rows:
        overfitting_row(a.pairs)
    print(f"{_load()}; {time.perf_counter() - started:.0f} s in all")
    return 0


if __name__ == "__main__":
    sys.exit(main())
