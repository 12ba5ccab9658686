"""Portfolio estimators walked forward on real prices through a real
account: skfolio's mean-risk optimiser (its risk measure chosen every year)
and hierarchical risk parity against equal weight.

Run from the repository root:  python examples/strategies.py [--html PATH] [--backend threads|serial|ray]
(needs skfolio: pip install 'vostra[portfolio]').

The prices are the 20 US stocks of skfolio's S&P 500 sample (daily closes,
shipped with skfolio), 2014 to 2022. Every estimator is refitted on the
last bar of every month on the 252 daily returns up to that close; its
weights are traded on the next bar by an account of 1,000,000 in whole
shares paying 5 bp a fill (at least 1). The mean-risk walk chooses between
minimum variance and minimum CVaR on the 3 years before each test year by
Sharpe ratio, and trades the choice through that year.
"""

import argparse
import time
from pathlib import Path

import pandas as pd

import vostra
from skfolio import RiskMeasure
from skfolio.datasets import load_sp500_dataset
from skfolio.optimization import HierarchicalRiskParity, MeanRisk


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--html", default="out/strategies.html", help="where to write the report")
    parser.add_argument("--backend", default="threads", choices=["threads", "serial", "ray"])
    args = parser.parse_args()

    started = time.perf_counter()
    market = vostra.Market.from_frames(load_sp500_dataset().loc["2014":])
    account = dict(capital=1_000_000, lot_size=1, fee=0.0005, tax=0, min_fee=1)
    equal = vostra.backtest(vostra.EqualWeight(), market, refit="M", **account)
    hrp = vostra.backtest(HierarchicalRiskParity(), market, refit="M", lookback=252,
                          backend=args.backend, **account)
    walk = vostra.walk_forward(MeanRisk(), market, refit="M", lookback=252, train="3Y", test="1Y",
                               grid={"risk_measure": [RiskMeasure.VARIANCE, RiskMeasure.CVAR]},
                               backend=args.backend, **account)
    done = time.perf_counter()

    result = walk.result
    print(walk.windows[["test_start", "test_end", "risk_measure", "in_sample", "out_of_sample", "refits"]]
          .to_string(float_format="{:.2f}".format))
    first = walk.equity.index[0]
    table = pd.DataFrame({name: vostra.statistics(r.equity.loc[first:]) for name, r in
                          {"mean-risk walk": result, "HRP": hrp, "equal weight": equal}.items()})
    print("\nFrom", first.date(), "(the first test year's anchor):")
    print(table.loc[["total_return", "cagr", "annual_volatility", "sharpe", "max_drawdown"]]
          .to_string(float_format="{:.3f}".format))
    print(f"\ncosts paid by the walk's account: {result.costs.sum():,.2f}")
    print(result.orders)
    Path(args.html).parent.mkdir(parents=True, exist_ok=True)
    result.report(args.html, benchmark=equal.equity.rename("equal weight"))
    print(f"\nreport: {args.html}; {len(walk.windows)} test years; {len(equal.fits)} equal-weight, "
          f"{len(hrp.fits)} HRP and {len(walk.sweep)} x {len(hrp.fits)} mean-risk fits in {done - started:.1f} s")


if __name__ == "__main__":
    main()
