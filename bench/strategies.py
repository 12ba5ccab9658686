"""Strategies that learn: a 10-year daily walk-forward with monthly refits of
an inverse-volatility estimator on 500 stocks, as users run it.

    python bench/strategies.py            # 500 stocks x 10 years (about 2520 bars), 120 monthly refits
    python bench/strategies.py --quick    # 100 stocks x 4 years (smoke run)

The market is ``vostra.synthetic_market(n_stocks, years, seed=7)`` (late
listings, delistings, suspensions). Each refit fits on the 252 daily returns
up to its close. Rows, each the median of interleaved calls in this one
process, with the load average printed beside them (the machine is shared):

- ``vostra.backtest(estimator, market, refit="M", lookback=252)`` on 1 and
  on 2 threads (``workers=``), for two estimators: vostra's
  ``InverseVolatility`` (a few NumPy passes over the window) and skfolio's
  ``InverseVolatility`` on the sample covariance (``EmpiricalCovariance(
  nearest=False)``: with 252 returns of 500 stocks the covariance is not
  positive definite and skfolio's default repair takes seconds a fit);
- the engine's own part of that call: ``_engine.run`` on the arguments of
  the run the call ends with (the fitted weights, one row per refit), and
  the whole weights backtest of those weights (checks, engine, Result);
- the fits alone on the same 1 and 2 threads (``fit_all``), and on Ray with
  2 CPUs where Ray is installed (its start is not counted);
- an estimator that needs the weights the account holds (the same
  inverse volatility, with a ``previous_weights`` parameter): its fits run
  in sequence, each after a run of the weights decided so far up to its
  refit date; the row gives the extra time and the runs' bars over one
  full run's.

Every pair is first checked to give the same equity.
"""

from __future__ import annotations

import argparse
import os
import sys
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(1, os.path.join(os.path.dirname(HERE), "src"))
# Ray's workers find the working tree's package the same way.
os.environ["PYTHONPATH"] = os.pathsep.join(filter(None, [sys.path[1], os.environ.get("PYTHONPATH")]))

import vostra  # noqa: E402
from vostra._native import load_engine  # noqa: E402
from vostra.research.estimators import InverseVolatility  # noqa: E402
from vostra.research.refits import fit_all, refit_bars  # noqa: E402
from vostra.research.strategy import MarketData, as_strategy  # noqa: E402
from vostra.run.backtest import prepare_run  # noqa: E402
from vostra.research.learn import _bound  # noqa: E402


class HeldInverseVolatility(InverseVolatility):
    """Inverse volatility that asks for the account's holdings (and ignores them)."""

    def __init__(self, ddof: int = 1, previous_weights=None) -> None:
        self.ddof = ddof
        self.previous_weights = previous_weights


def load() -> str:
    one, five, _ = os.getloadavg()
    return f"load {one:.1f} / {five:.1f}"


def median_of(calls: dict, repeats: int) -> dict:
    """Median wall time of each call, the calls interleaved."""
    times = {name: [] for name in calls}
    for _ in range(repeats):
        for name, call in calls.items():
            started = time.perf_counter()
            call()
            times[name].append(time.perf_counter() - started)
    return {name: float(np.median(t)) for name, t in times.items()}


def skfolio_inverse_volatility():
    try:
        from skfolio.moments import EmpiricalCovariance
        from skfolio.optimization import InverseVolatility as SkfolioInverseVolatility
        from skfolio.prior import EmpiricalPrior
    except ImportError:
        return None
    return SkfolioInverseVolatility(prior_estimator=EmpiricalPrior(
        covariance_estimator=EmpiricalCovariance(nearest=False)))


def engine_part(market, weights) -> tuple:
    """The engine's run of the weights backtest a strategy's call ends with,
    and the whole weights backtest."""
    arguments, context = prepare_run(**_bound(weights, market, None, None, None, {"rebalance": "M"}))
    engine = load_engine()

    def run():
        return engine.run(**arguments, weight_scan=context["weight_scan"])

    def backtest():
        return vostra.backtest(weights, market, rebalance="M")

    return run, backtest


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--ray", action="store_true", help="also time the fits on Ray (2 CPUs)")
    args = parser.parse_args()
    stocks, years = (100, 4) if args.quick else (500, 10)
    market = vostra.synthetic_market(n_stocks=stocks, years=years, seed=7)
    data = MarketData.of(market)
    bars = refit_bars(data, "M", 252)
    print(f"market: {len(market.dates)} bars x {stocks} stocks; {len(bars)} monthly refits on 252 returns; "
          f"{os.cpu_count()} CPUs; {load()}")

    estimators = {"vostra InverseVolatility": InverseVolatility()}
    theirs = skfolio_inverse_volatility()
    if theirs is not None:
        estimators["skfolio InverseVolatility"] = theirs
    for name, estimator in estimators.items():
        results = {w: vostra.backtest(estimator, market, refit="M", lookback=252, workers=w) for w in (1, 2)}
        assert results[1].equity.equals(results[2].equity)
        weights = results[1].fitted.fillna(0.0)
        again = vostra.backtest(weights, market, rebalance="M")
        assert again.equity.equals(results[1].equity), "the weights backtest differs from the strategy's"
        run, backtest = engine_part(market, weights)
        jobs = [(as_strategy(estimator), int(b)) for b in bars]
        before = load()
        times = median_of({
            "call, 1 thread": lambda: vostra.backtest(estimator, market, refit="M", lookback=252, workers=1),
            "call, 2 threads": lambda: vostra.backtest(estimator, market, refit="M", lookback=252, workers=2),
            "fits, 1 thread": lambda: fit_all(jobs, data, 252, "drop", workers=1),
            "fits, 2 threads": lambda: fit_all(jobs, data, 252, "drop", workers=2),
            "engine run": run,
            "weights backtest": backtest,
        }, args.repeats)
        print(f"\n{name} ({before} before, {load()} after)")
        for row, seconds in times.items():
            print(f"  {row:18} {seconds * 1e3:9.1f} ms")
        print(f"  engine's share of the call on 2 threads: {times['engine run'] / times['call, 2 threads']:.1%} "
              f"(the weights backtest's: {times['weights backtest'] / times['call, 2 threads']:.1%}); "
              f"on 1 thread: {times['engine run'] / times['call, 1 thread']:.1%}")
        print(f"  2 threads over 1: the call {times['call, 1 thread'] / times['call, 2 threads']:.2f}x, "
              f"the fits {times['fits, 1 thread'] / times['fits, 2 threads']:.2f}x")
        if args.ray:
            ray_row(jobs, data, times["fits, 1 thread"], args.repeats)

    previous_weights_row(market, args.repeats)


def ray_row(jobs, data, serial: float, repeats: int) -> None:
    import ray

    if not ray.is_initialized():
        ray.init(address="local", num_cpus=2, include_dashboard=False, log_to_driver=False)
    fit_all(jobs, data, 252, "drop", backend="ray")   # workers started and warm
    before = load()
    times = median_of({"fits on Ray": lambda: fit_all(jobs, data, 252, "drop", backend="ray")}, repeats)
    print(f"  fits on Ray (2 CPUs) {times['fits on Ray'] * 1e3:9.1f} ms: {serial / times['fits on Ray']:.2f}x "
          f"over 1 thread ({before} before, {load()} after)")


def previous_weights_row(market, repeats: int) -> None:
    """The cost of handing each fit the account's holdings."""
    options = dict(refit="M", lookback=252, capital=1_000_000, lot_size=100)
    held = vostra.backtest(HeldInverseVolatility(), market, **options)
    free = vostra.backtest(InverseVolatility(), market, workers=1, **options)
    assert held.equity.equals(free.equity)
    n_bars = len(market.dates)
    prefix_bars = sum(fit.bar + 1 for fit in held.fits[1:])
    before = load()
    times = median_of({
        "independent": lambda: vostra.backtest(InverseVolatility(), market, workers=1, **options),
        "with holdings": lambda: vostra.backtest(HeldInverseVolatility(), market, **options),
    }, max(1, repeats // 2))
    extra = times["with holdings"] - times["independent"]
    print(f"\nprevious weights, capital and lots of 100 ({before} before, {load()} after)")
    print(f"  independent fits, 1 thread {times['independent'] * 1e3:9.1f} ms")
    print(f"  fits given the holdings    {times['with holdings'] * 1e3:9.1f} ms: {extra * 1e3:.1f} ms more for "
          f"{len(held.fits) - 1} runs up to the refit dates, {prefix_bars / n_bars:.1f} full runs' bars")


if __name__ == "__main__":
    main()
