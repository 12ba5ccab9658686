"""What users run, on the issue market: stops, missing prices, results printed.

    python bench/walks.py            # 2000 stocks x 4000 bars, top 50 monthly, trading at the open
    python bench/walks.py --quick    # reduced sizes (smoke run)

The market has no late listings, delistings or suspensions of its own; a
copy of it gets 0.1 % of its cells missing (NaN in all four frames, spread at
random), which held positions meet. The signal is chosen on the market
without holes and used on both. Rows (every time a median of interleaved
calls in this one process):

- ``_engine.run`` without stops on the market without holes (the base row),
  and on the market with holes: without stops, with ``stop_loss=0.1`` in
  close mode, and intrabar;
- the reference kernel (``bench/reference.cpp``, built here) on the market
  without holes, against the base row;
- ``backtest_`` on each row, alone, and what the trade-log fetch
  (``get_trade_stocks``) adds;
- ``str(vostra.backtest(...))`` with ``stop_loss=0.1`` against ``_engine.run``
  on the arrays it hands over.

Every pair is first checked to give the same equity bits.
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

import reference  # noqa: E402
import vostra  # noqa: E402
from vostra import _engine  # noqa: E402
from vostra.core import vantrel  # noqa: E402
from vostra.run.arguments import prepare  # noqa: E402
from frontend import frames  # noqa: E402

INF = np.inf
NO_STOPS = dict(stop_loss=INF, take_profit=INF, trail_stop=INF)
CLOSE_STOP = dict(NO_STOPS, stop_loss=0.1)
INTRABAR_STOP = dict(CLOSE_STOP, touched_exit=True)


def issue_market(n_stocks, n_bars, holes, seed=1):
    """The market without holes of its own, and a copy with `holes` of its cells missing."""
    mkt = synthetic_market(n_stocks, n_bars, seed=seed, suspensions=0.0, listing_rate=0.0, delisting_rate=0.0)
    rng = np.random.default_rng(seed + 1)
    missing = rng.random(mkt.shape) < holes
    holed = {k: np.asfortranarray(np.where(missing, np.nan, getattr(mkt, k))) for k in ("open", "high", "low", "close")}
    return mkt, mkt.__class__(index=mkt.index, columns=mkt.columns, hole_count=mkt.hole_count, **holed)


def pair(name, first, second, reps, labels=("", "")):
    a, b = interleaved(first, second, reps, clock="cpu_median_s")
    print(f"{name:<34} {labels[0]:>14} {a * 1e3:8.2f} ms   {labels[1]:>14} {b * 1e3:8.2f} ms   {a / b:5.2f}x",
          flush=True)
    return a, b


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true")
    a = ap.parse_args()
    n_stocks, n_bars, k = (500, 2000, 50) if a.quick else (2000, 4000, 50)
    reps = 5 if a.quick else 15
    info = machine_info()
    print(f"{info.get('cpu', '')}  python {sys.version.split()[0]}  numpy {np.__version__}  "
          f"load {info.get('load_average')}")
    clean, holed = issue_market(n_stocks, n_bars, 0.001)
    sig = top_k_signal(clean, k)
    base_args, hole_args = peers.engine_args(clean, sig), peers.engine_args(holed, sig)
    rows = {
        "no stops, no holes": (base_args, NO_STOPS),
        "no stops, holes": (hole_args, NO_STOPS),
        "stop_loss=0.1, holes": (hole_args, CLOSE_STOP),
        "stop_loss=0.1 intrabar, holes": (hole_args, INTRABAR_STOP),
    }
    for name, (args, opts) in rows.items():
        assert np.array_equal(vantrel.backtest_(*args, **opts), _engine.run(*args, **opts).equity), name
    base = lambda: _engine.run(*base_args, **NO_STOPS)  # noqa: E731
    ratios = {}
    for name, (args, opts) in list(rows.items())[1:]:
        t_base, t = pair(name, base, lambda: _engine.run(*args, **opts), reps, ("base run", "_engine.run"))
        ratios[name] = t / t_base
    ref = reference.Reference(reference.build(), clean.open, clean.close, sig.weights, sig.bars + 1)
    want = _engine.run(*base_args, **NO_STOPS).equity
    assert np.allclose(ref(), want, rtol=1e-9, atol=0), np.max(np.abs(ref() / want - 1))
    t_ref, t_base = pair("reference kernel, no holes", ref, base, reps, ("reference", "base run"))
    ratios["base run / reference"] = t_base / t_ref
    for name, (args, opts) in rows.items():
        pair(name, lambda: vantrel.backtest_(*args, **opts), lambda: _engine.run(*args, **opts), reps,
             ("backtest_", "_engine.run"))
    trade_log = lambda: vantrel.get_trade_stocks(hole_args[9], hole_args[5], False)  # noqa: E731
    vantrel.backtest_(*hole_args, **CLOSE_STOP)
    pair("trade-log fetch, stop_loss=0.1", trade_log, lambda: vantrel.backtest_(*hole_args, **CLOSE_STOP), reps,
         ("get_trade_st.", "backtest_"))
    close, open_, high, low, weights = frames(holed, sig)
    front = dict(trade_at="open", rebalance=None, stop_loss=0.1, take_profit=None, trail_stop=None)
    fargs, _ = prepare(weights, close, open_, high, low, **front)
    printed = lambda: str(vostra.backtest(weights, close, open_, high, low, **front))  # noqa: E731
    assert np.array_equal(vostra.backtest(weights, close, open_, high, low, **front).equity.to_numpy(),
                          _engine.run(**fargs).equity)
    t_engine, t_front = pair("str(vostra.backtest), stop_loss=0.1", lambda: _engine.run(**fargs), printed, reps,
                             ("_engine.run", "str(backtest)"))
    ratios["str(backtest) / _engine.run"] = t_front / t_engine
    goals = {"no stops, holes": 1.1, "stop_loss=0.1, holes": 1.2, "stop_loss=0.1 intrabar, holes": 1.5,
             "base run / reference": 2.0, "str(backtest) / _engine.run": 1.15}
    for key, goal in goals.items():
        met = "met    " if ratios[key] <= goal else "not met"
        print(f"target {met} {key}: {ratios[key]:.2f}x (goal <= {goal})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
