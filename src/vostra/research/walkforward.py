"""Walk-forward sweeps: on every train window the grid is swept and its best
configuration kept, that choice is run on the following test window, and the
out-of-sample pieces are chained into one equity curve."""

from __future__ import annotations

import itertools
import math
import warnings
from collections.abc import Hashable, Mapping, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd

from .._native import load_engine
from ..data.delisting import delisting_horizon
from ..data.market import Market, price_frames
from ..data.prices import PriceArrays, convert_prices
from ..data.weights import WeightArrays, convert_weights
from ..run.arguments import engine_arguments
from ..results.backtest import backtest
from .overfit import (Overfitting, overfitting, probabilistic_sharpe_ratio, return_moments,
                      sweep_returns)
from ..results.stats import STAT_LABELS, SUMMARY_KEYS, _format_value, statistics
from .sweep import (STAT_COLUMNS, _check_run_options, _combinations, _execute, _named_weights,
                    _sharing, _table, _with_overfitting, with_market_volume)
from .strategy import as_strategy, is_strategy
from .windows import Length, window_length as _length

__all__ = ["walk_forward", "WalkForward", "window_bounds"]


# --------------------------------------------------------------------------
# Windows
# --------------------------------------------------------------------------

def window_bounds(index: pd.DatetimeIndex, train: Length, test: Length,
                  step: Length | None = None, anchored: bool = False) -> list[tuple[int, int, int, int]]:
    """The walk's windows over ``index`` as bar positions ``(train_start,
    train_end, test_start, test_end)``, each range half-open.

    The k-th test window starts ``train + k * step`` after the first bar
    (``step`` defaults to ``test``) and lasts ``test``; it ends earlier at the
    start of the next one, and the last one at the last bar. Its train window
    is the ``train`` before it (rolling) or everything from the first bar
    (``anchored=True``). Lengths are all bar counts or all calendar lengths;
    a calendar boundary falls on the first bar at or after the date. A final
    test window shorter than 2 bars is dropped.
    """
    train, test = _length(train, "train"), _length(test, "test")
    step = test if step is None else _length(step, "step")
    kinds = {isinstance(x, int) for x in (train, test, step)}
    if len(kinds) > 1:
        raise ValueError("train, test and step must all be numbers of bars or all be "
                         "calendar lengths such as '2Y'")
    n = len(index)
    if kinds == {True}:
        if step < test:
            raise ValueError(f"step={step} is shorter than test={test}: the test windows would overlap")

        def bounds_of(k: int) -> tuple[int, int, int]:
            start = train + k * step
            return (0 if anchored else start - train), start, start + test
    else:
        origin = index[0]
        if origin + step < origin + test:
            raise ValueError(f"step={step} is shorter than test={test}: the test windows would overlap")

        def position(date: pd.Timestamp) -> int:
            return int(index.searchsorted(date, side="left"))

        def bounds_of(k: int) -> tuple[int, int, int]:
            first = origin + train + k * step
            return (0 if anchored else position(first - train)), position(first), position(first + test)
    windows = []
    for k in itertools.count():
        train_start, start, end = bounds_of(k)
        if start >= n - 1:
            break
        # Month arithmetic is not additive at month ends: a test window never
        # reaches into the next one.
        end = min(end, bounds_of(k + 1)[1], n)
        if end - start < 2:
            break
        if start - train_start < 2:
            raise ValueError(
                f"train={train!r} gives the window before {index[start]} only "
                f"{start - train_start} bar(s); a train window needs at least 2"
            )
        windows.append((train_start, start, start, end))
    if not windows:
        raise ValueError(
            f"train={train!r} leaves no test window of 2 bars or more: the market has {n} bars "
            f"from {index[0]} to {index[-1]}" if n else "the market has no bars"
        )
    return windows


# --------------------------------------------------------------------------
# Inputs per window
# --------------------------------------------------------------------------

def _configurations(grid: Any) -> list[dict[str, Any]]:
    """The grid's configurations in the order of the sweep's rows."""
    if isinstance(grid, Mapping):
        axes = [list(values) if isinstance(values, (Sequence, np.ndarray, pd.Index))
                and not isinstance(values, (str, bytes)) else values for values in grid.values()]
        if any(not isinstance(values, list) for values in axes):
            return []   # the sweep rejects the grid with its own message
        return [dict(zip(grid, combo)) for combo in itertools.product(*axes)]
    if isinstance(grid, Sequence) and not isinstance(grid, (str, bytes)):
        return [dict(config) if isinstance(config, Mapping) else config for config in grid]
    return []


def _sliced(value: Any, rows: slice) -> Any:
    """Option frames (trade prices) are cut to the window with the prices."""
    return value.iloc[rows] if isinstance(value, pd.DataFrame) else value


def _window_grid(grid: Any, rows: slice) -> Any:
    if isinstance(grid, Mapping):
        return {name: [_sliced(v, rows) for v in values] for name, values in grid.items()}
    return [{name: _sliced(v, rows) for name, v in config.items()} for config in grid]


def _delisting_dates(close: pd.DataFrame) -> pd.Series:
    """Per ticker the date after its last close, for stocks whose prices end
    before the market's (the rule of ``delisting="auto"`` on the full
    market), so that a suspension over a window's end is not a delisting."""
    valid = close.notna().to_numpy()
    if not valid.any():
        return pd.Series(dtype=object)
    has_any = valid.any(axis=0)
    last = len(close) - 1 - np.argmax(valid[::-1], axis=0)
    gone = has_any & (last < delisting_horizon(int(last[has_any].max())))
    return pd.Series(close.index[last[gone] + 1], index=close.columns[gone])


def _window_weights(frame: pd.DataFrame, index: pd.DatetimeIndex, rows: slice,
                    traded: pd.Index) -> pd.DataFrame:
    """The weight rows a run over ``index[rows]`` can use (the last one before
    the window, which is in force at its start, and those inside it) and the
    tickers with a price in the window."""
    first, last = index[rows.start], index[rows.stop - 1]
    lo = max(int(frame.index.searchsorted(first, side="left")) - 1, 0)
    hi = int(frame.index.searchsorted(last, side="right"))
    return frame.iloc[lo:hi, frame.columns.isin(traded)]


@dataclass
class _Inputs:
    """The market and the weights cut to one window."""

    prices: tuple[pd.DataFrame, pd.DataFrame | None, pd.DataFrame | None, pd.DataFrame | None]
    weights: dict[Hashable, pd.DataFrame]
    options: dict[str, Any]


def _window_inputs(close, open, high, low, frames: dict[Hashable, pd.DataFrame],
                   options: dict[str, Any], delisted: pd.Series | None, rows: slice) -> _Inputs:
    prices = tuple(None if f is None else f.iloc[rows] for f in (close, open, high, low))
    window_close = prices[0]
    traded = window_close.columns[window_close.notna().any(axis=0).to_numpy()]
    weights = {name: _window_weights(f, close.index, rows, traded) for name, f in frames.items()}
    options = {name: _sliced(v, rows) for name, v in options.items()}
    if delisted is not None:
        inside = delisted[(delisted <= window_close.index[-1]) & delisted.index.isin(traded)]
        options["delisting"] = inside.to_dict()
    return _Inputs(prices, weights, options)


class _WindowSource:
    """The engine arguments of a walk's runs. The market and every weight
    frame are checked and converted once for the whole walk; a run over a
    window reads row slices of the converted arrays, with what
    :func:`_window_inputs` cuts for it: the window's prices, the weight rows
    in force, the tickers with a price in the window and the delistings of
    the whole market inside it.

    A run's weights key is ``(weights position, first bar, end bar, whole)``;
    ``whole`` runs see the market as a sweep does (no column cut, delisting
    as given)."""

    def __init__(self, close: pd.DataFrame, open: pd.DataFrame | None, high: pd.DataFrame | None,
                 low: pd.DataFrame | None, weights: list[pd.DataFrame], delisted: pd.Series | None) -> None:
        self.frames: dict[Any, Any] = {}
        self.traded: dict[tuple[int, int], np.ndarray] = {}
        self.delisted_bars = None
        try:
            self.prices: PriceArrays | Exception = convert_prices(close, open, high, low)
        except Exception as exc:  # every run reports it, as in a sweep
            self.prices, self.signals = exc, [exc] * len(weights)
            return
        self.signals: list[WeightArrays | Exception] = []
        for frame in weights:
            try:
                self.signals.append(convert_weights(frame, self.prices))
            except Exception as exc:
                self.signals.append(exc)
        if delisted is not None:
            bars = np.full(len(close.columns), -1, dtype=np.int64)
            bars[close.columns.get_indexer(delisted.index)] = close.index.get_indexer(delisted)
            self.delisted_bars = bars

    def arguments(self, weights_key: tuple[int, int, int, bool],
                  shaping: dict[str, Any]) -> tuple[dict[str, Any], dict[str, Any]]:
        position, start, end, whole = weights_key
        signal = self.signals[position]
        if isinstance(signal, Exception):
            raise signal.with_traceback(None)   # one traceback, not one per run
        if whole:
            return engine_arguments(self.prices, signal, **shaping)
        traded = self._traded(start, end)
        known = signal.price_col >= 0
        columns = np.zeros(len(known), dtype=bool)
        columns[known] = traded[signal.price_col[known]]
        delisted_at = None
        if self.delisted_bars is not None:
            bars = self.delisted_bars
            delisted_at = np.where((bars >= 0) & (bars < end) & traded, bars - start, -1)
        return engine_arguments(self.prices, signal, slice(start, end),
                                self._rows_in_force(signal, start, end), columns,
                                delisted_at, **shaping)

    def _traded(self, start: int, end: int) -> np.ndarray:
        """Per price column, whether it has a close in the bars."""
        if (start, end) not in self.traded:
            self.traded[start, end] = ~np.isnan(self.prices.close_values[start:end]).all(axis=0)
        return self.traded[start, end]

    def _rows_in_force(self, signal: Any, start: int, end: int) -> slice:
        """The last weight row dated before the first bar and those up to
        the last one."""
        price_ns = self.prices.price_ns
        lo = int(np.searchsorted(signal.pos_ns, price_ns[start], side="left")) - 1
        hi = int(np.searchsorted(signal.pos_ns, price_ns[end - 1], side="right"))
        return slice(max(lo, 0), hi)


# --------------------------------------------------------------------------
# Selection
# --------------------------------------------------------------------------

def _selection(select: str) -> tuple[str, bool]:
    """(statistic, higher is better); a leading '-' asks for the lowest."""
    if not isinstance(select, str):
        raise TypeError(f"select must be the name of a statistic, got {type(select).__name__}")
    name, maximize = (select[1:], False) if select.startswith("-") else (select, True)
    if name not in SUMMARY_KEYS and name != "psr":
        raise ValueError(
            f"select={select!r} is not a statistic; use one of {', '.join(SUMMARY_KEYS)} or "
            f"'psr' (higher is better), with a leading '-' where lower is better"
        )
    return name, maximize


def _best(table: pd.DataFrame, statistic: str, maximize: bool, where: str) -> int:
    values = table[statistic].to_numpy(dtype=np.float64)
    finite = np.isfinite(values)
    if not finite.any():
        errors = table["error"].dropna()
        detail = f"; first error: {errors.iloc[0]}" if len(errors) else ""
        raise ValueError(f"no run of {where} has a finite {statistic}{detail}")
    scores = np.where(finite, values if maximize else -values, -np.inf)
    return int(table.index[int(np.argmax(scores))])      # the first of equal bests


def _psr(equity: pd.Series) -> float:
    """PSR against 0 of one run, from the returns a sweep's ``psr`` uses."""
    returns = sweep_returns(pd.Series({0: equity})).to_numpy()
    if len(returns) < 2:
        return math.nan
    sharpe, skew, kurt = return_moments(returns)
    if not math.isfinite(sharpe[0]):
        return math.nan
    return probabilistic_sharpe_ratio(sharpe[0], len(returns), skew[0], kurt[0])


def _statistic(stats: pd.Series, equity: pd.Series, name: str) -> float:
    return _psr(equity) if name == "psr" else float(stats[name])


# --------------------------------------------------------------------------
# The result
# --------------------------------------------------------------------------

@dataclass(eq=False)
class WalkForward:
    """Outcome of :func:`walk_forward`.

    Attributes
    ----------
    equity
        The chained out-of-sample equity: test piece after test piece, each
        started flat with the capital the previous one ended with.
    windows
        One row per window: ``train_start``, ``train_end``, ``test_start``,
        ``test_end`` (first and last dates), the chosen ``weights`` name
        (when weights were named) and grid values, ``run`` (its row in the
        sweep tables), ``in_sample`` and ``out_of_sample`` (the selection
        statistic on the train window and on the test piece) and
        ``test_return``. Under the market's limits (``max_volume_share``,
        ``price_limit`` or ``blocked``) also ``filled``, the share of the
        piece's ordered value that filled, and ``unfilled``, the ordered
        value still waiting at the piece's end over its final equity: those
        orders are dropped at the hand-over, as the piece's positions are
        valued at its last close and carried over as cash, so a sale the
        market held back counts as sold at that close.
    in_sample_best
        Equity over the whole period of the configuration that is best on
        the whole period: the choice made with hindsight.
    sweep
        The whole-period sweep (with its ``psr`` column); ``overfitting``
        holds its figures (PBO, DSR, ...).
    pieces
        The equity of every test run as the engine returned it.
    train_tables
        The sweep table of every train window.
    result
        For a strategy (an estimator or a function): the out-of-sample
        run as one :class:`vostra.Result`, one account from the first test
        window to the last (trades, fills, the orders for the next bar from
        the last window's choice, the report), with the fits it traded
        (``result.fits``, ``result.fitted``). None for weights.
    fitted
        For a strategy: per window, the weights fitted on its refit dates
        (dates × tickers). None for weights.
    """

    equity: pd.Series
    windows: pd.DataFrame
    in_sample_best: pd.Series
    in_sample_run: int
    sweep: pd.DataFrame
    overfitting: Overfitting
    select: str
    pieces: list[pd.Series] = field(repr=False)
    train_tables: list[pd.DataFrame] = field(repr=False)
    result: Any = field(default=None, repr=False)
    fitted: list[pd.DataFrame] | None = field(default=None, repr=False)

    @property
    def stats(self) -> pd.Series:
        """Statistics of the chained out-of-sample equity (no trade figures)."""
        return statistics(self.equity)

    def comparison(self) -> pd.DataFrame:
        """The chained out-of-sample equity and the hindsight best over the
        same dates, both starting at the out-of-sample curve's first value."""
        hindsight = self.in_sample_best.loc[self.equity.index[0]:self.equity.index[-1]]
        hindsight = hindsight / hindsight.iloc[0] * self.equity.iloc[0]
        return pd.DataFrame({"out_of_sample": self.equity, "in_sample_best": hindsight})

    def report(self, path: str | Path | None = None, *, title: str | None = None) -> str:
        """An interactive HTML report of the walk (one file, opens offline):
        the chained out-of-sample equity against the in-sample best, the
        parameters chosen per window and the overfitting figures, each with
        a line on what it means. Written to ``path`` when given; returns the
        page."""
        from ..views.report import build_walk_forward_report

        return build_walk_forward_report(self, path, title=title)

    def report_frames(self) -> dict[str, pd.DataFrame]:
        """What a report section shows, as plain frames: ``equity`` (the
        two curves of :meth:`comparison`), ``statistics`` (their statistics
        side by side), ``windows`` (the choice per window) and
        ``overfitting`` (figure, value, one-line meaning)."""
        curves = self.comparison()
        stats = pd.DataFrame({name: statistics(curves[name]) for name in curves})
        return {"equity": curves, "statistics": stats, "windows": self.windows,
                "overfitting": self.overfitting.table()}

    def summary(self) -> str:
        curves = self.comparison()
        stats = pd.DataFrame({name: statistics(curves[name]) for name in curves})
        keep = ["total_return", "cagr", "annual_volatility", "sharpe", "max_drawdown"]
        lines = [f"Walk-forward over {len(self.windows)} windows, selecting by {self.select!r}",
                 f"out of sample {self.equity.index[0].date()} .. {self.equity.index[-1].date()}", ""]
        rows = [("", "chained out of sample", "hindsight best, same dates")]
        rows += [(STAT_LABELS[k][0], *(_format_value(stats.at[k, c], STAT_LABELS[k][1])
                                      for c in ("out_of_sample", "in_sample_best"))) for k in keep]
        widths = [max(len(row[i]) for row in rows) for i in range(3)]
        lines += [f"{a:<{widths[0]}}  {b:>{widths[1]}}  {c:>{widths[2]}}" for a, b, c in rows]
        with pd.option_context("display.width", 160, "display.max_columns", 40,
                               "display.float_format", "{:.4f}".format):
            view = self.windows.copy()
            for name in ("train_start", "train_end", "test_start", "test_end"):
                view[name] = view[name].dt.date
            lines += ["", "Windows:", view.to_string(index=False)]
        lines += ["", "Overfitting of the whole-period sweep:", self.overfitting.summary()]
        return "\n".join(lines)

    def __repr__(self) -> str:
        return self.summary()

    def _repr_html_(self) -> str:
        from ..views.notebook import walk_forward_html

        return walk_forward_html(self)


# --------------------------------------------------------------------------
# The call
# --------------------------------------------------------------------------

def _prices(close, open, high, low):
    close, open, high, low = price_frames(close, open, high, low)
    if not isinstance(close.index, pd.DatetimeIndex) or not close.index.is_monotonic_increasing:
        raise ValueError("close.index must be an ascending DatetimeIndex")
    return close, open, high, low


def walk_forward(weights: pd.DataFrame | Sequence[pd.DataFrame] | Mapping[Any, pd.DataFrame],
                 close: pd.DataFrame | Market, open: pd.DataFrame | None = None,
                 high: pd.DataFrame | None = None, low: pd.DataFrame | None = None, *,
                 grid: Mapping[str, Sequence[Any]] | Sequence[Mapping[str, Any]] | None = None,
                 train: Length, test: Length, step: Length | None = None,
                 select: str = "sharpe", anchored: bool = False,
                 backend: str = "process", workers: int | None = None,
                 progress: bool = False, pbo_blocks: int = 16, refit: Any = None,
                 lookback: Any = 252, missing: str = "drop", **options: Any) -> WalkForward:
    """Walk-forward sweep of a grid of options, or of a strategy's
    hyperparameters.

    Parameters
    ----------
    weights, close, open, high, low, grid, **options
        As for :func:`vostra.sweep`: named weight frames are one more
        dimension of the grid; ``**options`` hold for every run.
        ``weights`` may instead be a strategy that learns (an estimator
        such as skfolio's, or a function ``history -> weights``; see
        :func:`vostra.backtest`); ``grid`` then names its parameters
        (``get_params()`` names, or the function's keywords).
    refit, lookback, missing
        For a strategy, as for :func:`vostra.backtest`: it is refitted on
        the dates of ``refit`` (default ``"M"``) and on the last bar of
        every train window, each fit on the ``lookback`` returns up to its
        date's close.
    train, test, step
        Window lengths: numbers of bars, or calendar lengths such as
        ``"3Y"``, ``"6M"``, ``"2Q"``, ``"13W"``, ``"90D"`` (all of one kind).
        ``step`` (default ``test``, not shorter) is the distance between the
        starts of consecutive test windows. See :func:`window_bounds`.
    select
        The statistic that picks the configuration on each train window:
        a column of the sweep table (``"sharpe"``, ``"cagr"``, ``"psr"``,
        ...), higher is better; ``"-name"`` picks the lowest. Runs where it
        is NaN are never picked; ties go to the first in grid order.
    anchored
        Train windows all start on the first bar (growing) instead of
        rolling with the test windows.
    backend, workers, progress, pbo_blocks
        As for :func:`vostra.sweep`: the whole-period sweep and every train
        sweep go to the backend as one batch of runs, then the test pieces
        of all windows as another.

    Every run of a window sees the prices of that window only, the weight
    rows in force in it (the last one dated before its first bar and those
    inside) and the tickers with a price in it; a stock counts as delisted
    where its prices end for good in the whole market, not where a window
    cuts a suspension (unless ``delisting`` is given). The test piece of a
    window is one backtest of the chosen options on the test window: it
    starts flat with the capital the previous piece ended with; its open
    positions are valued at its last close and carried over as cash (no
    exit costs are charged at the hand-over), and orders still waiting
    under the market's limits end with it (``windows`` says how much of
    the ordered value they were). Runs with ``max_volume_share`` but no
    ``volume`` take the volume of a :class:`vostra.Market` given as
    ``close``. The whole-period sweep gives the hindsight best and the
    overfitting figures.

    A strategy is walked with one account: on every train window each
    configuration's fits there (each on the data up to its own refit
    date) are backtested as weights, the best by ``select`` is refitted
    through the following test window, and the targets of all test
    windows are traded as one run from the first test window to the end
    (``result``: its trades, fills and the orders for the next bar;
    ``fitted``: the weights of each window; ``windows`` adds the number of
    ``refits``). Fits that need no previous weights run in parallel on the
    backend's threads or Ray; the others in sequence, each configuration's
    in-sample fits along that configuration's own account from the first
    refit, the test windows' along the account they trade. The test windows
    must follow each other (``step`` equal to ``test``).
    """
    if isinstance(weights, type) or is_strategy(weights):
        from .strategy_walk import walk_strategy

        statistic, maximize = _selection(select)
        return walk_strategy(as_strategy(weights), close, open, high, low, grid=grid, train=train, test=test,
                             step=step, select=select, anchored=anchored, refit="M" if refit is None else refit,
                             lookback=lookback, missing=missing, backend=backend, workers=workers,
                             progress=progress, pbo_blocks=pbo_blocks, statistic=statistic, maximize=maximize,
                             options=options, stacklevel=4)
    if refit is not None:
        raise TypeError("refit= refits a strategy (an estimator or a function history -> weights); "
                        "weights frames are traded as they are")
    volume = close.volume if isinstance(close, Market) else None
    close, open, high, low = _prices(close, open, high, low)
    statistic, maximize = _selection(select)
    bounds = window_bounds(close.index, train, test, step, anchored)
    backend = _check_run_options(backend, workers, None, options, True, pbo_blocks)
    load_engine()
    names, frames, named = _named_weights(weights)
    columns, configs = _combinations(grid, options)
    choices = _configurations(grid if grid is not None else [{}])
    if len(choices) != len(configs):  # pragma: no cover - _combinations checked the grid
        raise RuntimeError("the grid's configurations do not match the sweep's rows")
    if isinstance(grid, Mapping) and "delisting" in grid or isinstance(grid, Sequence) and any(
            isinstance(c, Mapping) and "delisting" in c for c in grid):
        delisted = None
    else:
        given = options.get("delisting", "auto")
        delisted = _delisting_dates(close) if isinstance(given, str) and given == "auto" else None

    walk = _Walk(close, open, high, low, frames, names if named else None, columns, configs,
                 choices, grid, options, delisted, statistic, maximize,
                 dict(backend=backend, workers=workers, chunksize=None, address=None,
                      progress=progress, keep_equity=True),
                 pbo_blocks, _WindowSource(close, open, high, low, frames, delisted), volume)
    table, tables = walk.sweeps(bounds)
    best_run = _best(table, statistic, maximize, "the whole-period sweep")
    rows, pieces = walk.tests(bounds, tables)
    return WalkForward(equity=chain(pieces), windows=_frame(rows),
                       in_sample_best=table.at[best_run, "equity"], in_sample_run=best_run,
                       sweep=table, overfitting=overfitting(table), select=select,
                       pieces=pieces, train_tables=tables)


@dataclass
class _Walk:
    """What the runs of a walk are made of, and their two batches: the
    whole-period sweep with every train sweep, then the test pieces."""

    close: pd.DataFrame
    open: pd.DataFrame | None
    high: pd.DataFrame | None
    low: pd.DataFrame | None
    frames: list[pd.DataFrame]
    names: list[Hashable] | None      # None: one unnamed weight frame
    columns: list[str]
    configs: list[dict[str, Any]]     # the sweep's rows of one weight frame
    choices: list[dict[str, Any]]     # the same as given, for the windows table
    grid: Any
    options: dict[str, Any]
    delisted: pd.Series | None
    statistic: str
    maximize: bool
    run_options: dict[str, Any]
    pbo_blocks: int
    source: _WindowSource
    volume: pd.DataFrame | None = None    # the Market's, for runs that cap fills by volume

    def __post_init__(self) -> None:
        self.shared = _sharing(self.source.frames)

    def _run(self, number: int, weights_key: tuple[int, int, int, bool],
             config: dict[str, Any]) -> tuple[int, tuple[int, int, int, bool], dict[str, Any]]:
        options = with_market_volume({**self.options, **config}, self.volume)
        return number, weights_key, {k: self.shared(v) for k, v in options.items()}

    def _sweep_runs(self, start: int, end: int, whole: bool, first: int) -> list[Any]:
        """The runs of a sweep over the bars, in the order of its rows."""
        pairs = itertools.product(range(len(self.frames)), self.configs)
        return [self._run(first + n, (w, start, end, whole), config)
                for n, (w, config) in enumerate(pairs)]

    def sweeps(self, bounds: list[tuple[int, int, int, int]]) -> tuple[pd.DataFrame, list[pd.DataFrame]]:
        """The whole-period sweep (with its overfitting figures) and the
        sweep of every train window, as :func:`vostra.sweep` gives them on
        the window's frames."""
        n = len(self.close.index)
        runs = self._sweep_runs(0, n, True, 0)
        for train_start, train_end, _, _ in bounds:
            runs += self._sweep_runs(train_start, train_end, False, len(runs))
        outcomes = _execute(self.source, runs, **self.run_options)
        size = len(self.frames) * len(self.configs)
        table = _table(self.names, self.frames, self.columns, self.configs, outcomes[:size],
                       self.close.index, True)
        table = _with_overfitting(table, True, self.pbo_blocks)
        psr = self.statistic == "psr"
        tables = []
        for k, (train_start, train_end, _, _) in enumerate(bounds):
            rows = slice(train_start, train_end)
            # The table shows the option frames cut to the window, as its sweep got them.
            grid = None if self.grid is None else _window_grid(self.grid, rows)
            columns, configs = _combinations(grid, {n: _sliced(v, rows) for n, v in self.options.items()})
            part = outcomes[(k + 1) * size:(k + 2) * size]
            window_table = _table(self.names, self.frames, columns, configs, part,
                                  self.close.index[rows], psr)
            tables.append(_with_overfitting(window_table, False, self.pbo_blocks) if psr else window_table)
        return table, tables

    def tests(self, bounds: list[tuple[int, int, int, int]],
              tables: list[pd.DataFrame]) -> tuple[list[dict[str, Any]], list[pd.Series]]:
        """The best configuration of every train window run on its test
        window, all in one batch: the windows table's rows and the pieces."""
        index = self.close.index
        picks, runs = [], []
        for (train_start, train_end, test_start, test_end), table in zip(bounds, tables):
            where = f"the train window {index[train_start].date()} .. {index[train_end - 1].date()}"
            run = _best(table, self.statistic, self.maximize, where)
            weights_at, config = divmod(run, len(self.choices))
            picks.append((run, weights_at, config))
            runs.append(self._run(len(runs), (weights_at, test_start, test_end, False),
                                  self.choices[config]))
        outcomes = _execute(self.source, runs, **self.run_options)

        rows, pieces = [], []
        for (train_start, train_end, test_start, test_end), table, (run, weights_at, config), outcome in zip(
                bounds, tables, picks, outcomes):
            stats, equity = self._piece(outcome, weights_at, config, test_start, test_end)
            row = {"train_start": index[train_start], "train_end": index[train_end - 1],
                   "test_start": index[test_start], "test_end": index[test_end - 1]}
            if self.names is not None:
                row["weights"] = self.names[weights_at]
            row.update(self.choices[config])
            row.update(run=run, in_sample=float(table.at[run, self.statistic]),
                       out_of_sample=_statistic(stats, equity, self.statistic),
                       test_return=float(stats["total_return"]))
            if _market_limited({**self.options, **self.choices[config]}):
                row.update(_unfilled(outcome[5], equity))
            rows.append(row)
            pieces.append(equity)
        return rows, pieces

    def _piece(self, outcome: Any, weights_at: int, config: int, start: int,
               end: int) -> tuple[pd.Series, pd.Series]:
        """A test run's statistics and equity; its warnings are issued, and
        a run that failed raises as a backtest of the window does."""
        _, stats, equity, error, notes, _ = outcome
        for note in (notes.split("\n") if notes else []):
            warnings.warn(note, UserWarning, stacklevel=4)
        if error is not None:
            inputs = _window_inputs(self.close, self.open, self.high, self.low,
                                    {0: self.frames[weights_at]},
                                    with_market_volume({**self.options, **self.choices[config]}, self.volume),
                                    self.delisted,
                                    slice(start, end))
            backtest(inputs.weights[0], *inputs.prices, **inputs.options)
            raise RuntimeError(f"the test run on {self.close.index[start].date()} .. "
                               f"{self.close.index[end - 1].date()} failed: {error}")
        return (pd.Series(stats, index=list(STAT_COLUMNS)),
                pd.Series(equity, index=self.close.index[start:end], name="equity"))


def _market_limited(options: Mapping[str, Any]) -> bool:
    return any(options.get(name) is not None for name in ("max_volume_share", "price_limit", "blocked"))


def _unfilled(fills: dict[str, float] | None, equity: pd.Series) -> dict[str, float]:
    """A test piece's ``filled`` share of its ordered value and the value
    of the orders still waiting at its end over its final equity."""
    if fills is None:
        return {"filled": math.nan, "unfilled": math.nan}
    final = float(equity.iloc[-1]) if len(equity) else math.nan
    return {"filled": fills["filled"], "unfilled": fills["unfilled_value"] / final if final > 0 else math.nan}


def _frame(rows: list[dict[str, Any]]) -> pd.DataFrame:
    """The windows table; option values are kept as given (None stays None,
    a frame or a list stays one cell)."""
    names = list(dict.fromkeys(name for row in rows for name in row))
    data = {}
    for name in names:
        values = [row.get(name) for row in rows]
        if all(pd.api.types.is_scalar(v) and v is not None for v in values):
            data[name] = values
        else:
            cells = np.empty(len(values), dtype=object)
            for n, v in enumerate(values):
                cells[n] = v
            # Object dtype said out loud: pandas would read strings and None
            # as a string column, with None turned into NaN.
            data[name] = pd.Series(cells, dtype=object)
    return pd.DataFrame(data).set_axis(pd.RangeIndex(len(rows), name="window"))


def chain(pieces: Sequence[pd.Series]) -> pd.Series:
    """One equity curve from consecutive pieces: each piece rescaled so that
    it starts with the value the previous one ended with (the first keeps
    its own start)."""
    scaled, capital = [], None
    for piece in pieces:
        values = piece.to_numpy(dtype=np.float64)
        factor = 1.0 if capital is None else capital / values[0]
        scaled.append(pd.Series(values * factor, index=piece.index))
        capital = values[-1] * factor
    out = pd.concat(scaled)
    out.name = "equity"
    return out
