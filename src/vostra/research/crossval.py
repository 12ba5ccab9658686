"""Combinatorial purged cross-validation (López de Prado, "Advances in
financial machine learning", 2018, ch. 12) of the choice among a sweep's
configurations: many out-of-sample paths instead of walk-forward's one.

The bars are cut into ``n_folds`` consecutive folds. Every choice of
``n_test_folds`` of them is a split: the configuration with the best
statistic on the other folds (the train bars, less ``purge`` bars on both
sides of every test block and ``embargo`` more after it) is the one the
split chooses for its test folds. The test folds of the splits recombine
into ``C(n_folds - 1, n_test_folds - 1)`` paths that each cover every fold
once; a path runs, fold after fold, the configuration its split chose there,
through the engine with the account (consecutive folds with the same
choice are one run; a change of configuration hands over as a walk-forward
does). The splits and the paths are those of skfolio's
``CombinatorialPurgedCV`` with ``purged_size=purge`` and
``embargo_size=embargo``.
"""

from __future__ import annotations

import itertools
import math
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import pandas as pd

from .._native import load_engine
from ..data.market import Market
from ..results.confidence import CONFIDENCE_KEYS, return_figures
from ..results.stats import STAT_LABELS, _format_value, known_frequency, statistics
from .strategy import as_strategy, is_strategy
from .sweep import _check_run_options, _combinations, _execute, _named_weights
from .walkforward import _configurations, _delisting_dates, _frame, _prices, _Walk, _WindowSource, chain

__all__ = ["cross_validate", "CrossValidation", "cpcv_splits", "path_folds", "fold_bounds"]

_PATH_STATS = ("total_return", "cagr", "annual_volatility", "sharpe", "sortino", "max_drawdown", "calmar")


# --------------------------------------------------------------------------
# Folds, splits and paths
# --------------------------------------------------------------------------

def _check_counts(n_bars: int, n_folds: Any, n_test_folds: Any, purge: Any, embargo: Any) -> tuple[int, int, int, int]:
    for name, value in (("n_folds", n_folds), ("n_test_folds", n_test_folds), ("purge", purge),
                        ("embargo", embargo)):
        if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
            raise TypeError(f"{name} must be a whole number, got {value!r}")
    n_folds, n_test_folds, purge, embargo = int(n_folds), int(n_test_folds), int(purge), int(embargo)
    if n_folds < 3:
        raise ValueError(f"n_folds must be at least 3, got {n_folds}")
    if not 1 <= n_test_folds < n_folds:
        raise ValueError(f"n_test_folds must be at least 1 and below n_folds={n_folds}, got {n_test_folds}")
    if purge < 0 or embargo < 0:
        raise ValueError(f"purge and embargo must not be negative, got {purge} and {embargo}")
    size = n_bars // n_folds
    if purge + embargo >= size - 1:
        raise ValueError(f"purge + embargo = {purge + embargo} bars must be below a fold's {size} bars less "
                         f"one ({n_bars} bars in {n_folds} folds)")
    return n_folds, n_test_folds, purge, embargo


def fold_of(n_bars: int, n_folds: int) -> np.ndarray:
    """The fold of every bar: ``n_bars // n_folds`` bars each, the remainder
    in the last fold."""
    return np.minimum(np.arange(n_bars) // (n_bars // n_folds), n_folds - 1)


def fold_bounds(n_bars: int, n_folds: int) -> list[tuple[int, int]]:
    """The first bar and the end bar of every fold."""
    size = n_bars // n_folds
    return [(f * size, (f + 1) * size if f < n_folds - 1 else n_bars) for f in range(n_folds)]


def _folds(index: pd.Index, bounds: list[tuple[int, int]]) -> pd.DataFrame:
    return pd.DataFrame({"start": [index[a] for a, _ in bounds], "end": [index[b - 1] for _, b in bounds],
                         "bars": [b - a for a, b in bounds]}).set_axis(pd.RangeIndex(len(bounds), name="fold"))


def path_logits(path_sharpe: np.ndarray, config_sharpe: np.ndarray) -> np.ndarray:
    """Per path, the logit of its Sharpe ratio's rank among those of the N
    configurations (``config_sharpe``: one row per path, or one row for all)."""
    rows = np.broadcast_to(config_sharpe, (len(path_sharpe), config_sharpe.shape[-1]))
    return np.array([_logit(p, row) for p, row in zip(path_sharpe, rows)])


def cpcv_splits(n_bars: int, n_folds: int, n_test_folds: int, purge: int = 0,
                embargo: int = 0) -> list[tuple[np.ndarray, list[np.ndarray]]]:
    """Per split (test folds in lexicographic order), the train bar
    positions and the bar positions of each test fold, as skfolio's
    ``CombinatorialPurgedCV(n_folds, n_test_folds, purge, embargo).split``
    gives them: the train bars are the bars outside the test folds less the
    ``purge`` bars before every test block and the ``purge + embargo`` bars
    after it."""
    n_folds, n_test_folds, purge, embargo = _check_counts(n_bars, n_folds, n_test_folds, purge, embargo)
    fold = fold_of(n_bars, n_folds)
    members = [np.flatnonzero(fold == f) for f in range(n_folds)]
    out = []
    for test in itertools.combinations(range(n_folds), n_test_folds):
        is_test = np.isin(fold, test)
        train = ~is_test
        before = np.flatnonzero(~is_test[:-1] & is_test[1:])   # a train bar, then a test bar
        after = np.flatnonzero(is_test[:-1] & ~is_test[1:])    # a test bar, then a train bar
        for k in range(purge):
            train[np.maximum(before - k, 0)] = False
        for k in range(purge + embargo):
            train[np.minimum(after + k + 1, n_bars - 1)] = False
        out.append((np.flatnonzero(train), [members[f] for f in test]))
    return out


def path_folds(n_folds: int, n_test_folds: int) -> np.ndarray:
    """(paths x folds): the split whose test fold makes each fold of each
    path. Fold f of path p is tested by the p-th split (in lexicographic
    order) that tests fold f, as skfolio recombines them."""
    splits = list(itertools.combinations(range(n_folds), n_test_folds))
    n_paths = math.comb(n_folds - 1, n_test_folds - 1)
    out = np.empty((n_paths, n_folds), dtype=np.int64)
    for f in range(n_folds):
        out[:, f] = [s for s, test in enumerate(splits) if f in test]
    return out


# --------------------------------------------------------------------------
# The outcome
# --------------------------------------------------------------------------

@dataclass(eq=False)
class CrossValidation:
    """Outcome of :func:`cross_validate`.

    Attributes
    ----------
    paths
        One row per path: its statistics (total return, CAGR, volatility,
        Sharpe, Sortino, max drawdown, Calmar, as :func:`vostra.statistics`
        gives them for the path's equity from its first bar), ``runs`` (the
        engine runs it is made of) and ``logit`` (see ``pbo``).
    equity
        The equity of every path (bars x paths), from the starting capital.
    splits
        One row per split: ``test_folds``, the chosen ``weights`` (when
        named) and grid values, ``run`` (the row in ``sweep``),
        ``in_sample`` (the selection statistic on its train bars) and
        ``train_bars``.
    folds
        One row per fold: ``start``, ``end`` (dates) and ``bars``.
    pbo
        Probability of backtest overfitting over the paths: the share of
        paths whose Sharpe ratio ranks at or below the median of the
        configurations' own Sharpe ratios over the same bars
        (``logit = log(w / (1 - w))`` with ``w`` the path's rank among the
        N configurations over ``N + 1``).
    sweep
        The whole-period sweep the choices are made from (with ``equity``).
    split_indices
        Per split, the train bar positions and the positions of each test
        fold (as skfolio's ``CombinatorialPurgedCV.split`` gives them).
    path_splits
        (paths x folds): the split each path's fold comes from.
    pieces
        The equity of every engine run of the paths, by (first bar, end
        bar, run) (weights and grids).
    targets
        The weight frame each path ran (strategies): one row per fold, the
        fitted weights of the split that tests it, dated on the bar before
        the fold (with ``rebalance``, copies on its bars).
    """

    paths: pd.DataFrame
    equity: pd.DataFrame
    splits: pd.DataFrame
    folds: pd.DataFrame
    pbo: float
    sweep: pd.DataFrame
    select: str
    purge: int
    embargo: int
    n_configurations: int
    split_indices: list[tuple[np.ndarray, list[np.ndarray]]] = field(repr=False)
    path_splits: np.ndarray = field(repr=False)
    pieces: dict[tuple[int, int, int], pd.Series] = field(repr=False, default_factory=dict)
    targets: dict[int, pd.DataFrame] = field(repr=False, default_factory=dict)

    def summary(self) -> str:
        sharpe = self.paths["sharpe"]
        lines = [f"Combinatorial purged cross-validation: {len(self.folds)} folds, {len(self.splits)} splits, "
                 f"{len(self.paths)} paths; purge {self.purge}, embargo {self.embargo} bars; "
                 f"selecting by {self.select!r} among {self.n_configurations} configuration(s)", ""]
        rows = [("", "mean", "std", "min", "median", "max")]
        for key in _PATH_STATS:
            kind = STAT_LABELS[key][1]
            column = self.paths[key]
            rows.append((STAT_LABELS[key][0], *(_format_value(v, kind) for v in (
                column.mean(), column.std(ddof=1) if len(column) > 1 else math.nan, column.min(),
                column.median(), column.max()))))
        widths = [max(len(row[i]) for row in rows) for i in range(6)]
        lines += ["  ".join(f"{cell:>{w}}" if i else f"{cell:<{w}}" for i, (cell, w) in enumerate(zip(row, widths)))
                  for row in rows]
        pbo = "-" if math.isnan(self.pbo) else f"{self.pbo:.3f}"
        lines += ["", f"paths with a positive Sharpe ratio: {(sharpe > 0).mean() * 100:.0f} %; "
                      f"PBO over the paths: {pbo}"]
        return "\n".join(lines)

    def __repr__(self) -> str:
        return self.summary()


# --------------------------------------------------------------------------
# The call
# --------------------------------------------------------------------------

def _selection(select: str) -> tuple[str, bool]:
    if not isinstance(select, str):
        raise TypeError(f"select must be the name of a statistic, got {type(select).__name__}")
    name, maximize = (select[1:], False) if select.startswith("-") else (select, True)
    if name not in CONFIDENCE_KEYS:
        raise ValueError(f"select={select!r} is not a statistic of the bar returns; use one of "
                         f"{', '.join(CONFIDENCE_KEYS)} (higher is better), with a leading '-' "
                         f"where lower is better")
    return name, maximize


def _bar_returns(table: pd.DataFrame, n_bars: int) -> np.ndarray:
    """(runs x bars) returns of the whole-period runs, bar i from the close
    of bar i - 1 (0 for bar 0 and for a failed run, which is never chosen)."""
    out = np.zeros((len(table), n_bars))
    for k, curve in enumerate(table["equity"]):
        if curve is None:
            continue
        values = curve.to_numpy(dtype=np.float64)
        with np.errstate(divide="ignore", invalid="ignore"):
            out[k, 1:] = np.where(values[:-1] > 0, values[1:] / values[:-1] - 1.0, 0.0)
    return out


def _choose(scores: np.ndarray, maximize: bool, failed: np.ndarray) -> int:
    values = np.where(failed | ~np.isfinite(scores), -np.inf, scores if maximize else -scores)
    if not np.isfinite(values).any():
        raise ValueError("no configuration has a finite selection statistic on a split's train bars")
    return int(np.argmax(values))            # the first of equal bests


def _pieces(choices: np.ndarray, bounds: list[tuple[int, int]]) -> list[tuple[int, int, int]]:
    """A path's engine runs: consecutive folds with the same choice merged,
    as (first bar, end bar, run)."""
    out: list[tuple[int, int, int]] = []
    for run, (start, end) in zip(choices, bounds):
        if out and out[-1][2] == run:
            out[-1] = (out[-1][0], end, int(run))
        else:
            out.append((start, end, int(run)))
    return out


def _logit(path: float, configurations: np.ndarray) -> float:
    finite = configurations[np.isfinite(configurations)]
    rank = np.sum(finite < path) + (np.sum(finite == path) + 1) / 2.0
    omega = rank / (len(finite) + 1.0)
    return float(np.log(omega / (1.0 - omega)))


def cross_validate(strategy: pd.DataFrame | Sequence[pd.DataFrame] | Mapping[Any, pd.DataFrame],
                   market: Market | pd.DataFrame, n_folds: int = 10, n_test_folds: int = 2,
                   purge: int = 0, embargo: int = 0, *,
                   grid: Mapping[str, Sequence[Any]] | Sequence[Mapping[str, Any]] | None = None,
                   select: str = "sharpe", backend: str = "threads", workers: int | None = None,
                   progress: bool = False, **options: Any) -> CrossValidation:
    """Combinatorial purged cross-validation of choosing among configurations.

    Parameters
    ----------
    strategy
        Target weights as for :func:`vostra.sweep`: a weight frame, or a
        list or dict of them (named choices, one more dimension of the grid).
    market
        A :class:`vostra.Market` (or a close frame).
    n_folds, n_test_folds
        Consecutive folds of ``n_bars // n_folds`` bars (the last takes the
        remainder), and how many of them each split tests:
        ``C(n_folds, n_test_folds)`` splits and
        ``C(n_folds - 1, n_test_folds - 1)`` paths.
    purge, embargo
        Bars left out of a split's train bars: ``purge`` on both sides of
        every test block, ``embargo`` more after it (skfolio's
        ``purged_size`` and ``embargo_size``).
    grid, **options
        As for :func:`vostra.sweep`: every combination is a configuration
        to choose from; ``**options`` hold for every run (the account
        options too).
    select
        The statistic of the bar returns that picks a split's
        configuration on its train bars (any figure of
        :meth:`vostra.Result.confidence`: ``"sharpe"``, ``"cagr"``,
        ``"sortino"``, ...; ``"-name"`` picks the lowest). It is computed
        on the whole-period run's returns of the train bars, joined across
        the test folds between them.
    backend, workers, progress
        As for :func:`vostra.sweep`: the whole-period sweep goes to the
        backend as one batch, the paths' runs as another.

    Every path is run through the engine: the folds of a path where its
    splits chose the same configuration are one backtest of it over those
    bars (with the market, weight rows and tickers of those bars, as a
    walk-forward's test window); where the choice changes, the next run
    starts flat with the capital the last one ended with, its positions
    valued at their last close.
    """
    close, open, high, low = _prices(market, None, None, None)
    volume = market.volume if isinstance(market, Market) else None
    statistic, maximize = _selection(select)
    n_bars = len(close.index)
    n_folds, n_test_folds, purge, embargo = _check_counts(n_bars, n_folds, n_test_folds, purge, embargo)
    if is_strategy(strategy):
        from .crossfit import cross_validate_strategy

        market = market if isinstance(market, Market) else Market(close=close, open=open, high=high, low=low)
        return cross_validate_strategy(as_strategy(strategy), market, n_folds, n_test_folds, purge, embargo,
                                       grid=grid, statistic=statistic, maximize=maximize, select=select,
                                       backend=backend, workers=workers, progress=progress, options=options)
    backend = _check_run_options(backend, workers, None, options, True, 16)
    load_engine()
    names, frames, named = _named_weights(strategy)
    columns, configs = _combinations(grid, options)
    choices = _configurations(grid if grid is not None else [{}])
    given = options.get("delisting", "auto")
    delisted = _delisting_dates(close) if isinstance(given, str) and given == "auto" else None
    walk = _Walk(close, open, high, low, frames, names if named else None, columns, configs, choices, grid,
                 options, delisted, "sharpe", True,
                 dict(backend=backend, workers=workers, chunksize=None, address=None, progress=progress,
                      keep_equity=True), 16, _WindowSource(close, open, high, low, frames, delisted), volume)
    table, _ = walk.sweeps([])

    # The choice of every split, on its train bars.
    ppy = float(options.get("periods_per_year") or known_frequency(close.index)[0])
    returns = _bar_returns(table, n_bars)
    failed = table["error"].notna().to_numpy()
    split_indices = cpcv_splits(n_bars, n_folds, n_test_folds, purge, embargo)
    chosen, rows = [], []
    for (train, tests), test_folds in zip(split_indices, itertools.combinations(range(n_folds), n_test_folds)):
        scores = return_figures(returns[:, train[train > 0]], [statistic], ppy)[:, 0]
        run = _choose(scores, maximize, failed)
        chosen.append(run)
        weights_at, config = divmod(run, len(choices))
        row: dict[str, Any] = {"test_folds": test_folds}
        if named:
            row["weights"] = names[weights_at]
        row.update(choices[config])
        row.update(run=run, in_sample=float(scores[run]), train_bars=len(train))
        rows.append(row)

    # Every path's runs through the engine, each distinct run once.
    bounds = fold_bounds(n_bars, n_folds)
    path_splits = path_folds(n_folds, n_test_folds)
    plans = [_pieces(np.array(chosen)[splits], bounds) for splits in path_splits]
    distinct = list(dict.fromkeys(piece for plan in plans for piece in plan))
    runs = []
    for start, end, run in distinct:
        weights_at, config = divmod(run, len(choices))
        runs.append(walk._run(len(runs), (weights_at, start, end, False), choices[config]))
    outcomes = _execute(walk.source, runs, **walk.run_options)
    pieces = {}
    for (start, end, run), outcome in zip(distinct, outcomes):
        weights_at, config = divmod(run, len(choices))
        pieces[start, end, run] = walk._piece(outcome, weights_at, config, start, end)[1]

    curves, stats_rows = {}, []
    config_sharpe = return_figures(returns[:, 1:], ["sharpe"], ppy)[:, 0]
    config_sharpe[failed] = np.nan
    for p, plan in enumerate(plans):
        equity = chain([pieces[piece] for piece in plan])
        curves[p] = equity
        figures = statistics(equity, periods_per_year=ppy)
        row = {key: float(figures[key]) for key in _PATH_STATS}
        row.update(runs=len(plan), logit=_logit(row["sharpe"], config_sharpe))
        stats_rows.append(row)
    paths = pd.DataFrame(stats_rows).set_axis(pd.RangeIndex(len(plans), name="path"))
    return CrossValidation(paths=paths, equity=pd.DataFrame(curves), splits=_frame(rows).rename_axis("split"),
                           folds=_folds(close.index, bounds), pbo=float(np.mean(paths["logit"] <= 0.0)),
                           sweep=table, select=select, purge=purge, embargo=embargo,
                           n_configurations=len(table), split_indices=split_indices, path_splits=path_splits,
                           pieces=pieces)
