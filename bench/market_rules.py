"""Fills the market allows (volume caps and a daily price limit) against
the same account without them, in one run.

    python bench/market_rules.py            # W1 market
    python bench/market_rules.py --quick    # reduced sizes (smoke run)

Rows, each a pair measured interleaved in this process:
- vostra._engine.run on W1 (2000 stocks x 4000 bars, top 50 monthly,
  trading at the open, default fee and tax, no stops) with the account of
  bench/account.py (capital 1e7, lot_size 100, min_fee 20, slippage 0.001),
  with max_volume_share 0.01 of a synthetic volume and a 10 % price limit,
  against the same account without them (goal: at most 1.3x);
- the same pair with intrabar stops (W2's levels).
The volume is a synthetic number of shares per bar worth about 5e6 at the
close (lognormal, sigma 1), so a 1 % cap fills about a quarter of a 2e5
order a bar and orders wait for several bars. Each run with the rules is
first checked: no bar fills more than the cap, and the trades' pnl and the
interest add up to the final equity minus the capital.
"""

from __future__ import annotations

import argparse
import os
import sys

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(1, os.path.join(os.path.dirname(HERE), "src"))

from account import ACCOUNT, NO_STOPS, STOPS, pair, reconcile, w1  # noqa: E402

from vostra import _engine  # noqa: E402
from vostra.run.arguments import prepare  # noqa: E402

RULES = dict(max_volume_share=0.01, price_limit=0.1)


def check(run, arguments, capital):
    f = run.fills
    column = {label: i for i, label in enumerate(arguments["price_columns"])}
    col = np.array([column[label] for label in arguments["pos_columns"]], dtype=np.int64)[f["sid"]]
    ruled = run.orders["reason"][f["order"]] != 4  # delisting sales fill in full
    key = f["bar"][ruled] * len(column) + col[ruled]
    per_bar = np.bincount(key, np.abs(f["shares"][ruled]), minlength=1)
    used = np.flatnonzero(per_bar)
    cap = arguments["max_volume_share"] * arguments["volume"][used // len(column), used % len(column)]
    assert (per_bar[used] <= cap * (1 + 1e-12)).all()
    reconcile(run, capital)
    waited = int((~f["completed"]).sum())
    return len(f["bar"]), waited


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true")
    a = ap.parse_args()
    (close, open_, high, low, weights), pairs = w1(a.quick)
    rng = np.random.default_rng(2)
    volume = close.rdiv(5e6) * np.exp(rng.normal(0, 1, size=close.shape))
    ratios = {}
    for name, stops in (("W1", NO_STOPS), ("W2 (intrabar stops)", STOPS)):
        opts = dict(trade_at="open", rebalance=None, **stops, **ACCOUNT)
        plain, _ = prepare(weights, close, open_, high, low, **opts)
        ruled, _ = prepare(weights, close, open_, high, low, **opts, **RULES, volume=volume)
        fills, waited = check(_engine.run(**ruled), ruled, ACCOUNT["capital"])
        ratios[name] = pair(f"{name} ({fills} fills, {waited} partial)", lambda: _engine.run(**plain),
                            lambda: _engine.run(**ruled), pairs)
    for key, ratio in ratios.items():
        ok = ratio <= 1.3
        print(f"target {'met    ' if ok else 'not met'} {key} market rules / account: {ratio:.2f} (goal <= 1.3)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
