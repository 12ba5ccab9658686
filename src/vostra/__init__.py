"""vostra: portfolio backtesting with a native C++ core.

``backtest`` runs target weights (wide frames or long tables) through the
engine ``vostra.core.vantrel`` and returns a ``Result`` with the equity
curve, the trade log, the next-day operations, statistics and plots.
``sweep`` runs a grid of options on threads of this process (the engine
releases the interpreter lock while it simulates) or on a Ray cluster.
``backtest`` and ``walk_forward`` also take a strategy that learns its
weights (an estimator with scikit-learn's convention, such as skfolio's or
``EqualWeight``, ``InverseVolatility``, ``TopN``, or a function history ->
weights), refitted on a schedule on the data up to each refit date.
``walk_forward`` chains the out-of-sample runs of the best configuration of
rolling train windows; ``overfitting`` and the Sharpe ratio tests of
``vostra.research.overfit`` say how much a sweep's best run owes to the search.
``Market`` holds the prices a backtest reads: ``Market.from_long`` builds
one from a long table (pandas, polars or Arrow), ``read_market`` from
Parquet or CSV files; ``synthetic_market`` makes a seeded market for trying
things out.

The package is laid out in layers whose imports flow one way: ``data``
(markets and weights in) -> ``run`` (options, arguments, the engine call) ->
``results`` (Result, statistics, series, trades, fills, orders) -> ``views``
(figures, report, notebook HTML); ``research`` (sweeps, walk-forward,
overfitting) builds on run and results, and ``cli`` on all of them.
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any

from . import _moved

# Each public name and the module that defines it. They are loaded when first
# used, so that ``import vostra.data`` (or the command line's help) does not
# load the layers above it.
_EXPORTS = {
    "Market": "data.market", "read_market": "data.read", "synthetic_market": "data.synthetic",
    "backtest": "research.learn", "Result": "results.result", "ACTIONS": "results.result",
    "statistics": "results.stats", "load_result": "results.store",
    "EqualWeight": "research.estimators", "InverseVolatility": "research.estimators", "TopN": "research.estimators",
    "sweep": "research.sweep", "walk_forward": "research.walkforward", "WalkForward": "research.walkforward",
    "cross_validate": "research.crossval", "CrossValidation": "research.crossval",
    **{name: "research.overfit" for name in (
        "Overfitting", "backtest_overfitting_probability", "deflated_sharpe_ratio", "effective_trials",
        "expected_max_sharpe", "overfitting", "overfitting_statistics", "probabilistic_sharpe_ratio",
        "min_track_record_length", "min_backtest_length")},
}
_LAYERS = ("data", "run", "results", "views", "research", "cli")

__all__ = ["backtest", "load_result", "read_market", "sweep", "walk_forward", "WalkForward", "cross_validate",
           "CrossValidation", "Result", "ACTIONS", "statistics", "EqualWeight", "InverseVolatility", "TopN",
           "synthetic_market", "Market", "probabilistic_sharpe_ratio", "deflated_sharpe_ratio",
           "expected_max_sharpe", "effective_trials", "backtest_overfitting_probability",
           "overfitting_statistics", "overfitting", "Overfitting", "min_track_record_length",
           "min_backtest_length"]
__version__ = "0.1.0"


def __getattr__(name: str) -> Any:
    if name in _EXPORTS:
        value = getattr(importlib.import_module(f".{_EXPORTS[name]}", __name__), name)
        globals()[name] = value  # looked up once
        return value
    if name in _LAYERS:
        return importlib.import_module(f".{name}", __name__)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted({*globals(), *__all__, *_LAYERS})


if TYPE_CHECKING:
    from .data.market import Market
    from .data.read import read_market
    from .data.synthetic import synthetic_market
    from .research.estimators import EqualWeight, InverseVolatility, TopN
    from .research.overfit import (Overfitting, backtest_overfitting_probability, deflated_sharpe_ratio,
                                   effective_trials, expected_max_sharpe, min_backtest_length,
                                   min_track_record_length, overfitting, overfitting_statistics,
                                   probabilistic_sharpe_ratio)
    from .research.crossval import CrossValidation, cross_validate
    from .research.sweep import sweep
    from .research.walkforward import WalkForward, walk_forward
    from .research.learn import backtest
    from .results.result import ACTIONS, Result
    from .results.stats import statistics

_moved.install()
