"""A strategy refitted on a schedule: the refit dates, the fits (in
parallel on threads or Ray when they are independent of each other, in
sequence when each needs the account's holdings), the weight frame the
engine trades, and the account as it stands at a refit date's close."""

from __future__ import annotations

import warnings
from collections.abc import Sequence
from concurrent.futures import ThreadPoolExecutor
from contextlib import nullcontext
from typing import Any

import numpy as np
import pandas as pd

from .._native import load_engine, usable_cpus
from ..data.delisting import delisting_by_option
from ..data.frames import index_ns
from ..data.prices import convert_prices
from ..data.schedule import schedule
from ..data.weights import convert_weights
from ..data.frequency import infer_periods_per_year
from ..run.arguments import engine_arguments
from .strategy import Fit, Lookback, MarketData, Missing, Strategy, lookback_start, refit

__all__ = ["refit_bars", "fit_all", "fit_in_sequence", "target_frame", "weight_matrix", "delisting_bars",
           "Account"]

Job = tuple[Strategy, int]        # a strategy and the bar it is refitted on


# --------------------------------------------------------------------------
# When to refit
# --------------------------------------------------------------------------

def _has_history(dates: pd.DatetimeIndex, bar: int, lookback: Lookback) -> bool:
    start = lookback_start(dates, bar, lookback)
    return start >= 1 and bar - start + 1 >= 2


def refit_bars(data: MarketData, when: Any, lookback: Lookback, start: Any = None) -> np.ndarray:
    """The bars a strategy is refitted on: every ``when`` bars (a number)
    from the first bar whose window has the ``lookback`` history, the last
    bar of every period of a frequency (``"M"``, ``"W"``, ... as for
    ``rebalance``), or the last bar at or before each date of a list; those
    without the window's history (and those before ``start``) are skipped."""
    dates = data.dates
    first = 0 if start is None else int(dates.searchsorted(pd.Timestamp(start), side="left"))
    if isinstance(when, (bool, np.bool_)):
        raise TypeError(f"refit must be a number of bars, a frequency or a list of dates, got {when!r}")
    if isinstance(when, (int, np.integer)):
        if when < 1:
            raise ValueError(f"refit must be at least 1 bar, got {when}")
        ready = next((b for b in range(first, len(dates)) if _has_history(dates, b, lookback)), len(dates))
        bars = np.arange(ready, len(dates), int(when))
    else:
        if not isinstance(when, str) and not isinstance(when, (Sequence, pd.Index, np.ndarray)):
            raise TypeError(f"refit must be a number of bars, a frequency such as 'M' or a list of "
                            f"dates, got {type(when).__name__}")
        ns = index_ns(dates)
        try:
            stamps = schedule(when, dates, ns, ns[:0])
        except ValueError:
            raise ValueError(f"refit={when!r} is not a schedule; use a number of bars, a frequency "
                             f"'D', 'W', 'W-FRI', 'M', 'Q', 'Y' or a list of dates") from None
        bars = np.unique(np.searchsorted(ns, stamps, side="right") - 1)
        bars = np.array([b for b in bars if b >= first and _has_history(dates, b, lookback)], dtype=np.int64)
    if not len(bars):
        raise ValueError(f"no refit date has the history lookback={lookback!r} asks for: the market has "
                         f"{len(dates)} bars" + (f" from {dates[0].date()} to {dates[-1].date()}" if len(dates) else ""))
    return bars


# --------------------------------------------------------------------------
# Fits that do not depend on each other
# --------------------------------------------------------------------------

def _one_thread_per_library():
    """Numerical libraries on one thread each while the fits run on several:
    two levels of threads would only contend for the cores."""
    try:
        from threadpoolctl import threadpool_limits
    except ImportError:  # pragma: no cover - comes with scikit-learn
        return nullcontext()
    return threadpool_limits(limits=1)


def _fit_job(data: MarketData, job: Job, lookback: Lookback, missing: Missing) -> Fit:
    strategy, bar = job
    return refit(strategy, data, bar, lookback=lookback, missing=missing)


def _fit_chunk(data: MarketData, jobs: list[Job], lookback: Lookback, missing: Missing) -> list[Fit]:
    return [_fit_job(data, job, lookback, missing) for job in jobs]


def fit_all(jobs: list[Job], data: MarketData, lookback: Lookback, missing: Missing, *,
            backend: str = "threads", workers: int | None = None, address: str | None = None,
            progress: bool = False) -> list[Fit]:
    """The fits of independent jobs, in their order: on ``workers`` threads
    of this process (the numerical work of NumPy-based estimators runs
    without the interpreter lock), as tasks on Ray, or one after the other
    (``"serial"``). The first failure raises."""
    if backend == "ray":
        return _fit_ray(jobs, data, lookback, missing, address)
    threads = 1 if backend == "serial" else int(workers or usable_cpus())
    bar = _progress(len(jobs), progress)
    try:
        if threads == 1 or len(jobs) < 2:
            fits = []
            for job in jobs:
                fits.append(_fit_job(data, job, lookback, missing))
                if bar is not None:
                    bar.update(1)
            return fits
        with _one_thread_per_library(), ThreadPoolExecutor(threads, thread_name_prefix="vostra-fit") as pool:
            futures = [pool.submit(_fit_job, data, job, lookback, missing) for job in jobs]
            fits = []
            try:
                for future in futures:
                    fits.append(future.result())
                    if bar is not None:
                        bar.update(1)
            except BaseException:
                for future in futures:   # the fits not started are not run
                    future.cancel()
                raise
            return fits
    finally:
        if bar is not None:
            bar.close()


def _progress(total: int, enabled: bool):
    if not enabled:
        return None
    from .progress import progress_bar

    return progress_bar(total, "refits", "fit")


_remote_chunk = None


def _fit_ray(jobs: list[Job], data: MarketData, lookback: Lookback, missing: Missing,
             address: str | None) -> list[Fit]:
    """The fits as Ray tasks: the market goes into the object store once,
    chunks of jobs travel (about four per worker)."""
    global _remote_chunk
    from .sweep import _import_ray, _ray_workers

    ray = _import_ray()
    if not ray.is_initialized():
        ray.init(address=address)
    if _remote_chunk is None:
        _remote_chunk = ray.remote(max_retries=3)(_fit_chunk)
    size = max(1, -(-len(jobs) // (4 * _ray_workers(ray))))
    stored = ray.put(data)
    tasks = [_remote_chunk.remote(stored, jobs[i:i + size], lookback, missing) for i in range(0, len(jobs), size)]
    return [fit for chunk in ray.get(tasks) for fit in chunk]


# --------------------------------------------------------------------------
# The weights the engine trades
# --------------------------------------------------------------------------

def weight_matrix(fits: Sequence[Fit], data: MarketData, fill: float) -> np.ndarray:
    """The fits' weights, one row per fit and one column per ticker of the
    market (``fill`` where a fit did not see the ticker)."""
    values = np.full((len(fits), len(data.tickers)), fill)
    for row, fit in zip(values, fits):
        columns = fit.columns if fit.columns is not None else data.tickers.get_indexer(fit.weights.index)
        row[columns] = fit.weights.to_numpy()
    return values


def _rebalance_bars(data: MarketData, rebalance: Any) -> np.ndarray:
    """The bars a rebalance schedule decides on (none for ``None``: the
    engine then trades every refit's row)."""
    if rebalance is None:
        return np.empty(0, dtype=np.int64)
    ns = index_ns(data.dates)
    stamps = schedule(rebalance, data.dates, ns, ns[:0])
    return np.unique(np.searchsorted(ns, stamps, side="right") - 1)


def target_frame(fits: Sequence[Fit], data: MarketData, rebalance: Any = None,
                 delisted: np.ndarray | None = None, until: int | None = None) -> pd.DataFrame:
    """The weight rows of the fits, dated on their refit dates, and with a
    rebalance schedule (a frequency or dates) a copy of the weights in force
    on every scheduled bar after the first refit (up to bar ``until``), so
    that the account is brought back to the target there rather than left
    to drift. A copy drops the tickers delisted by its date (``delisted``:
    the bar of each ticker's delisting, -1 for none; the engine would drop
    them too, warning about each). Columns: the tickers some fit weights."""
    if not fits:
        return pd.DataFrame(index=pd.DatetimeIndex([], name=data.dates.name), dtype=np.float64)
    values = weight_matrix(fits, data, 0.0)
    used = (values != 0).any(axis=0)
    bars = np.array([fit.bar for fit in fits])
    held = _rebalance_bars(data, rebalance)
    last = len(data.dates) - 1 if until is None else until
    held = np.setdiff1d(held[(held > bars[0]) & (held <= last)], bars)
    if len(held):
        # Each copy takes the row of the last refit at or before its bar.
        rows = np.concatenate([bars, held])
        order = np.argsort(rows, kind="stable")
        source = np.searchsorted(bars, rows, side="right") - 1
        copied = np.zeros(len(rows), dtype=bool)
        copied[len(bars):] = True
        values, rows, copied = values[source][order], rows[order], copied[order]
        if delisted is not None:
            # From the delisted stock's last close on, as the engine drops them.
            stale = copied[:, None] & (delisted >= 0) & (rows[:, None] >= delisted - 1)
            values = np.where(stale, 0.0, values)
        bars = rows
    frame = pd.DataFrame(values[:, used], index=data.dates[bars], columns=data.tickers[used])
    frame.index.name = data.dates.name
    return frame


def delisting_bars(data: MarketData, delisting: Any = "auto") -> np.ndarray | None:
    """Per ticker the bar it is delisted on (-1 for none) over the whole
    market, as a backtest of the market with this ``delisting`` option
    takes it (None: delisting is off)."""
    market = data.market
    if isinstance(delisting, str) and delisting == "auto":
        stated = market.stated_delisting()
        delisting = delisting if stated is None else stated
    priced = data.priced
    has = priced.any(axis=0)
    last = np.where(has, len(priced) - 1 - np.argmax(priced[::-1], axis=0), -1)
    close = market.close
    return delisting_by_option(delisting, last, has, close.to_numpy(dtype=np.float64), close,
                               index_ns(data.dates))


# --------------------------------------------------------------------------
# The account at a refit date, for fits that need it
# --------------------------------------------------------------------------

class Account:
    """The account a run's weights lead to, read at a bar's close.

    The engine runs a whole market in one call and keeps no state between
    calls, so the account at a refit date is the run of the weights decided
    so far over the bars up to that date: runs are deterministic and a
    weight row dated on the refit date trades on the next bar, so this
    prefix is exactly the start of the full run. The prices are converted
    once; each read costs one run of the prefix (a walk of n refits costs
    about n / 2 full runs). Delistings are those of the whole market
    (``delisted``, see :func:`delisting_bars`: a stock suspended over the
    prefix's end is not delisted there) and the annualisation of the
    financing rates is the whole market's."""

    def __init__(self, data: MarketData, options: dict[str, Any], delisted: np.ndarray | None) -> None:
        market = data.market
        self.prices = convert_prices(market.close, market.open, market.high, market.low)
        self.options = {k: v for k, v in options.items() if k != "delisting"}
        if self.options.get("periods_per_year") is None:
            self.options["periods_per_year"] = infer_periods_per_year(data.dates)[0]
        if self.options.get("max_volume_share") is not None and self.options.get("volume") is None:
            self.options["volume"] = market.volume
        for name in ("dividends", "splits"):   # a market's events apply unless given (False: none)
            given = self.options.get(name)
            given = getattr(market, name) if given is None else given
            self.options[name] = None if given is False else given
        self.delisted = delisted
        if delisted is None:
            self.options["delisting"] = None

    def holdings(self, frame: pd.DataFrame, bar: int) -> pd.Series:
        """The weights held at ``bar``'s close (value at the close over the
        equity, by ticker; the flat ones left out) after trading ``frame``."""
        if frame.empty:
            return pd.Series(dtype=np.float64)
        delisted_at = None
        if self.delisted is not None:
            delisted_at = np.where(self.delisted <= bar, self.delisted, -1)
        with warnings.catch_warnings():
            # The full run tells the same things once.
            warnings.simplefilter("ignore")
            signal = convert_weights(frame, self.prices)
            arguments, context = engine_arguments(self.prices, signal, slice(0, bar + 1), None, None,
                                                  delisted_at, **self.options)
        run = load_engine().run(**arguments, weight_scan=context["weight_scan"])
        final = run.final
        marked = np.asarray(final["marked"], dtype=np.float64)
        held = marked != 0
        tickers = context["tickers"][np.asarray(final["sid"], dtype=np.int64)[held]]
        return pd.Series(marked[held] / run.equity[-1], index=tickers, dtype=np.float64)


def fit_in_sequence(jobs: list[Job], data: MarketData, lookback: Lookback, missing: Missing,
                    account: Account, rebalance: Any = None, progress: bool = False) -> list[Fit]:
    """The fits of jobs that need the account's holdings, one after the
    other: each is given the weights the account holds at its refit date's
    close after trading the fits before it."""
    fits: list[Fit] = []
    bar = _progress(len(jobs), progress)
    try:
        for strategy, at in jobs:
            held = account.holdings(target_frame(fits, data, rebalance, account.delisted, until=at), at)
            fits.append(refit(strategy, data, at, lookback=lookback, missing=missing, previous_weights=held))
            if bar is not None:
                bar.update(1)
    finally:
        if bar is not None:
            bar.close()
    return fits
