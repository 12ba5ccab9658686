"""Combinatorial purged cross-validation of a strategy that learns its
weights (an estimator, see :mod:`vostra.research.strategy`): every split
fits it on the returns of its train bars, and every path runs, as one
backtest with the account, the weights each fold's split fitted."""

from __future__ import annotations

import itertools
import math
from typing import Any

import numpy as np
import pandas as pd

from ..data.market import Market
from ..results.confidence import return_figures
from ..results.stats import known_frequency, statistics
from .crossval import (_PATH_STATS, CrossValidation, _choose, _folds, cpcv_splits, fold_bounds, path_folds,
                       path_logits)
from .refits import delisting_bars, target_frame
from .strategy import Fit, FitError, MarketData, Strategy, _checked_weights, _estimator_weights
from .sweep import sweep
from .walkforward import _configurations, _frame

__all__ = ["cross_validate_strategy", "fit_rows"]


def fit_rows(strategy: Strategy, data: MarketData, rows: np.ndarray) -> pd.Series:
    """The weights (by ticker) of ``strategy`` fitted on the returns of the
    bars ``rows`` (ascending, from 1), of the tickers whose closes cover
    them all: listed before the first and still priced on the last."""
    first_row, last_row = int(rows[0]), int(rows[-1])
    where = (f"the fit on {len(rows)} bars from {data.dates[first_row].date()} to "
             f"{data.dates[last_row].date()}")
    last = len(data.dates) - 1 - np.argmax(data.priced[::-1], axis=0)
    columns = np.flatnonzero((data.first <= first_row - 1) & (last >= last_row))
    if not len(columns):
        raise FitError(f"{where}: no ticker has closes over all of its bars")
    tickers = data.tickers[columns]
    returns = pd.DataFrame(data.returns[np.ix_(rows, columns)], index=data.dates[rows], columns=tickers)
    try:
        estimator = strategy._configured()
        estimator.fit(returns)
        raw, names = _estimator_weights(estimator)
    except Exception as exc:
        raise FitError(f"{where}: {strategy.label()} raised {type(exc).__name__}: {exc}") from exc
    return _checked_weights(raw, names, tickers, data, where)


def _in_sample(weights: pd.Series, data: MarketData, rows: np.ndarray, statistic: str, ppy: float) -> float:
    """The statistic of the fitted weights held on the train bars (the
    returns of each bar weighted, rebalanced every bar)."""
    columns = data.tickers.get_indexer(weights.index)
    returns = np.nan_to_num(data.returns[np.ix_(rows, columns)]) @ weights.to_numpy()
    return float(return_figures(returns[None, :], [statistic], ppy)[0, 0])


def _path_frame(fitted: list[pd.Series], splits: np.ndarray, bounds: list[tuple[int, int]], data: MarketData,
                rebalance: Any, delisted: np.ndarray | None) -> pd.DataFrame:
    """A path's targets: for each fold the weights of the split that tests
    it, dated on the bar before the fold (traded on its first bar). A
    ticker delisted by then gets no weight, as the engine would give it."""
    fits = []
    for split, (start, _) in zip(splits, bounds):
        bar = max(start - 1, 0)
        weights = fitted[split]
        columns = data.tickers.get_indexer(weights.index)
        if delisted is not None:
            gone = (delisted[columns] >= 0) & (bar >= delisted[columns] - 1)
            weights = weights.where(~gone, 0.0)
        fits.append(Fit(date=data.dates[bar], bar=bar, start=data.dates[bar], weights=weights, columns=columns))
    return target_frame(fits, data, rebalance, delisted)


def cross_validate_strategy(strategy: Strategy, market: Market, n_folds: int, n_test_folds: int, purge: int,
                            embargo: int, *, grid: Any, statistic: str, maximize: bool, select: str,
                            backend: str, workers: int | None, progress: bool,
                            options: dict[str, Any]) -> CrossValidation:
    """:func:`vostra.cross_validate` of a strategy; ``grid`` varies its
    hyperparameters."""
    if strategy.kind != "estimator":
        raise TypeError(
            "cross_validate fits estimators (fit(X) on the returns of the train bars, weights_); a function "
            "history -> weights would be handed prices across the test folds between the train bars: "
            "wrap it in an estimator that takes the returns")
    options = dict(options)
    options.setdefault("rebalance", None)
    configs = [strategy.with_params(params) for params in _configurations(grid)] if grid is not None else [strategy]
    if not configs:
        raise ValueError("grid gives no configuration: a dict {parameter: [values]} or a list of dicts")
    data = MarketData.of(market)
    n_bars = len(data.dates)
    ppy = float(options.get("periods_per_year") or known_frequency(data.dates)[0])
    split_indices = cpcv_splits(n_bars, n_folds, n_test_folds, purge, embargo)

    # Every configuration fitted on every split's train bars; the split's choice.
    fitted = [[fit_rows(config, data, train[train > 0]) for train, _ in split_indices] for config in configs]
    chosen, rows = [], []
    for s, ((train, _), test_folds) in enumerate(zip(split_indices,
                                                     itertools.combinations(range(n_folds), n_test_folds))):
        bars = train[train > 0]
        scores = np.array([_in_sample(fitted[c][s], data, bars, statistic, ppy) for c in range(len(configs))])
        run = _choose(scores, maximize, np.zeros(len(configs), dtype=bool))
        chosen.append(run)
        rows.append({"test_folds": test_folds, **configs[run].params, "run": run,
                     "in_sample": float(scores[run]), "train_bars": len(train)})

    # The paths of the choices and, to rank them, of every configuration, as one sweep.
    bounds = fold_bounds(n_bars, n_folds)
    path_splits = path_folds(n_folds, n_test_folds)
    delisted = delisting_bars(data, options.get("delisting", "auto"))
    picked = [fitted[run][s] for s, run in enumerate(chosen)]
    frames = {("chosen", p): _path_frame(picked, splits, bounds, data, options["rebalance"], delisted)
              for p, splits in enumerate(path_splits)}
    if len(configs) > 1:
        for c, fits in enumerate(fitted):
            for p, splits in enumerate(path_splits):
                frames[c, p] = _path_frame(fits, splits, bounds, data, options["rebalance"], delisted)
    table = sweep(frames, market, backend=backend, workers=workers, progress=progress, equity=True,
                  overfitting=False, **options)
    failed = table["error"].dropna()
    if len(failed):
        raise RuntimeError(f"a path's backtest failed: {failed.iloc[0]}")
    curves = dict(zip(table["weights"], table["equity"]))
    figures = {key: statistics(curve, periods_per_year=ppy) for key, curve in curves.items()}
    n_paths = len(path_splits)
    sharpe = np.array([figures["chosen", p]["sharpe"] for p in range(n_paths)])
    if len(configs) > 1:
        alternatives = np.array([[figures[c, p]["sharpe"] for c in range(len(configs))] for p in range(n_paths)])
        logits = path_logits(sharpe, alternatives)
    else:
        logits = np.full(n_paths, math.nan)
    paths = pd.DataFrame([{**{key: float(figures["chosen", p][key]) for key in _PATH_STATS}, "runs": 1,
                           "logit": logits[p]} for p in range(n_paths)]).set_axis(pd.RangeIndex(n_paths, name="path"))
    pbo = float(np.mean(logits <= 0.0)) if len(configs) > 1 else math.nan
    return CrossValidation(paths=paths, equity=pd.DataFrame({p: curves["chosen", p] for p in range(n_paths)}),
                           splits=_frame(rows).rename_axis("split"), folds=_folds(data.dates, bounds), pbo=pbo,
                           sweep=table, select=select, purge=purge, embargo=embargo, n_configurations=len(configs),
                           split_indices=split_indices, path_splits=path_splits,
                           targets={p: frames["chosen", p] for p in range(n_paths)})
