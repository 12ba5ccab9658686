"""A printed result against the engine run it comes from, in one process.

    python bench/printed.py            # 2000 stocks x 4000 bars, 0.1 % missing prices
    python bench/printed.py --quick    # 500 x 2000 (smoke run)

Row: ``str(vostra.backtest(...))`` with ``stop_loss=0.1``, top 50 monthly,
trading at the open, against ``vostra._engine.run`` on the arrays that
backtest hands it (goal: at most 1.15x), timed interleaved, by wall time
and by the process's CPU time (steadier on a shared machine). The two are
checked to give the same equity bits first.
"""

from __future__ import annotations

import argparse
import os
import sys

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(1, os.path.join(os.path.dirname(HERE), "src"))

from frontend import frames  # noqa: E402
from market import synthetic_market, top_k_signal  # noqa: E402
from measure import interleaved  # noqa: E402

import vostra  # noqa: E402
from vostra import _engine  # noqa: E402
from vostra.run.arguments import prepare as _prepare  # noqa: E402


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--repeats", type=int, default=21)
    a = ap.parse_args()
    n_stocks, n_bars = (500, 2000) if a.quick else (2000, 4000)
    # About 0.1 % of the cells missing: short suspensions only, every stock listed throughout.
    mkt = synthetic_market(n_stocks, n_bars, seed=1, suspensions=0.73, listing_rate=0.0, delisting_rate=0.0)
    print(f"missing prices: {np.isnan(mkt.close).mean() * 100:.3f} % of the cells")
    close, open_, high, low, weights = frames(mkt, top_k_signal(mkt, 50))
    opts = dict(trade_at="open", rebalance=None, stop_loss=0.1)
    args, _ = _prepare(weights, close, open_, high, low, **opts)
    res = vostra.backtest(weights, close, open_, high, low, **opts)
    assert np.array_equal(res.equity.to_numpy(), _engine.run(**args).equity)
    for clock in ("wall_median_s", "cpu_median_s"):
        engine_s, front_s = interleaved(lambda: _engine.run(**args),
                                        lambda: str(vostra.backtest(weights, close, open_, high, low, **opts)),
                                        a.repeats, clock=clock)
        ratio = front_s / engine_s
        ok = ratio <= 1.15
        print(f"{clock[:-9]:>4}: str(vostra.backtest) {front_s * 1e3:8.2f} ms   _engine.run {engine_s * 1e3:8.2f} ms   "
              f"{ratio:.2f}x, target {'met' if ok else 'not met'} (goal <= 1.15)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
