"""vostra: portfolio backtesting with a native C++ core.

``backtest`` runs target weights (wide frames or long tables) through the
engine ``vostra.core.vantrel`` and returns a ``Result`` with the equity
curve, the trade log, the next-day operations, statistics and plots.
``sweep`` runs a grid of options on threads of this process (the engine
releases the interpreter lock while it simulates) or on a Ray cluster.
``walk_forward`` chains the out-of-sample runs of the best configuration of
rolling train windows; ``overfitting`` and the Sharpe ratio tests of
``vostra.overfit`` say how much a sweep's best run owes to the search.
``Market`` holds the prices a backtest reads: ``Market.from_long`` builds
one from a long table (pandas, polars or Arrow), ``read_market`` from
Parquet or CSV files; ``synthetic_market`` makes a seeded market for trying
things out.
"""

from .data.market import Market
from .data.read import read_market
from .data.synthetic import synthetic_market
from .run.backtest import backtest
from .result import ACTIONS, Result
from .stats import statistics
from .overfit import (Overfitting, backtest_overfitting_probability, deflated_sharpe_ratio,
                      effective_trials, expected_max_sharpe, overfitting, overfitting_statistics,
                      probabilistic_sharpe_ratio)
from .sweep import sweep
from .walkforward import WalkForward, walk_forward

__all__ = ["backtest", "read_market", "sweep", "walk_forward", "WalkForward", "Result", "ACTIONS", "statistics",
           "synthetic_market", "Market", "probabilistic_sharpe_ratio", "deflated_sharpe_ratio",
           "expected_max_sharpe", "effective_trials", "backtest_overfitting_probability",
           "overfitting_statistics", "overfitting", "Overfitting"]
__version__ = "0.1.0"
