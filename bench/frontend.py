"""The pandas front end and sweeps against the native entry, in one run.

    python bench/frontend.py            # W1 market and the README's sweep, about two minutes
    python bench/frontend.py --quick    # reduced sizes (smoke run)

Rows:
- vostra.backtest on the W1 market (2000 stocks x 4000 bars as DataFrames,
  top 50 monthly, trading at the open) against vostra._engine.run on the
  arrays that backtest hands it (goal: at most 1.3x);
- a sweep of 48 runs on the W1 market on 2 threads against 1 thread (goal:
  at least 1.7x), and against run_many on the same engine arguments (goal:
  at least 85 % of its rate);
- the sweep of the README (300 stocks x 10 years, 24 runs): runs per second.
Each pair is checked to give the same equity bits first.
"""

from __future__ import annotations

import argparse
import os
import sys

import numpy as np
import pandas as pd

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(1, os.path.join(os.path.dirname(HERE), "src"))

from market import synthetic_market, top_k_signal  # noqa: E402
from measure import interleaved, timed  # noqa: E402

import vostra  # noqa: E402
from vostra import _engine  # noqa: E402
from vostra.run.arguments import prepare  # noqa: E402

NO_STOPS = dict(stop_loss=None, take_profit=None, trail_stop=None)


# Runs per second of the README's sweep with the worker-process pool that the
# threads replaced, measured on this machine (see bench/README.md).
README_POOL_RATE = 58.5


def frames(mkt, sig):
    index = pd.DatetimeIndex(mkt.index.astype("datetime64[ns]"))
    cols = list(mkt.columns)
    make = lambda a: pd.DataFrame(a, index=index, columns=cols, copy=False)  # noqa: E731
    weights = pd.DataFrame(sig.weights, index=pd.DatetimeIndex(sig.index.astype("datetime64[ns]")), columns=cols)
    return make(mkt.close), make(mkt.open), make(mkt.high), make(mkt.low), weights


def wall(fn, reps, budget):
    t, out = timed(fn, reps, budget=budget)
    return t["wall_median_s"], out


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true")
    a = ap.parse_args()
    n_stocks, n_bars = (500, 2000) if a.quick else (2000, 4000)
    mkt = synthetic_market(n_stocks, n_bars, seed=1)
    close, open_, high, low, weights = frames(mkt, top_k_signal(mkt, 50))
    opts = dict(trade_at="open", rebalance=None, **NO_STOPS)
    args, _ = prepare(weights, close, open_, high, low, **opts)
    assert np.shares_memory(args["close_values"], mkt.close)
    res = vostra.backtest(weights, close, open_, high, low, **opts)
    assert np.array_equal(res.equity.to_numpy(), _engine.run(**args).equity)
    engine_s, front_s = interleaved(lambda: _engine.run(**args),
                                    lambda: vostra.backtest(weights, close, open_, high, low, **opts), 21)
    ratios = {"backtest / _engine.run": front_s / engine_s}
    print(f"W1 vostra.backtest {front_s * 1e3:8.2f} ms   _engine.run {engine_s * 1e3:8.2f} ms   "
          f"{ratios['backtest / _engine.run']:.2f}x", flush=True)

    grid = {"stop_loss": [None, 0.05, 0.1, 0.2], "fee": [0.0, 0.001, 0.001425, 0.002],
            "intrabar": [False, True], "tax": [0.0, 0.003]}
    runs = int(np.prod([len(v) for v in grid.values()]))
    sweep = lambda w: vostra.sweep(weights, close, open_, high, low, grid=grid, progress=False,  # noqa: E731
                                   workers=w, overfitting=False, **{k: v for k, v in opts.items()
                                                                    if k not in grid})
    one_s, t1 = wall(lambda: sweep(1), 3, 30.0)
    two_s, t2 = wall(lambda: sweep(2), 3, 30.0)
    assert np.array_equal(t1["sharpe"].to_numpy(), t2["sharpe"].to_numpy(), equal_nan=True)
    jobs = []
    for row in t1.itertuples():
        o = {k: getattr(row, k) for k in grid}
        jobs.append(prepare(weights, close, open_, high, low, **{**opts, **o})[0])
    many_s, _ = wall(lambda: _engine.run_many(jobs=jobs, threads=2), 3, 30.0)
    ratios["sweep 2 threads / 1"] = one_s / two_s
    ratios["sweep rate / run_many rate"] = many_s / two_s
    print(f"W1 sweep of {runs} runs: 1 thread {runs / one_s:6.1f} runs/s, 2 threads {runs / two_s:6.1f} runs/s "
          f"({ratios['sweep 2 threads / 1']:.2f}x); run_many on 2 threads {runs / many_s:6.1f} runs/s "
          f"(sweep at {100 * ratios['sweep rate / run_many rate']:.0f} %)", flush=True)

    m = vostra.synthetic_market(n_stocks=300, years=10, seed=7)
    filled = m.close.ffill()
    score = (filled.shift(21) / filled.shift(126) - 1).where(m.close.notna())
    rank = score.rank(axis=1, ascending=False)
    readme_grid = {"stop_loss": [None, 0.05, 0.1], "rebalance": ["M", "W"], "fee": [0.001, 0.002]}
    readme = lambda: vostra.sweep({"top10": rank <= 10, "top30": rank <= 30}, m, grid=readme_grid,  # noqa: E731
                                  trade_at="open", progress=False)
    readme_s, table = wall(readme, 5, 10.0)
    ratios["README sweep / process pool"] = len(table) / readme_s / README_POOL_RATE
    print(f"README sweep (300 x 10, {len(table)} runs): {len(table) / readme_s:6.1f} runs/s "
          f"({readme_s * 1e3:.0f} ms a sweep), {ratios['README sweep / process pool']:.2f}x the "
          f"{README_POOL_RATE} runs/s of the earlier process pool")
    goals = {"backtest / _engine.run": ("<=", 1.3), "sweep 2 threads / 1": (">=", 1.7),
             "sweep rate / run_many rate": (">=", 0.85), "README sweep / process pool": (">=", 5.0)}
    for key, (op, goal) in goals.items():
        ok = ratios[key] <= goal if op == "<=" else ratios[key] >= goal
        print(f"target {'met    ' if ok else 'not met'} {key}: {ratios[key]:.2f} (goal {op} {goal})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
