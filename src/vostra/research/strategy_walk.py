"""Walk-forward of a strategy that learns: its hyperparameters chosen on
every train window, the choice refitted and traded through the following
test window, one account carried from window to window."""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

import numpy as np
import pandas as pd

from ..results.backtest import run_backtest
from ..results.result import Result
from ..results.stats import statistics
from .learn import _bound, default_rebalance, fitted_frame, market_of
from .overfit import overfitting
from .refits import (Account, _has_history, delisting_bars, fit_all, fit_in_sequence, refit_bars,
                     target_frame)
from .strategy import Fit, Lookback, MarketData, Missing, Strategy
from .sweep import _check_run_options, _column
from .walkforward import (WalkForward, _best, _configurations, _delisting_dates, _frame, _psr, _Walk,
                          _WindowSource, window_bounds)

__all__ = ["walk_strategy"]


def _choices(strategy: Strategy, grid: Any) -> list[Strategy]:
    """The strategy with each configuration of the grid (its parameters)."""
    if grid is None:
        return [strategy]
    if not isinstance(grid, Mapping) and not isinstance(grid, (list, tuple)):
        raise TypeError(f"grid must be a dict {{parameter: [values]}} or a list of dicts, got {type(grid).__name__}")
    configs = _configurations(grid)
    if not configs or any(not isinstance(c, Mapping) for c in configs):
        raise TypeError("grid must be a dict {parameter: [values]} (each a list) or a list of dicts of parameters")
    return [strategy.with_params(config) for config in configs]


def _fits_of_every_choice(choices: list[Strategy], data: MarketData, bars: np.ndarray, lookback: Lookback,
                          missing: Missing, account: Account, rebalance: Any, backend: str,
                          workers: int | None, progress: bool) -> list[list[Fit]]:
    """Every choice refitted on every bar, over the whole market: at once
    when the fits are independent, else each choice along its own account."""
    if choices[0].needs_previous:
        return [fit_in_sequence([(c, int(b)) for b in bars], data, lookback, missing, account, rebalance,
                                progress=progress) for c in choices]
    jobs = [(c, int(b)) for c in choices for b in bars]
    fits = fit_all(jobs, data, lookback, missing, backend=backend, workers=workers, progress=progress)
    return [fits[k * len(bars):(k + 1) * len(bars)] for k in range(len(choices))]


def walk_strategy(strategy: Strategy, close: Any, open: Any, high: Any, low: Any, *, grid: Any,
                  train: Any, test: Any, step: Any, select: str, anchored: bool, refit: Any,
                  lookback: Lookback, missing: Missing, backend: str, workers: int | None,
                  progress: bool, pbo_blocks: int, statistic: str, maximize: bool,
                  options: dict[str, Any], stacklevel: int) -> WalkForward:
    """See :func:`vostra.walk_forward` (a strategy in place of weights)."""
    backend = _check_run_options(backend, workers, None, options, True, pbo_blocks)
    market = market_of(close, open, high, low)
    data = MarketData.of(market, options.get("dividends"), options.get("splits"))
    dates = data.dates
    bounds = window_bounds(dates, train, test, step, anchored)
    if any(later[2] != earlier[3] for earlier, later in zip(bounds, bounds[1:])):
        raise ValueError("a strategy's walk trades one account from window to window: its test windows "
                         "must follow each other (step equal to test)")
    choices = _choices(strategy, grid)
    # Every test window starts with a fit on its train window's last bar.
    starts = np.array([b[2] - 1 for b in bounds])
    scheduled = refit_bars(data, refit, lookback)
    bars = np.union1d(scheduled, starts)
    short = [s for s in starts if not _has_history(dates, s, lookback)]
    if short:
        raise ValueError(f"the fit before the test window starting {dates[short[0] + 1].date()} lacks the history "
                         f"lookback={lookback!r} asks for; start the walk later (a longer train) or shorten it")
    # The refit schedule is the rebalance one only when the windows start on it.
    on_schedule = len(bars) == len(scheduled)
    options = {"rebalance": default_rebalance(refit) if on_schedule else None, **options}
    _bound(None, close, open, high, low, options)
    delisted = delisting_bars(data, options.get("delisting", "auto"))
    account = Account(data, options, delisted)
    fits = _fits_of_every_choice(choices, data, bars, lookback, missing, account, options["rebalance"],
                                 backend, workers, progress)
    frames = [target_frame(f, data, options["rebalance"], delisted) for f in fits]

    table, tables = _sweeps(frames, choices, market, options, bounds, statistic, maximize, backend, workers,
                            progress, pbo_blocks)
    picks = [_best(t, statistic, maximize, f"the train window {dates[b[0]].date()} .. {dates[b[1] - 1].date()}")
             for b, t in zip(bounds, tables)]

    # The test windows' refits, each window's with its choice, traded by one account.
    owner = np.searchsorted(starts, bars, side="right") - 1
    if choices[0].needs_previous:
        jobs = [(choices[picks[w]], int(b)) for b, w in zip(bars, owner) if w >= 0]
        chosen = fit_in_sequence(jobs, data, lookback, missing, account, options["rebalance"], progress=progress)
    else:
        chosen = [fits[picks[w]][k] for k, w in enumerate(owner) if w >= 0]
    frame = target_frame(chosen, data, options["rebalance"], delisted)
    result = run_backtest(_bound(frame, close, open, high, low, options), stacklevel=stacklevel)
    result.fits, result.fitted = chosen, fitted_frame(chosen, data)

    rows, pieces, fitted = [], [], []
    window_of = np.searchsorted(starts, [fit.bar for fit in chosen], side="right") - 1
    for w, ((train_start, train_end, test_start, test_end), t, pick) in enumerate(zip(bounds, tables, picks)):
        piece = result.equity.iloc[test_start - 1:test_end]
        stats = _piece_statistics(result, piece)
        row = {"train_start": dates[train_start], "train_end": dates[train_end - 1],
               "test_start": dates[test_start], "test_end": dates[test_end - 1]}
        row.update(choices[pick].params)
        row.update(run=pick, in_sample=float(t.at[pick, statistic]),
                   out_of_sample=_psr(piece) if statistic == "psr" else float(stats[statistic]),
                   test_return=float(stats["total_return"]), refits=int(np.count_nonzero(window_of == w)))
        rows.append(row)
        pieces.append(piece)
        fitted.append(fitted_frame([f for f, k in zip(chosen, window_of) if k == w], data))
    best = _best(table, statistic, maximize, "the whole-period sweep")
    return WalkForward(equity=result.equity.iloc[bounds[0][2] - 1:], windows=_frame(rows),
                       in_sample_best=table.at[best, "equity"], in_sample_run=best, sweep=table,
                       overfitting=overfitting(table), select=select, pieces=pieces, train_tables=tables,
                       result=result, fitted=fitted)


def _piece_statistics(result: Result, piece: pd.Series) -> pd.Series:
    """The statistics of the account over one test window, its first return
    measured from the close before it; the trades entered in the window."""
    trades = result.trades
    inside = trades[(trades["entry_date"] > piece.index[0]) & (trades["entry_date"] <= piece.index[-1])]
    traded = result.traded.loc[piece.index] if result.traded is not None else None
    return statistics(piece, inside, traded=traded, periods_per_year=result.periods_per_year,
                      fee=result.fee, tax=result.tax)


def _sweeps(frames: list[pd.DataFrame], choices: list[Strategy], market: Any, options: dict[str, Any],
            bounds: list[tuple[int, int, int, int]], statistic: str, maximize: bool, backend: str,
            workers: int | None, progress: bool, pbo_blocks: int) -> tuple[pd.DataFrame, list[pd.DataFrame]]:
    """The runs of every choice's weights over the whole market and over
    each train window (its fits there saw only the data up to their refit
    dates), as a walk-forward of weights sweeps them; the tables get one
    column per parameter of the grid."""
    close, open, high, low = market.close, market.open, market.high, market.low
    given = options.get("delisting", "auto")
    delisted = _delisting_dates(close) if isinstance(given, str) and given == "auto" else None
    walk = _Walk(close, open, high, low, frames, None, [], [{}], [{}], None, options, delisted, statistic,
                 maximize, dict(backend=backend, workers=workers, chunksize=None, address=None,
                                progress=progress, keep_equity=True),
                 pbo_blocks, _WindowSource(close, open, high, low, frames, delisted), market.volume)
    table, tables = walk.sweeps(bounds)
    names = list(dict.fromkeys(name for c in choices for name in c.params))
    for t in [table, *tables]:
        for position, name in enumerate(names):
            t.insert(position, name, _column([c.params.get(name) for c in choices]).to_numpy())
    return table, tables
