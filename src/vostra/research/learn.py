"""``vostra.backtest`` for strategies as well as weights: a strategy (an
estimator or a function, see :mod:`vostra.research.strategy`) is refitted
on a schedule, each fit's weights become the target from the bar after its
refit date, and the targets go through the engine as one run."""

from __future__ import annotations

import inspect
from typing import Any

import numpy as np
import pandas as pd

from ..data.market import Market, price_frames
from ..results.backtest import backtest as _weights_backtest, run_backtest
from ..results.result import Result
from .refits import (Account, delisting_bars, fit_all, fit_in_sequence, refit_bars, target_frame,
                     weight_matrix)
from .strategy import Fit, Lookback, MarketData, Missing, Strategy, as_strategy, is_strategy

__all__ = ["backtest", "fitted_frame", "refit_table"]

_WEIGHTS_SIGNATURE = inspect.signature(_weights_backtest)


def _bound(weights: Any, close: Any, open: Any, high: Any, low: Any, options: dict[str, Any]) -> dict[str, Any]:
    """Every parameter of the weights backtest by name, as the call gives them."""
    try:
        call = _WEIGHTS_SIGNATURE.bind(weights, close, open, high, low, **options)
    except TypeError as exc:
        raise TypeError(f"backtest() {exc}") from None
    call.apply_defaults()
    return dict(call.arguments)


def market_of(close: Any, open: Any = None, high: Any = None, low: Any = None) -> Market:
    """The market of a call's price arguments (a Market, or frames)."""
    if isinstance(close, Market) and open is None and high is None and low is None:
        return close
    extra = {name: getattr(close, name) for name in ("volume", "dividends", "splits")} if isinstance(
        close, Market) else {}
    close, open, high, low = price_frames(close, open, high, low)
    return Market(close=close, open=open, high=high, low=low, **extra)


def backtest(weights: Any, close: Market | pd.DataFrame, open: pd.DataFrame | None = None,
             high: pd.DataFrame | None = None, low: pd.DataFrame | None = None, *,
             refit: Any = None, lookback: Lookback = 252, missing: Missing = "drop",
             backend: str = "threads", workers: int | None = None, address: str | None = None,
             progress: bool = False, **options: Any) -> Result:
    # The docstring is the weights backtest's with the strategies' part (set below).
    if isinstance(weights, type) and callable(getattr(weights, "fit", None)):
        as_strategy(weights)    # an estimator class: says to pass an instance
    if not is_strategy(weights):
        if refit is not None:
            raise TypeError("refit= refits a strategy (an estimator or a function history -> weights); "
                            "weights frames are traded as they are")
        return run_backtest(_bound(weights, close, open, high, low, options), stacklevel=3)
    refit = "M" if refit is None else refit
    options.setdefault("rebalance", default_rebalance(refit))
    _bound(None, close, open, high, low, options)   # bad options fail before any fit
    return strategy_backtest(as_strategy(weights), close, open, high, low, refit=refit,
                             lookback=lookback, missing=missing, backend=backend, workers=workers,
                             address=address, progress=progress, options=options, stacklevel=4)


def default_rebalance(refit: Any) -> Any:
    """A strategy trades each refit: on the refit frequency's own schedule
    (so that the orders know the next one), else on the refit dates."""
    return refit if isinstance(refit, str) else None


def strategy_backtest(strategy: Strategy, close: Any, open: Any, high: Any, low: Any, *, refit: Any,
                      lookback: Lookback, missing: Missing, backend: str, workers: int | None,
                      address: str | None, progress: bool, options: dict[str, Any],
                      stacklevel: int = 2) -> Result:
    """The run of a strategy refitted on the schedule ``refit``: its Result,
    with ``fits``, ``fitted`` and ``refits`` added."""
    if backend not in ("threads", "process", "ray", "serial"):
        raise ValueError(f"backend must be 'threads', 'ray' or 'serial', got {backend!r}")
    data = MarketData.of(market_of(close, open, high, low), options.get("dividends"), options.get("splits"))
    bars = refit_bars(data, refit, lookback)
    jobs = [(strategy, int(bar)) for bar in bars]
    delisted = delisting_bars(data, options.get("delisting", "auto"))
    if strategy.needs_previous:
        fits = fit_in_sequence(jobs, data, lookback, missing, Account(data, options, delisted),
                               options.get("rebalance"), progress=progress)
    else:
        fits = fit_all(jobs, data, lookback, missing, backend="threads" if backend == "process" else backend,
                       workers=workers, address=address, progress=progress)
    frame = target_frame(fits, data, options.get("rebalance"), delisted)
    result = run_backtest(_bound(frame, close, open, high, low, options), stacklevel=stacklevel)
    return with_fits(result, fits, data)


def with_fits(result: Result, fits: list[Fit], data: MarketData) -> Result:
    result.fits = fits
    result.fitted = fitted_frame(fits, data)
    result.refits = refit_table(fits)
    return result


def fitted_frame(fits: list[Fit], data: MarketData) -> pd.DataFrame:
    """The fitted weights, one row per refit date, one column per ticker
    some fit saw (NaN where a fit did not see the ticker)."""
    values = weight_matrix(fits, data, np.nan)
    seen = ~np.isnan(values).all(axis=0)
    return pd.DataFrame(values[:, seen], index=pd.DatetimeIndex([fit.date for fit in fits], name="refit"),
                        columns=data.tickers[seen])


def refit_table(fits: list[Fit]) -> pd.DataFrame:
    """One row per refit: its date, the first date of the returns it saw,
    the tickers it saw and the gross weight (sum of absolute weights) and
    positions of its target."""
    weights = [fit.weights.to_numpy() for fit in fits]
    return pd.DataFrame({
        "refit": pd.DatetimeIndex([fit.date for fit in fits]),
        "window_start": pd.DatetimeIndex([fit.start for fit in fits]),
        "tickers": [len(w) for w in weights],
        "positions": [int(np.count_nonzero(w)) for w in weights],
        "gross": [float(np.abs(w).sum()) for w in weights],
    })


_STRATEGY_DOC = """
    Strategies
    ----------
    ``weights`` may also be a strategy that learns its weights: an
    estimator with scikit-learn's convention (``fit(X)`` on returns, then
    ``weights_``; skfolio's optimisers and pipelines, or
    :class:`vostra.research.estimators.EqualWeight`, ``InverseVolatility``,
    ``TopN``), or a function ``f(history) -> weights`` (``history`` a
    :class:`vostra.Market` of the window, ``weights`` a Series by ticker).
    It is refitted (the estimator cloned) on every date of ``refit``
    (default ``"M"``: the last bar of every month; a number of bars, another
    frequency or a list of dates) on the returns of the ``lookback`` bars up
    to that date's close (252 by default; a calendar length such as
    ``"1Y"``, or None for every bar since the first), of the tickers listed
    and priced on that date (with ``missing="drop"``, only those with
    closes over the whole window; ``"keep"`` hands NaN returns before a
    listing to the estimator). The fit's weights are a weight row dated on
    the refit date, traded on the next bar; ``rebalance`` defaults to the
    refit schedule (each refit is traded), and a finer one brings the
    account back to the last fit's target on every scheduled bar. An estimator that needs the
    weights it holds (skfolio's ``needs_previous_weights``, or a
    ``previous_weights`` parameter) gets those the account really holds at
    the refit date's close, after drift, lots and unfilled orders; its fits
    run in sequence, the others on ``workers`` threads (``backend="ray"``:
    on Ray at ``address``; ``"serial"``: one after the other). Threads
    speed up fits whose work runs outside the interpreter lock (large
    NumPy or BLAS operations); a fit that is mostly Python, as the input
    checks of scikit-learn's convention over hundreds of tickers are, runs
    no faster on them, and Ray's worker processes are the way to spread it
    over the CPUs. The Result
    adds ``fits`` (each refit's :class:`~vostra.research.strategy.Fit`, with
    the fitted estimator), ``fitted`` (refit dates × tickers) and
    ``refits`` (one row per refit).
"""


def _documented() -> None:
    doc = _weights_backtest.__doc__ or ""
    cut = doc.find("\n    Parameters\n")
    backtest.__doc__ = (doc[:cut] + _STRATEGY_DOC + doc[cut:]) if cut >= 0 else doc + _STRATEGY_DOC
    extra = [p for name, p in inspect.signature(backtest).parameters.items()
             if name in ("refit", "lookback", "missing", "backend", "workers", "address", "progress")]
    backtest.__signature__ = _WEIGHTS_SIGNATURE.replace(
        parameters=list(_WEIGHTS_SIGNATURE.parameters.values()) + extra)


_documented()
