"""The native entry against the contract path, measured in one run.

    python bench/engine.py            # W1-size market, about a minute on 2 cores
    python bench/engine.py --quick    # reduced sizes (smoke run)

Rows: vostra._engine.run against vantrel.backtest_ (+ the trade log the
caller fetches) on W1 (2000 stocks x 4000 bars, top 50 monthly), on W1 with
daily signal rows, and on W1 with an excursion window of 250 bars step 1;
run_many on 2 threads against 1. Every pair is first checked to give the
same equity bits. See bench/README.md for the figures.
"""

from __future__ import annotations

import argparse
import os
import sys

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(1, os.path.join(os.path.dirname(HERE), "src"))

from market import synthetic_market, top_k_signal  # noqa: E402
from measure import interleaved, machine_info  # noqa: E402
import peers  # noqa: E402

from vostra import _engine  # noqa: E402
from vostra.core import vantrel  # noqa: E402

NO_STOPS = dict(stop_loss=np.inf, take_profit=np.inf, trail_stop=np.inf)


def contract(args, opts):
    """What a caller of the contract path runs to get the curve and the trade log."""
    eq = vantrel.backtest_(*args, **opts)
    vantrel.get_trade_stocks(args[9], args[5], opts.get("touched_exit", False))
    return eq


def compare(name, args, opts, reps):
    want = contract(args, opts)
    got = _engine.run(*args, **opts)
    assert np.array_equal(want, got.equity), f"{name}: equity differs"
    assert len(vantrel.orbalt.trades) == len(got.trades["sid"])
    old, new = interleaved(lambda: contract(args, opts), lambda: _engine.run(*args, **opts), reps,
                           clock="cpu_median_s")
    ratio = old / new
    print(f"{name:<28} backtest_ {old * 1e3:9.2f} ms   _engine.run {new * 1e3:9.2f} ms"
          f"   {ratio:5.2f}x   ({len(got.trades['sid'])} trades)", flush=True)
    return ratio


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true")
    a = ap.parse_args()
    n_stocks, n_bars, k = (500, 2000, 50) if a.quick else (2000, 4000, 50)
    reps = 5 if a.quick else 11
    info = machine_info()
    print(f"{info.get('cpu', '')}  python {sys.version.split()[0]}  numpy {np.__version__}")
    mkt = synthetic_market(n_stocks, n_bars, seed=1)
    monthly = top_k_signal(mkt, k)
    daily = top_k_signal(mkt, k, every="D")
    ratios = {
        "W1": compare("W1 monthly", peers.engine_args(mkt, monthly), NO_STOPS, reps),
        "W1 daily": compare("W1 daily signal rows", peers.engine_args(mkt, daily), NO_STOPS, max(3, reps // 3)),
        "W1 window": compare("W1 window 250 step 1", peers.engine_args(mkt, monthly),
                             dict(NO_STOPS, orbalt_window=250, orbalt_window_step=1), max(3, reps // 2)),
    }
    args = peers.engine_args(mkt, monthly)
    jobs = [dict(NO_STOPS, stop_loss=s, fee_ratio=f) for s in (0.05, 0.1, 0.2, np.inf) for f in (0.0, 0.001425)]
    one = _engine.run_many(*args, jobs=jobs, threads=1)
    two = _engine.run_many(*args, jobs=jobs, threads=2)
    assert all(np.array_equal(x.equity, y.equity) for x, y in zip(one, two))
    t1, t2 = interleaved(lambda: _engine.run_many(*args, jobs=jobs, threads=1),
                         lambda: _engine.run_many(*args, jobs=jobs, threads=2), 7)
    ratios["run_many"] = t1 / t2
    print(f"{'run_many, 8 jobs':<28} 1 thread {t1 * 1e3:9.1f} ms   2 threads "
          f"{t2 * 1e3:9.1f} ms   {ratios['run_many']:5.2f}x (wall)")
    targets = {"W1": 2.5, "W1 daily": 4.0, "W1 window": 2.0, "run_many": 1.8}
    for key, goal in targets.items():
        met = "met    " if ratios[key] >= goal else "not met"
        print(f"target {met} {key}: {ratios[key]:.2f}x (goal >= {goal})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
