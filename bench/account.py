"""A real account against the normalised one, in one run.

    python bench/account.py            # W1 market, about half a minute on 2 cores
    python bench/account.py --quick    # reduced sizes (smoke run)

Rows, each a pair measured interleaved in this process:
- vostra._engine.run on W1 (2000 stocks x 4000 bars, top 50 monthly,
  trading at the open, default fee and tax, no stops) with capital 1e7,
  lot_size 100, min_fee 20 and slippage 0.001 against the same run without
  them (goal: at most 1.3x);
- the same pair with intrabar stops (W2's stop-loss 0.08, take-profit 0.2,
  trailing stop 0.05 from 0.05);
- the W1 pair through vostra.backtest on DataFrames, the trade log built;
- W1 with borrow and cash rates (financing, which takes every bar) against
  the account without them, for the record.
Each account run is first checked to hold whole lots and to reconcile:
the trades' pnl and the interest add up to the final equity minus the
capital (1e-9 relative).
"""

from __future__ import annotations

import argparse
import math
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
from vostra.run.arguments import prepare  # noqa: E402

NO_STOPS = dict(stop_loss=None, take_profit=None, trail_stop=None)
STOPS = dict(stop_loss=0.08, take_profit=0.2, trail_stop=0.05, trail_activation=0.05, intrabar=True)
ACCOUNT = dict(capital=1e7, lot_size=100, min_fee=20.0, slippage=0.001)


def reconcile(run, capital):
    """The trades' P&L and the interest add up to the equity's gain."""
    total = math.fsum(run.trades["pnl"]) + math.fsum(run.interest)
    final = run.equity[-1]
    assert abs(total - (final - capital)) <= 1e-9 * max(capital, abs(final)), (total, final - capital)


def w1(quick):
    """The W1 market (or its quick size) as frames, and the pairs to time."""
    n_stocks, n_bars = (500, 2000) if quick else (2000, 4000)
    mkt = synthetic_market(n_stocks, n_bars, seed=1)
    return frames(mkt, top_k_signal(mkt, 50)), 7 if quick else 21


def check(run, capital, lot):
    reconcile(run, capital)
    assert (np.mod(run.trades["shares"], lot) == 0).all() and (np.mod(run.shares, lot) == 0).all()
    return len(run.trades["sid"])


def pair(name, plain, account, pairs):
    plain_s, account_s = interleaved(plain, account, pairs)
    ratio = account_s / plain_s
    print(f"{name:34s} without {plain_s * 1e3:8.2f} ms   with {account_s * 1e3:8.2f} ms   {ratio:.2f}x", flush=True)
    return ratio


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true")
    a = ap.parse_args()
    (close, open_, high, low, weights), pairs = w1(a.quick)
    ratios = {}
    for name, stops in (("W1", NO_STOPS), ("W2 (intrabar stops)", STOPS)):
        opts = dict(trade_at="open", rebalance=None, **stops)
        plain, _ = prepare(weights, close, open_, high, low, **opts)
        account, _ = prepare(weights, close, open_, high, low, **opts, **ACCOUNT)
        trades = check(_engine.run(**account), ACCOUNT["capital"], ACCOUNT["lot_size"])
        ratios[name] = pair(f"{name} _engine.run ({trades} trades)", lambda: _engine.run(**plain),
                            lambda: _engine.run(**account), pairs)
    opts = dict(trade_at="open", rebalance=None, **NO_STOPS)
    front = lambda **o: vostra.backtest(weights, close, open_, high, low, **opts, **o).trades  # noqa: E731
    ratios["W1 vostra.backtest"] = pair("W1 vostra.backtest + trade log", front, lambda: front(**ACCOUNT), pairs)
    financed, _ = prepare(weights, close, open_, high, low, **opts, **ACCOUNT, borrow_rate=0.03, cash_rate=0.02)
    account, _ = prepare(weights, close, open_, high, low, **opts, **ACCOUNT)
    check(_engine.run(**financed), ACCOUNT["capital"], ACCOUNT["lot_size"])
    pair("W1 financing / account", lambda: _engine.run(**account), lambda: _engine.run(**financed), pairs)
    for key in ("W1", "W2 (intrabar stops)", "W1 vostra.backtest"):
        ok = ratios[key] <= 1.3
        print(f"target {'met    ' if ok else 'not met'} {key} account / plain: {ratios[key]:.2f} (goal <= 1.3)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
