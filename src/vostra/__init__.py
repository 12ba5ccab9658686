"""vostra: portfolio backtesting with a native C++ core.

``backtest`` runs target weights given as pandas DataFrames through the
engine ``vostra.core.vantrel`` and returns a ``Result`` with the equity
curve, the trade log, the next-day operations, statistics and plots.
``sweep`` runs a grid of options over worker processes or a Ray cluster.
``synthetic_market`` makes a seeded market for trying things out.
"""

from ._frontend import backtest
from .market import Market, synthetic_market
from .result import ACTIONS, Result
from .stats import statistics
from .sweep import sweep

__all__ = ["backtest", "sweep", "Result", "ACTIONS", "statistics", "synthetic_market", "Market"]
__version__ = "0.1.0"
